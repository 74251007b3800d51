// End to end, through the real corvid1-cli against the project's SSH-1 test server, with
// standard input not a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

const std::map<std::string, std::string> rightPassword = {{"CORVID1_PASSWORD", "secret"}};

// The test server's usual host key, given on the command line: runs that are not about host
// keys neither ask nor touch a store.
const std::string& knownKey() {
    static const std::string fingerprint = serverFingerprint();
    return fingerprint;
}

class Batch : public ::testing::Test {
  protected:
    std::string record() const { return dir_.file("record"); }
    std::unique_ptr<TestServer> serve(std::vector<std::string> args) {
        auto server = std::make_unique<TestServer>(std::move(args), record());
        EXPECT_TRUE(server->running());
        return server;
    }
    std::vector<std::string> target(const TestServer& server, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-p", std::to_string(server.port()), "--host-key",
                                         knownKey()};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("test@127.0.0.1");
        return args;
    }
    RunResult run(const TestServer& server, std::vector<std::string> more = {},
                  const std::map<std::string, std::string>& env = rightPassword,
                  const std::string& stdinFile = {}) {
        return runClient(target(server, std::move(more)), dir_.path(), env, stdinFile);
    }
    bool recordHas(const std::string& line) const {
        const auto lines = recordLines(record());
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    TempDir dir_;
};

// Byte i of the server's bulk output.
std::string bulkPattern(std::size_t count) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return out;
}

// Where two outputs first differ, for a readable failure instead of megabytes of dump.
std::string firstDifference(const std::string& got, const std::string& want) {
    const auto mismatch = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (mismatch.first == got.end() && mismatch.second == want.end()) return "identical";
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
           ", first difference at byte " + std::to_string(mismatch.first - got.begin());
}

TEST_F(Batch, RawOutputIsByteExactForEveryCipher) {
    // Not a multiple of the server's 16 KiB packets, so a short last packet is included; every
    // aligned 256-byte run holds each byte value once, NUL and 0xFF included.
    const std::size_t size = 3 * 1024 * 1024 + 1001;
    const std::string want = bulkPattern(size);
    for (const char* cipher : {"3des", "blowfish", "none"}) {
        auto server =
            serve({"--scenario", "bulk", "--bulk", std::to_string(size), "--exit-status", "7"});
        const RunResult r = run(*server, {"--raw", "-c", cipher});
        EXPECT_EQ(r.exitCode, 7) << cipher << ": " << r.err;
        EXPECT_TRUE(r.out == want) << cipher << ": " << firstDifference(r.out, want);
        EXPECT_EQ(r.err, "") << cipher;
    }
    EXPECT_TRUE(recordHas("SESSION_KEY cipher=3 flags=0"));
    EXPECT_TRUE(recordHas("SESSION_KEY cipher=6 flags=0"));
    EXPECT_TRUE(recordHas("SESSION_KEY cipher=0 flags=0"));
}

TEST_F(Batch, ExitCodeIsTheRemoteStatusOrZero) {
    for (int status : {0, 1, 42, 255}) {
        auto server = serve({"--scenario", "exit-status", "--exit-status", std::to_string(status)});
        const RunResult r = run(*server);
        EXPECT_EQ(r.exitCode, status) << r.err;
        EXPECT_EQ(r.out, "exit status " + std::to_string(status) + "\r\n");
    }
    // The random pool's seed file is kept in the user's data folder, private.
    struct stat st {};
    ASSERT_EQ(stat(dir_.file("data/corvid1/ssh_seedfile").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Batch, ServerErrorStreamGoesToStandardErrorExceptOnTheScreen) {
    auto server = serve({"--scenario", "stderr", "--exit-status", "4"});
    const RunResult r = run(*server);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(r.out, "out 1\r\nout 2\r\n");
    EXPECT_EQ(r.err, "err 1\r\nerr 2\r\n");

    // The screen shows what a terminal would have shown: both streams, in the order sent.
    const RunResult screen = run(*server, {"--screen", "--size", "20x5"});
    EXPECT_EQ(screen.exitCode, 4) << screen.err;
    EXPECT_EQ(screen.out, "out 1\nerr 1\nout 2\nerr 2\n\n");
    EXPECT_EQ(screen.err, "");

    // A disconnect in the data phase ends the session without a status, which a script must
    // not take for success: 255. Its text is the server's parting word, not output, and ends
    // its line on standard error; with --screen it is on the screen and said on standard error.
    auto parting = serve({"--scenario", "disconnect-in-data", "--reason", "bye now"});
    const RunResult d = run(*parting);
    EXPECT_EQ(d.exitCode, 255) << d.err;
    EXPECT_EQ(d.out, "goodbye\r\n");
    EXPECT_EQ(d.err, "bye now\n");
    const RunResult ds = run(*parting, {"--screen"});
    EXPECT_EQ(ds.exitCode, 255) << ds.err;
    EXPECT_EQ(ds.err, "corvid1-cli: disconnected by the server: bye now\n");
}

TEST_F(Batch, LoginFailuresExitWith255AndTellWhyInTheDriversWords) {
    struct Case {
        std::vector<std::string> serverArgs;
        std::map<std::string, std::string> env;
        std::vector<std::string> texts;
    };
    const std::vector<Case> cases = {
        {{"--scenario", "echo"},
         {{"CORVID1_PASSWORD", "wrong"}},
         {"Sent login password\n", "Authorization error. Check username and password.\n"}},
        {{"--scenario", "refuse-password"},
         rightPassword,
         {"Authorization error. Check username and password.\n"}},
        {{"--scenario", "disconnect-after-user", "--reason", "Permission denied"},
         rightPassword,
         {"Error during authorization!\n", "Server response: Permission denied\n"}},
        {{"--scenario", "garbage-version"},
         rightPassword,
         {"ERROR - Unrecognized SSH challenge\n"}},
        {{"--scenario", "bad-crc", "--at", "key-ack"},
         rightPassword,
         {"ERROR - CANNOT DECRYPT PACKET\n"}},
        // A damaged reply is the stream's fault, whatever step it answers.
        {{"--scenario", "bad-crc", "--at", "password"},
         rightPassword,
         {"ERROR - Corrupted packet from server (bad check value)\n",
          "ERROR - Connection lost during login\n"}},
        {{"--scenario", "stall", "--at", "version"},
         rightPassword,
         {"ERROR - The server stopped answering during the login\n"}},
        {{"--scenario", "stall", "--at", "pty"},
         rightPassword,
         {"ERROR - The server stopped answering during the login\n"}},
    };
    for (const Case& c : cases) {
        auto server = serve(c.serverArgs);
        const auto started = std::chrono::steady_clock::now();
        const RunResult r = run(*server, {"--connect-timeout", "1"}, c.env);
        // Well within the server's own patience of 60 s: the client's limit ended it.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(r.exitCode, 255) << c.serverArgs[1] << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.serverArgs[1];
        const bool refused = std::any_of(c.texts.begin(), c.texts.end(), [](const auto& t) {
            return t.find("Authorization error") != std::string::npos;
        });
        if (!refused) {
            EXPECT_EQ(r.err.find("Authorization error"), std::string::npos) << r.err;
        }
        for (const auto& text : c.texts)
            EXPECT_NE(r.err.find(text), std::string::npos)
                << c.serverArgs[1] << " lacks " << text << " in:\n"
                << r.err;
    }
}

TEST_F(Batch, RefusedConnectionExitsWith255) {
    // A port that was just listening and is closed now refuses.
    int port;
    {
        auto server = serve({});
        port = server->port();
    }
    const RunResult r =
        runClient({"-p", std::to_string(port), "test@127.0.0.1"}, dir_.path(), rightPassword);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("could not connect to 127.0.0.1 port " + std::to_string(port)),
              std::string::npos)
        << r.err;
}

TEST_F(Batch, LostConnectionAfterLoginIsAFailureNotASuccess) {
    auto server = serve({"--scenario", "close", "--at", "data"});
    const RunResult r = run(*server);
    EXPECT_EQ(r.exitCode, 255) << r.err;
    EXPECT_NE(r.err.find("lost"), std::string::npos) << r.err;
}

TEST_F(Batch, OutputThatCannotBeWrittenIsAFailure) {
    auto server = serve({"--scenario", "bulk", "--bulk", "4194304"});
    // The reader goes away after 10 bytes; the session must end, and not with success.
    const std::string command =
        "set -o pipefail; CORVID1_PASSWORD=secret XDG_DATA_HOME=" + dir_.path() + " " +
        clientPath() + " --host-key " + knownKey() + " -p " + std::to_string(server->port()) +
        " test@127.0.0.1 </dev/null 2>" + dir_.file("err") + " | head -c 10 >/dev/null";
    const int status = std::system(("bash -c '" + command + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(readFile(dir_.file("err")).find("standard output"), std::string::npos);
}

TEST_F(Batch, StatusLinesOnlyWithVerboseButWarningsAlways) {
    auto quiet = serve({"--scenario", "exit-status"});
    EXPECT_EQ(run(*quiet).err, "");
    auto verbose = serve({"--scenario", "exit-status"});
    const RunResult v = run(*verbose, {"-v"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_NE(v.err.find("Server challenge received\n"), std::string::npos) << v.err;
    EXPECT_NE(v.err.find("Authorization successful.\nPTTY Allocated\n"), std::string::npos);
    EXPECT_EQ(v.out, "exit status 0\r\n");  // none of it on standard output

    auto refusePty = serve({"--scenario", "refuse-pty"});
    writeFile(dir_.file("input"), "exit\r");
    const RunResult w = run(*refusePty, {}, rightPassword, dir_.file("input"));
    EXPECT_EQ(w.exitCode, 0);
    EXPECT_EQ(w.err, "Warning - PTTY not Allocated\n");
}

// A remote command, as scripts run them: no pty unless asked, standard input to its end, its
// error stream apart, its status ours; the same through compression and with a pty.
TEST_F(Batch, RemoteCommandPassesStreamsEndOfInputAndStatus) {
    auto server = serve({"--mode", "shell"});
    writeFile(dir_.file("input"), "line one\nline two\n");
    const std::vector<std::string> piped = {"cat;", "tty",  "||",   "true;", "echo",
                                            "err",  ">&2;", "exit", "5"};
    struct Case {
        std::vector<std::string> flags;
        std::vector<std::string> command;
        const char* out;
        const char* record;
    };
    const std::vector<Case> cases = {
        {{},
         piped,
         "line one\nline two\nnot a tty\n",
         "EXEC_CMD cat; tty || true; echo err >&2; exit 5"},
        {{"-C"}, piped, "line one\nline two\nnot a tty\n", "COMPRESSION level=6"},
        // A pty's reader never sees the end of input (servers ignore EOF there), so no cat.
        {{"-t"},
         {"test", "-t", "0", "&&", "echo", "pty;", "exit", "5"},
         "pty\r\n",
         "PTY term=vt100 rows=24 columns=80 xpixels=0 ypixels=0 modes=00"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = target(*server, c.flags);
        args.insert(args.end(), c.command.begin(), c.command.end());
        const RunResult r = runClient(args, dir_.path(), rightPassword, dir_.file("input"));
        EXPECT_EQ(r.exitCode, 5) << r.err;
        if (c.command == piped) {
            EXPECT_EQ(r.out, c.out);
        } else {  // the pty also echoes what was typed, before or after
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
        if (c.flags.empty()) {
            EXPECT_EQ(r.err, "err\n");
        }
        EXPECT_TRUE(recordHas(c.record)) << c.record;
    }
    EXPECT_TRUE(recordHas("EOF"));
}

// The configuration file, as ssh_config has it: an alias names the server, its port, user and
// settings; the user's own file is read without -F; -E takes the client's own messages.
TEST_F(Batch, ConfigurationFileNamesTheServerAndItsSettings) {
    auto server = serve({"--scenario", "exit-status", "--exit-status", "3"});
    const std::string config = "Host box\n  HostName 127.0.0.1\n  Port " +
                               std::to_string(server->port()) +
                               "\n  User test\n  Compression yes\n";
    writeFile(dir_.file("config"), config);
    RunResult r = runClient({"-F", dir_.file("config"), "--host-key", knownKey(), "box"},
                            dir_.path(), rightPassword);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(recordHas("COMPRESSION level=6"));
    EXPECT_TRUE(recordHas("USER test"));

    ASSERT_EQ(mkdir((dir_.path() + "/.config").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_.path() + "/.config/corvid1").c_str(), 0700), 0);
    writeFile(dir_.path() + "/.config/corvid1/config", config + "Host *\n  Port 1\n");
    r = runClient({"--host-key", knownKey(), "box"}, dir_.path(), rightPassword);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    r = runClient({"-E", dir_.file("log"), "--host-key", knownKey(), "other"}, dir_.path(),
                  rightPassword);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(readFile(dir_.file("log")).find("could not connect to other port 1"),
              std::string::npos);
}

// A session log: the raw bytes exactly, or the printable text after a header; a log that
// cannot be written stops with a word and leaves the session alone.
TEST_F(Batch, SessionLogsRawTextAndAFailedWrite) {
    auto bulk = serve({"--scenario", "bulk", "--bulk", "70000", "--exit-status", "4"});
    RunResult r = run(*bulk, {"--log", dir_.file("raw.log")});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(readFile(dir_.file("raw.log")), bulkPattern(70000));

    auto colours = serve({"--scenario", "colours"});
    r = run(*colours, {"--log-text", dir_.file("text.log")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string text = readFile(dir_.file("text.log"));
    EXPECT_EQ(text.rfind("=== Corvid1 session log: 127.0.0.1 port ", 0), 0u) << text;
    EXPECT_NE(
        text.find("\ntotal 6\nbin  run.sh  core  fifo\nreverse  underline  bold-white-on-red\n"),
        std::string::npos)
        << text;

    r = run(*bulk, {"--log", "/dev/full"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(r.out, bulkPattern(70000));
    EXPECT_NE(r.err.find("corvid1-cli: the session log stopped: /dev/full:"), std::string::npos)
        << r.err;
}

TEST_F(Batch, StandardInputGoesOutAfterTheShellRequestNulsIncluded) {
    // The key exchange is slowed down, so input read early would show before EXEC_SHELL.
    auto server = serve({"--scenario", "echo", "--kex-delay", "300"});
    writeFile(dir_.file("input"), std::string("a\0b\rexit\r", 9));
    const RunResult r = run(*server, {}, rightPassword, dir_.file("input"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("logout\r\n"), std::string::npos) << r.out;

    const auto lines = recordLines(record());
    const auto shell = std::find(lines.begin(), lines.end(), "EXEC_SHELL");
    ASSERT_NE(shell, lines.end());
    std::string typed;
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it->rfind("STDIN ", 0) != 0) continue;
        EXPECT_GT(it, shell) << "input before the shell request: " << *it;
        typed += it->substr(6);
    }
    EXPECT_EQ(typed, "a\\x00b\\x0dexit\\x0d");
}

// The screen's lines as --screen prints them: one line feed after each.
std::string lines(const std::vector<std::string>& rows) {
    std::string out;
    for (const auto& r : rows) out += r + "\n";
    return out;
}

TEST_F(Batch, ScreenPrintsTheColouredListingAsText) {
    auto server = serve({"--scenario", "colours"});
    const RunResult r = run(*server, {"--screen"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> want(24);
    want[0] = "total 6";
    want[1] = "bin  run.sh  core  fifo";
    want[2] = "reverse  underline  bold-white-on-red";
    EXPECT_EQ(r.out, lines(want));
    EXPECT_TRUE(recordHas("PTY term=vt100 rows=24 columns=80 xpixels=0 ypixels=0 modes=00"));
}

TEST_F(Batch, ScreenKeepsCursorAddressedTextAndItsGaps) {
    // 80x24: TOP-RIGHT and BOTTOM-RIGHT run one column past the margin and wrap; the wrap on
    // the last row scrolls the first row into the scrollback, which is printed too.
    auto server = serve({"--scenario", "screen"});
    const RunResult r = run(*server, {"--screen"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> want(25);
    want[0] = "TOP-LEFT" + std::string(64, ' ') + "TOP-RIGH";
    want[1] = "T";
    want[11] = std::string(34, ' ') + "CENTRE";
    want[23] = "BOTTOM-LEFT" + std::string(58, ' ') + "BOTTOM-RIGH";
    want[24] = "T";
    EXPECT_EQ(r.out, lines(want));

    // On a wider screen nothing wraps, and the size reaches both the pty and the screen.
    auto wide = serve({"--scenario", "screen"});
    const RunResult w = run(*wide, {"--screen", "--size", "100x30"});
    EXPECT_TRUE(recordHas("PTY term=vt100 rows=30 columns=100 xpixels=0 ypixels=0 modes=00"));
    std::vector<std::string> wantWide(30);
    wantWide[0] = "TOP-LEFT" + std::string(64, ' ') + "TOP-RIGHT";
    wantWide[11] = std::string(34, ' ') + "CENTRE";
    wantWide[23] = "BOTTOM-LEFT" + std::string(58, ' ') + "BOTTOM-RIGHT";
    EXPECT_EQ(w.out, lines(wantWide));

    // A VT52 terminal shows the VT100 sequences it does not know.
    auto vt52 = serve({"--scenario", "screen"});
    const RunResult v = run(*vt52, {"--screen", "-t", "vt52"});
    EXPECT_TRUE(recordHas("PTY term=vt52 rows=24 columns=80 xpixels=0 ypixels=0 modes=00"));
    EXPECT_EQ(v.out.substr(0, 7), "<esc>[H");
}

TEST_F(Batch, ScreenAnswersEnquiriesThroughTheSession) {
    auto server = serve({"--scenario", "enq", "--timeout", "10"});
    const RunResult r = run(*server, {"--screen"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(recordHas("ENQ_ANSWER vt100"));
    EXPECT_NE(r.out.find("ENQ answer: \"vt100\""), std::string::npos) << r.out;
}

TEST_F(Batch, PasswordFileMustBePrivateAndBeatsTheEnvironment) {
    const std::string file = dir_.file("pw");
    writeFile(file, "secret\n", 0600);
    auto server = serve({"--scenario", "exit-status", "--once"});
    const RunResult ok = run(*server, {"--password-file", file}, {{"CORVID1_PASSWORD", "wrong"}});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_TRUE(recordHas("PASSWORD secret"));
    EXPECT_EQ(server->waitForExit(std::chrono::seconds(10)), 0);

    for (unsigned mode : {0644u, 0640u, 0604u}) {
        writeFile(file, "secret\n", mode);
        const auto before = recordLines(record()).size();
        auto refused = serve({"--scenario", "exit-status"});
        const RunResult r = run(*refused, {"--password-file", file}, {});
        EXPECT_EQ(r.exitCode, 255) << std::oct << mode;
        EXPECT_NE(r.err.find("too open"), std::string::npos) << r.err;
        EXPECT_EQ(recordLines(record()).size(), before) << "connected despite a refused file";
    }
}

TEST_F(Batch, WithoutAPasswordSourceOrTerminalItFailsBeforeConnecting) {
    auto server = serve({"--scenario", "exit-status"});
    const RunResult r = run(*server, {}, {});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err,
              "corvid1-cli: no terminal to ask for the password on; set CORVID1_PASSWORD or use "
              "--password-file\n");
    EXPECT_TRUE(recordLines(record()).empty()) << readFile(record());
}

TEST(CommandLine, BadUsageExitsWith2AndAUsageLine) {
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"-c", "des", "host"},
                                                 {"--bogus", "host"},
                                                 {"--raw", "--screen", "host"},
                                                 {"-p", "70000", "host"},
                                                 {"--host-key", "24:87:0b", "host"},
                                                 {"--accept-new", "--host-key", knownKey(), "h"}}) {
        const RunResult r = runClient(args, dir.path());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err.rfind("corvid1-cli: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("usage: corvid1-cli"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    const RunResult help = runClient({"--help"}, dir.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: corvid1-cli"), std::string::npos);
    const RunResult version = runClient({"--version"}, dir.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("corvid1-cli ", 0), 0u);
}

}  // namespace
}  // namespace corvid1::cli::test
