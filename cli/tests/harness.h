// Running the real programs end to end: the test server in the background, the client to
// completion with its standard streams in files, so nothing can fill a pipe.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "server_process.h"

namespace corvid1::cli::test {

using Words = std::vector<std::string>;

// Polls `done` until it holds or `limit` has passed; returns its last answer.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A private temporary folder, removed with everything in it.
struct TempDir {
    char name[29] = "/tmp/corvid1-cli-test-XXXXXX";
    const std::string dir = mkdtemp(name) != nullptr ? name : "/nonexistent";
    ~TempDir() { std::filesystem::remove_all(dir); }
    const std::string& path() const { return dir; }
    std::string file(const std::string& leaf) const { return dir + "/" + leaf; }
};

inline std::string readFile(const std::string& path) {
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

inline void writeFile(const std::string& path, const std::string& content, unsigned mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

inline std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// `text` with each token replaced by its value.
inline std::string fill(std::string text, const std::map<std::string, std::string>& tokens) {
    for (const auto& [token, value] : tokens)
        for (auto at = text.find(token); at != std::string::npos;
             at = text.find(token, at + value.size()))
            text.replace(at, token.size(), value);
    return text;
}

inline Words recordLines(const std::string& path) {
    Words lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool recordHas(const std::string& path, const std::string& linePrefix) {
    return ("\n" + readFile(path)).find("\n" + linePrefix) != std::string::npos;
}

// The test server's bulk output: byte i is (i ^ (i >> 8)) & 0xFF.
inline std::string bulkPattern(std::size_t count) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return out;
}

// The test server on loopback, recording what it saw in `record`.
inline auto serve(Words args, const std::string& record) {
    args.insert(args.begin(), {"--bind", "127.0.0.1", "--record", record});
    return std::make_unique<testserver::ServerProcess>(args, "/dev/null");
}

// What the test server prints for an option: "--print-fingerprint" ("24:87:..."), or
// "--print-known-hosts-line" (a known-hosts line without its host name).
inline std::string serverSays(const std::string& option) {
    const std::string out = commandOutput(testserver::testServerPath() + " " + option);
    return out.substr(0, out.find('\n'));
}

struct RunResult {
    int exitCode = -1;  // -1: killed after the time limit, or died by a signal
    int signal = 0;
    std::string out, err;
};

// Runs the client in a session of its own (no controlling terminal, as in cron), standard input
// from `stdinFile` (/dev/null when empty), `env` added to a clean environment with HOME `home`.
inline RunResult runClient(Words args, const std::string& home,
                           const std::map<std::string, std::string>& env = {},
                           const std::string& stdinFile = {},
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
    args.insert(args.begin(), CORVID1_CLI_PATH);
    Words environment = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data", "PATH=/usr/bin:/bin"};
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    const auto cStrings = [](Words& words) {
        std::vector<char*> out;
        for (auto& w : words) out.push_back(w.data());
        out.push_back(nullptr);
        return out;
    };
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY), 0);
        dup2(open((home + "/client.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open((home + "/client.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        execve(args[0].c_str(), cStrings(args).data(), cStrings(environment).data());
        _exit(127);
    }
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
    }
    return {status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            status >= 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0,
            readFile(home + "/client.out"), readFile(home + "/client.err")};
}

}  // namespace corvid1::cli::test
