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

// What the login parameters and the server's answers make of a session, as the server records
// it and the user is told.
TEST(SessionOptions, EachReachesTheServerAndEndsAsItShould) {
    struct Case {
        const char* name;
        std::vector<std::string> serverArgs;
        std::function<void(LoginParameters&)> adjust;
        bool typeExit;  // the scenario runs a shell that waits for "exit"
        SessionEnd end;
        std::vector<std::string> recorded;     // lines the server recorded
        std::vector<std::string> notRecorded;  // prefixes it must not have
        std::vector<std::string> lastLines;    // the user's last status lines
        const char* output = nullptr;          // all the output; null: not checked
    };
    const auto none = [](LoginParameters&) {};
    // clang-format off
    const std::vector<Case> cases = {
        {"command without a pty",
         {"--scenario", "exit-status", "--exit-status", "42"},
         [](LoginParameters& l) {
             l.command = "show version";
             l.requestPty = false;
         },
         false, SessionEnd::ExitStatus, {"EXEC_CMD show version"}, {"PTY", "EXEC_SHELL"}, {},
         "exit status 42\r\n"},
        {"compression refused", {"--scenario", "refuse-compression"},
         [](LoginParameters& l) { l.compressionLevel = 6; }, false, SessionEnd::ExitStatus,
         {"COMPRESSION level=6", "EXEC_SHELL"}, {}, {}},
        {"a packet that unpacks past the bound", {"--scenario", "compression-bomb"},
         [](LoginParameters& l) { l.compressionLevel = 1; }, false, SessionEnd::StreamFailure,
         {"COMPRESSION level=1"}, {},
         {"ERROR - Compressed packet from server unpacks to more than 256 KiB\n"}},
        {"password without padding", {"--scenario", "exit-status"},
         [](LoginParameters& l) { l.padPassword = false; }, false, SessionEnd::ExitStatus,
         {"PASSWORD secret"}, {"IGNORE"}, {}},
        {"user accepted without a password", {"--scenario", "user-only"}, none, true,
         SessionEnd::ExitStatus, {"USER test"}, {"PASSWORD"}, {"Sent login username\n",
         "Authorization successful.\n", "PTTY Allocated\n"}},
        {"password refused", {"--scenario", "refuse-password"}, none, false,
         SessionEnd::LoginRefused, {}, {}, {"Authorization error. Check username and password.\n"}},
        {"wrong password", {"--scenario", "echo", "--password", "other"}, none, false,
         SessionEnd::LoginRefused, {"PASSWORD secret"}, {"PTY"}, {}},
        {"disconnect after the user name",
         {"--scenario", "disconnect-after-user", "--reason", "Permission denied"}, none, false,
         SessionEnd::LoginRefused, {}, {"PASSWORD"},
         {"Error during authorization!\n", "Server response: Permission denied\n"}},
        {"pty refused, the shell still runs", {"--scenario", "refuse-pty"}, none, true,
         SessionEnd::ExitStatus, {"EXEC_SHELL"}, {}, {"Warning - PTTY not Allocated\n"}},
        {"disconnect in the data loop",
         {"--scenario", "disconnect-in-data", "--reason", "Bye now"}, none, false,
         SessionEnd::ServerDisconnect, {}, {}, {"PTTY Allocated\n"}, "goodbye\r\nBye now"},
        // Neither 3DES nor Blowfish: the client ends with no cipher, which this server refuses;
        // the refusal comes unencrypted, so it reads as the server's words.
        {"no cipher in common", {"--scenario", "echo", "--ciphers", "0x02"}, none, false,
         SessionEnd::KeyExchangeFailure, {"SESSION_KEY cipher=0 flags=0"}, {"USER"},
         {"Server response: Cipher not supported\n"}},
    };  // clang-format on

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.serverArgs, "options");
        Client client(server.port(), 6, nullptr, c.adjust);
        client.start();
        if (c.typeExit) {
            ASSERT_TRUE(client.awaitOutput("$ "));
            sendInput(*client.session, "exit\r", 5);
        }
        EXPECT_EQ(client.finish().end, c.end);
        for (const auto& line : c.recorded) EXPECT_TRUE(server.recorded(line)) << line;
        for (const auto& prefix : c.notRecorded)
            EXPECT_FALSE(server.recordedPrefix(prefix)) << prefix;
        const Lines lines = client.recording.lines();
        ASSERT_GE(lines.size(), c.lastLines.size());
        EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(c.lastLines.size()), lines.end()),
                  c.lastLines);
        if (c.output != nullptr) {
            EXPECT_EQ(client.recording.output(), c.output);
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

// The packet reader's own tests cover each cipher; one cipher serves the reports here.
class Misbehaving : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(Misbehaving, EndsCleanlyWithTheRightReport) {
    const Misbehaviour& m = GetParam();
    TestServer server({"--scenario", m.scenario, "--at", m.at, "--timeout", "3"},
                      std::string(m.scenario) + "_" + m.at);
    // The login's limit is well below the server's own patience, so a silent server is found
    // out by the client.
    Client client(server.port(), 3, nullptr,
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
    ::testing::Values(
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
        Misbehaviour{"bad-crc", "key-ack", SessionEnd::KeyExchangeFailure, cannotDecrypt},
        Misbehaviour{"bad-crc", "data", SessionEnd::StreamFailure,
                     "ERROR - Corrupted packet from server (bad check value)\n"},
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
        Misbehaviour{"stall", "pty", SessionEnd::TimedOut, timedOut}));

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
