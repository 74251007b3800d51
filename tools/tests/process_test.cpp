// The server program as other modules' tests use it: its command line, its one stdout line,
// one process per connection, shell mode with a real pty, and its stop.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/md5.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "server_process.h"
#include "test_client.h"

namespace corvid1::testserver {
namespace {

struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

std::string runToEnd(const std::vector<std::string>& args) {
    ServerProcess server(args);
    return server.firstLine() + server.restOfStdout();
}

TEST(ServerProgram, PrintsOnePortLineAndListensOnIpv6) {
    ServerProcess server({"--bind", "::1", "--once"});
    EXPECT_EQ(server.firstLine(), "PORT " + std::to_string(server.port()) + "\n");
    ASSERT_GT(server.port(), 0);
    Socket s(server.connect("::1"));
    ASSERT_GE(s.fd, 0);
    TestClient client(s.fd);
    EXPECT_TRUE(client.login(CipherTripleDes, "test", "secret"));
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "exit\r"));
    std::string out;
    EXPECT_EQ(client.collectOutput(out), SSH_SMSG_EXITSTATUS);
    ASSERT_TRUE(client.send(SSH_CMSG_EXIT_CONFIRMATION));
    EXPECT_EQ(server.waitExit(10), 0);  // --once: exits after a connection that logged in
    EXPECT_EQ(server.restOfStdout(), "");
}

TEST(ServerProgram, OnceExitsWithFailureWhenTheLoginFailed) {
    ServerProcess server({"--once"});
    Socket s(server.connect());
    TestClient client(s.fd);
    EXPECT_FALSE(client.login(CipherBlowfish, "test", "wrong-password"));
    close(s.fd);
    s.fd = -1;
    EXPECT_EQ(server.waitExit(10), 1);
}

TEST(ServerProgram, BadCommandLineExitsWithUsage) {
    ServerProcess server({"--mode", "nonsense"});
    EXPECT_EQ(server.firstLine(), "");
    EXPECT_EQ(server.waitExit(5), 2);
}

TEST(ServerProgram, GarbageConnectionDoesNotDisturbTheNext) {
    ServerProcess server({"--timeout", "5"});
    {
        Socket junk(server.connect());
        const std::uint8_t noise[] = "SSH-1.5-x\n\xff\xff\xff\xff garbage";
        send(junk.fd, noise, sizeof(noise), 0);
        Socket idle(server.connect());  // a second client at the same time
        Socket good(server.connect());
        TestClient client(good.fd);
        EXPECT_TRUE(client.login(CipherBlowfish, "test", "secret"));
    }
    Socket again(server.connect());
    TestClient client(again.fd);
    EXPECT_TRUE(client.login(CipherNone, "test", "secret"));
}

TEST(ServerProgram, HostKeyFormsMatchTheOfferedKeyAndTheSeedChangesIt) {
    std::string fp1 = runToEnd({"--print-fingerprint"});
    std::string kh1 = runToEnd({"--print-known-hosts-line"});
    std::string fp2 = runToEnd({"--print-fingerprint", "--host-key-seed", "2"});
    EXPECT_NE(fp1, fp2);
    EXPECT_EQ(runToEnd({"--print-fingerprint"}), fp1);

    ServerProcess server({"--once"});
    Socket s(server.connect());
    TestClient client(s.fd);
    ASSERT_TRUE(client.exchangeVersions() && client.readPublicKey());
    // The fingerprint clients compute: MD5 over the modulus bytes, then the exponent bytes.
    Bytes n = integerBytes(client.hostModulus());
    Bytes e = integerBytes(client.hostExponent());
    n.insert(n.end(), e.begin(), e.end());
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(n.data(), n.size(), digest);
    std::string expected;
    for (unsigned char b : digest) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), expected.empty() ? "%02x" : ":%02x", b);
        expected += hex;
    }
    EXPECT_EQ(fp1, expected + "\n");
    char* nd = mpz_get_str(nullptr, 10, client.hostModulus());
    char* ed = mpz_get_str(nullptr, 10, client.hostExponent());
    EXPECT_EQ(kh1, std::to_string(client.hostBits()) + " " + ed + " " + nd + "\n");
    free(nd);
    free(ed);
}

TEST(ServerProgram, SigtermStopsServerAndItsConnections) {
    auto server = std::make_unique<ServerProcess>(std::vector<std::string>{});
    Socket s(server->connect());
    TestClient client(s.fd);
    ASSERT_TRUE(client.login(CipherTripleDes, "test", "secret"));
    kill(server->pid(), SIGTERM);
    EXPECT_EQ(server->waitExit(5), 0);
    std::string out;
    // The connection's process goes with the server, so the client sees the stream end.
    client.channel().setTimeout(5000);
    EXPECT_EQ(client.collectOutput(out), -1);
    EXPECT_NE(client.channel().error(), "timeout");  // closed or reset, not left hanging
}

// Shell mode: reads output until `needle` has appeared (or the stream stops).
bool readUntil(TestClient& client, std::string& out, const std::string& needle) {
    Packet p;
    while (out.find(needle) == std::string::npos) {
        int type = client.read(p);
        if (type != SSH_SMSG_STDOUT_DATA && type != SSH_SMSG_STDERR_DATA) return false;
        out += Reader(p.payload).string();
    }
    return true;
}

TEST(ShellMode, PtyHonoursSizeWindowChangesAndExitStatus) {
    ServerProcess server({"--mode", "shell", "--once"});
    Socket s(server.connect());
    TestClient client(s.fd);
    ASSERT_TRUE(client.login(CipherTripleDes, "test", "secret", 30, 100));
    std::string out;
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "stty size; echo T=$TERM; tty\r"));
    EXPECT_TRUE(readUntil(client, out, "T=vt100"));
    EXPECT_TRUE(readUntil(client, out, "/dev/pts/"));
    EXPECT_NE(out.find("30 100"), std::string::npos) << out;
    Writer w;
    for (std::uint32_t v : {40u, 120u, 960u, 640u}) w.u32(v);
    ASSERT_TRUE(client.send(SSH_CMSG_WINDOW_SIZE, w.bytes()));
    out.clear();
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "stty size\r"));
    EXPECT_TRUE(readUntil(client, out, "40 120"));
    ASSERT_TRUE(client.sendString(SSH_CMSG_STDIN_DATA, "exit 3\r"));
    std::uint32_t status = 0;
    EXPECT_EQ(client.collectOutput(out, &status), SSH_SMSG_EXITSTATUS);
    EXPECT_EQ(status, 3u);
    ASSERT_TRUE(client.send(SSH_CMSG_EXIT_CONFIRMATION));
    EXPECT_EQ(server.waitExit(10), 0);
}

TEST(ShellMode, CommandWithPipesSeparatesStderrAndTakesEof) {
    ServerProcess second({"--mode", "shell", "--once"});
    Socket s2(second.connect());
    TestClient c2(s2.fd);
    Packet p;
    ASSERT_TRUE(c2.exchangeVersions() && c2.readPublicKey() && c2.sendSessionKey(CipherBlowfish));
    ASSERT_EQ(c2.read(p), SSH_SMSG_SUCCESS);
    ASSERT_TRUE(c2.sendString(SSH_CMSG_USER, "test"));
    ASSERT_EQ(c2.read(p), SSH_SMSG_FAILURE);
    ASSERT_TRUE(c2.sendString(SSH_CMSG_AUTH_PASSWORD, "secret"));
    ASSERT_EQ(c2.read(p), SSH_SMSG_SUCCESS);
    ASSERT_TRUE(c2.sendString(SSH_CMSG_EXEC_CMD, "tr a-z A-Z; echo err >&2; exit 5"));
    ASSERT_TRUE(c2.sendString(SSH_CMSG_STDIN_DATA, "abc\n"));
    ASSERT_TRUE(c2.send(SSH_CMSG_EOF));
    std::string out, err;
    std::uint32_t status = 0;
    for (;;) {
        int type = c2.read(p);
        Reader r(p.payload);
        if (type == SSH_SMSG_STDOUT_DATA)
            out += r.string();
        else if (type == SSH_SMSG_STDERR_DATA)
            err += r.string();
        else {
            ASSERT_EQ(type, SSH_SMSG_EXITSTATUS);
            status = r.u32();
            break;
        }
    }
    EXPECT_EQ(out, "ABC\n");
    EXPECT_EQ(err, "err\n");
    EXPECT_EQ(status, 5u);
}

}  // namespace
}  // namespace corvid1::testserver
