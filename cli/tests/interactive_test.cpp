// End to end with standard input a terminal: the client runs in a tmux pane, keys are typed
// with send-keys and the pane is read with capture-pane. The server runs a real shell on a pty.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

using namespace std::chrono_literals;

std::string quote(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

constexpr char question[] = "Connect and remember the key (yes), connect this time only (once)";

class Interactive : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
    }
    ~Interactive() override { tmux("kill-server"); }

    // A fresh server for each client, its host key on record in the user's store unless
    // `keyOnRecord` is false.
    void startServer(bool keyOnRecord = true, std::vector<std::string> more = {}) {
        server_.reset();
        std::remove(record().c_str());
        more.insert(more.begin(), {"--mode", "shell"});
        server_ = std::make_unique<TestServer>(std::move(more), record());
        ASSERT_TRUE(server_->running());
        std::filesystem::remove(store());
        std::filesystem::create_directories(std::filesystem::path(store()).parent_path());
        if (keyOnRecord) writeFile(store(), storeEntry());
    }
    std::string store() const { return defaultStore(dir_.path()); }
    std::string storeEntry() const {
        return "[127.0.0.1]:" + std::to_string(server_->port()) + " " + serverKnownHostsKey() +
               "\n";
    }
    std::string record() const { return dir_.file("record"); }
    bool recordShows(const std::string& text) {
        return waitUntil([&] { return readFile(record()).find(text) != std::string::npos; });
    }

    // The pane notes the terminal's modes, runs the client (noting its pid), notes the exit
    // code and the modes again, and stays open to be read.
    void startClient(int columns, int rows, bool passwordInEnvironment = true,
                     const std::string& moreArgs = "") {
        tmux("kill-server");  // one pane at a time
        const std::string d = dir_.path();
        for (const char* f : {"stty.after", "pid"}) std::remove(dir_.file(f).c_str());
        std::string env = "HOME=" + quote(d) + " XDG_DATA_HOME=" + quote(d + "/data");
        if (passwordInEnvironment) env += " CORVID1_PASSWORD=secret";
        const std::string client = std::string(clientPath()) + " -p " +
                                   std::to_string(server_->port()) + moreArgs + " test@127.0.0.1";
        writeFile(dir_.file("pane.sh"),
                  "stty -g > " + d + "/stty.before\nsh -c 'echo $$ > " + d + "/pid; exec env " +
                      env + " " + client + "'\necho \"EXIT=$?\"\nstty -g > " + d +
                      "/stty.after\nsleep 600\n",
                  0700);
        const std::string line = "tmux -L " + socket_ + " -f /dev/null new-session -d -s t -x " +
                                 std::to_string(columns) + " -y " + std::to_string(rows) + " " +
                                 quote("sh " + dir_.file("pane.sh")) + " 2>/dev/null";
        // The previous pane's server, on the same socket, may still be on its way out.
        ASSERT_TRUE(waitUntil([&] { return std::system(line.c_str()) == 0; }));
    }
    void keys(const std::string& names) { tmux("send-keys -t t " + names); }
    void text(const std::string& literal) { tmux("send-keys -t t -l " + quote(literal)); }
    std::string pane() {
        std::string out;
        if (FILE* p =
                popen(("tmux -L " + socket_ + " capture-pane -pN -t t 2>/dev/null").c_str(), "r")) {
            char buffer[4096];
            for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
                out.append(buffer, n);
            pclose(p);
        }
        return out;
    }
    bool shows(const std::string& wanted) {
        return waitUntil([&] { return pane().find(wanted) != std::string::npos; });
    }
    // A line typed and Enter; true once `expected` shows.
    bool type(const std::string& line, const std::string& expected) {
        text(line);
        keys("Enter");
        return shows(expected);
    }
    // The shell is up once a typed command comes back (its prompt differs for root).
    bool loggedIn() { return recordShows("EXEC_SHELL") && type("echo up-$((2+3))", "up-5"); }
    void expectExitAndTerminalRestored(int code) {
        EXPECT_TRUE(shows("EXIT=" + std::to_string(code))) << pane();
        ASSERT_TRUE(waitUntil([&] { return !readFile(dir_.file("stty.after")).empty(); }));
        EXPECT_EQ(readFile(dir_.file("stty.after")), readFile(dir_.file("stty.before")));
    }

    void tmux(const std::string& args) {
        std::system(("tmux -L " + socket_ + " " + args + " >/dev/null 2>&1").c_str());
    }

    TempDir dir_;
    std::unique_ptr<TestServer> server_;
    std::string socket_ = "corvid1-cli-test-" + std::to_string(getpid());
};

TEST_F(Interactive, LoginTypingResizeAndTildeDot) {
    startServer();
    startClient(100, 30);
    ASSERT_TRUE(loggedIn()) << pane();
    EXPECT_TRUE(recordShows("PTY term=vt100 rows=30 columns=100 "));
    EXPECT_TRUE(type("echo a~.b-$((6*7))", "a~.b-42")) << pane();  // '~' inside a line is text

    // The server's pty takes the local terminal's true size, not one row more.
    tmux("resize-window -t t -x 90 -y 20");
    EXPECT_TRUE(recordShows("WINDOW_SIZE rows=20 columns=90 ")) << readFile(record());
    EXPECT_TRUE(type("stty size", "20 90")) << pane();

    keys("C-Space");  // NUL reaches the server like any key
    EXPECT_TRUE(recordShows("STDIN \\x00")) << readFile(record());
    keys("C-u");
    keys("Enter");
    text("~.");
    expectExitAndTerminalRestored(0);
    // The server sees the connection closed; the '~' and '.' of the escape never went out.
    EXPECT_TRUE(recordShows("CLOSE client-closed")) << readFile(record());
    EXPECT_EQ(readFile(record()).find("STDIN ~"), std::string::npos);
}

// However the session ends, the exit code says how and the terminal is as it was.
TEST_F(Interactive, TerminalRestoredWhenTheServerEndsTheSessionOrASignalComes) {
    for (int sig : {0, SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        startServer();
        startClient(80, 24);
        ASSERT_TRUE(loggedIn()) << pane();
        if (sig == 0) {
            text("exit 3");
            keys("Enter");
        } else {
            ASSERT_TRUE(waitUntil([&] { return !readFile(dir_.file("pid")).empty(); }));
            kill(std::atoi(readFile(dir_.file("pid")).c_str()), sig);
        }
        expectExitAndTerminalRestored(sig == 0 ? 3 : 128 + sig);
    }
}

// The question goes to the policy and its answer comes back: "no" refuses with 255 and sends
// nothing; "yes" goes on to the password prompt (no echo) and keeps the key. Keys typed before
// the question do not answer it.
TEST_F(Interactive, UnknownHostKeyIsAskedBeforeThePassword) {
    startServer(false, {"--kex-delay", "1000"});
    startClient(100, 24, false);
    text("yes");
    keys("Enter");
    ASSERT_TRUE(shows(question)) << pane();
    EXPECT_NE(pane().find("The host key of [127.0.0.1]:" + std::to_string(server_->port()) +
                          " is not known. Its fingerprint is\n    1024 " + serverFingerprint()),
              std::string::npos)
        << pane();
    text("maybe");
    keys("Enter");
    EXPECT_TRUE(shows("Please type yes, once or no:")) << pane();
    text("no");
    keys("Enter");
    expectExitAndTerminalRestored(255);
    EXPECT_NE(pane().find("ERROR - Host key not accepted"), std::string::npos) << pane();
    EXPECT_EQ(pane().find("password:"), std::string::npos) << pane();
    for (const char* prefix : {"USER", "PASSWORD"}) EXPECT_FALSE(recordHas(record(), prefix));
    EXPECT_FALSE(std::filesystem::exists(store()));

    startServer(false);
    startClient(80, 24, false);
    ASSERT_TRUE(shows(question)) << pane();
    text("YES");
    keys("Enter");
    ASSERT_TRUE(shows("test@127.0.0.1's password: ")) << pane();
    text("secret");
    keys("Enter");
    ASSERT_TRUE(loggedIn()) << pane();
    EXPECT_EQ(pane().find("secret"), std::string::npos) << pane();
    text("exit");
    keys("Enter");
    expectExitAndTerminalRestored(0);
    EXPECT_EQ(readFile(store()), storeEntry());
}

TEST_F(Interactive, PasswordPromptEndedWithoutAPasswordIsReportedAsSuch) {
    startServer();
    startClient(80, 24, false);
    ASSERT_TRUE(shows("test@127.0.0.1's password: ")) << pane();
    keys("C-d");
    expectExitAndTerminalRestored(255);
    EXPECT_NE(pane().find("corvid1-cli: no password given"), std::string::npos) << pane();
    EXPECT_EQ(pane().find("Host key"), std::string::npos) << pane();
    EXPECT_FALSE(recordHas(record(), "PASSWORD"));
}

// A key's passphrase and a TIS challenge's response are asked on the terminal without echo.
TEST_F(Interactive, PassphraseAndChallengeAreAskedOnTheTerminal) {
    const std::string data = std::string(KEY_DATA_DIR);
    writeFile(dir_.file("secret.key"), readFile(data + "/secret.key"));
    writeFile(dir_.file("authorized"), readFile(data + "/secret.pub"));
    const struct {
        std::vector<std::string> server;
        std::string flags, prompt, answer;
    } cases[] = {
        {{"--authorized-keys", dir_.file("authorized")},
         " -i " + dir_.file("secret.key"),
         "Enter passphrase for RSA key 'secret test key': ",
         "correct horse"},
        {{"--tis-challenge", "Code 42", "--tis-response", "0815"},
         "",
         "Code 42\nResponse: ",
         "0815"},
    };
    for (const auto& c : cases) {
        auto server = c.server;
        server.push_back("--no-password");
        startServer(true, server);
        startClient(80, 24, false, c.flags);
        ASSERT_TRUE(shows(c.prompt)) << pane();
        text(c.answer);
        keys("Enter");
        ASSERT_TRUE(loggedIn()) << pane();
        EXPECT_EQ(pane().find(c.answer), std::string::npos) << pane();
        text("exit");
        keys("Enter");
        expectExitAndTerminalRestored(0);
    }
}

}  // namespace
}  // namespace corvid1::cli::test
