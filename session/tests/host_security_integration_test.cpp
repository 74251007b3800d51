// Host-key checking, the CRC attack detector and IPv6, end to end against corvid1-test-server
// presenting two different host keys (seeds 1 and 2).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "crypto/sha1.h"
#include "session/host_key_policy.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

namespace fs = std::filesystem;
using test::RecordingFrontEnd;
using test::TestServer;

std::string runCommand(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
        ::pclose(pipe);
    }
    return output;
}

std::string chomp(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// What the server itself says about its host key for a seed.
std::string serverFingerprint(int seed) {
    return "1024 " + chomp(runCommand(std::string(CORVID1_TEST_SERVER) + " --host-key-seed " +
                                      std::to_string(seed) + " --print-fingerprint"));
}
std::string serverKeyFields(int seed) {
    return chomp(runCommand(std::string(CORVID1_TEST_SERVER) + " --host-key-seed " +
                            std::to_string(seed) + " --print-known-hosts-line"));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Answers with what the test chose and remembers what it was asked.
class ScriptedPrompt : public HostKeyPrompt {
  public:
    UnknownHostKeyDecision unknownAnswer = UnknownHostKeyDecision::Refuse;
    std::optional<ChangedHostKeyDecision> changedAnswer;  // none: the interface's default
    int unknownAsked = 0, changedAsked = 0;
    std::string host, fingerprint, oldFingerprint;
    std::uint16_t port = 0;
    std::uint32_t bits = 0;

    UnknownHostKeyDecision decideUnknown(const std::string& h, std::uint16_t p, std::uint32_t b,
                                         const std::string& f) override {
        ++unknownAsked;
        host = h;
        port = p;
        bits = b;
        fingerprint = f;
        return unknownAnswer;
    }
    ChangedHostKeyDecision decideChanged(const std::string& h, std::uint16_t p, std::uint32_t b,
                                         const std::string& oldF,
                                         const std::string& newF) override {
        ++changedAsked;
        host = h;
        port = p;
        bits = b;
        oldFingerprint = oldF;
        fingerprint = newF;
        return changedAnswer ? *changedAnswer : HostKeyPrompt::decideChanged(h, p, b, oldF, newF);
    }
};

// What one session did: how it ended, the policy's outcome and every status line.
struct SessionRun {
    SessionResult result;
    HostKeyOutcome outcome = HostKeyOutcome::NotChecked;
    std::vector<std::string> lines;
    bool saw(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

class HostKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvid1-hostsec-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        userStore = root / "config" / "corvid1" / "known_hosts";
        openSshStore = root / "ssh" / "known_hosts";
    }
    void TearDown() override { fs::remove_all(root); }

    KnownHosts stores() const { return KnownHosts(userStore, {openSshStore}); }

    // One whole session against `server`, checked by a policy over the test's stores.
    SessionRun connect(const TestServer& server, HostKeyPrompt* prompt,
                       HostKeyPolicyOptions options = {}, const char* host = "127.0.0.1") {
        LoginParameters login;
        login.user = "test";
        login.password = "secret";
        login.seedFilePath = (root / "seed").string();
        auto connection = std::make_unique<Connection>();
        EXPECT_EQ(connection->socket().openConnection(host, server.port()), 1) << host;
        RecordingFrontEnd frontEnd;
        Session session(std::move(connection), login, frontEnd);
        auto policy = installHostKeyPolicy(session, host, server.port(), stores(), prompt, options);
        SessionRun run;
        run.result = runSession(session);
        run.outcome = policy->outcome();
        run.lines = frontEnd.lines();
        return run;
    }

    static std::vector<std::string> bulk(int seed) {
        return {"--scenario", "bulk", "--bulk", "100", "--host-key-seed", std::to_string(seed)};
    }

    fs::path root, userStore, openSshStore;
};

// The server's record of its latest connection, once that connection has closed.
std::vector<std::string> lastConnection(const TestServer& server) {
    std::vector<std::string> lines;
    for (int i = 0; i < 500; ++i) {
        const std::vector<std::string> all = server.record();
        const auto start = std::find(all.rbegin(), all.rend(), "CONNECT");
        lines.assign(start.base() - (start == all.rend() ? 0 : 1), all.end());
        if (!lines.empty() && lines.back().rfind("CLOSE ", 0) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
}

void expectRefusedBeforeTheSessionKey(const SessionRun& run, const TestServer& server) {
    EXPECT_EQ(run.result.end, SessionEnd::HostKeyRejected);
    EXPECT_EQ(run.lines.back(), "ERROR - Host key not accepted\n");
    EXPECT_FALSE(run.saw("Computing session id\n"));
    // The server saw the client's version line and its close, and no session key between.
    const std::vector<std::string> record = lastConnection(server);
    ASSERT_GE(record.size(), 3u);
    EXPECT_EQ(record[0], "CONNECT");
    EXPECT_EQ(record[1].rfind("VERSION ", 0), 0u);
    EXPECT_EQ(record.back(), "CLOSE client-closed");
    for (const std::string& line : record)
        EXPECT_EQ(line.rfind("SESSION_KEY", 0), std::string::npos);
}

TEST_F(HostKeys, UnknownKeyRefusedAcceptedOnceOrRemembered) {
    TestServer server(bulk(1), "hostsec_unknown");
    ASSERT_NE(server.port(), 0);
    const std::string name = "[127.0.0.1]:" + std::to_string(server.port());
    const std::string fingerprint = serverFingerprint(1);
    ASSERT_EQ(fingerprint.size(), 5 + 47u);

    // Nobody to ask: refused, and nothing is written.
    SessionRun run = connect(server, nullptr);
    EXPECT_EQ(run.outcome, HostKeyOutcome::RefusedUnknown);
    EXPECT_TRUE(run.saw("The host key of " + name + " is not known.\n"));
    EXPECT_TRUE(run.saw("Host key fingerprint: " + fingerprint + "\n"));
    EXPECT_TRUE(run.saw("Nobody can be asked whether to trust it; not connecting.\n"));
    expectRefusedBeforeTheSessionKey(run, server);
    EXPECT_FALSE(fs::exists(userStore));

    // The user says no: the prompt saw the host, port, bits and the server's own fingerprint.
    ScriptedPrompt prompt;
    run = connect(server, &prompt);
    EXPECT_EQ(prompt.unknownAsked, 1);
    EXPECT_EQ(prompt.host, "127.0.0.1");
    EXPECT_EQ(prompt.port, server.port());
    EXPECT_EQ(prompt.bits, 1024u);
    EXPECT_EQ(prompt.fingerprint, fingerprint);
    EXPECT_EQ(run.result.end, SessionEnd::HostKeyRejected);
    EXPECT_FALSE(run.saw("Nobody can be asked whether to trust it; not connecting.\n"));

    // Connect once: logs in, remembers nothing, so the next connection asks again.
    prompt.unknownAnswer = UnknownHostKeyDecision::ConnectOnce;
    run = connect(server, &prompt);
    EXPECT_EQ(run.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(run.outcome, HostKeyOutcome::AcceptedOnce);
    EXPECT_TRUE(run.saw("Host key accepted for this connection only\n"));
    EXPECT_FALSE(fs::exists(userStore));
    connect(server, &prompt);
    EXPECT_EQ(prompt.unknownAsked, 3);

    // Accept and remember: one owner-only line, exactly what the server says of its key; the
    // next connection is not asked.
    prompt.unknownAnswer = UnknownHostKeyDecision::AcceptAndRemember;
    run = connect(server, &prompt);
    EXPECT_EQ(run.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(run.outcome, HostKeyOutcome::AcceptedAndSaved);
    EXPECT_TRUE(run.saw("Host key accepted and saved in " + userStore.string() + "\n"));
    EXPECT_EQ(readFile(userStore), name + " " + serverKeyFields(1) + "\n");
    struct stat info {};
    ASSERT_EQ(::stat(userStore.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    run = connect(server, &prompt);
    EXPECT_EQ(prompt.unknownAsked, 4);
    EXPECT_EQ(run.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(run.outcome, HostKeyOutcome::Known);
    EXPECT_TRUE(run.saw("Host key matches the one on record\n"));
}

TEST_F(HostKeys, ChangedKeyIsRefusedUnlessTheUserTakesItForOneConnection) {
    TestServer server(bulk(2), "hostsec_changed");
    ASSERT_NE(server.port(), 0);
    const std::string name = "[127.0.0.1]:" + std::to_string(server.port());
    writeFile(userStore, "# earlier\n" + name + " " + serverKeyFields(1) + "\n");
    const std::string before = readFile(userStore);

    // With nobody to ask, and with a prompt that keeps the interface's default answer.
    ScriptedPrompt prompt;
    prompt.unknownAnswer = UnknownHostKeyDecision::AcceptAndRemember;
    for (HostKeyPrompt* asked :
         {static_cast<HostKeyPrompt*>(nullptr), static_cast<HostKeyPrompt*>(&prompt)}) {
        const SessionRun run = connect(server, asked);
        EXPECT_EQ(run.outcome, HostKeyOutcome::RefusedChanged);
        EXPECT_TRUE(run.saw("WARNING - THE HOST KEY OF " + name + " HAS CHANGED!\n"));
        EXPECT_TRUE(
            run.saw("This may be an attack: someone may be posing as the server to read "
                    "your password.\n"));
        EXPECT_TRUE(run.saw("Key on record: " + serverFingerprint(1) + " (" + userStore.string() +
                            ":2)\n"));
        EXPECT_TRUE(run.saw("Key presented: " + serverFingerprint(2) + "\n"));
        EXPECT_TRUE(run.saw("Remove the entry at " + userStore.string() +
                            ":2 only once the server's administrator has confirmed the new "
                            "key.\n"));
        expectRefusedBeforeTheSessionKey(run, server);
    }
    EXPECT_EQ(prompt.changedAsked, 1);
    EXPECT_EQ(prompt.unknownAsked, 0);
    EXPECT_EQ(prompt.oldFingerprint, serverFingerprint(1));
    EXPECT_EQ(prompt.fingerprint, serverFingerprint(2));

    // Accept-new never takes a changed key.
    HostKeyPolicyOptions acceptNew;
    acceptNew.acceptNew = true;
    EXPECT_EQ(connect(server, nullptr, acceptNew).outcome, HostKeyOutcome::RefusedChanged);

    prompt.changedAnswer = ChangedHostKeyDecision::ConnectOnce;
    const SessionRun once = connect(server, &prompt);
    EXPECT_EQ(once.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(once.outcome, HostKeyOutcome::AcceptedOnce);
    EXPECT_TRUE(once.saw("Warning - Changed host key accepted for this connection only\n"));
    EXPECT_EQ(readFile(userStore), before);
}

std::string base64(const std::uint8_t* bytes, std::size_t n) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        const std::uint32_t chunk = (std::uint32_t(bytes[i]) << 16) |
                                    (i + 1 < n ? std::uint32_t(bytes[i + 1]) << 8 : 0) |
                                    (i + 2 < n ? bytes[i + 2] : 0);
        out += digits[(chunk >> 18) & 63];
        out += digits[(chunk >> 12) & 63];
        out += i + 1 < n ? digits[(chunk >> 6) & 63] : '=';
        out += i + 2 < n ? digits[chunk & 63] : '=';
    }
    return out;
}

// ssh1's file, hashed as HashKnownHosts writes it, among damaged lines and other ports' keys.
TEST_F(HostKeys, OpenSshFileWithAHashedEntryIsHonouredAndNeverWritten) {
    TestServer first(bulk(1), "hostsec_openssh1");
    TestServer second(bulk(2), "hostsec_openssh2");
    ASSERT_NE(first.port(), 0);
    ASSERT_NE(second.port(), 0);
    const std::string name = "[127.0.0.1]:" + std::to_string(first.port());

    std::mt19937 rng(5);
    std::uint8_t salt[kSha1DigestSize];
    for (auto& b : salt) b = std::uint8_t(rng());
    const Sha1Digest mac = hmacSha1(salt, sizeof salt, name.data(), name.size());
    const std::string hashed = "|1|" + base64(salt, sizeof salt) + "|" + base64(mac.data(), 20);
    const std::string secondName = "[127.0.0.1]:" + std::to_string(second.port());
    const std::string text =
        "127.0.0.1 " + serverKeyFields(2) + "\n" +  // port 22's key: not for these ports
        "[127.0.0.1]:" + std::to_string(second.port()) + " 1024 65537\n" +  // cut short
        "|1|garbage " + serverKeyFields(2) + "\n" + hashed + " " + serverKeyFields(1) + "\n" +
        secondName + " ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ\n";
    writeFile(openSshStore, text);

    // OpenSSH's own tool finds our hashed line for the name.
    const std::string found =
        runCommand("ssh-keygen1 -F '" + name + "' -f " + openSshStore.string() + " 2>/dev/null");
    EXPECT_NE(found.find("found: line 4"), std::string::npos) << found;

    ScriptedPrompt prompt;
    SessionRun run = connect(first, &prompt);
    EXPECT_EQ(run.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(run.outcome, HostKeyOutcome::Known);
    EXPECT_EQ(prompt.unknownAsked, 0);

    // The port-22 entry and the damaged lines say nothing about the second server's port.
    prompt.unknownAnswer = UnknownHostKeyDecision::AcceptAndRemember;
    run = connect(second, &prompt);
    EXPECT_EQ(prompt.unknownAsked, 1);
    EXPECT_EQ(run.outcome, HostKeyOutcome::AcceptedAndSaved);
    EXPECT_EQ(readFile(openSshStore), text);
    EXPECT_EQ(readFile(userStore), secondName + " " + serverKeyFields(2) + "\n");
}

TEST_F(HostKeys, CorruptLinesInTheUserStoreAreIgnored) {
    TestServer server(bulk(1), "hostsec_corrupt");
    ASSERT_NE(server.port(), 0);
    const std::string name = "[127.0.0.1]:" + std::to_string(server.port());
    const std::string fields = serverKeyFields(1);
    writeFile(userStore, std::string("\x01\xff garbage\n") + name + "\n" + name + " 1024\n" + name +
                             " 1024 65537 12x45\n" + name + " 99999 1 1\n" +
                             std::string(70000, 'z') + "\n" + name + " " +
                             fields.substr(0, fields.size() / 2) + "\n" + name + " " + fields +
                             "\n");
    ScriptedPrompt prompt;
    const SessionRun run = connect(server, &prompt);
    EXPECT_EQ(run.result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(run.outcome, HostKeyOutcome::Known);
    EXPECT_EQ(prompt.unknownAsked, 0);
}

TEST_F(HostKeys, NonInteractiveChoices) {
    TestServer server(bulk(1), "hostsec_batch");
    ASSERT_NE(server.port(), 0);
    const std::string name = "[127.0.0.1]:" + std::to_string(server.port());
    const std::string fingerprint = serverFingerprint(1);
    const auto parse = [](const std::string& text) { return *parseHostKeyFingerprint(text); };

    // Given fingerprints: with or without the bit count; the store is neither read nor written.
    writeFile(userStore, name + " " + serverKeyFields(2) + "\n");  // would say Changed
    for (const std::string& given : {fingerprint, fingerprint.substr(5)}) {
        HostKeyPolicyOptions options;
        options.acceptedFingerprints = {parse(serverFingerprint(2)), parse(given)};
        const SessionRun run = connect(server, nullptr, options);
        EXPECT_EQ(run.result.end, SessionEnd::ExitStatus) << given;
        EXPECT_EQ(run.outcome, HostKeyOutcome::MatchedGiven);
        EXPECT_TRUE(run.saw("Host key matches a fingerprint given\n"));
    }
    HostKeyPolicyOptions wrong;
    wrong.acceptedFingerprints = {parse(serverFingerprint(2)),
                                  parse("2048 " + fingerprint.substr(5))};  // right MD5, wrong bits
    ScriptedPrompt prompt;
    prompt.unknownAnswer = UnknownHostKeyDecision::ConnectOnce;
    const SessionRun refused = connect(server, &prompt, wrong);
    EXPECT_EQ(refused.outcome, HostKeyOutcome::RefusedNotGiven);
    EXPECT_TRUE(
        refused.saw("The host key of " + name + " is not one of the fingerprints given.\n"));
    EXPECT_TRUE(refused.saw("Host key fingerprint: " + fingerprint + "\n"));
    EXPECT_EQ(prompt.unknownAsked, 0);
    expectRefusedBeforeTheSessionKey(refused, server);

    // Accept-new saves an unknown key without asking; it is known the next time.
    fs::remove(userStore);
    HostKeyPolicyOptions acceptNew;
    acceptNew.acceptNew = true;
    SessionRun run = connect(server, &prompt, acceptNew);
    EXPECT_EQ(run.outcome, HostKeyOutcome::AcceptedAndSaved);
    EXPECT_EQ(prompt.unknownAsked, 0);
    EXPECT_EQ(readFile(userStore), name + " " + serverKeyFields(1) + "\n");
    EXPECT_EQ(connect(server, nullptr).outcome, HostKeyOutcome::Known);

    // A store that cannot be written: the user's yes still connects, with a warning.
    fs::remove(userStore);
    writeFile(root / "blocker", "");
    const KnownHosts blocked((root / "blocker" / "known_hosts").string(), {});
    LoginParameters login;
    login.user = "test";
    login.password = "secret";
    login.seedFilePath = (root / "seed").string();
    auto connection = std::make_unique<Connection>();
    ASSERT_EQ(connection->socket().openConnection("127.0.0.1", server.port()), 1);
    RecordingFrontEnd frontEnd;
    Session session(std::move(connection), login, frontEnd);
    prompt.unknownAnswer = UnknownHostKeyDecision::AcceptAndRemember;
    auto policy = installHostKeyPolicy(session, "127.0.0.1", server.port(), blocked, &prompt);
    EXPECT_EQ(runSession(session).end, SessionEnd::ExitStatus);
    EXPECT_EQ(policy->outcome(), HostKeyOutcome::AcceptedOnce);
    bool warned = false;
    for (const std::string& line : frontEnd.lines())
        warned |= line.rfind(
                      "Warning - Host key accepted for this connection only; saving it "
                      "failed: ",
                      0) == 0;
    EXPECT_TRUE(warned);
}

// ---------------------------------------------------------------------------------------------
// IPv6

TEST_F(HostKeys, ServerListeningOnIpv6LoopbackIsReachedAndFiledInBrackets) {
    TestServer server({"--bind", "::1", "--scenario", "bulk", "--bulk", "100"}, "hostsec_ipv6");
    if (server.port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
    ScriptedPrompt prompt;
    prompt.unknownAnswer = UnknownHostKeyDecision::AcceptAndRemember;
    for (const char* host : {"::1", "0:0:0:0:0:0:0:1"}) {
        const SessionRun run = connect(server, &prompt, {}, host);
        EXPECT_EQ(run.result.end, SessionEnd::ExitStatus) << host;
    }
    // Two spellings of one address are two names to the store, as they are to OpenSSH.
    EXPECT_EQ(prompt.unknownAsked, 2);
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(readFile(userStore), "[::1]:" + port + " " + serverKeyFields(1) + "\n" +
                                       "[0:0:0:0:0:0:0:1]:" + port + " " + serverKeyFields(1) +
                                       "\n");
    EXPECT_EQ(connect(server, &prompt, {}, "::1").outcome, HostKeyOutcome::Known);

    // Nothing listens on the IPv4 loopback at that port.
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", server.port()), -1);
}

}  // namespace
}  // namespace corvid1
