// The server's conversation, scenario by scenario, against the in-process test client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "test_client.h"

namespace corvid1::testserver {
namespace {

Options scriptOptions(const std::string& scenario = "echo") {
    Options o;
    o.scenario = scenario;
    o.timeoutSeconds = 5;
    return o;
}

class Login : public ::testing::TestWithParam<int> {};

TEST_P(Login, EchoConversationWithEveryCipher) {
    InProcessServer server(scriptOptions());
    TestClient client(server.clientFd());
    ASSERT_TRUE(client.login(GetParam(), "test", "secret", 30, 100));
    EXPECT_EQ(client.serverVersion(), "SSH-1.5-Corvid1TestServer_1.0");
    EXPECT_EQ(client.cipherMask(), 0x49u);
    Packet p;
    ASSERT_EQ(client.read(p), SSH_SMSG_STDOUT_DATA);
    EXPECT_EQ(Reader(p.payload).string(), "Corvid1 test server\r\n$ ");

    Writer ws;
    for (std::uint32_t v : {31u, 100u, 800u, 600u}) ws.u32(v);
    ASSERT_TRUE(client.send(SSH_CMSG_WINDOW_SIZE, ws.bytes()));
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, std::string("hi\x00x", 4)));
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "\r"));
    std::string out;
    while (out.find("unknown:") == std::string::npos || out.back() != ' ') {
        ASSERT_EQ(client.read(p), SSH_SMSG_STDOUT_DATA);
        out += Reader(p.payload).string();
    }
    EXPECT_EQ(out, std::string("hi\x00x\r\nunknown: hi\x00x\r\n$ ", 23));

    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "exit\r"));
    std::uint32_t status = 99;
    out.clear();
    ASSERT_EQ(client.collectOutput(out, &status), SSH_SMSG_EXITSTATUS);
    EXPECT_EQ(out, "exit\r\nlogout\r\n");
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(client.send(SSH_CMSG_EXIT_CONFIRMATION));
    EXPECT_EQ(client.read(p), -1);  // the server closes after the confirmation
    EXPECT_TRUE(server.finish());

    EXPECT_TRUE(server.recorded("SESSION_KEY cipher=" + std::to_string(GetParam()) + " flags=0"));
    EXPECT_TRUE(server.recorded("USER test"));
    EXPECT_TRUE(server.recorded("PASSWORD secret"));
    EXPECT_TRUE(
        server.recorded("PTY term=vt100 rows=30 columns=100 xpixels=640 ypixels=480 modes=00"));
    EXPECT_TRUE(server.recorded("WINDOW_SIZE rows=31 columns=100 xpixels=800 ypixels=600"));
    EXPECT_TRUE(server.recorded("STDIN hi\\x00x"));
    EXPECT_TRUE(server.recorded("EXIT_CONFIRMATION"));
    EXPECT_EQ(server.recordLines().back(), "CLOSE server-closed");
}

INSTANTIATE_TEST_SUITE_P(Ciphers, Login,
                         ::testing::Values(CipherNone, CipherTripleDes, CipherBlowfish));

TEST(Login, SessionKeyOneByteShortIsPaddedBack) {
    for (int cipher : {CipherTripleDes, CipherBlowfish}) {
        InProcessServer server(scriptOptions());
        TestClient client(server.clientFd());
        ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey());
        ASSERT_TRUE(client.sendSessionKey(cipher, false, true));
        Packet p;
        EXPECT_EQ(client.read(p), SSH_SMSG_SUCCESS) << client.channel().error();
    }
}

TEST(Login, CipherOutsideTheMaskIsRefusedInClear) {
    Options o = scriptOptions();
    o.cipherMask = 1u << CipherTripleDes;
    InProcessServer server(o);
    TestClient client(server.clientFd());
    ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey());
    EXPECT_EQ(client.cipherMask(), 8u);
    // The refusal leaves before any cipher is keyed on the server, so read it in clear.
    PacketChannel clear(server.clientFd(), 5000);
    ASSERT_TRUE(client.sendSessionKey(CipherBlowfish));
    Packet p;
    ASSERT_TRUE(clear.readPacket(p));
    EXPECT_EQ(p.type, SSH_MSG_DISCONNECT);
    EXPECT_EQ(Reader(p.payload).string(), "Cipher not supported");
    EXPECT_FALSE(server.finish());
    EXPECT_TRUE(server.recorded("ERROR cipher 6 not supported"));
}

TEST(Login, WrongCookieAndUnknownUserAreRefused) {
    {
        InProcessServer server(scriptOptions());
        TestClient client(server.clientFd());
        ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey());
        PacketChannel clear(server.clientFd(), 5000);
        ASSERT_TRUE(client.sendSessionKey(CipherTripleDes, true));
        Packet p;
        ASSERT_TRUE(clear.readPacket(p));
        EXPECT_EQ(p.type, SSH_MSG_DISCONNECT);
        EXPECT_FALSE(server.finish());
        EXPECT_TRUE(server.recorded("ERROR wrong cookie"));
    }
    InProcessServer server(scriptOptions());
    TestClient client(server.clientFd());
    EXPECT_FALSE(client.login(CipherTripleDes, "mallory", "secret"));
    EXPECT_FALSE(server.finish());
}

TEST(Login, PasswordRetriesThenTooManyFailures) {
    InProcessServer server(scriptOptions());
    TestClient client(server.clientFd());
    Packet p;
    ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey() &&
                client.sendSessionKey(CipherTripleDes));
    ASSERT_EQ(client.read(p), SSH_SMSG_SUCCESS);
    ASSERT_TRUE(client.sendString(SSH_CMSG_USER, "test"));
    ASSERT_EQ(client.read(p), SSH_SMSG_FAILURE);
    ASSERT_TRUE(client.send(6, {}));  // RSA authentication is not offered
    ASSERT_EQ(client.read(p), SSH_SMSG_FAILURE);
    ASSERT_TRUE(client.sendString(SSH_CMSG_AUTH_PASSWORD, "wrong"));
    ASSERT_EQ(client.read(p), SSH_SMSG_FAILURE);
    // OpenSSH pads the password with NULs; the server takes it as a C string.
    ASSERT_TRUE(client.sendString(SSH_CMSG_AUTH_PASSWORD, std::string("secret\0\0\0", 9)));
    ASSERT_EQ(client.read(p), SSH_SMSG_SUCCESS);
    EXPECT_TRUE(server.recorded("PASSWORD wrong"));

    InProcessServer stubborn(scriptOptions());
    TestClient c2(stubborn.clientFd());
    ASSERT_TRUE(c2.exchangeVersions() && c2.readPublicKey() && c2.sendSessionKey(CipherNone));
    ASSERT_EQ(c2.read(p), SSH_SMSG_SUCCESS);
    ASSERT_TRUE(c2.sendString(SSH_CMSG_USER, "test"));
    ASSERT_EQ(c2.read(p), SSH_SMSG_FAILURE);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(c2.sendString(SSH_CMSG_AUTH_PASSWORD, "nope"));
        ASSERT_EQ(c2.read(p), SSH_SMSG_FAILURE);
    }
    ASSERT_TRUE(c2.sendString(SSH_CMSG_AUTH_PASSWORD, "nope"));
    ASSERT_EQ(c2.read(p), SSH_SMSG_FAILURE);
    ASSERT_EQ(c2.read(p), SSH_MSG_DISCONNECT);
    EXPECT_EQ(Reader(p.payload).string(), "Too many authentication failures");
}

// Logs in up to the reply to the user name.
int replyToUser(TestClient& client) {
    Packet p;
    if (!client.exchangeVersions() || !client.readPublicKey() ||
        !client.sendSessionKey(CipherTripleDes) || client.read(p) != SSH_SMSG_SUCCESS ||
        !client.sendString(SSH_CMSG_USER, "test"))
        return -2;
    return client.read(p);
}

TEST(Scenario, AuthenticationPaths) {
    {
        Options o = scriptOptions("disconnect-after-user");
        o.reason = "Go away";
        InProcessServer server(o);
        TestClient client(server.clientFd());
        Packet p;
        ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey() &&
                    client.sendSessionKey(CipherBlowfish));
        ASSERT_EQ(client.read(p), SSH_SMSG_SUCCESS);
        ASSERT_TRUE(client.sendString(SSH_CMSG_USER, "test"));
        ASSERT_EQ(client.read(p), SSH_MSG_DISCONNECT);
        EXPECT_EQ(Reader(p.payload).string(), "Go away");
    }
    {
        InProcessServer server(scriptOptions("user-only"));
        TestClient client(server.clientFd());
        EXPECT_EQ(replyToUser(client), SSH_SMSG_SUCCESS);
    }
    {
        InProcessServer server(scriptOptions("refuse-password"));
        TestClient client(server.clientFd());
        EXPECT_FALSE(client.login(CipherTripleDes, "test", "secret"));
        EXPECT_TRUE(server.recorded("PASSWORD secret"));
    }
}

TEST(Scenario, RefusedPtyStillRunsTheShell) {
    InProcessServer server(scriptOptions("refuse-pty"));
    TestClient client(server.clientFd());
    Packet p;
    ASSERT_EQ(replyToUser(client), SSH_SMSG_FAILURE);
    ASSERT_TRUE(client.sendString(SSH_CMSG_AUTH_PASSWORD, "secret"));
    ASSERT_EQ(client.read(p), SSH_SMSG_SUCCESS);
    Writer w;
    w.string(std::string("vt52"));
    for (int i = 0; i < 4; ++i) w.u32(10);
    w.u8(0);
    ASSERT_TRUE(client.send(SSH_CMSG_REQUEST_PTY, w.bytes()));
    ASSERT_EQ(client.read(p), SSH_SMSG_FAILURE);
    ASSERT_TRUE(client.send(SSH_CMSG_EXEC_SHELL));
    ASSERT_EQ(client.read(p), SSH_SMSG_STDOUT_DATA);
    EXPECT_TRUE(server.recorded("PTY term=vt52 rows=10 columns=10 xpixels=10 ypixels=10 modes=00"));
}

TEST(Scenario, IgnoreAndDebugGoBeforeEveryPacket) {
    InProcessServer server(scriptOptions("ignore-debug"));
    TestClient client(server.clientFd());
    client.channel().setDeliverIgnored(true);
    Packet p;
    ASSERT_TRUE(client.exchangeVersions());
    EXPECT_EQ(client.read(p), SSH_MSG_IGNORE);
    EXPECT_EQ(client.read(p), SSH_MSG_DEBUG);
    EXPECT_EQ(Reader(p.payload).string(), "corvid1 debug 1");
    client.channel().setDeliverIgnored(false);
    ASSERT_TRUE(client.readPublicKey());
    ASSERT_TRUE(client.sendSessionKey(CipherBlowfish));
    client.channel().setDeliverIgnored(true);
    std::vector<int> types;
    for (int i = 0; i < 3; ++i) types.push_back(client.read(p));
    EXPECT_EQ(types, (std::vector<int>{SSH_MSG_IGNORE, SSH_MSG_DEBUG, SSH_SMSG_SUCCESS}));
}

TEST(Scenario, QueriesReportTheTerminalsAnswer) {
    for (auto [scenario, query, label, tag] :
         {std::tuple{"enq", "\x05", "ENQ", "ENQ_ANSWER"},
          std::tuple{"escz", "\x1bZ", "ESC Z", "ESCZ_ANSWER"}}) {
        Options o = scriptOptions(scenario);
        o.exitStatus = 7;
        InProcessServer server(o);
        TestClient client(server.clientFd());
        ASSERT_TRUE(client.login(CipherTripleDes, "test", "secret"));
        Packet p;
        ASSERT_EQ(client.read(p), SSH_SMSG_STDOUT_DATA);
        EXPECT_EQ(Reader(p.payload).string(), query);
        ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "vt100\x01"));
        std::string out;
        std::uint32_t status = 0;
        ASSERT_EQ(client.collectOutput(out, &status), SSH_SMSG_EXITSTATUS);
        EXPECT_EQ(out, std::string(label) + " answer: \"vt100\\x01\"\r\n");
        EXPECT_EQ(status, 7u);
        EXPECT_TRUE(server.recorded(std::string(tag) + " vt100\\x01"));
    }
}

TEST(Scenario, BulkComesInFullDataPacketsOfThePattern) {
    Options o = scriptOptions("bulk");
    o.bulkBytes = 3 * 16384 + 1000;
    InProcessServer server(o);
    TestClient client(server.clientFd());
    ASSERT_TRUE(client.login(CipherBlowfish, "test", "secret"));
    Packet p;
    std::vector<std::size_t> sizes;
    std::string all;
    while (client.read(p) == SSH_SMSG_STDOUT_DATA) {
        std::string s = Reader(p.payload).string();
        sizes.push_back(s.size());
        all += s;
    }
    EXPECT_EQ(p.type, SSH_SMSG_EXITSTATUS);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{16384, 16384, 16384, 1000}));
    ASSERT_EQ(all.size(), o.bulkBytes);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(static_cast<std::uint8_t>(all[i]), (i ^ (i >> 8)) & 0xff) << i;
}

TEST(Scenario, ExitStatusAndDisconnectInData) {
    {
        Options o = scriptOptions("exit-status");
        o.exitStatus = 300;
        o.timeoutSeconds = 1;
        InProcessServer server(o);
        TestClient client(server.clientFd());
        ASSERT_TRUE(client.login(CipherNone, "test", "secret"));
        std::string out;
        std::uint32_t status = 0;
        EXPECT_EQ(client.collectOutput(out, &status), SSH_SMSG_EXITSTATUS);
        EXPECT_EQ(status, 300u);
        // Without a confirmation the server gives up after a while and closes.
        ASSERT_TRUE(client.send(SSH_CMSG_STDIN_DATA, stringBytes("late")));
        EXPECT_EQ(client.collectOutput(out), -1);
        EXPECT_TRUE(server.recorded("STDIN late"));
    }
    Options o = scriptOptions("disconnect-in-data");
    o.reason = "Server going down";
    InProcessServer server(o);
    TestClient client(server.clientFd());
    ASSERT_TRUE(client.login(CipherTripleDes, "test", "secret"));
    std::string out;
    Packet p;
    EXPECT_EQ(client.collectOutput(out), SSH_MSG_DISCONNECT);
    EXPECT_EQ(out, "goodbye\r\n");
}

// What a client meets at each stage for each failure scenario.
struct Failure {
    const char* scenario;
    Stage stage;
    const char* clientError;  // the client's read error, or "" for a clean but wrong packet
};

class FailureAt : public ::testing::TestWithParam<Failure> {};

TEST_P(FailureAt, StrikesExactlyThere) {
    const Failure f = GetParam();
    Options o = scriptOptions(f.scenario);
    o.stage = f.stage;
    o.timeoutSeconds = 2;
    InProcessServer server(o);
    TestClient client(server.clientFd(), 3000);
    Packet p;
    int reached = -1;  // the last stage the client got through
    bool failed = false;
    auto step = [&](bool ok, int stageDone) {
        if (failed) return;
        if (ok)
            reached = stageDone;
        else
            failed = true;
    };
    step(client.exchangeVersions(), static_cast<int>(Stage::Version));
    step(!failed && client.readPublicKey(), static_cast<int>(Stage::PublicKey));
    if (!failed) client.sendSessionKey(CipherTripleDes);
    step(!failed && client.read(p) == SSH_SMSG_SUCCESS && p.payload.empty(),
         static_cast<int>(Stage::KeyAck));
    if (!failed) client.sendString(SSH_CMSG_USER, "test");
    step(!failed && client.read(p) == SSH_SMSG_FAILURE && p.payload.empty(),
         static_cast<int>(Stage::User));
    if (!failed) client.sendString(SSH_CMSG_AUTH_PASSWORD, "secret");
    step(!failed && client.read(p) == SSH_SMSG_SUCCESS && p.payload.empty(),
         static_cast<int>(Stage::Password));
    if (!failed) {
        Writer w;
        w.string(std::string("vt100"));
        for (int i = 0; i < 4; ++i) w.u32(24);
        w.u8(0);
        client.send(SSH_CMSG_REQUEST_PTY, w.bytes());
    }
    step(!failed && client.read(p) == SSH_SMSG_SUCCESS && p.payload.empty(),
         static_cast<int>(Stage::Pty));
    if (!failed) client.send(SSH_CMSG_EXEC_SHELL);
    step(!failed && client.read(p) == SSH_SMSG_STDOUT_DATA && Reader(p.payload).string().size() > 3,
         static_cast<int>(Stage::Data));
    EXPECT_EQ(reached, static_cast<int>(f.stage) - 1) << f.scenario;
    EXPECT_NE(client.channel().error().find(f.clientError), std::string::npos)
        << f.scenario << ": " << client.channel().error();
    client.channel().setTimeout(3000);
    server.finish();
    EXPECT_FALSE(server.recordLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Stages, FailureAt,
                         ::testing::Values(Failure{"close", Stage::Version, "client-closed"},
                                           Failure{"close", Stage::PublicKey, "client-closed"},
                                           Failure{"bad-crc", Stage::PublicKey, "bad check value"},
                                           Failure{"bad-crc", Stage::KeyAck, "bad check value"},
                                           Failure{"oversize-length", Stage::User, "out of bounds"},
                                           Failure{"oversize-length", Stage::Data, "out of bounds"},
                                           Failure{"truncated", Stage::PublicKey, ""},
                                           Failure{"truncated", Stage::Password, ""},
                                           Failure{"truncated", Stage::Data, ""},
                                           Failure{"close-mid-packet", Stage::Pty, "client-closed"},
                                           Failure{"close-mid-packet", Stage::KeyAck,
                                                   "client-closed"},
                                           Failure{"close", Stage::Data, "client-closed"}));

TEST(VersionLine, GarbageAndSsh2Only) {
    {
        InProcessServer server(scriptOptions("garbage-version"));
        TestClient client(server.clientFd());
        ASSERT_TRUE(client.exchangeVersions());
        EXPECT_EQ(client.serverVersion(), "HELLO this is not ssh");
    }
    InProcessServer server(scriptOptions("ssh2-version"));
    TestClient client(server.clientFd());
    ASSERT_TRUE(client.exchangeVersions());
    EXPECT_EQ(client.serverVersion(), "SSH-2.0-OpenSSH_9.2p1");
    std::string reply;
    ASSERT_TRUE(client.channel().readLine(reply, 200));
    EXPECT_EQ(reply, "Protocol major versions differ.");
    std::uint8_t byte;
    EXPECT_FALSE(client.channel().readExactly(&byte, 1));
    EXPECT_TRUE(client.channel().peerClosed());
}

// A hostile or broken client never crashes the server and never hangs it.
TEST(HostileClient, MalformedInputEndsTheConnectionCleanly) {
    auto raw = [](TestClient& c, const Bytes& b) { return c.channel().writeRaw(b); };
    struct Case {
        const char* name;
        std::function<void(TestClient&)> act;
        const char* recordedError;
    };
    std::vector<Case> cases = {
        {"not ssh-1", [&](TestClient& c) { c.exchangeVersions("SSH-2.0-x\r\n"); },
         "ERROR client does not speak SSH-1"},
        {"endless version line", [&](TestClient& c) { c.exchangeVersions(std::string(5000, 'A')); },
         "ERROR version line too long"},
        {"oversize length",
         [&](TestClient& c) {
             c.exchangeVersions();
             c.readPublicKey();
             raw(c, {0x7f, 0xff, 0xff, 0xff, 1, 2, 3, 4});
         },
         "ERROR packet length 2147483647 out of bounds"},
        {"zero length",
         [&](TestClient& c) {
             c.exchangeVersions();
             c.readPublicKey();
             raw(c, Bytes(16, 0));
         },
         "ERROR packet length 0 out of bounds"},
        {"bad check value",
         [&](TestClient& c) {
             c.exchangeVersions();
             c.readPublicKey();
             c.channel().writeRaw(c.channel().framePacket(SSH_CMSG_SESSION_KEY, Bytes(40), 1));
         },
         "ERROR bad check value"},
        {"session key of garbage",
         [&](TestClient& c) {
             c.exchangeVersions();
             c.readPublicKey();
             c.send(SSH_CMSG_SESSION_KEY, Bytes(40, 0x01));
         },
         "ERROR malformed session key message"},
        {"user string longer than the packet",
         [&](TestClient& c) {
             Packet p;
             c.exchangeVersions();
             c.readPublicKey();
             c.sendSessionKey(CipherTripleDes);
             c.read(p);
             c.send(SSH_CMSG_USER, {0, 0x10, 0, 0, 'x'});
         },
         "ERROR malformed message 4"},
    };
    for (auto& tc : cases) {
        InProcessServer server(scriptOptions());
        TestClient client(server.clientFd(), 3000);
        tc.act(client);
        std::uint8_t sink[256];
        while (client.channel().readExactly(sink, 1)) {
        }
        EXPECT_FALSE(server.finish()) << tc.name;
        EXPECT_TRUE(server.recorded(tc.recordedError)) << tc.name;
    }
}

TEST(HostileClient, RandomPacketsAfterLoginNeverCrash) {
    for (int round = 0; round < 20; ++round) {
        InProcessServer server(scriptOptions());
        TestClient client(server.clientFd(), 3000);
        ASSERT_TRUE(client.login(round % 2 ? CipherBlowfish : CipherTripleDes, "test", "secret"));
        for (int i = 0; i < 30; ++i) {
            std::uint8_t meta[2];
            randomBytes(meta, 2);
            Bytes payload(meta[1] % 40);
            randomBytes(payload.data(), payload.size());
            if (meta[0] == SSH_CMSG_EXIT_CONFIRMATION) continue;
            if (!client.send(meta[0], payload)) break;
        }
        shutdown(server.clientFd(), SHUT_WR);
        std::string out;
        client.collectOutput(out);
        server.finish();
        EXPECT_FALSE(server.recordLines().empty());
    }
}

}  // namespace
}  // namespace corvid1::testserver
