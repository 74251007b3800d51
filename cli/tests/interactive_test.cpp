// End to end with standard input a terminal: the client runs in a tmux pane, keys are typed
// with send-keys and the pane is read with capture-pane. The server runs a real shell on a pty.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

using namespace std::chrono_literals;

std::string shellQuote(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string runCommand(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// One private tmux server with one pane.
class Tmux {
  public:
    Tmux() : socket_("corvid1-cli-test-" + std::to_string(getpid())) {}
    ~Tmux() { tmux("kill-server"); }

    bool start(const std::string& command, int columns, int rows) {
        const std::string line = "tmux -L " + socket_ + " -f /dev/null new-session -d -s t -x " +
                                 std::to_string(columns) + " -y " + std::to_string(rows) + " " +
                                 shellQuote(command) + " 2>/dev/null";
        // The previous pane's server, on the same socket, may still be on its way out.
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (std::system(line.c_str()) == 0) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    // Keys in tmux's send-keys notation ("Enter", "C-Space"); -l sends text literally.
    void keys(const std::string& keyNames) { tmux("send-keys -t t " + keyNames); }
    void text(const std::string& literal) { tmux("send-keys -t t -l " + shellQuote(literal)); }
    void resize(int columns, int rows) {
        tmux("resize-window -t t -x " + std::to_string(columns) + " -y " + std::to_string(rows));
    }
    std::string capture() {
        return runCommand("tmux -L " + socket_ + " capture-pane -p -t t 2>/dev/null");
    }
    bool waitFor(const std::string& wanted, std::chrono::milliseconds limit = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (capture().find(wanted) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

  private:
    void tmux(const std::string& args) {
        std::system(("tmux -L " + socket_ + " " + args + " >/dev/null 2>&1").c_str());
    }
    std::string socket_;
};

bool waitForFile(const std::string& path, const std::string& wanted,
                 std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFile(path).find(wanted) != std::string::npos) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

class Interactive : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
        startServer();
    }
    // A fresh server for each client, so nothing left of an earlier connection can slow it.
    // Its host key is on record in the user's store unless `keyOnRecord` is false.
    void startServer(bool keyOnRecord = true, std::vector<std::string> more = {}) {
        server_.reset();
        std::remove(record().c_str());
        std::vector<std::string> args = {"--mode", "shell"};
        args.insert(args.end(), more.begin(), more.end());
        server_ = std::make_unique<TestServer>(std::move(args), record());
        ASSERT_TRUE(server_->running());
        std::filesystem::remove(store());
        if (keyOnRecord) {
            std::filesystem::create_directories(std::filesystem::path(store()).parent_path());
            writeFile(store(), storeEntry());
        }
    }
    std::string store() const { return defaultStore(dir_.path()); }
    std::string storeEntry() const {
        return "[127.0.0.1]:" + std::to_string(server_->port()) + " " + serverKnownHostsKey() +
               "\n";
    }
    bool storeExists() const { return std::filesystem::exists(store()); }
    // Nothing that depends on the key went out: no user name, no password.
    void expectNoLogin() const {
        EXPECT_FALSE(recordHasPrefix(record(), "USER")) << readFile(record());
        EXPECT_FALSE(recordHasPrefix(record(), "PASSWORD")) << readFile(record());
    }

    std::string record() const { return dir_.file("record"); }

    // The pane notes the terminal's modes, runs the client (whose pid it notes), notes the exit
    // code and the modes again, and stays open to be read.
    void startClient(int columns, int rows, bool passwordInEnvironment = true,
                     const std::string& moreArgs = "") {
        std::remove(dir_.file("stty.after").c_str());
        const std::string d = dir_.path();
        std::string env = "HOME=" + shellQuote(d) + " XDG_DATA_HOME=" + shellQuote(d + "/data");
        if (passwordInEnvironment) env += " CORVID1_PASSWORD=secret";
        const std::string client = std::string(clientPath()) + " -p " +
                                   std::to_string(server_->port()) + moreArgs + " test@127.0.0.1";
        const std::string script = "stty -g > " + d +
                                   "/stty.before\n"
                                   "sh -c 'echo $$ > " +
                                   d + "/pid; exec env " + env + " " + client +
                                   "'\n"
                                   "echo \"EXIT=$?\"\n"
                                   "stty -g > " +
                                   d +
                                   "/stty.after\n"
                                   "sleep 600\n";
        writeFile(dir_.file("pane.sh"), script, 0700);
        pane_.reset();  // one pane at a time: the old tmux server goes first
        pane_ = std::make_unique<Tmux>();
        ASSERT_TRUE(tmux().start("sh " + dir_.file("pane.sh"), columns, rows));
    }

    // The shell is up once a typed command comes back (its prompt differs for root).
    bool loggedIn() {
        return waitForFile(record(), "EXEC_SHELL") && type("echo up-$((2+3))", "up-5");
    }
    // Typed commands run on the remote shell; a marker proves the output came back.
    bool type(const std::string& line, const std::string& expected) {
        tmux().text(line);
        tmux().keys("Enter");
        return tmux().waitFor(expected);
    }
    void expectTerminalRestored() {
        ASSERT_TRUE(waitForFile(dir_.file("stty.after"), "\n"));
        EXPECT_EQ(readFile(dir_.file("stty.after")), readFile(dir_.file("stty.before")));
    }
    pid_t clientPid() { return static_cast<pid_t>(std::atoi(readFile(dir_.file("pid")).c_str())); }

    Tmux& tmux() { return *pane_; }

    TempDir dir_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<Tmux> pane_;
};

TEST_F(Interactive, LoginTypingResizeAndTildeDot) {
    startClient(100, 30);
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    EXPECT_NE(readFile(record()).find("PTY term=vt100 rows=30 columns=100 "), std::string::npos);

    EXPECT_TRUE(type("echo typed-$((6*7))", "typed-42")) << tmux().capture();
    // '~' inside a line is text.
    EXPECT_TRUE(type("echo a~.b-done", "a~.b-done")) << tmux().capture();

    // The server's pty takes the local terminal's true size, not one row more.
    tmux().resize(90, 20);
    EXPECT_TRUE(waitForFile(record(), "WINDOW_SIZE rows=20 columns=90 ")) << readFile(record());
    EXPECT_TRUE(type("stty size", "20 90")) << tmux().capture();

    // Ctrl+Space types NUL, which reaches the server like any key.
    tmux().keys("C-Space");
    EXPECT_TRUE(waitForFile(record(), "STDIN \\x00")) << readFile(record());
    tmux().keys("C-u");

    tmux().keys("Enter");
    tmux().text("~.");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
    expectTerminalRestored();
    EXPECT_NE(readFile(record()).find("CLOSE client-closed"), std::string::npos);
    // The '~' and '.' of the escape never went out.
    EXPECT_EQ(readFile(record()).find("STDIN ~"), std::string::npos);
}

TEST_F(Interactive, TerminalRestoredWhenTheServerEndsTheSession) {
    startClient(80, 24);
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    tmux().text("exit 3");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=3")) << tmux().capture();
    expectTerminalRestored();
}

TEST_F(Interactive, TerminalRestoredWhenKilledBySignal) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        startServer();
        startClient(80, 24);
        ASSERT_TRUE(loggedIn()) << tmux().capture();
        ASSERT_TRUE(type("echo ready-$((1+1))", "ready-2"));
        ASSERT_GT(clientPid(), 0);
        kill(clientPid(), sig);
        EXPECT_TRUE(tmux().waitFor("EXIT=" + std::to_string(128 + sig))) << tmux().capture();
        expectTerminalRestored();
        std::remove(dir_.file("stty.after").c_str());
        std::remove(dir_.file("pid").c_str());
    }
}

TEST_F(Interactive, PasswordIsAskedOnTheTerminalWithoutEcho) {
    startClient(80, 24, false);
    ASSERT_TRUE(tmux().waitFor("test@127.0.0.1's password:")) << tmux().capture();
    tmux().text("secret");
    tmux().keys("Enter");
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    EXPECT_EQ(tmux().capture().find("secret"), std::string::npos) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
    expectTerminalRestored();
}

TEST_F(Interactive, PasswordPromptEndedWithoutAPasswordIsReportedAsSuch) {
    // The prompt comes after the host key was accepted; its failure is not the key's.
    startClient(80, 24, false);
    // The password is asked when the login reaches it, after the user name, as ssh asks it.
    ASSERT_TRUE(tmux().waitFor("test@127.0.0.1's password:")) << tmux().capture();
    tmux().keys("C-d");
    EXPECT_TRUE(tmux().waitFor("EXIT=255")) << tmux().capture();
    const std::string pane = tmux().capture();
    EXPECT_NE(pane.find("corvid1-cli: no password given"), std::string::npos) << pane;
    EXPECT_EQ(pane.find("Host key"), std::string::npos) << pane;
    EXPECT_FALSE(recordHasPrefix(record(), "PASSWORD")) << readFile(record());
    expectTerminalRestored();
}

TEST_F(Interactive, PassphraseAndChallengeAreAskedOnTheTerminalWithoutEcho) {
    const std::string keys = std::string(KEY_DATA_DIR);
    writeFile(dir_.file("secret.key"), readFile(keys + "/secret.key"));
    writeFile(dir_.file("authorized"), readFile(keys + "/secret.pub"));
    startServer(true, {"--no-password", "--authorized-keys", dir_.file("authorized")});
    startClient(80, 24, false, " -i " + dir_.file("secret.key"));
    const std::string prompt = "Enter passphrase for RSA key 'secret test key':";
    ASSERT_TRUE(tmux().waitFor(prompt)) << tmux().capture();
    tmux().text("wrong");
    tmux().keys("Enter");
    // A wrong passphrase is asked again, and the prompt shows up a second time.
    const auto asked = [&](int times) {
        const std::string pane = tmux().capture();
        std::size_t at = 0;
        int seen = 0;
        while ((at = pane.find(prompt, at)) != std::string::npos) ++seen, ++at;
        return seen == times;
    };
    for (int i = 0; i < 100 && !asked(2); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(asked(2)) << tmux().capture();
    tmux().text("correct horse");
    tmux().keys("Enter");
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    EXPECT_EQ(tmux().capture().find("horse"), std::string::npos) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();

    startServer(true, {"--no-password", "--tis-challenge", "Code 42", "--tis-response", "0815"});
    startClient(80, 24, false);
    ASSERT_TRUE(tmux().waitFor("Code 42")) << tmux().capture();
    ASSERT_TRUE(tmux().waitFor("Response:")) << tmux().capture();
    tmux().text("0815");
    tmux().keys("Enter");
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    EXPECT_EQ(tmux().capture().find("0815"), std::string::npos) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
}

constexpr char question[] = "Connect and remember the key (yes), connect this time only (once)";

TEST_F(Interactive, UnknownHostKeyIsAskedAboutBeforeThePasswordAndNoRefuses) {
    // The key comes late, so keys typed before the question can be seen not to answer it.
    startServer(false, {"--kex-delay", "1000"});
    startClient(100, 24, false);
    tmux().text("yes");
    tmux().keys("Enter");
    ASSERT_TRUE(tmux().waitFor(question)) << tmux().capture();
    const std::string pane = tmux().capture();
    EXPECT_NE(pane.find("The host key of [127.0.0.1]:" + std::to_string(server_->port()) +
                        " is not known. Its fingerprint is"),
              std::string::npos)
        << pane;
    EXPECT_NE(pane.find("    1024 " + serverFingerprint()), std::string::npos) << pane;
    EXPECT_EQ(pane.find("password:"), std::string::npos) << pane;

    std::this_thread::sleep_for(500ms);  // an early "yes" would have been taken by now
    EXPECT_FALSE(storeExists());
    tmux().text("maybe");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("Please type yes, once or no:")) << tmux().capture();
    tmux().text("no");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=255")) << tmux().capture();
    EXPECT_NE(tmux().capture().find("ERROR - Host key not accepted"), std::string::npos);
    EXPECT_EQ(tmux().capture().find("password:"), std::string::npos) << tmux().capture();
    expectNoLogin();
    EXPECT_FALSE(storeExists());
    expectTerminalRestored();
}

TEST_F(Interactive, AnswerOnceConnectsAndSavesNothing) {
    startServer(false);
    startClient(80, 24);
    ASSERT_TRUE(tmux().waitFor(question)) << tmux().capture();
    tmux().text("once");
    tmux().keys("Enter");
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
    EXPECT_FALSE(storeExists());
}

TEST_F(Interactive, AnswerYesSavesTheKeyAndTheNextRunOnlyAsksThePassword) {
    startServer(false);
    startClient(80, 24, false);
    ASSERT_TRUE(tmux().waitFor(question)) << tmux().capture();
    tmux().text("YES");
    tmux().keys("Enter");
    ASSERT_TRUE(tmux().waitFor("test@127.0.0.1's password:")) << tmux().capture();
    tmux().text("secret");
    tmux().keys("Enter");
    ASSERT_TRUE(loggedIn()) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
    EXPECT_EQ(readFile(store()), storeEntry());

    startClient(80, 24, false);
    ASSERT_TRUE(tmux().waitFor("test@127.0.0.1's password:")) << tmux().capture();
    EXPECT_EQ(tmux().capture().find("not known"), std::string::npos) << tmux().capture();
    tmux().text("secret");
    tmux().keys("Enter");
    // The record holds the first run's shell request too: this run's is the second.
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    auto shellRequests = [&] {
        const auto lines = recordLines(record());
        return std::count(lines.begin(), lines.end(), "EXEC_SHELL");
    };
    while (shellRequests() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(shellRequests(), 2) << readFile(record());
    EXPECT_TRUE(type("echo again-$((3+4))", "again-7")) << tmux().capture();
    tmux().text("exit");
    tmux().keys("Enter");
    EXPECT_TRUE(tmux().waitFor("EXIT=0")) << tmux().capture();
    EXPECT_EQ(readFile(store()), storeEntry());
}

}  // namespace
}  // namespace corvid1::cli::test
