// Login methods against corvid1-test-server: puttygen keys, TIS, CryptoCard and fall back.
#include "session/auth/login_methods.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "freed_memory.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::TestServer;

std::string dataFile(const std::string& name) {
    std::ifstream file(std::string(KEY_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Per process: ctest runs the cases side by side, and one of them opens a copy's mode.
std::string tempCopy(const std::string& name, const std::string& contents, mode_t mode = 0600) {
    const std::string path =
        ::testing::TempDir() + "login_methods_" + std::to_string(getpid()) + "_" + name;
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary) << contents;
    chmod(path.c_str(), mode);
    return path;
}

// Answers from a script and notes what it was asked.
class ScriptedPrompt : public LoginPrompt {
  public:
    std::vector<std::string> passphrases;  // one per attempt; then it gives up
    std::string response;
    int passphraseCalls = 0;
    std::vector<std::string> challenges;

    bool passphrase(const std::string&, const std::string&, int attempt, std::string& out) override {
        ++passphraseCalls;
        return attempt <= static_cast<int>(passphrases.size()) && answer(passphrases[attempt - 1], out);
    }
    bool challengeResponse(LoginMethod method, const std::string& text, std::string& out) override {
        challenges.push_back((method == LoginMethod::Tis ? "TIS " : "CCARD ") + text);
        return answer(response, out);
    }
    // On the heap, where an unwiped copy would be found.
    static bool answer(const std::string& text, std::string& out) {
        out.reserve(64);
        return out = text, true;
    }
};

struct AuthCase {
    const char* name;
    std::vector<std::string> serverOptions;
    std::vector<std::string> keys;  // data files, copied with mode 0600 (or 0644: "+open")
    std::vector<std::string> passphrases;
    std::string response;
    LoginMethodSwitches switches;
    bool loggedIn;
    std::string recordLine;  // the server saw this, when not empty
    std::string statusLine;  // the client printed this, when not empty
    int passphraseCalls;
    std::string challengeShown = "";  // what the prompt was shown, when not empty
};

void PrintTo(const AuthCase& c, std::ostream* out) { *out << c.name; }

using Options = std::vector<std::string>;
const Options rsaOnly = {"--no-password"}, ccardOnly = {"--no-password", "--ccard-challenge", "Card 12", "--ccard-response", "99"},
              tisOnly = {"--no-password", "--tis-challenge", "Challenge 4711:\n\x1b[2J", "--tis-response", "0815"};

class Methods : public ::testing::TestWithParam<std::tuple<AuthCase, int>> {};

TEST_P(Methods, LogInOrFallBackAsExpected) {
    const auto& [c, cipher] = GetParam();
    std::vector<std::string> options = {
        "--scenario", "exit-status", "--authorized-keys",
        tempCopy("authorized", dataFile("plain.pub") + dataFile("secret.pub"))};
    options.insert(options.end(), c.serverOptions.begin(), c.serverOptions.end());
    TestServer server(options, std::string("auth_") + c.name);
    ASSERT_NE(server.port(), 0);
    auto prompt = std::make_shared<ScriptedPrompt>();
    prompt->passphrases = c.passphrases;
    prompt->response = c.response;
    // Built without growing, so that no freed copy of a secret lies about before the search.
    std::vector<std::string> secrets(c.passphrases.size() + 1, c.response);
    std::copy(c.passphrases.begin(), c.passphrases.end(), secrets.begin());
    test::freed::watch(secrets);
    test::TestClient client(server, cipher, [&](LoginParameters& login) {
        login.loginMethods = c.switches;
        login.loginPrompt = prompt;
        for (const std::string& key : c.keys) {
            const bool open = key.back() == '+';
            const std::string name = open ? key.substr(0, key.size() - 1) : key;
            login.keyFiles.push_back(tempCopy(name, dataFile(name), open ? 0644 : 0600));
        }
    });
    const SessionResult result = client.finish();
    EXPECT_EQ(test::freed::stop(), 0) << "a passphrase or response was freed unwiped";
    const test::RecordingFrontEnd& frontEnd = client.recording;
    EXPECT_EQ(result.loggedIn, c.loggedIn) << frontEnd.transcript();
    EXPECT_EQ(result.end, c.loggedIn ? SessionEnd::ExitStatus : SessionEnd::LoginRefused);
    EXPECT_TRUE(c.recordLine.empty() || server.recorded(c.recordLine)) << c.recordLine;
    EXPECT_TRUE(c.statusLine.empty() || frontEnd.saw(c.statusLine)) << frontEnd.transcript();
    EXPECT_EQ(prompt->passphraseCalls, c.passphraseCalls);
    EXPECT_EQ(prompt->challenges, std::vector<std::string>(!c.challengeShown.empty(), c.challengeShown));
}

// clang-format off
const AuthCase everyCipherCases[] = {
    {"rsa_plain", rsaOnly, {"plain.key"}, {}, "", {}, true, "RSA response right", "Authenticated with RSA key\n", 0},
    {"rsa_passphrase", rsaOnly, {"secret.key"}, {"correct horse"}, "", {}, true, "RSA response right", "", 1},
    {"tis", tisOnly, {}, {}, "0815", {}, true, "", "Authorization successful.\n", 0, "TIS Challenge 4711:\n?[2J"},
    {"cryptocard", ccardOnly, {}, {}, "99", {}, true, "", "", 0, "CCARD Card 12"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(EveryCipher, Methods,
                         ::testing::Combine(::testing::ValuesIn(everyCipherCases),
                                            ::testing::Values(0, 3, 6)));

// clang-format off
const AuthCase fallBackCases[] = {
    {"wrong_passphrase_three_times_then_password", {}, {"secret.key"}, {"a", "b", "c"}, "", {}, true, "RSA response wrong", "", 3},
    {"second_passphrase_right", rsaOnly, {"secret.key"}, {"Tr0ub4dor", "correct horse"}, "", {}, true, "RSA response right", "", 2},
    {"refused_key_then_password", {}, {"unlisted.key"}, {}, "", {}, true, "RSA key refused", "Server refused our key\n", 0},
    {"refused_key_then_next_key", rsaOnly, {"unlisted.key", "plain.key"}, {}, "", {}, true, "RSA response right", "Server refused our key\n", 0},
    {"unprotected_key_skipped", {}, {"plain.key+"}, {}, "", {}, true, "PASSWORD secret", "", 0},
    {"damaged_key_skipped", rsaOnly, {"damaged-prime.key", "plain.key"}, {}, "", {}, true, "RSA response right", "", 0},
    {"wrong_tis_response_then_password", {"--tis-challenge", "Say it", "--tis-response", "right"},
     {}, {}, "hunter2x", {}, true, "PASSWORD secret", "TIS response refused\n", 0, "TIS Say it"},
    {"rsa_turned_off", rsaOnly, {"plain.key"}, {}, "", {false, true, true}, false, "", "Authorization error. No login method left to try.\n", 0},
    {"password_turned_off_after_refused_key", {}, {"unlisted.key"}, {}, "", {true, true, false}, false, "RSA key refused", "", 0},
    {"challenge_turned_off", tisOnly, {}, {}, "0815", {true, false, true}, false, "", "", 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(FallBack, Methods,
                         ::testing::Combine(::testing::ValuesIn(fallBackCases),
                                            ::testing::Values(3)));

TEST(LoginMethodOrder, KeysThenChallengesThenPasswordAsOfferedAndAllowed) {
    using M = LoginMethod;
    const std::uint32_t all = (1u << 2) | (1u << 3) | (1u << 5) | (1u << 16);
    const struct {
        std::uint32_t mask;
        LoginMethodSwitches switches;
        bool haveKeys;
        std::vector<M> order;
    } cases[] = {
        {all, {}, true, {M::RsaKeys, M::Tis, M::CryptoCard, M::Password}},
        {all, {}, false, {M::Tis, M::CryptoCard, M::Password}},
        {1u << 3, {}, true, {M::Password}},
        {all, {false, false, true}, true, {M::Password}},
        {all, {true, true, false}, true, {M::RsaKeys, M::Tis, M::CryptoCard}},
        {0, {}, true, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loginMethodOrder(c.mask, c.switches, c.haveKeys), c.order);
}

}  // namespace
}  // namespace corvid1
