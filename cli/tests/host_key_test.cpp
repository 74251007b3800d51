// Host keys end to end, through the real corvid1-cli against the test server, with no
// controlling terminal (the interactive question is tested under tmux).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

const std::map<std::string, std::string> password = {{"CORVID1_PASSWORD", "secret"}};

class HostKeys : public ::testing::Test {
  protected:
    std::string record() const { return dir_.file("record"); }
    std::unique_ptr<TestServer> serve(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--scenario", "exit-status", "--exit-status", "0"});
        auto server = std::make_unique<TestServer>(std::move(args), record());
        EXPECT_TRUE(server->running());
        return server;
    }
    RunResult run(const TestServer& server, std::vector<std::string> more = {},
                  const std::string& host = "127.0.0.1") {
        std::vector<std::string> args = {"-p", std::to_string(server.port())};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("test@" + host);
        return runClient(args, dir_.path(), password);
    }
    // Nothing that depends on the key went out: no session key, no user name, no password.
    void expectNothingSentAfterTheKey() const {
        EXPECT_TRUE(recordHasPrefix(record(), "VERSION ")) << readFile(record());
        for (const char* prefix : {"SESSION_KEY", "USER", "PASSWORD"})
            EXPECT_FALSE(recordHasPrefix(record(), prefix)) << readFile(record());
    }
    bool exists(const std::string& path) const {
        struct stat st {};
        return stat(path.c_str(), &st) == 0;
    }
    std::string store() const { return defaultStore(dir_.path()); }
    std::string entry(const TestServer& server, int seed = 1) const {
        return "[127.0.0.1]:" + std::to_string(server.port()) + " " + serverKnownHostsKey(seed) +
               "\n";
    }

    TempDir dir_;
};

TEST_F(HostKeys, UnknownKeyIsRefusedWithoutATerminalBeforeThePasswordGoesOut) {
    auto server = serve();
    const RunResult r = run(*server);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "");
    const std::string name = "[127.0.0.1]:" + std::to_string(server->port());
    EXPECT_EQ(r.err, "The host key of " + name +
                         " is not known.\n"
                         "Host key fingerprint: 1024 " +
                         serverFingerprint() +
                         "\n"
                         "Nobody can be asked whether to trust it; not connecting.\n"
                         "ERROR - Host key not accepted\n"
                         "corvid1-cli: no terminal to ask whether to trust the key; check its "
                         "fingerprint and give it with --host-key, or use --accept-new\n");
    expectNothingSentAfterTheKey();
    EXPECT_FALSE(exists(store()));

    // An entry for port 22 does not vouch for another port on the same address.
    const std::string other = dir_.file("port22");
    writeFile(other, "127.0.0.1 " + serverKnownHostsKey() + "\n");
    EXPECT_EQ(run(*server, {"--known-hosts", other}).exitCode, 255);
}

TEST_F(HostKeys, AcceptNewSavesTheKeyAndTheNextRunAsksNothing) {
    auto server = serve();
    const RunResult first = run(*server, {"--accept-new"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(readFile(store()), entry(*server));
    struct stat st {};
    ASSERT_EQ(stat(store().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Known now: without a terminal and without --accept-new, and nothing is added.
    const RunResult second = run(*server);
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(readFile(store()), entry(*server));
    EXPECT_TRUE(recordHasPrefix(record(), "PASSWORD secret"));
}

TEST_F(HostKeys, KeysThatSsh1AcceptedAreHonouredUnlessAnotherStoreIsNamed) {
    auto server = serve();
    const std::string ssh = dir_.path() + "/.ssh";
    ASSERT_EQ(mkdir(ssh.c_str(), 0700), 0);
    writeFile(ssh + "/known_hosts", "# ssh1's own file\n" + entry(*server));
    EXPECT_EQ(run(*server).exitCode, 0);

    // --known-hosts is the only store: the entry in ~/.ssh no longer counts, and --accept-new
    // writes to the file named, not to the default one.
    const std::string mine = dir_.file("mine");
    const RunResult r = run(*server, {"--known-hosts", mine});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find(" is not known.\n"), std::string::npos) << r.err;
    EXPECT_EQ(run(*server, {"--known-hosts", mine, "--accept-new"}).exitCode, 0);
    EXPECT_EQ(readFile(mine), entry(*server));
    EXPECT_FALSE(exists(store()));
}

TEST_F(HostKeys, GivenFingerprintsAcceptExactlyThoseKeys) {
    auto server = serve();
    const std::string right = serverFingerprint(), wrong = serverFingerprint(2);
    ASSERT_EQ(right.size(), 47u) << right;
    ASSERT_NE(right, wrong);
    const std::vector<std::vector<std::string>> accepted = {
        {"--host-key", right},
        {"--host-key", "1024 " + right},
        {"--host-key=MD5:" + right},
        {"--host-key", wrong, "--host-key", right},  // any one of several
    };
    for (const auto& args : accepted) {
        const RunResult r = run(*server, args);
        EXPECT_EQ(r.exitCode, 0) << args.back() << ": " << r.err;
    }
    EXPECT_FALSE(exists(store())) << "a given fingerprint is not saved";

    for (const std::string& given : {wrong, "2048 " + right}) {
        std::remove(record().c_str());
        const RunResult r = run(*server, {"--host-key", given});
        EXPECT_EQ(r.exitCode, 255) << given;
        EXPECT_NE(r.err.find("is not one of the fingerprints given.\n"
                             "Host key fingerprint: 1024 " +
                             right + "\n"),
                  std::string::npos)
            << r.err;
        expectNothingSentAfterTheKey();
    }
}

TEST_F(HostKeys, ChangedKeyIsRefusedShowingBothFingerprints) {
    auto server = serve({"--host-key-seed", "2"});
    const std::string file = dir_.file("known_hosts");
    const std::string before = "# kept as it is\n" + entry(*server, 1);
    writeFile(file, before);
    // Not even --accept-new lets a changed key in.
    for (const std::vector<std::string>& more :
         {std::vector<std::string>{}, std::vector<std::string>{"--accept-new"}}) {
        std::remove(record().c_str());
        std::vector<std::string> args = {"--known-hosts", file};
        args.insert(args.end(), more.begin(), more.end());
        const RunResult r = run(*server, args);
        EXPECT_EQ(r.exitCode, 255);
        const std::string name = "[127.0.0.1]:" + std::to_string(server->port());
        EXPECT_EQ(r.err, "WARNING - THE HOST KEY OF " + name +
                             " HAS CHANGED!\n"
                             "This may be an attack: someone may be posing as the server to read "
                             "your password.\n"
                             "Key on record: 1024 " +
                             serverFingerprint(1) + " (" + file +
                             ":2)\n"
                             "Key presented: 1024 " +
                             serverFingerprint(2) +
                             "\n"
                             "Remove the entry at " +
                             file +
                             ":2 only once the server's administrator has confirmed the new "
                             "key.\n"
                             "ERROR - Host key not accepted\n");
        expectNothingSentAfterTheKey();
        EXPECT_EQ(readFile(file), before);
    }
}

TEST_F(HostKeys, Ipv6LoopbackIsFiledInBrackets) {
    auto server = std::make_unique<TestServer>(
        std::vector<std::string>{"--bind", "::1", "--scenario", "exit-status"}, record());
    if (!server->running()) GTEST_SKIP() << "no IPv6 loopback here";
    const RunResult r = run(*server, {"--accept-new"}, "::1");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(store()),
              "[::1]:" + std::to_string(server->port()) + " " + serverKnownHostsKey() + "\n");
    EXPECT_EQ(run(*server, {}, "::1").exitCode, 0);
}

}  // namespace
}  // namespace corvid1::cli::test
