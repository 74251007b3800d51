// The whole client against corvid1-test-server, an independent SSH-1.5 implementation (Nettle
// ciphers, GMP RSA) over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "session/key_exchange.h"
#include "session/session.h"
#include "terminal/interpreter.h"
#include "terminal/notification.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::RecordingFrontEnd;
using test::TestServer;
using Lines = std::vector<std::string>;

Lines expectedLoginLines(int preference, bool password = true) {
    Lines lines = {"Server challenge received\n",
                   "Server public key received\n",
                   "Server public key validated\n",
                   "Getting host key bits\n",
                   "Getting host key E\n",
                   "Getting host key N\n",
                   "Getting flags/ciphers/auth\n",
                   "Computing session id\n",
                   "Session id computed\n",
                   "Opening seedfile\n",
                   "Creating session key\n",
                   "Encrypting key\n",
                   "Key encrypted\n"};
    if (preference == 3) {
        lines.push_back("Attempting cipher type '3DES'...\n");
        lines.push_back("Cipher '3DES' selected.\n");
    } else if (preference == 6) {
        lines.push_back("Attempting cipher type 'BLOWFISH'...\n");
        lines.push_back("Cipher 'BLOWFISH' selected.\n");
    }
    lines.push_back("Sending cipher/key\n");
    lines.push_back("Sent login username\n");
    if (password) lines.push_back("Sent login password\n");
    lines.push_back("Authorization successful.\n");
    lines.push_back("PTTY Allocated\n");
    return lines;
}

std::string bulkPattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return bytes;
}

// One client session on its own thread, as the application runs it.
class Client {
  public:
    Client(std::uint16_t port, int preference, SessionFrontEnd* frontEnd = nullptr,
           const std::function<void(LoginParameters&)>& adjust = {}) {
        login.user = "test";
        login.password = "secret";
        login.cipherPreference = static_cast<std::uint32_t>(preference);
        login.rows = 24;
        login.columns = 80;
        login.widthPixels = 640;
        login.heightPixels = 384;
        login.seedFilePath = ::testing::TempDir() + "corvid1_integration_seed";
        if (adjust) adjust(login);
        auto connection = std::make_unique<Connection>();
        connected = connection->socket().openConnection("127.0.0.1", port) == 1;
        session = std::make_shared<Session>(std::move(connection), login,
                                            frontEnd ? *frontEnd : recording);
    }
    ~Client() {
        if (thread.joinable()) {
            session->abort();
            thread.join();
        }
    }
    void start() {
        std::shared_ptr<Session> held = session;
        thread = std::thread([this, held] {
            result = runSession(*held);
            done = true;
        });
    }
    SessionResult finish() {
        thread.join();
        return result;
    }
    // Waits (bounded, generously) until the output holds `text`.
    bool awaitOutput(const std::string& text) {
        for (int i = 0; i < 1000 && !done; ++i) {
            if (recording.output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return recording.output().find(text) != std::string::npos;
    }

    LoginParameters login;
    RecordingFrontEnd recording;
    std::shared_ptr<Session> session;
    std::thread thread;
    SessionResult result;
    std::atomic<bool> done{false};
    bool connected = false;
};

class EveryCipher : public ::testing::TestWithParam<int> {};

TEST_P(EveryCipher, LoginTypingWindowSizeAndExit) {
    const int preference = GetParam();
    TestServer server({"--mode", "script", "--scenario", "echo"}, "echo");
    ASSERT_NE(server.port(), 0);
    Client client(server.port(), preference);
    ASSERT_TRUE(client.connected);
    client.start();
    ASSERT_TRUE(client.awaitOutput("Corvid1 test server\r\n$ "));
    sendInput(*client.session, "hi\r", 3);
    ASSERT_TRUE(client.awaitOutput("hi\r\n"));
    sendWindowSize(*client.session, 30, 100, 800, 600);
    sendInput(*client.session, "exit\r", 5);
    const SessionResult result = client.finish();

    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(result.exitStatus.value_or(99), 0u);
    EXPECT_EQ(result.cipher, preference);
    EXPECT_EQ(client.recording.lines(), expectedLoginLines(preference));
    EXPECT_NE(client.recording.output().find("logout\r\n"), std::string::npos);
    EXPECT_TRUE(server.recorded("VERSION SSH-1.5-CORVID11.00.46"));
    EXPECT_TRUE(server.recorded("SESSION_KEY cipher=" + std::to_string(preference) + " flags=0"));
    EXPECT_TRUE(server.recorded("USER test"));
    EXPECT_TRUE(server.recorded("PASSWORD secret"));
    EXPECT_TRUE(
        server.recorded("PTY term=vt100 rows=24 columns=80 xpixels=640 ypixels=384 modes=00"));
    EXPECT_TRUE(server.recorded("EXEC_SHELL"));
    EXPECT_TRUE(server.awaitRecord("WINDOW_SIZE rows=31 columns=100 xpixels=800 ypixels=600"));
    EXPECT_TRUE(server.awaitRecord("EXIT_CONFIRMATION"));
}

TEST_P(EveryCipher, BulkOutputArrivesIntact) {
    const std::size_t count = 300000;
    TestServer server({"--scenario", "bulk", "--bulk", std::to_string(count)}, "bulk");
    Client client(server.port(), GetParam());
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(client.recording.output(), bulkPattern(count));
}

TEST_P(EveryCipher, IgnoreAndDebugPacketsAreInvisible) {
    TestServer server({"--scenario", "ignore-debug"}, "ignore");
    Client client(server.port(), GetParam());
    client.start();
    ASSERT_TRUE(client.awaitOutput("$ "));
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_EQ(client.recording.lines(), expectedLoginLines(GetParam()));
    EXPECT_EQ(client.recording.output(), "Corvid1 test server\r\n$ exit\r\nlogout\r\n");
}

TEST_P(EveryCipher, CompressedBothWays) {
    const std::size_t count = 200000;
    TestServer server({"--scenario", "echo", "--bulk", std::to_string(count)}, "zlib");
    Client client(server.port(), GetParam(), nullptr,
                  [](LoginParameters& l) { l.compressionLevel = 9; });
    client.start();
    ASSERT_TRUE(client.awaitOutput("$ "));
    sendInput(*client.session, "bulk\r", 5);  // typed, so compressed by the client
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_NE(client.recording.output().find(bulkPattern(count)), std::string::npos);
    EXPECT_TRUE(client.recording.saw("Compression enabled\n"));
    EXPECT_TRUE(server.recorded("COMPRESSION level=9"));
}

INSTANTIATE_TEST_SUITE_P(Session, EveryCipher, ::testing::Values(0, 3, 6));

// What the login parameters ask of the session, as the server sees it and the user is told.
TEST(SessionOptions, EachReachesTheServerAndEndsAsItShould) {
    struct Case {
        const char* name;
        std::vector<std::string> serverArgs;
        std::function<void(LoginParameters&)> adjust;
        SessionEnd end;
        std::vector<std::string> recorded;     // lines the server recorded
        std::vector<std::string> notRecorded;  // prefixes it must not have
        const char* status;                    // a line the user saw; null: none checked
    };
    const std::vector<Case> cases = {
        {"command without a pty",
         {"--scenario", "exit-status"},
         [](LoginParameters& l) {
             l.command = "show version";
             l.requestPty = false;
         },
         SessionEnd::ExitStatus,
         {"EXEC_CMD show version"},
         {"PTY", "EXEC_SHELL"},
         nullptr},
        {"compression refused",
         {"--scenario", "refuse-compression"},
         [](LoginParameters& l) { l.compressionLevel = 6; },
         SessionEnd::ExitStatus,
         {"COMPRESSION level=6", "EXEC_SHELL"},
         {},
         "Warning - Compression refused by the server\n"},
        {"a packet that unpacks past the bound",
         {"--scenario", "compression-bomb"},
         [](LoginParameters& l) { l.compressionLevel = 1; },
         SessionEnd::StreamFailure,
         {"COMPRESSION level=1"},
         {},
         "ERROR - Compressed packet from server unpacks to more than 256 KiB\n"},
        {"password without padding",
         {"--scenario", "exit-status"},
         [](LoginParameters& l) { l.padPassword = false; },
         SessionEnd::ExitStatus,
         {"PASSWORD secret"},
         {"IGNORE"},
         nullptr},
    };
    for (const Case& c : cases) {
        TestServer server(c.serverArgs, "options");
        Client client(server.port(), 6, nullptr, c.adjust);
        client.start();
        EXPECT_EQ(client.finish().end, c.end) << c.name;
        for (const auto& line : c.recorded)
            EXPECT_TRUE(server.recorded(line)) << c.name << ": " << line;
        for (const auto& prefix : c.notRecorded)
            EXPECT_FALSE(server.recordedPrefix(prefix)) << c.name << ": " << prefix;
        if (c.status != nullptr) {
            EXPECT_TRUE(client.recording.saw(c.status)) << c.name;
        }
    }
}

// SSH-1 sends packet lengths in clear: the password's packet hides among IGNOREs of every
// neighbouring size, so the run of sizes is the same whatever the password's length.
TEST(SessionOptions, PasswordLengthDoesNotShowOnTheWire) {
    TestServer server({"--scenario", "exit-status"}, "padding");
    Client client(server.port(), 3);
    client.start();
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    std::set<std::size_t> sizes;
    for (const std::string& line : server.record()) {
        if (line.rfind("IGNORE ", 0) == 0) sizes.insert(std::stoul(line.substr(7)));
        if (line == "PASSWORD secret") sizes.insert(4 + 6);
    }
    std::set<std::size_t> expected;
    for (std::size_t n = 0; n < 16; ++n) expected.insert(4 + n);
    EXPECT_EQ(sizes, expected);
}

// An idle session sends an IGNORE each interval; the end of input reaches the server as EOF.
TEST(SessionOptions, KeepaliveAndEndOfInput) {
    TestServer server({"--scenario", "echo"}, "keepalive");
    Client client(server.port(), 3, nullptr, [](LoginParameters& l) {
        l.keepaliveSeconds = 1;
        l.padPassword = false;
    });
    client.start();
    ASSERT_TRUE(client.awaitOutput("$ "));
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    sendEof(*client.session);
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    int keepalives = 0;
    for (const std::string& line : server.record()) keepalives += line == "IGNORE 4";
    EXPECT_GE(keepalives, 2);
    EXPECT_LE(keepalives, 3);
    EXPECT_TRUE(server.recorded("EOF"));
}

TEST(CipherMask, RefusedBlowfishFallsBackToTripleDes) {
    TestServer server({"--scenario", "exit-status", "--ciphers", "0x09"}, "mask6");
    Client client(server.port(), 6);
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(result.cipher, 3);
    EXPECT_TRUE(client.recording.saw("Cipher type 'BLOWFISHCBC' not supported by server.\n"));
    EXPECT_TRUE(server.recorded("SESSION_KEY cipher=3 flags=0"));
}

TEST(CipherMask, ServerWithoutTheChosenCipherEndsAtTheFirstEncryptedPacket) {
    // Neither 3DES nor Blowfish: the client ends with no cipher, which this server refuses.
    TestServer server({"--scenario", "echo", "--ciphers", "0x02"}, "mask0");
    Client client(server.port(), 3);
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::KeyExchangeFailure);
    EXPECT_EQ(result.cipher, 0);
    // The refusal comes unencrypted, so it reads as the server's words.
    EXPECT_EQ(client.recording.lines().back(), "Server response: Cipher not supported\n");
}

TEST(Authentication, UserAcceptedWithoutPassword) {
    TestServer server({"--scenario", "user-only"}, "useronly");
    Client client(server.port(), 3);
    client.start();
    ASSERT_TRUE(client.awaitOutput("$ "));
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_EQ(client.recording.lines(), expectedLoginLines(3, false));
    EXPECT_FALSE(server.recordedPrefix("PASSWORD"));
}

TEST(Authentication, RefusedPassword) {
    TestServer server({"--scenario", "refuse-password"}, "refusepw");
    Client client(server.port(), 6);
    client.start();
    EXPECT_EQ(client.finish().end, SessionEnd::LoginRefused);
    EXPECT_EQ(client.recording.lines().back(),
              "Authorization error. Check username and password.\n");
}

TEST(Authentication, WrongPasswordIsRefused) {
    TestServer server({"--scenario", "echo", "--password", "other"}, "wrongpw");
    Client client(server.port(), 3);
    client.start();
    EXPECT_EQ(client.finish().end, SessionEnd::LoginRefused);
    EXPECT_TRUE(server.recorded("PASSWORD secret"));
}

TEST(Authentication, DisconnectAfterUserNameShowsTheReason) {
    TestServer server({"--scenario", "disconnect-after-user", "--reason", "Permission denied"},
                      "discuser");
    Client client(server.port(), 3);
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::LoginRefused);
    EXPECT_EQ(result.disconnectReason, "Permission denied");
    const Lines lines = client.recording.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Error during authorization!\n");
    EXPECT_EQ(lines.back(), "Server response: Permission denied\n");
}

TEST(Session, RefusedPtyStillRunsTheShell) {
    TestServer server({"--scenario", "refuse-pty"}, "refusepty");
    Client client(server.port(), 3);
    client.start();
    ASSERT_TRUE(client.awaitOutput("$ "));
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_TRUE(client.recording.saw("Warning - PTTY not Allocated\n"));
    EXPECT_TRUE(server.recorded("EXEC_SHELL"));
}

TEST(Session, ExitStatusValueIsReported) {
    TestServer server({"--scenario", "exit-status", "--exit-status", "42"}, "exit42");
    Client client(server.port(), 6);
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(result.exitStatus.value_or(0), 42u);
    EXPECT_EQ(client.recording.output(), "exit status 42\r\n");
}

TEST(Session, DisconnectInTheDataLoop) {
    TestServer server({"--scenario", "disconnect-in-data", "--reason", "Bye now"}, "discdata");
    Client client(server.port(), 3);
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, SessionEnd::ServerDisconnect);
    EXPECT_EQ(result.disconnectReason, "Bye now");
    EXPECT_EQ(client.recording.output(), "goodbye\r\nBye now");
    EXPECT_EQ(client.recording.lines().back(), "PTTY Allocated\n");
}

TEST(Session, InputBeforeTheKeyExchangeNeverReachesTheWire) {
    TestServer server({"--scenario", "echo", "--kex-delay", "1500"}, "early");
    Client client(server.port(), 3);
    client.start();
    ASSERT_TRUE(server.awaitRecord("VERSION SSH-1.5-CORVID11.00.46"));
    ASSERT_EQ(client.session->encryptedConnection(), nullptr);
    sendInput(*client.session, "early\r", 6);
    sendWindowSize(*client.session, 10, 10, 10, 10);
    ASSERT_TRUE(client.awaitOutput("$ "));
    sendInput(*client.session, "exit\r", 5);
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_FALSE(server.recorded("STDIN early\\x0d"));
    EXPECT_FALSE(server.recordedPrefix("WINDOW_SIZE"));
    EXPECT_TRUE(server.recorded("STDIN exit\\x0d"));
}

// Forwards the screen's answers to the host the way the main window does.
class AnswerToHost : public NotificationTarget {
  public:
    void send(int message, std::intptr_t first, std::intptr_t second) override {
        if (message == SendToHost && session != nullptr) {
            sendInput(*session, reinterpret_cast<const char*>(first), static_cast<int>(second));
        }
    }
    Session* session = nullptr;
};

TEST(Session, EnquiryIsAnsweredThroughTheTerminal) {
    auto screen = createScreen();
    AnswerToHost window;
    screen->resize(80, 24, 640, 384, &window);
    attachScreen(screen.get());
    TestServer server({"--scenario", "enq"}, "enq");
    Client client(server.port(), 3, &terminalFrontEnd());
    window.session = client.session.get();
    client.start();
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
    EXPECT_TRUE(server.recorded("ENQ_ANSWER vt100"));
    attachScreen(nullptr);
}

struct Misbehaviour {
    const char* scenario;
    const char* at;
    SessionEnd end;
    const char* lastLine;  // null: not checked
    const char* alsoSaw = nullptr;
};

void PrintTo(const Misbehaviour& m, std::ostream* out) {
    *out << m.scenario << "@" << m.at;
}

class Misbehaving : public ::testing::TestWithParam<std::tuple<Misbehaviour, int>> {};

TEST_P(Misbehaving, EndsCleanlyWithTheRightReport) {
    const auto& [m, preference] = GetParam();
    TestServer server({"--scenario", m.scenario, "--at", m.at, "--timeout", "3"},
                      std::string(m.scenario) + "_" + m.at);
    // The login's limit is well below the server's own patience, so a silent server is found
    // out by the client.
    Client client(server.port(), preference, nullptr,
                  [](LoginParameters& l) { l.loginTimeout = std::chrono::milliseconds(1000); });
    const auto started = std::chrono::steady_clock::now();
    client.start();
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, m.end);
    if (m.end == SessionEnd::TimedOut) {
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    }
    if (m.alsoSaw != nullptr) {
        EXPECT_TRUE(client.recording.saw(m.alsoSaw)) << m.alsoSaw;
    }
    if (m.lastLine != nullptr) {
        ASSERT_FALSE(client.recording.lines().empty());
        EXPECT_EQ(client.recording.lines().back(), m.lastLine);
    }
    // A broken stream never blames the credentials or the server's pty.
    if (m.end != SessionEnd::LoginRefused) {
        EXPECT_FALSE(client.recording.saw("Authorization error. Check username and password.\n"));
        EXPECT_FALSE(client.recording.saw("Warning - PTTY not Allocated\n"));
    }
}

const char* const lostInLogin = "ERROR - Connection lost during login\n";
const char* const noPublicKey = "ERROR - Server public key not received\n";
const char* const cannotDecrypt = "ERROR - CANNOT DECRYPT PACKET\n";
const char* const lostInKeyExchange = "ERROR - Connection lost during the key exchange\n";
const char* const timedOut = "ERROR - The server stopped answering during the login\n";

INSTANTIATE_TEST_SUITE_P(
    Session, Misbehaving,
    ::testing::Combine(
        ::testing::Values(
            Misbehaviour{"garbage-version", "data", SessionEnd::VersionFailure,
                         "ERROR - Unrecognized SSH challenge\n"},
            Misbehaviour{"ssh2-version", "data", SessionEnd::KeyExchangeFailure,
                         "ERROR - The server does not offer SSH-1; it announced SSH protocol 2 "
                         "only.\n",
                         "Server response: Protocol major versions differ.\n"},
            Misbehaviour{"close", "version", SessionEnd::VersionFailure,
                         "ERROR - Connection lost before the server's version line\n"},
            Misbehaviour{"close", "public-key", SessionEnd::KeyExchangeFailure, noPublicKey},
            Misbehaviour{"close", "key-ack", SessionEnd::KeyExchangeFailure, lostInKeyExchange},
            Misbehaviour{"close", "user", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"close", "password", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"close", "pty", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"close", "data", SessionEnd::StreamFailure, "PTTY Allocated\n"},
            Misbehaviour{"close-mid-packet", "public-key", SessionEnd::KeyExchangeFailure,
                         noPublicKey},
            Misbehaviour{"close-mid-packet", "key-ack", SessionEnd::KeyExchangeFailure,
                         lostInKeyExchange},
            Misbehaviour{"close-mid-packet", "user", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"close-mid-packet", "data", SessionEnd::StreamFailure, "PTTY Allocated\n"},
            Misbehaviour{"bad-crc", "public-key", SessionEnd::KeyExchangeFailure, noPublicKey},
            Misbehaviour{"bad-crc", "key-ack", SessionEnd::KeyExchangeFailure, cannotDecrypt},
            Misbehaviour{"bad-crc", "user", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"bad-crc", "password", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"bad-crc", "pty", SessionEnd::StreamFailure, lostInLogin},
            Misbehaviour{"bad-crc", "data", SessionEnd::StreamFailure,
                         "ERROR - Corrupted packet from server (bad check value)\n"},
            Misbehaviour{"oversize-length", "public-key", SessionEnd::KeyExchangeFailure,
                         noPublicKey},
            Misbehaviour{"oversize-length", "data", SessionEnd::StreamFailure,
                         "ERROR - Packet from server too long\n"},
            Misbehaviour{"truncated", "public-key", SessionEnd::KeyExchangeFailure,
                         "ERROR - Server public key packet is malformed\n"},
            Misbehaviour{"truncated", "data", SessionEnd::StreamFailure,
                         "ERROR - Malformed packet from server\n"},
            // The broken string rides on a reply that carries no fields: after the user name
            // the client sends its password and the server never answers it; after the pty
            // request the login is over and the server gives up on the silent client.
            Misbehaviour{"truncated", "user", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"truncated", "pty", SessionEnd::StreamFailure, nullptr},
            // Silence with the connection open, in the middle of each step of the login.
            Misbehaviour{"stall", "version", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"stall", "public-key", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"stall", "key-ack", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"stall", "user", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"stall", "password", SessionEnd::TimedOut, timedOut},
            Misbehaviour{"stall", "pty", SessionEnd::TimedOut, timedOut}),
        ::testing::Values(3, 6)));

// The user may take as long as they like over the host-key question; only the server's silence
// counts against the login's limit.
TEST(LoginTimeout, TimeSpentOnTheHostKeyQuestionDoesNotCount) {
    struct SlowUser : HostKeyVerifier {
        bool verifyHostKey(const RsaPublicKey&) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            return true;
        }
    };
    TestServer server({"--scenario", "exit-status"}, "slowuser");
    Client client(server.port(), 3, nullptr,
                  [](LoginParameters& l) { l.loginTimeout = std::chrono::milliseconds(800); });
    client.session->setHostKeyVerifier(std::make_shared<SlowUser>());
    client.start();
    EXPECT_EQ(client.finish().end, SessionEnd::ExitStatus);
}

}  // namespace
}  // namespace corvid1
