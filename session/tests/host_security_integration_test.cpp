// The host-key policy over every record and answer, then end to end against the test server.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "session/host_key_policy.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

namespace fs = std::filesystem;
using test::RecordingFrontEnd;
using test::TestServer;
using Unknown = UnknownHostKeyDecision;
using Changed = ChangedHostKeyDecision;
using Outcome = HostKeyOutcome;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Answers with what the test chose and counts the questions.
class ScriptedPrompt : public HostKeyPrompt {
  public:
    Unknown unknownAnswer = Unknown::Refuse;
    std::optional<Changed> changedAnswer;  // none: the interface's default
    int unknownAsked = 0, changedAsked = 0;
    std::string fingerprint, oldFingerprint;

    Unknown decideUnknown(const std::string&, std::uint16_t, std::uint32_t,
                          const std::string& f) override {
        return ++unknownAsked, fingerprint = f, unknownAnswer;
    }
    Changed decideChanged(const std::string& h, std::uint16_t p, std::uint32_t b,
                          const std::string& oldF, const std::string& newF) override {
        ++changedAsked, oldFingerprint = oldF, fingerprint = newF;
        return changedAnswer ? *changedAnswer : HostKeyPrompt::decideChanged(h, p, b, oldF, newF);
    }
};

class TempFolder : public ::testing::Test {
  protected:
    void TearDown() override { fs::remove_all(root); }
    KnownHosts stores() const { return KnownHosts(userStore.string(), {openSshStore.string()}); }

    std::string pattern = "/tmp/corvid1-hostsec-XXXXXX";
    const fs::path root = ::mkdtemp(pattern.data());
    const fs::path userStore = root / "config/corvid1/known_hosts",
                   openSshStore = root / "ssh/known_hosts";
};

// A plausible 1024-bit key: top and bottom bits of the modulus set.
void someKey(RsaPublicKey& key, const std::string& middle) {
    mpz_set_str(key.modulus, ("8" + middle + std::string(254 - middle.size(), '7') + "1").c_str(),
                16);
    mpz_set_ui(key.exponent, 65537);
    key.bits = 1024;
}

enum Record { Nothing, Same, Other, InOpenSsh, Unwritable };
enum Given { NoPrint, Right, NoBits, WrongBits };
constexpr bool Ask = true, NoOne = false;
constexpr auto Remember = Unknown::AcceptAndRemember, Once = Unknown::ConnectOnce,
               No = Unknown::Refuse;
constexpr auto ChangedOnce = Changed::ConnectOnce, ChangedNo = Changed::Refuse;
constexpr const char* S = "server";
using enum HostKeyOutcome;

// clang-format off
const struct PolicyCase {
    const char* name; const char* host; std::uint16_t port; Record record;
    bool prompt;  // false: nobody to ask
    Unknown unknownAnswer; std::optional<Changed> changedAnswer; bool acceptNew; Given given;
    Outcome outcome; int unknownAsked, changedAsked;
    std::vector<std::string> lines;  // status lines that must appear, "$NAME" for the host's name
} policyCases[] = {
    {"unknown, nobody to ask", S, 22, Nothing, NoOne, Remember, {}, false, NoPrint, RefusedUnknown, 0, 0,
     {"The host key of $NAME is not known.\n", "Nobody can be asked whether to trust it; not connecting.\n"}},
    {"unknown, refused", S, 22, Nothing, Ask, No, {}, false, NoPrint, RefusedUnknown, 1, 0, {}},
    {"unknown, once", S, 22, Nothing, Ask, Once, {}, false, NoPrint, AcceptedOnce, 1, 0,
     {"Host key accepted for this connection only\n"}},
    {"unknown, remembered", S, 22, Nothing, Ask, Remember, {}, false, NoPrint, AcceptedAndSaved, 1, 0, {}},
    {"unknown IPv6 in brackets", "::1", 2022, Nothing, Ask, Remember, {}, false, NoPrint, AcceptedAndSaved, 1, 0,
     {"The host key of [::1]:2022 is not known.\n"}},
    {"unknown, accept-new asks nobody", S, 22, Nothing, Ask, No, {}, true, NoPrint, AcceptedAndSaved, 0, 0, {}},
    {"unknown, saving fails", S, 22, Unwritable, Ask, Remember, {}, false, NoPrint, AcceptedOnce, 1, 0, {}},
    {"known", "server", 2222, Same, Ask, No, {}, false, NoPrint, Known, 0, 0, {"Host key matches the one on record\n"}},
    {"known from OpenSSH's file", S, 22, InOpenSsh, Ask, No, {}, false, NoPrint, Known, 0, 0, {}},
    {"changed, nobody to ask", S, 22, Other, NoOne, Remember, {}, false, NoPrint, RefusedChanged, 0, 0,
     {"WARNING - THE HOST KEY OF $NAME HAS CHANGED!\n", "This may be an attack: someone may be posing as the server to read your password.\n"}},
    {"changed, the prompt's default", S, 22, Other, Ask, Remember, {}, false, NoPrint, RefusedChanged, 0, 1, {}},
    {"changed, accept-new", S, 22, Other, Ask, Remember, ChangedNo, true, NoPrint, RefusedChanged, 0, 1, {}},
    {"changed, once", S, 22, Other, Ask, No, ChangedOnce, false, NoPrint, AcceptedOnce, 0, 1,
     {"Warning - Changed host key accepted for this connection only\n"}},
    {"given fingerprint", S, 22, Other, Ask, No, {}, false, Right, MatchedGiven, 0, 0,
     {"Host key matches a fingerprint given\n"}},
    {"given fingerprint without bits", S, 22, Other, NoOne, No, {}, false, NoBits, MatchedGiven, 0, 0, {}},
    {"given fingerprint, wrong bits", S, 22, Nothing, Ask, Once, {}, false, WrongBits, RefusedNotGiven, 0, 0,
     {"The host key of $NAME is not one of the fingerprints given.\n"}},
};
// clang-format on

TEST_F(TempFolder, PolicyAsksOnlyWhatTheRecordLeavesOpenAndFilesOnlyWhatTheUserAccepts) {
    RsaPublicKey presented, other;
    someKey(presented, "c0ffee");
    someKey(other, "decade");
    const HostKey key = hostKeyOf(presented);
    const std::string fingerprint = hostKeyFingerprint(key);
    for (const PolicyCase& c : policyCases) {
        SCOPED_TRACE(c.name);
        for (const char* folder : {"config", "ssh"}) fs::remove_all(root / folder);
        const std::string name = knownHostsName(c.host, c.port);
        KnownHosts store = stores();
        const bool onRecord = c.record == Same || c.record == Other;
        ASSERT_TRUE(!onRecord ||
                    store.add(c.host, c.port, c.record == Same ? key : hostKeyOf(other)));
        ASSERT_TRUE(c.record != InOpenSsh ||
                    KnownHosts(openSshStore.string(), {}).add(c.host, c.port, key));
        if (c.record == Unwritable) {
            std::ofstream(root / "config") << "a file where a folder belongs";
            store = KnownHosts((root / "config" / "known_hosts").string(), {});
        }
        const std::string userBefore = readFile(userStore), openSshBefore = readFile(openSshStore);

        HostKeyPolicyOptions options;
        options.acceptNew = c.acceptNew;
        const std::string given[] = {"", fingerprint, fingerprint.substr(5),
                                     "2048 " + fingerprint.substr(5)};
        if (c.given != NoPrint)
            options.acceptedFingerprints = {*parseHostKeyFingerprint(given[int(c.given)])};
        ScriptedPrompt prompt;
        prompt.unknownAnswer = c.unknownAnswer;
        prompt.changedAnswer = c.changedAnswer;
        RecordingFrontEnd frontEnd;
        HostKeyPolicy policy(c.host, c.port, store, frontEnd, c.prompt ? &prompt : nullptr,
                             options);

        const bool accepted = policy.verifyHostKey(presented);
        EXPECT_EQ(policy.outcome(), c.outcome);
        EXPECT_EQ(accepted, c.outcome == Known || c.outcome == MatchedGiven ||
                                c.outcome == AcceptedOnce || c.outcome == AcceptedAndSaved);
        EXPECT_EQ(prompt.unknownAsked, c.unknownAsked);
        EXPECT_EQ(prompt.changedAsked, c.changedAsked);
        EXPECT_EQ(prompt.fingerprint, c.unknownAsked + c.changedAsked > 0 ? fingerprint : "");
        EXPECT_EQ(prompt.oldFingerprint,
                  c.changedAsked > 0 ? hostKeyFingerprint(hostKeyOf(other)) : "");
        for (std::string line : c.lines) {
            if (const auto at = line.find("$NAME"); at != std::string::npos)
                line.replace(at, 5, name);
            EXPECT_TRUE(frontEnd.saw(line)) << line << frontEnd.transcript();
        }
        EXPECT_TRUE(accepted || c.outcome == RefusedNotGiven ||
                    frontEnd.saw("Host key fingerprint: " + fingerprint + "\n") ||
                    frontEnd.saw("Key presented: " + fingerprint + "\n"));
        // Only an accepted and saved key is filed, in the user's store, never in OpenSSH's.
        EXPECT_EQ(readFile(openSshStore), openSshBefore);
        const bool saved = c.outcome == AcceptedAndSaved;
        const std::string line = name + " 1024 65537 " + bytesToDecimal(key.modulus) + "\n";
        EXPECT_EQ(readFile(userStore), userBefore + (saved ? line : ""));
        EXPECT_TRUE(!saved || stores().check(c.host, c.port, key).status == HostKeyStatus::Known);
    }
}

// What the server itself says about its host key for a seed.
std::string serverSays(const char* what) {
    char line[4096] = {};
    std::FILE* pipe = ::popen(
        (std::string(CORVID1_TEST_SERVER) + " --host-key-seed 1 --print-" + what).c_str(), "r");
    if (pipe && std::fgets(line, sizeof line, pipe)) line[std::strcspn(line, "\n")] = '\0';
    if (pipe) ::pclose(pipe);
    return line;
}

// Asked before the session key goes out; the key is filed in the form the server gives.
TEST_F(TempFolder, SessionRefusesBeforeTheSessionKeyAndFilesTheServersOwnKey) {
    TestServer server({"--scenario", "bulk", "--bulk", "100", "--host-key-seed", "1"}, "hostsec");
    ASSERT_NE(server.port(), 0);
    ScriptedPrompt prompt;
    for (const Unknown answer : {Unknown::Refuse, Unknown::AcceptAndRemember}) {
        prompt.unknownAnswer = answer;
        // The refused connection is over, on the server's side too, before the next one.
        ASSERT_TRUE(answer == Unknown::Refuse || server.awaitRecord("CLOSE client-closed"));
        LoginParameters login;
        login.user = "test";
        login.password = "secret";
        login.seedFilePath = (root / "seed").string();
        auto connection = std::make_unique<Connection>();
        ASSERT_EQ(connection->socket().openConnection("127.0.0.1", server.port()), 1);
        RecordingFrontEnd frontEnd;
        Session session(std::move(connection), login, frontEnd);
        installHostKeyPolicy(session, "127.0.0.1", server.port(), stores(), &prompt);
        const SessionResult result = runSession(session);
        const bool refused = answer == Unknown::Refuse;
        EXPECT_EQ(result.end, refused ? SessionEnd::HostKeyRejected : SessionEnd::ExitStatus);
        EXPECT_TRUE(!refused || frontEnd.lines().back() == "ERROR - Host key not accepted\n");
        EXPECT_NE(frontEnd.saw("Computing session id\n"), refused);
    }
    // The refused connection ended before the client sent its session key.
    const std::vector<std::string> record = server.record();
    const auto second = std::find(std::next(std::find(record.begin(), record.end(), "CONNECT")),
                                  record.end(), "CONNECT");
    ASSERT_NE(second, record.end());
    EXPECT_EQ(*std::prev(second), "CLOSE client-closed");
    for (auto line = record.begin(); line != second; ++line)
        EXPECT_NE(line->rfind("SESSION_KEY", 0), 0u) << *line;
    EXPECT_EQ(prompt.fingerprint, "1024 " + serverSays("fingerprint"));
    EXPECT_EQ(readFile(userStore), "[127.0.0.1]:" + std::to_string(server.port()) + " " +
                                       serverSays("known-hosts-line") + "\n");
}

}  // namespace
}  // namespace corvid1
