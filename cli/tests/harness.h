// Running the real programs end to end: the test server in the background, the client to
// completion with its standard streams in files, so nothing can fill a pipe.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvid1::cli::test {

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
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/corvid1-cli-test-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
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

inline std::vector<std::string> recordLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool recordHas(const std::string& path, const std::string& linePrefix) {
    for (const std::string& line : recordLines(path))
        if (line.rfind(linePrefix, 0) == 0) return true;
    return false;
}

// The test server's bulk output: byte i is (i ^ (i >> 8)) & 0xFF.
inline std::string bulkPattern(std::size_t count) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return out;
}

inline const char* clientPath() {
    return CORVID1_CLI_PATH;
}
inline const char* serverPath() {
    return CORVID1_TEST_SERVER_PATH;
}

// The test server's host key for a seed: its MD5 fingerprint ("24:87:...") and the key part of
// a known-hosts line ("BITS EXPONENT MODULUS"). Where the client keeps accepted keys.
inline std::string serverSays(const std::string& option, int seed = 1) {
    const std::string out = commandOutput(std::string(serverPath()) + " --host-key-seed " +
                                          std::to_string(seed) + " " + option + " 2>/dev/null");
    return out.substr(0, out.find('\n'));
}
inline std::string serverFingerprint() {
    return serverSays("--print-fingerprint");
}
inline std::string serverKnownHostsKey() {
    return serverSays("--print-known-hosts-line");
}
inline std::string defaultStore(const std::string& home) {
    return home + "/.config/corvid1/known_hosts";
}

inline std::vector<char*> cStrings(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (auto& w : words) out.push_back(w.data());
    out.push_back(nullptr);
    return out;
}

// The child's wait status, or -1 when it had to be killed after `limit`.
inline int waitWithLimit(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, limit)) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// The project's SSH-1 test server on a port the kernel picked, recording what it saw.
class TestServer {
  public:
    TestServer(std::vector<std::string> args, const std::string& recordFile) {
        int fds[2];
        if (pipe(fds) != 0) return;
        args.insert(args.begin(), {serverPath(), "--bind", "127.0.0.1", "--record", recordFile});
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
            execv(args[0].c_str(), cStrings(args).data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;  // "PORT <n>"
        for (char c; read(fds[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
        close(fds[0]);
        if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
    }
    ~TestServer() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitWithLimit(pid_, std::chrono::seconds(5));
    }
    int port() const { return port_; }
    bool running() const { return pid_ > 0 && port_ > 0; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

struct RunResult {
    int exitCode = -1;  // -1: killed after the time limit, or died by a signal
    int signal = 0;
    std::string out, err;
};

// Runs the client in a session of its own (no controlling terminal, as in cron), standard input
// from `stdinFile` (/dev/null when empty), `env` added to a clean environment with HOME `home`.
inline RunResult runClient(std::vector<std::string> args, const std::string& home,
                           const std::map<std::string, std::string>& env = {},
                           const std::string& stdinFile = {},
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
    args.insert(args.begin(), clientPath());
    std::vector<std::string> environment = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                            "PATH=/usr/bin:/bin", "LANG=C"};
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY), STDIN_FILENO);
        dup2(open((home + "/client.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open((home + "/client.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        execve(args[0].c_str(), cStrings(args).data(), cStrings(environment).data());
        _exit(127);
    }
    RunResult result;
    const int status = waitWithLimit(pid, limit);
    if (status >= 0 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (status >= 0 && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readFile(home + "/client.out");
    result.err = readFile(home + "/client.err");
    return result;
}

}  // namespace corvid1::cli::test
