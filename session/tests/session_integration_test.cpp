// The whole client against corvid1-test-server, an independent SSH-1.5 server, over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "session/key_exchange.h"
#include "test_server.h"

namespace corvid1 {
namespace {

using namespace std::chrono_literals;
using test::TestServer;
using Client = test::TestClient;
using Lines = std::vector<std::string>;
using E = SessionEnd;
void sleep(std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }

class EveryCipher : public ::testing::TestWithParam<int> {};

TEST_P(EveryCipher, LoginTypingWindowSizeAndExit) {
    const int preference = GetParam();
    TestServer server({"--mode", "script", "--scenario", "echo"}, "echo");
    Client client(server, preference);
    ASSERT_TRUE(client.await("Corvid1 test server\r\n$ ", true));
    client.type("hi\r");
    ASSERT_TRUE(client.await("hi\r\n", true));
    sendWindowSize(*client.session, 30, 100, 800, 600);
    client.type("exit\r");
    const SessionResult result = client.finish();
    EXPECT_TRUE(result.end == E::ExitStatus && result.exitStatus == 0u);
    EXPECT_EQ(result.cipher, preference);
    const std::string name = preference == 3 ? "3DES" : "BLOWFISH";
    Lines expected = {"Sending cipher/key\n", "Sent login username\n", "Sent login password\n",
                      "Authorization successful.\n", "PTTY Allocated\n"};
    if (preference != 0)
        expected.insert(expected.begin(), {"Attempting cipher type '" + name + "'...\n",
                                           "Cipher '" + name + "' selected.\n"});
    EXPECT_EQ(client.recording.lastLines(expected.size()), expected);
    EXPECT_NE(client.recording.output().find("logout\r\n"), std::string::npos);
    for (const std::string& line : Lines{"VERSION SSH-1.5-CORVID11.00.46", "SESSION_KEY cipher=" +
         std::to_string(preference) + " flags=0", "USER test", "PASSWORD secret", "EXEC_SHELL",
         "PTY term=vt100 rows=24 columns=80 xpixels=640 ypixels=384 modes=00", "EXIT_CONFIRMATION",
         "WINDOW_SIZE rows=31 columns=100 xpixels=800 ypixels=600"})  // clang-format off
        EXPECT_TRUE(server.awaitRecord(line)) << line;
}

TEST_P(EveryCipher, CompressedBothWays) {
    const std::size_t count = 200000;
    TestServer server({"--scenario", "echo", "--bulk", std::to_string(count)}, "zlib");
    Client client(server, GetParam(), [](LoginParameters& l) { l.compressionLevel = 9; });
    ASSERT_TRUE(client.await("$ ", true));
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

// What the login parameters and the server's answers make of a session, both sides' view.
TEST(SessionOptions, EachReachesTheServerAndEndsAsItShould) {
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
        {"user accepted without a password", {"--scenario", "user-only"}, {}, true, E::ExitStatus,
         {"USER test"}, {"PASSWORD"}, {"Sent login username\n", "Authorization successful.\n", "PTTY Allocated\n"}},
        {"password refused", {"--scenario", "refuse-password"}, {}, false, E::LoginRefused, {}, {},
         {"Authorization error. Check username and password.\n"}},
        {"wrong password", {"--scenario", "echo", "--password", "other"}, {}, false,
         E::LoginRefused, {"PASSWORD secret"}, {"PTY"}, {}},
        {"disconnect after the user name", {"--scenario", "disconnect-after-user", "--reason",
         "Permission denied"}, {}, false, E::LoginRefused, {}, {"PASSWORD"},
         {"Error during authorization!\n", "Server response: Permission denied\n"}},
        {"pty refused, the shell still runs", {"--scenario", "refuse-pty"}, {}, true,
         E::ExitStatus, {"EXEC_SHELL"}, {}, {"Warning - PTTY not Allocated\n"}},
        {"disconnect in the data loop", {"--scenario", "disconnect-in-data", "--reason", "Bye now"},
         {}, false, E::ServerDisconnect, {}, {}, {"PTTY Allocated\n"}, "goodbye\r\nBye now"},
        // No cipher in common: the server's refusal comes unencrypted, as the server's words.
        {"no cipher in common", {"--scenario", "echo", "--ciphers", "0x02"}, {}, false,
         E::KeyExchangeFailure, {"SESSION_KEY cipher=0 flags=0"}, {"USER"},
         {"Server response: Cipher not supported\n"}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.serverArgs, "options");
        Client client(server, 6, c.adjust);
        ASSERT_TRUE(!c.typeExit || client.await("$ ", true));
        if (c.typeExit) client.type("exit\r");
        EXPECT_EQ(client.finish().end, c.end);
        for (const auto& line : c.recorded) EXPECT_TRUE(server.recorded(line)) << line;
        for (const auto& prefix : c.notRecorded) EXPECT_FALSE(server.recordedPrefix(prefix));
        EXPECT_EQ(client.recording.lastLines(c.lastLines.size()), c.lastLines);
        EXPECT_EQ(client.recording.output(), c.output ? c.output : client.recording.output());
    }
}

// Packet lengths go in clear: the password hides among IGNOREs of every neighbouring size.
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
    Client client(server, 3, [](LoginParameters& l) { l.keepaliveSeconds = 1, l.padPassword = false; });
    ASSERT_TRUE(client.await("$ ", true));
    sleep(2300ms);
    sendEof(*client.session);
    client.type("exit\r");
    EXPECT_EQ(client.finish().end, E::ExitStatus);
    int keepalives = 0;
    for (const std::string& line : server.record()) keepalives += line == "IGNORE 4";
    EXPECT_TRUE(keepalives >= 2 && keepalives <= 3) << keepalives;
    EXPECT_TRUE(server.recorded("EOF"));
}

// Each way a server can break the stream, at each step, ends cleanly with the right report.
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
        {"close", "user", E::StreamFailure, lostInLogin}, {"close", "password", E::StreamFailure, lostInLogin},
        {"close", "pty", E::StreamFailure, lostInLogin}, {"close", "data", E::StreamFailure, "PTTY Allocated\n"},
        {"bad-crc", "key-ack", E::KeyExchangeFailure, "ERROR - CANNOT DECRYPT PACKET\n"},
        {"bad-crc", "data", E::StreamFailure, "ERROR - Corrupted packet from server (bad check value)\n"},
        {"oversize-length", "data", E::StreamFailure, "ERROR - Packet from server too long\n"},
        {"truncated", "public-key", E::KeyExchangeFailure, "ERROR - Server public key packet is malformed\n"},
        {"truncated", "data", E::StreamFailure, "ERROR - Malformed packet from server\n"},
        // A broken field-less reply: to the user name, the password goes unanswered; to the pty,
        // the login is over and the server gives up on the silent client.
        {"truncated", "user", E::TimedOut, timedOut},
        {"truncated", "pty", E::StreamFailure, nullptr},
        // Silence with the connection open, in the middle of each step of the login.
        {"stall", "version", E::TimedOut, timedOut}, {"stall", "public-key", E::TimedOut, timedOut}, {"stall", "key-ack", E::TimedOut, timedOut},
        {"stall", "user", E::TimedOut, timedOut}, {"stall", "password", E::TimedOut, timedOut}, {"stall", "pty", E::TimedOut, timedOut},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + "@" + c.at);
        TestServer server({"--scenario", c.scenario, "--at", c.at, "--timeout", "3"}, "bad");
        // The login's limit is well below the server's own patience: the client finds it out.
        const auto started = std::chrono::steady_clock::now();
        Client client(server, 3, [](LoginParameters& l) { l.loginTimeout = 1000ms; });
        EXPECT_EQ(client.finish().end, c.end);
        EXPECT_TRUE(c.end != E::TimedOut || std::chrono::steady_clock::now() - started < 2500ms);
        EXPECT_TRUE(!c.lastLine || client.recording.lines().back() == c.lastLine) << c.lastLine;
        EXPECT_TRUE(!c.alsoSaw || client.recording.saw(c.alsoSaw));
        // A broken stream never blames the credentials or the server's pty.
        EXPECT_FALSE(client.recording.saw("Authorization error. Check username and password.\n") ||
                     client.recording.saw("Warning - PTTY not Allocated\n"));
    }
}

// Only the server's silence counts, not the user's (over twice the limit) on the host key.
TEST(LoginTimeout, TimeSpentOnTheHostKeyQuestionDoesNotCount) {
    struct SlowUser : HostKeyVerifier {
        bool verifyHostKey(const RsaPublicKey&) override { return sleep(1500ms), true; }
    };
    TestServer server({"--scenario", "exit-status"}, "slowuser");
    Client client(server, 3, [](LoginParameters& l) { l.loginTimeout = 600ms; },
                  std::make_shared<SlowUser>());
    EXPECT_EQ(client.finish().end, E::ExitStatus);
}

}  // namespace
}  // namespace corvid1
