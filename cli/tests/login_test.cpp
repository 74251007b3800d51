// The login methods end to end, through the real corvid1-cli against the test server with no
// controlling terminal: keys made by puttygen, passphrase files, -o switches, ~/.ssh/identity.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

std::string keyData(const std::string& name) {
    return readFile(std::string(KEY_DATA_DIR) + "/" + name);
}

struct LoginCase {
    const char* name;
    std::vector<std::string> serverArgs;
    std::vector<std::string> clientArgs;  // KEYDIR/ stands for the folder of the keys
    bool withPassword;                    // CORVID1_PASSWORD set
    int exitCode;
    std::string recordPrefix;  // the server saw this, when not empty
    std::string errorText;     // standard error holds this, when not empty
};

void PrintTo(const LoginCase& c, std::ostream* out) {
    *out << c.name;
}

class CliLogin : public ::testing::TestWithParam<LoginCase> {
  protected:
    TempDir dir_;
};

TEST_P(CliLogin, LogsInWithTheRightMethod) {
    const LoginCase& c = GetParam();
    for (const char* key : {"plain.key", "secret.key", "unlisted.key"})
        writeFile(dir_.file(key), keyData(key));
    writeFile(dir_.file("pp"), "correct horse\n");
    writeFile(dir_.file("wrong-pp"), "not it\n");
    writeFile(dir_.file("open-pp"), "correct horse\n", 0644);
    writeFile(dir_.file("authorized"), keyData("plain.pub") + keyData("secret.pub"));
    mkdir(dir_.file(".ssh").c_str(), 0700);
    writeFile(dir_.file(".ssh/identity"), keyData("secret.key"));

    std::vector<std::string> serverArgs = {"--scenario",        "exit-status",
                                           "--exit-status",     "7",
                                           "--authorized-keys", dir_.file("authorized")};
    serverArgs.insert(serverArgs.end(), c.serverArgs.begin(), c.serverArgs.end());
    TestServer server(serverArgs, dir_.file("record"));
    ASSERT_TRUE(server.running());
    std::vector<std::string> args = {"-p", std::to_string(server.port()), "--accept-new",
                                     "--known-hosts", dir_.file("known_hosts")};
    for (const std::string& arg : c.clientArgs)
        args.push_back(arg.rfind("KEYDIR/", 0) == 0 ? dir_.file(arg.substr(7)) : arg);
    args.push_back("test@127.0.0.1");
    std::map<std::string, std::string> env;
    if (c.withPassword) env["CORVID1_PASSWORD"] = "secret";
    const RunResult r = runClient(args, dir_.path(), env);

    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (!c.recordPrefix.empty()) {
        EXPECT_TRUE(recordHasPrefix(dir_.file("record"), c.recordPrefix))
            << readFile(dir_.file("record"));
    }
    if (!c.errorText.empty()) {
        EXPECT_NE(r.err.find(c.errorText), std::string::npos) << r.err;
    }
}

const std::vector<std::string> noPassword = {"--no-password"};

INSTANTIATE_TEST_SUITE_P(
    Login, CliLogin,
    ::testing::Values(LoginCase{"plain_key",
                                noPassword,
                                {"-i", "KEYDIR/plain.key"},
                                false,
                                7,
                                "RSA response right",
                                ""},
                      LoginCase{"passphrase_from_file",
                                noPassword,
                                {"-i", "KEYDIR/secret.key", "--passphrase-file", "KEYDIR/pp"},
                                false,
                                7,
                                "RSA response right",
                                ""},
                      LoginCase{"default_identity_file",
                                noPassword,
                                {"--passphrase-file", "KEYDIR/pp"},
                                false,
                                7,
                                "RSA response right",
                                ""},
                      LoginCase{
                          "wrong_passphrase_falls_back_to_the_password",
                          {},
                          {"-v", "-i", "KEYDIR/secret.key", "--passphrase-file", "KEYDIR/wrong-pp"},
                          true,
                          7,
                          "PASSWORD secret",
                          ": wrong passphrase"},
                      LoginCase{"passphrase_file_others_may_read",
                                {},
                                {"-i", "KEYDIR/secret.key", "--passphrase-file", "KEYDIR/open-pp"},
                                true,
                                255,
                                "",
                                "passphrase file: "},
                      LoginCase{"rsa_turned_off",
                                noPassword,
                                {"-i", "KEYDIR/plain.key", "-o", "RSAAuthentication=no"},
                                true,
                                255,
                                "",
                                "No login method left"},
                      LoginCase{"no_terminal_for_a_password_after_a_refused_key",
                                {},
                                {"-i", "KEYDIR/unlisted.key"},
                                false,
                                255,
                                "RSA key refused",
                                "no terminal to ask for the password on"}));

}  // namespace
}  // namespace corvid1::cli::test
