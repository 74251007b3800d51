// End to end with standard input a terminal: the client runs in a tmux pane, keys are typed
// with send-keys and the pane is read with capture-pane. The server runs a real shell on a pty.
#include <gtest/gtest.h>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

// No word typed or named here holds a single quote.
std::string quote(const std::string& word) {
    return "'" + word + "'";
}

// A session typed at the terminal. Each step: "?text" waits until the pane shows it, "!text"
// finds it not shown, ">text" types it and Enter, "=text" types it alone, "^KEYS" presses tmux's
// keys, "@text" waits for a record line starting so, "-text" finds none, "#N" sends signal N to
// the client, "%CxR" resizes the terminal, "&" finds the key saved, "&!" finds no store, LOGIN
// waits for the shell. PORT, FP and DIR stand for the server's port, fingerprint and the folder.
struct Script {
    Words server;      // added to --mode shell
    bool keyOnRecord;  // the host key is in the user's store beforehand
    std::string flags;
    bool passwordInEnvironment;
    Words steps;
};

TEST(Interactive, SessionsTypedAtATerminal) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
    TempDir dir;
    writeFile(dir.file("secret.key"), readFile(KEY_DATA_DIR "/secret.key"));
    writeFile(dir.file("authorized"), readFile(KEY_DATA_DIR "/secret.pub"));
    const std::string tmux = "tmux -L corvid1-cli-test-" + std::to_string(getpid()) + " ";
    const auto run = [&](const std::string& args) {
        std::system((tmux + args + " >/dev/null 2>&1").c_str());
    };
    const auto pane = [&] { return commandOutput(tmux + "capture-pane -pN -t t 2>/dev/null"); };
    // The pane's server goes when the test does, however it ends.
    const std::unique_ptr<const char, std::function<void(const char*)>> cleanup(
        "", [&](const char*) { run("kill-server"); });
    const std::string question = "Connect and remember the key (yes), connect this time only";
    const std::string prompt = "test@127.0.0.1's password: ";
    // clang-format off
    const Script scripts[] = {
        // Typing, a resize the server's pty takes as it is, NUL as any key, '~' as text inside
        // a line and "~." at its start: the client ends with 0, sending neither character.
        {{}, true, "", true, {"LOGIN", "@PTY term=vt100 rows=30 columns=100 ", ">echo a~.b-$((6*7))", "?a~.b-42",
          "%90x20", "@WINDOW_SIZE rows=20 columns=90 ", ">stty size", "?20 90", "^C-Space", "@STDIN \\x00",
          "^C-u", "^Enter", "=~.", "?EXIT=0", "@CLOSE client-closed", "-STDIN ~"}},
        // However the session ends, the exit code says how and the terminal is as it was.
        {{}, true, "", true, {"LOGIN", ">exit 3", "?EXIT=3"}},
        {{}, true, "", true, {"LOGIN", "#15", "?EXIT=143"}},
        {{}, true, "", true, {"LOGIN", "#1", "?EXIT=129"}},
        {{}, true, "", true, {"LOGIN", "#2", "?EXIT=130"}},
        // An unknown key is asked about before the password, and keys typed before the
        // question do not answer it; "no" refuses with 255 and sends nothing after the key.
        {{"--kex-delay", "1000"}, false, "", false, {">yes", "?" + question,
          "?The host key of [127.0.0.1]:PORT is not known. Its fingerprint is\n    1024 FP\n",
          ">maybe", "?Please type yes, once or no: ", ">no", "?EXIT=255", "?ERROR - Host key not accepted",
          "!password", "-USER", "&!"}},
        {{}, false, "", false, {"?" + question, ">YES", "?" + prompt, ">secret", "LOGIN", "!secret", "&",
          ">exit", "?EXIT=0"}},
        {{}, false, "", true, {"?" + question, ">once", "LOGIN", ">exit", "?EXIT=0", "&!"}},
        {{}, true, "", false, {"?" + prompt, "^C-d", "?EXIT=255", "?corvid1-cli: no password given",
          "!Host key", "-PASSWORD"}},
        // A key's passphrase and a challenge's response are asked without echo.
        {{"--no-password", "--authorized-keys", "DIR/authorized"}, true, " -i DIR/secret.key", false,
         {"?Enter passphrase for RSA key 'secret test key': ", ">correct horse", "LOGIN", "!horse", ">exit", "?EXIT=0"}},
        {{"--no-password", "--tis-challenge", "Code 42", "--tis-response", "0815"}, true, "", false,
         {"?Code 42\nResponse: ", ">0815", "LOGIN", "!0815", ">exit", "?EXIT=0"}},
    };
    // clang-format on
    for (const Script& s : scripts) {
        SCOPED_TRACE(::testing::PrintToString(s.steps));
        run("kill-server");  // one pane at a time
        for (const char* f : {"record", "stty.after", "pid", ".config"})
            std::filesystem::remove_all(dir.file(f));
        Words server = {"--mode", "shell"};
        for (const auto& a : s.server) server.push_back(fill(a, {{"DIR", dir.path()}}));
        auto testServer = serve(server, dir.file("record"));
        ASSERT_TRUE(testServer->started());
        const std::string store = dir.file(".config/corvid1/known_hosts");
        const std::string entry = "[127.0.0.1]:" + std::to_string(testServer->port()) + " " +
                                  serverSays("--print-known-hosts-line") + "\n";
        std::filesystem::create_directories(std::filesystem::path(store).parent_path());
        if (s.keyOnRecord) writeFile(store, entry);
        const auto expand = [&](const std::string& text) {
            return fill(text, {{"PORT", std::to_string(testServer->port())},
                               {"DIR", dir.path()},
                               {"FP", serverSays("--print-fingerprint")}});
        };
        // The pane notes the terminal's modes, runs the client (noting its pid), notes the exit
        // code and the modes again, and stays open to be read.
        const std::string pw = s.passwordInEnvironment ? " CORVID1_PASSWORD=secret" : "";
        writeFile(
            dir.file("pane.sh"),
            expand("stty -g >DIR/stty.before\nsh -c 'echo $$ >DIR/pid; exec env HOME=DIR "
                   "XDG_DATA_HOME=DIR/data" +
                   pw + " " CORVID1_CLI_PATH " -p PORT" + s.flags +
                   " test@127.0.0.1'\necho \"EXIT=$?\"\nstty -g >DIR/stty.after\nsleep 600\n"));
        // The previous pane's server, on the same socket, may still be on its way out.
        const std::string open = tmux + "-f /dev/null new-session -d -s t -x 100 -y 30 " +
                                 quote("sh " + dir.file("pane.sh")) + " 2>/dev/null";
        ASSERT_TRUE(waitUntil([&] { return std::system(open.c_str()) == 0; }));
        // clang-format off
        const auto recorded = [&](const std::string& prefix) { return recordHas(dir.file("record"), prefix); };
        Words steps;
        for (const auto& step : s.steps)
            if (step == "LOGIN") steps.insert(steps.end(), {"@EXEC_SHELL", ">echo up-$((2+3))", "?up-5"});
            else steps.push_back(expand(step));
        for (const auto& step : steps) {
            const std::string arg = step.substr(1);
            switch (step[0]) {
                case '?': EXPECT_TRUE(waitUntil([&] { return pane().find(arg) != std::string::npos; })) << arg << "\n" << pane(); break;
                case '!': EXPECT_EQ(pane().find(arg), std::string::npos) << pane(); break;
                case '>': run("send-keys -t t -l " + quote(arg)); run("send-keys -t t Enter"); break;
                case '=': run("send-keys -t t -l " + quote(arg)); break;
                case '^': run("send-keys -t t " + arg); break;
                case '@': EXPECT_TRUE(waitUntil([&] { return recorded(arg); })) << arg << "\n" << readFile(dir.file("record")); break;
                case '-': EXPECT_FALSE(recorded(arg)) << readFile(dir.file("record")); break;
                case '#': kill(std::atoi(readFile(dir.file("pid")).c_str()), std::atoi(arg.c_str())); break;
                case '%': run("resize-window -t t -x " + arg.substr(0, arg.find('x')) + " -y " + arg.substr(arg.find('x') + 1)); break;
                case '&': EXPECT_EQ(arg.empty() ? readFile(store) : std::to_string(std::filesystem::exists(store)), arg.empty() ? entry : "0"); break;
            }
        }
        // clang-format on
        ASSERT_TRUE(waitUntil([&] { return !readFile(dir.file("stty.after")).empty(); })) << pane();
        EXPECT_EQ(readFile(dir.file("stty.after")), readFile(dir.file("stty.before")));
    }
}

}  // namespace
}  // namespace corvid1::cli::test
