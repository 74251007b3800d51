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
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using namespace std::chrono_literals;
using test::TestServer;
using Lines = std::vector<std::string>;
using E = SessionEnd;

Lines tail(const Lines& all, std::size_t count) {
    return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end());
}

// A client as the application runs it, with the window's size in pixels and the given cipher.
struct Client : test::TestClient {
    Client(const TestServer& server, int preference, SessionFrontEnd* frontEnd = nullptr,
           const std::function<void(LoginParameters&)>& adjust = {},
           std::shared_ptr<HostKeyVerifier> verifier = {})
        : TestClient(
              server,
              [&](LoginParameters& l) {
                  l.cipherPreference = static_cast<std::uint32_t>(preference);
                  l.widthPixels = 640;
                  l.heightPixels = 384;
                  if (adjust) adjust(l);
              },
              frontEnd, std::move(verifier)) {}
    bool awaitOutput(const std::string& text) { return await(text, true); }
    void type(const char* text) { sendInput(*session, text, -1); }
};

class EveryCipher : public ::testing::TestWithParam<int> {};

TEST_P(EveryCipher, LoginTypingWindowSizeAndExit) {
    const int preference = GetParam();
    TestServer server({"--mode", "script", "--scenario", "echo"}, "echo");
    Client client(server, preference);
    ASSERT_TRUE(client.awaitOutput("Corvid1 test server\r\n$ "));
    client.type("hi\r");
    ASSERT_TRUE(client.awaitOutput("hi\r\n"));
    sendWindowSize(*client.session, 30, 100, 800, 600);
    client.type("exit\r");
    const SessionResult result = client.finish();
    EXPECT_EQ(result.end, E::ExitStatus);
    EXPECT_EQ(result.exitStatus.value_or(99), 0u);
    EXPECT_EQ(result.cipher, preference);
    const std::string name = preference == 3 ? "3DES" : "BLOWFISH";
    Lines expected = {"Sending cipher/key\n", "Sent login username\n", "Sent login password\n",
                      "Authorization successful.\n", "PTTY Allocated\n"};
    if (preference != 0)
        expected.insert(expected.begin(), {"Attempting cipher type '" + name + "'...\n",
                                           "Cipher '" + name + "' selected.\n"});
    EXPECT_EQ(tail(client.recording.lines(), expected.size()), expected);
    EXPECT_NE(client.recording.output().find("logout\r\n"), std::string::npos);
    for (const std::string& line :
         Lines{"VERSION SSH-1.5-CORVID11.00.46",
               "SESSION_KEY cipher=" + std::to_string(preference) + " flags=0", "USER test",
               "PASSWORD secret",
               "PTY term=vt100 rows=24 columns=80 xpixels=640 ypixels=384 modes=00", "EXEC_SHELL",
               "WINDOW_SIZE rows=31 columns=100 xpixels=800 ypixels=600", "EXIT_CONFIRMATION"})
        EXPECT_TRUE(server.awaitRecord(line)) << line;
}

TEST_P(EveryCipher, CompressedBothWays) {
    const std::size_t count = 200000;
    TestServer server({"--scenario", "echo", "--bulk", std::to_string(count)}, "zlib");
    Client client(server, GetParam(), nullptr, [](LoginParameters& l) { l.compressionLevel = 9; });
    ASSERT_TRUE(client.awaitOutput("$ "));
    client.type("bulk\r");  // typed, so compressed by the client
    client.type("exit\r");
    EXPECT_EQ(client.finish().end, E::ExitStatus);
    std::string bulk(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bulk[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    EXPECT_NE(client.recording.output().find(bulk), std::string::npos);
    EXPECT_TRUE(client.recording.saw("Compression enabled\n"));
    EXPECT_TRUE(server.recorded("COMPRESSION level=9"));
}

INSTANTIATE_TEST_SUITE_P(Session, EveryCipher, ::testing::Values(0, 3, 6));

// What the login parameters and the server's answers make of a session, as the server records
// it and the user is told.
TEST(SessionOptions, EachReachesTheServerAndEndsAsItShould) {
    const auto none = [](LoginParameters&) {};
    const struct {
        const char* name;
        Lines serverArgs;
        std::function<void(LoginParameters&)> adjust;
        bool typeExit;  // the scenario runs a shell that waits for "exit"
        E end;
        Lines recorded;                // lines the server recorded
        Lines notRecorded;             // prefixes it must not have
        Lines lastLines;               // the user's last status lines
        const char* output = nullptr;  // all the output; null: not checked
    } cases[] = {
        // clang-format off
        {"command without a pty", {"--scenario", "exit-status", "--exit-status", "42"},
         [](LoginParameters& l) { l.command = "show version"; l.requestPty = false; }, false,
         E::ExitStatus, {"EXEC_CMD show version"}, {"PTY", "EXEC_SHELL"}, {}, "exit status 42\r\n"},
        {"compression refused", {"--scenario", "refuse-compression"},
         [](LoginParameters& l) { l.compressionLevel = 6; }, false, E::ExitStatus,
         {"COMPRESSION level=6", "EXEC_SHELL"}, {}, {}},
        {"a packet that unpacks past the bound", {"--scenario", "compression-bomb"},
         [](LoginParameters& l) { l.compressionLevel = 1; }, false, E::StreamFailure,
         {"COMPRESSION level=1"}, {}, {"ERROR - Compressed packet from server unpacks to more than 256 KiB\n"}},
        {"password without padding", {"--scenario", "exit-status"},
         [](LoginParameters& l) { l.padPassword = false; }, false, E::ExitStatus,
         {"PASSWORD secret"}, {"IGNORE"}, {}},
        {"user accepted without a password", {"--scenario", "user-only"}, none, true, E::ExitStatus,
         {"USER test"}, {"PASSWORD"}, {"Sent login username\n", "Authorization successful.\n", "PTTY Allocated\n"}},
        {"password refused", {"--scenario", "refuse-password"}, none, false, E::LoginRefused, {}, {},
         {"Authorization error. Check username and password.\n"}},
        {"wrong password", {"--scenario", "echo", "--password", "other"}, none, false,
         E::LoginRefused, {"PASSWORD secret"}, {"PTY"}, {}},
        {"disconnect after the user name", {"--scenario", "disconnect-after-user", "--reason",
         "Permission denied"}, none, false, E::LoginRefused, {}, {"PASSWORD"},
         {"Error during authorization!\n", "Server response: Permission denied\n"}},
        {"pty refused, the shell still runs", {"--scenario", "refuse-pty"}, none, true,
         E::ExitStatus, {"EXEC_SHELL"}, {}, {"Warning - PTTY not Allocated\n"}},
        {"disconnect in the data loop", {"--scenario", "disconnect-in-data", "--reason", "Bye now"},
         none, false, E::ServerDisconnect, {}, {}, {"PTTY Allocated\n"}, "goodbye\r\nBye now"},
        // Neither 3DES nor Blowfish: the client ends with no cipher, which this server refuses;
        // the refusal comes unencrypted, so it reads as the server's words.
        {"no cipher in common", {"--scenario", "echo", "--ciphers", "0x02"}, none, false,
         E::KeyExchangeFailure, {"SESSION_KEY cipher=0 flags=0"}, {"USER"},
         {"Server response: Cipher not supported\n"}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.serverArgs, "options");
        Client client(server, 6, nullptr, c.adjust);
        if (c.typeExit) {
            ASSERT_TRUE(client.awaitOutput("$ "));
            client.type("exit\r");
        }
        EXPECT_EQ(client.finish().end, c.end);
        for (const auto& line : c.recorded) EXPECT_TRUE(server.recorded(line)) << line;
        for (const auto& prefix : c.notRecorded) EXPECT_FALSE(server.recordedPrefix(prefix));
        EXPECT_EQ(tail(client.recording.lines(), c.lastLines.size()), c.lastLines);
        EXPECT_EQ(client.recording.output(), c.output ? c.output : client.recording.output());
    }
}

// SSH-1 sends packet lengths in clear: the password's packet hides among IGNOREs of every
// neighbouring size, so the run of sizes is the same whatever the password's length.
TEST(SessionOptions, PasswordLengthDoesNotShowOnTheWire) {
    TestServer server({"--scenario", "exit-status"}, "padding");
    Client client(server, 3);
    EXPECT_EQ(client.finish().end, E::ExitStatus);
    std::set<std::size_t> sizes, expected;
    for (const std::string& line : server.record()) {
        if (line.rfind("IGNORE ", 0) == 0) sizes.insert(std::stoul(line.substr(7)));
        if (line == "PASSWORD secret") sizes.insert(4 + 6);
    }
    for (std::size_t n = 0; n < 16; ++n) expected.insert(4 + n);
    EXPECT_EQ(sizes, expected);
}

// An idle session sends an IGNORE each interval; the end of input reaches the server as EOF.
TEST(SessionOptions, KeepaliveAndEndOfInput) {
    TestServer server({"--scenario", "echo"}, "keepalive");
    Client client(server, 3, nullptr, [](LoginParameters& l) {
        l.keepaliveSeconds = 1;
        l.padPassword = false;
    });
    ASSERT_TRUE(client.awaitOutput("$ "));
    std::this_thread::sleep_for(2300ms);
    sendEof(*client.session);
    client.type("exit\r");
    EXPECT_EQ(client.finish().end, E::ExitStatus);
    int keepalives = 0;
    for (const std::string& line : server.record()) keepalives += line == "IGNORE 4";
    EXPECT_GE(keepalives, 2);
    EXPECT_LE(keepalives, 3);
    EXPECT_TRUE(server.recorded("EOF"));
}

// Each way a server can break the stream, at each step: the session ends cleanly with the
// right report. The packet reader's own tests cover each cipher; one cipher serves here.
TEST(Session, MisbehavingServerEndsCleanlyWithTheRightReport) {
    const char* const lostInLogin = "ERROR - Connection lost during login\n";
    const char* const timedOut = "ERROR - The server stopped answering during the login\n";
    const struct {
        const char* scenario;
        const char* at;
        E end;
        const char* lastLine;  // null: not checked
        const char* alsoSaw = nullptr;
    } cases[] = {
        // clang-format off
        {"ssh2-version", "data", E::KeyExchangeFailure, "ERROR - The server does not offer SSH-1; "
         "it announced SSH protocol 2 only.\n", "Server response: Protocol major versions differ.\n"},
        {"close", "version", E::VersionFailure, "ERROR - Connection lost before the server's version line\n"},
        {"close", "public-key", E::KeyExchangeFailure, "ERROR - Server public key not received\n"},
        {"close", "key-ack", E::KeyExchangeFailure, "ERROR - Connection lost during the key exchange\n"},
        {"close", "user", E::StreamFailure, lostInLogin},
        {"close", "password", E::StreamFailure, lostInLogin},
        {"close", "pty", E::StreamFailure, lostInLogin},
        {"close", "data", E::StreamFailure, "PTTY Allocated\n"},
        {"bad-crc", "key-ack", E::KeyExchangeFailure, "ERROR - CANNOT DECRYPT PACKET\n"},
        {"bad-crc", "data", E::StreamFailure, "ERROR - Corrupted packet from server (bad check value)\n"},
        {"oversize-length", "data", E::StreamFailure, "ERROR - Packet from server too long\n"},
        {"truncated", "public-key", E::KeyExchangeFailure, "ERROR - Server public key packet is malformed\n"},
        {"truncated", "data", E::StreamFailure, "ERROR - Malformed packet from server\n"},
        // The broken string rides on a reply that carries no fields: after the user name the
        // client sends its password and the server never answers it; after the pty request
        // the login is over and the server gives up on the silent client.
        {"truncated", "user", E::TimedOut, timedOut},
        {"truncated", "pty", E::StreamFailure, nullptr},
        // Silence with the connection open, in the middle of each step of the login.
        {"stall", "version", E::TimedOut, timedOut}, {"stall", "public-key", E::TimedOut, timedOut},
        {"stall", "key-ack", E::TimedOut, timedOut}, {"stall", "user", E::TimedOut, timedOut},
        {"stall", "password", E::TimedOut, timedOut}, {"stall", "pty", E::TimedOut, timedOut},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + "@" + c.at);
        TestServer server({"--scenario", c.scenario, "--at", c.at, "--timeout", "3"}, "bad");
        // The login's limit is well below the server's own patience, so a silent server is
        // found out by the client, in time.
        const auto started = std::chrono::steady_clock::now();
        Client client(server, 3, nullptr, [](LoginParameters& l) { l.loginTimeout = 1000ms; });
        EXPECT_EQ(client.finish().end, c.end);
        EXPECT_TRUE(c.end != E::TimedOut || std::chrono::steady_clock::now() - started < 2500ms);
        EXPECT_TRUE(!c.lastLine || client.recording.lines().back() == c.lastLine) << c.lastLine;
        EXPECT_TRUE(!c.alsoSaw || client.recording.saw(c.alsoSaw));
        // A broken stream never blames the credentials or the server's pty.
        EXPECT_FALSE(client.recording.saw("Authorization error. Check username and password.\n"));
        EXPECT_FALSE(client.recording.saw("Warning - PTTY not Allocated\n"));
    }
}

// The user may take as long as they like over the host-key question (here well over twice the
// limit, so that counting even half of it would fail); only the server's silence counts.
TEST(LoginTimeout, TimeSpentOnTheHostKeyQuestionDoesNotCount) {
    struct SlowUser : HostKeyVerifier {
        bool verifyHostKey(const RsaPublicKey&) override {
            std::this_thread::sleep_for(1500ms);
            return true;
        }
    };
    TestServer server({"--scenario", "exit-status"}, "slowuser");
    Client client(
        server, 3, nullptr, [](LoginParameters& l) { l.loginTimeout = 600ms; },
        std::make_shared<SlowUser>());
    EXPECT_EQ(client.finish().end, E::ExitStatus);
}

}  // namespace
}  // namespace corvid1
