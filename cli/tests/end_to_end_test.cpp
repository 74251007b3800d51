// The real corvid1-cli against the project's SSH-1 test server, standard input not a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

const std::map<std::string, std::string> password = {{"CORVID1_PASSWORD", "secret"}};

class Batch : public ::testing::Test {
  protected:
    std::string record() const { return dir_.file("record"); }
    auto start(const Words& args) {  // "@name": --scenario name
        std::remove(record().c_str());
        Words all;
        for (auto a : args) {
            if (a[0] == '@') all.push_back("--scenario"), a.erase(0, 1);
            all.push_back(fill(a, {{"DIR", dir_.path()}}));
        }
        auto server = serve(all, record());
        EXPECT_TRUE(server->started());
        return server;
    }
    // The server's usual key given on the command line: runs not about host keys ask nothing.
    Words target(int port, const Words& more = {}) {
        Words args = {"-p", std::to_string(port), "--host-key", key_};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("test@127.0.0.1");
        return args;
    }

    TempDir dir_;
    const std::string key_ = serverSays("--print-fingerprint");
};

// The lines of a screen, with `shown` at their places and the others empty.
std::string screenLines(int count, const std::map<int, std::string>& shown) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (shown.count(i) != 0 ? shown.at(i) : "") + "\n";
    return out;
}

// One run: the server's arguments, the client's flags before the target and the words after
// it, CORVID1_PASSWORD (unset when null) and standard input; then the exit code, standard output
// (exact, or "*" and a piece), standard error ("" empty, "=" and all of it, or a piece) and lines
// that start the server's record in this order ("!": no such line). DIR stands for the test's
// folder, PORT for the server's port, CLOSED for a port just closed, FP for the host key's
// fingerprint, BULK for the bulk output; the flag NOKEY gives no fingerprint, IDENTITY puts a
// key in ~/.ssh/identity.
struct Case {
    Words server, flags;
    int exitCode;
    std::string out, err;
    Words record, command = {};
    std::string input = "";
    const char* password = "secret";
};

TEST_F(Batch, EachRunEndsWithItsExitCodeOutputAndRecord) {
    const auto data = [](const std::string& name) { return readFile(KEY_DATA_DIR "/" + name); };
    for (const char* name : {"plain.key", "secret.key", "unlisted.key"})
        writeFile(dir_.file(name), data(name));
    writeFile(dir_.file("authorized"), data("plain.pub") + data("secret.pub"));
    const std::string x512(512, 'x');
    const std::tuple<const char*, std::string, unsigned> files[] = {
        {"pp", "correct horse\n", 0600},     {"open-pp", "correct horse\n", 0644},
        {"wrong-pp", "not it\n", 0600},      {"pw", "s3cret word\nsecond line\n", 0400},
        {"pw-dos", "secret\r\n", 0600},      {"pw-no-end", "secret", 0600},
        {"pw-512", x512 + "\n", 0600},       {"pw-513", x512 + "x\n", 0600},
        {"pw-nul", {"se\0cret\n", 8}, 0600}, {"bad", "Port 22\nForwardAgent yes\n", 0600}};
    for (const auto& [name, content, mode] : files) writeFile(dir_.file(name), content, mode);
    std::filesystem::create_directories(dir_.file(".ssh"));
    const int closed = serve({}, dir_.file("unused"))->port();
    const std::string wrap = "TOP-LEFT" + std::string(64, ' ') + "TOP-RIGH";
    const std::string wrapLow = "BOTTOM-LEFT" + std::string(58, ' ') + "BOTTOM-RIGH";
    const std::string centre = std::string(34, ' ') + "CENTRE";
    // clang-format off
    const auto bulk = [](const char* status) { return Words{"@bulk", "--bulk", "150001", "--exit-status", status}; };
    const Words ok = {"@exit-status"}, shell = {"--mode", "shell"};
    const Words piped = {"cat;", "tty", "||", "true;", "echo", "err", ">&2;", "exit", "5"};
    const Words keys = {"@exit-status", "--authorized-keys", "DIR/authorized"};
    const Words keysOnly = {"@exit-status", "--authorized-keys", "DIR/authorized", "--no-password"};
    const std::string refused = "Authorization error. Check username and password.\n";
    std::vector<Case> runs = {
        // The remote status is the exit code; raw output byte for byte with each cipher (a
        // short last packet, NUL and 0xFF included); the password hidden among IGNOREs.
        {bulk("0"), {"--raw", "-c", "3des"}, 0, "BULK", "", {"SESSION_KEY cipher=3"}},
        {bulk("42"), {"-c", "blowfish"}, 42, "BULK", "", {"SESSION_KEY cipher=6"}},
        {bulk("255"), {"-c", "none"}, 255, "BULK", "", {"SESSION_KEY cipher=0"}},
        {{"@exit-status", "--exit-status", "1"}, {}, 1, "exit status 1\r\n", "",
         {"USER", "IGNORE 4", "PASSWORD secret", "IGNORE"}},
        {ok, {"--no-password-padding"}, 0, "exit status 0\r\n", "", {"USER", "!IGNORE"}},
        // No remote status, no success: 255, and standard error says why. The server's parting
        // words end their line there, or are said there when the screen showed them.
        {{"@disconnect-in-data", "--reason", "bye"}, {}, 255, "goodbye\r\n", "=bye\n", {}},
        {{"@disconnect-in-data", "--reason", "bye"}, {"--screen"}, 255, "*",
         "=corvid1-cli: disconnected by the server: bye\n", {}},
        {{"@close", "--at", "data"}, {}, 255, "", "\ncorvid1-cli: connection to 127.0.0.1 lost\n", {}},
        {{"@echo"}, {}, 255, "", "Sent login password\n" + refused, {"PASSWORD wrong"}, {}, "",
         "wrong"},
        {{"@disconnect-after-user", "--reason", "No"}, {}, 255, "",
         "Error during authorization!\nServer response: No\n", {}},
        {{"@stall", "--at", "pty"}, {"--connect-timeout", "1"}, 255, "",
         "ERROR - The server stopped answering during the login\n", {}},
        {{}, {"-p", "CLOSED"}, 255, "", "=corvid1-cli: could not connect to 127.0.0.1 port CLOSED: Connection refused\n", {}},
        {{}, {"-p", "CLOSED", "-E", "DIR/log"}, 255, "", "", {}},  // the message in the log
        // Without a terminal an unknown key is refused before anything that depends on it.
        {{}, {"NOKEY"}, 255, "",
         "=The host key of [127.0.0.1]:PORT is not known.\nHost key fingerprint: 1024 FP\n"
         "Nobody can be asked whether to trust it; not connecting.\nERROR - Host key not accepted\n"
         "corvid1-cli: no terminal to ask whether to trust the key; check its fingerprint and give "
         "it with --host-key, or use --accept-new\n", {"VERSION", "!SESSION_KEY"}},
        {{"@exit-status"}, {"NOKEY", "--accept-new", "--known-hosts", "DIR/kh"}, 0, "*", "",
         {"PASSWORD secret"}},
        // The server's error stream goes to standard error, or to the screen in the order sent;
        // status lines only with -v, warnings unless -q.
        {{"@stderr", "--exit-status", "4"}, {}, 4, "out 1\r\nout 2\r\n", "=err 1\r\nerr 2\r\n", {}},
        {{"@stderr", "--exit-status", "4"}, {"--screen", "--size", "20x5"}, 4,
         "out 1\nerr 1\nout 2\nerr 2\n\n", "", {}},
        {ok, {"-v"}, 0, "exit status 0\r\n", "Authorization successful.\nPTTY Allocated\n", {}},
        {{"@refuse-pty"}, {}, 0, "*", "=Warning - PTTY not Allocated\n", {}, {}, "exit\r"},
        {{"@refuse-pty"}, {"-q"}, 0, "*", "", {}, {}, "exit\r"},
        // Standard input goes out once the shell is asked for, NULs and all.
        {{"@echo", "--kex-delay", "300"}, {}, 0, "*logout\r\n", "",
         {"EXEC_SHELL", "STDIN a\\x00b\\x0dexit\\x0d"}, {}, {"a\0b\rexit\r", 9}},
        // A remote command as scripts run it: no pty unless asked, standard input to its end,
        // its error stream apart, its status ours; compressed, with a pty, with keepalives.
        {shell, {}, 5, "one\ntwo\nnot a tty\n", "=err\n",
         {"EXEC_CMD cat; tty || true; echo err >&2; exit 5", "EOF"}, piped, "one\ntwo\n"},
        {shell, {"-C"}, 5, "one\ntwo\nnot a tty\n", "=err\n", {"COMPRESSION level=6", "EXEC_CMD"}, piped,
         "one\ntwo\n"},
        {shell, {"-t"}, 5, "*pty\r\n", "",
         {"PTY term=vt100 rows=24 columns=80 xpixels=0 ypixels=0 modes=00", "EXEC_CMD"},
         {"test", "-t", "0", "&&", "echo", "pty;", "exit", "5"}},
        {shell, {"--keepalive", "1", "--no-password-padding"}, 5, "", "",
         {"EXEC_CMD sleep", "IGNORE 4", "IGNORE 4"}, {"sleep", "2.5;", "exit", "5"}},
        // --screen prints what a terminal would show, scrollback first; its size reaches the
        // pty; it answers enquiries through the session; VT52 shows VT100 sequences as text.
        {{"@colours"}, {"--screen"}, 0, screenLines(24, {{0, "total 6"}, {1, "bin  run.sh  core  fifo"},
                          {2, "reverse  underline  bold-white-on-red"}}),
         "", {"PTY term=vt100 rows=24 columns=80 "}},
        {{"@screen"}, {"--screen"}, 0,
         screenLines(25, {{0, wrap}, {1, "T"}, {11, centre}, {23, wrapLow}, {24, "T"}}), "", {}},
        {{"@screen"}, {"--screen", "--size", "100x30"}, 0,
         screenLines(30, {{0, wrap + "T"}, {11, centre}, {23, wrapLow + "T"}}), "",
         {"PTY term=vt100 rows=30 columns=100 "}},
        {{"@screen"}, {"--screen", "-t", "vt52"}, 0, "*<esc>[H", "", {"PTY term=vt52 "}},
        {{"@enq", "--timeout", "10"}, {"--screen"}, 0, "*ENQ answer: \"vt100\"", "",
         {"ENQ_ANSWER vt100"}},
        // The password file's first line, private files only, before the environment.
        {{"@exit-status", "--password", "s3cret word"}, {"--password-file", "DIR/pw"}, 0, "*",
         "", {}, {}, "", "wrong"},
        {ok, {"--password-file", "DIR/pw-dos"}, 0, "*", "", {}, {}, "", nullptr},
        {ok, {"--password-file", "DIR/pw-no-end"}, 0, "*", "", {}, {}, "", nullptr},
        {{"@exit-status", "--password", x512}, {"--password-file", "DIR/pw-512"}, 0, "*", "",
         {}, {}, "", nullptr},
        {{}, {"--password-file", "DIR/pw-513"}, 255, "", "longer than 512", {"!CONNECT"}},
        {{}, {"--password-file", "DIR/pw-nul"}, 255, "", "NUL", {"!CONNECT"}},
        {{}, {"--password-file", "DIR"}, 255, "", "not a regular file", {"!CONNECT"}},
        {{}, {"--password-file", "DIR/none"}, 255, "", "password file 'DIR/none': No such", {"!CONNECT"}},
        {{}, {}, 255, "",
         "=corvid1-cli: no terminal to ask for the password on; set CORVID1_PASSWORD or use "
         "--password-file\n", {"!CONNECT"}, {}, "", nullptr},
        // Keys from -i or ~/.ssh/identity; a passphrase file, tried once; the -o switches.
        {keysOnly, {"-i", "DIR/plain.key"}, 0, "*", "", {"RSA response right"}, {}, "", nullptr},
        {keysOnly, {"IDENTITY", "--passphrase-file", "DIR/pp"}, 0, "*", "", {"RSA response right"}, {}, "",
         nullptr},
        {keys, {"-v", "-i", "DIR/secret.key", "--passphrase-file", "DIR/wrong-pp"}, 0, "*",
         "secret.key: wrong passphrase\nKey file DIR/secret.key: no passphrase given", {"PASSWORD secret"}},
        {keys, {"-i", "DIR/secret.key", "--passphrase-file", "DIR/open-pp"}, 255, "", "passphrase file: ",
         {"!CONNECT"}},
        {keysOnly, {"-i", "DIR/plain.key", "-o", "RSAAuthentication=no"}, 255, "", "No login method left",
         {"!RSA"}},
        {keys, {"-i", "DIR/unlisted.key"}, 255, "", "no terminal to ask for the password on",
         {"RSA key refused", "!PASSWORD"}, {}, "", nullptr},
        // Refused before the network is touched: 2 for a bad command line.
        {{}, {"-c", "des"}, 2, "",
         "corvid1-cli: unknown cipher 'des' (3des, blowfish or none)\nusage: corvid1-cli ", {"!CONNECT"}},
        {{}, {"-F", "DIR/bad"}, 2, "", "=corvid1-cli: DIR/bad:2: unknown keyword 'ForwardAgent'\n",
         {"!CONNECT"}},
        {{}, {"--help"}, 0, "*usage: corvid1-cli ", "", {"!CONNECT"}},
        {{}, {"--version"}, 0, "*corvid1-cli ", "", {"!CONNECT"}},
        {{}, {"-E", "DIR/no/log"}, 255, "", "corvid1-cli: DIR/no/log: ", {"!CONNECT"}},
        {{}, {"--log", "DIR/no/log"}, 255, "", "DIR/no/log", {"!CONNECT"}},
    };
    for (const std::string mode : {"644", "640", "604", "620", "602", "601", "610"}) {
        writeFile(dir_.file("pw-" + mode), "secret\n", std::stoul(mode, nullptr, 8));
        runs.push_back({{}, {"--password-file", "DIR/pw-" + mode}, 255, "",
                        "DIR/pw-" + mode + "': permissions 0" + mode + " are too open", {"!CONNECT"}});
    }
    for (const Case& c : runs) {
        auto server = start(c.server);
        const auto expand = [&](const std::string& s) {
            return fill(s, {{"DIR", dir_.path()}, {"CLOSED", std::to_string(closed)}, {"PORT", std::to_string(server->port())}, {"FP", key_}});
        };
        const auto has = [&](const char* flag) { return std::count(c.flags.begin(), c.flags.end(), flag) != 0; };
        has("IDENTITY") ? writeFile(dir_.file(".ssh/identity"), data("secret.key")) : void(std::filesystem::remove(dir_.file(".ssh/identity")));
        Words args = {"-p", std::to_string(server->port())};
        for (const auto& flag : c.flags)
            if (flag != "IDENTITY" && flag != "NOKEY") args.push_back(expand(flag));
        if (!has("NOKEY")) args.insert(args.end(), {"--host-key", key_});
        args.push_back("test@127.0.0.1");
        args.insert(args.end(), c.command.begin(), c.command.end());
        std::map<std::string, std::string> env;
        if (c.password) env["CORVID1_PASSWORD"] = c.password;
        writeFile(dir_.file("input"), c.input);
        const RunResult r = runClient(args, dir_.path(), env, dir_.file("input"));
        const std::string row = ::testing::PrintToString(c.flags) + " to " + ::testing::PrintToString(c.server) + "\n" + r.err;
        EXPECT_EQ(r.exitCode, c.exitCode) << row;
        const std::string out = c.out == "BULK" ? bulkPattern(150001) : c.out;
        EXPECT_TRUE(out[0] == '*' ? r.out.find(out.substr(1)) != std::string::npos : r.out == out)
            << row << "stdout (" << r.out.size() << " bytes): " << r.out.substr(0, 500);
        const std::string err = expand(c.err);
        EXPECT_TRUE(err.empty() || err[0] == '=' ? r.err == err.substr(err.empty() ? 0 : 1)
                                                 : r.err.find(err) != std::string::npos)
            << row << "wanted: " << err;
        const Words lines = recordLines(record());
        auto at = lines.begin();
        for (const std::string& want : c.record) {
            const bool absent = want[0] == '!';
            const auto found = std::find_if(absent ? lines.begin() : at, lines.end(), [&](auto& l) { return l.rfind(want.substr(absent), 0) == 0; });
            EXPECT_EQ(found == lines.end(), absent) << row << want << " in:\n" << readFile(record());
            if (!absent && found != lines.end()) at = found + 1;
        }
    }
    // clang-format on
    EXPECT_NE(readFile(dir_.file("log")).find("could not connect to"), std::string::npos);
    EXPECT_NE(readFile(dir_.file("kh")).find(serverSays("--print-known-hosts-line")),
              std::string::npos);
    // The random pool's seed file is kept in the user's data folder, private.
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(dir_.file("data/corvid1/ssh_seedfile")).permissions(),
              perms::owner_read | perms::owner_write);
}

TEST_F(Batch, OutputThatCannotBeWrittenIsAFailure) {
    auto server = start({"@bulk", "--bulk", "4194304"});
    // The reader goes away after 10 bytes; the session must end, and not with success.
    std::string command =
        "set -o pipefail; CORVID1_PASSWORD=secret HOME=" + dir_.path() + " " CORVID1_CLI_PATH;
    for (const auto& word : target(server->port())) command += " " + word;
    command += " </dev/null 2>" + dir_.file("err") + " | head -c 10 >/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(("bash -c '" + command + "'").c_str())), 255);
    EXPECT_NE(readFile(dir_.file("err")).find("standard output"), std::string::npos);
}

// An alias of the configuration file names the server, its port, user and settings; the
// user's own file is read without -F.
TEST_F(Batch, ConfigurationFileNamesTheServerAndItsSettings) {
    auto server = start({"@exit-status", "--exit-status", "3"});
    const std::string config = "Host box\n  HostName 127.0.0.1\n  Port " +
                               std::to_string(server->port()) +
                               "\n  User test\n  Compression yes\n";
    writeFile(dir_.file("config"), config);
    std::filesystem::create_directories(dir_.file(".config/corvid1"));
    writeFile(dir_.file(".config/corvid1/config"), config);
    for (const Words& args : {Words{"-F", dir_.file("config"), "--host-key", key_, "box"},
                              Words{"--host-key", key_, "box"}}) {
        std::remove(record().c_str());
        EXPECT_EQ(runClient(args, dir_.path(), password).exitCode, 3);
        EXPECT_TRUE(recordHas(record(), "COMPRESSION level=6") && recordHas(record(), "USER test"))
            << readFile(record());
    }
}

// A session log: the raw bytes exactly, or the printable text after a header; a log that
// cannot be written stops with a word and leaves the session alone.
TEST_F(Batch, SessionLogsRawTextAndAFailedWrite) {
    auto bulk = start({"@bulk", "--bulk", "70000", "--exit-status", "4"});
    auto colours = start({"@colours"});
    const auto run = [&](int port, const Words& flags) {
        return runClient(target(port, flags), dir_.path(), password);
    };
    RunResult r = run(bulk->port(), {"--log", dir_.file("raw.log")});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(readFile(dir_.file("raw.log")), bulkPattern(70000));
    r = run(bulk->port(), {"--log", "/dev/full"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(r.out, bulkPattern(70000));
    EXPECT_NE(r.err.find("corvid1-cli: the session log stopped: /dev/full:"), std::string::npos);
    r = run(colours->port(), {"--log-text", dir_.file("text.log")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string text = readFile(dir_.file("text.log"));
    EXPECT_EQ(text.rfind("=== Corvid1 session log: 127.0.0.1 port ", 0), 0u) << text;
    EXPECT_NE(
        text.find("\ntotal 6\nbin  run.sh  core  fifo\nreverse  underline  bold-white-on-red\n"),
        std::string::npos)
        << text;
}

// The first line read from `port` on loopback, asked again while a forward is being set up.
std::string firstLine(int port) {
    const std::string read = "bash -c 'head -1 </dev/tcp/127.0.0.1/" + std::to_string(port) + "'";
    std::string line;
    waitUntil([&] { return !(line = commandOutput(read + " 2>/dev/null")).empty(); });
    return line;
}

// -L and -R reach a server's greeting there and back; a forward that cannot listen is a warning
// and the session goes on.
TEST_F(Batch, LocalAndRemoteForwardsReachTheirTargetAndAFailedBindIsAWarning) {
    auto server = start({"--mode", "shell"});
    const int localPort = serve({}, dir_.file("unused"))->port();
    const int remotePort = serve({}, dir_.file("unused"))->port();
    const std::string to = ":127.0.0.1:" + std::to_string(server->port()), taken = to.substr(1);
    Words args = target(server->port(), {"-L", std::to_string(localPort) + to, "-R",
                                         std::to_string(remotePort) + to, "-L", taken + to});
    args.push_back("sleep 3");
    auto client =
        std::async(std::launch::async, [&] { return runClient(args, dir_.path(), password); });
    EXPECT_EQ(firstLine(localPort).rfind("SSH-1.5-", 0), 0u);
    EXPECT_EQ(firstLine(remotePort).rfind("SSH-1.5-", 0), 0u);
    const RunResult r = client.get();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Warning - Cannot listen on " + taken + " for the forward to " + taken),
              std::string::npos)
        << r.err;
}

}  // namespace
}  // namespace corvid1::cli::test
