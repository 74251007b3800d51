#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

// Known only when the programs are part of the build; empty otherwise.
#ifndef CORVID1_CLI_PATH
#define CORVID1_CLI_PATH ""
#endif
#ifndef CORVID1_TEST_SERVER_PATH
#define CORVID1_TEST_SERVER_PATH ""
#endif

namespace corvid1::cli::test {

namespace {

std::vector<char*> cStrings(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (auto& w : words) out.push_back(w.data());
    out.push_back(nullptr);
    return out;
}

// Waits up to `limit` for the child; kills it after that. Returns the wait status or -1.
int waitWithLimit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/corvid1-cli-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

TestServer::TestServer(std::vector<std::string> args, const std::string& recordFile) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> words = {serverPath(), "--bind", "127.0.0.1", "--record", recordFile};
    words.insert(words.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDERR_FILENO);
        close(fds[0]);
        auto argv = cStrings(words);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    // The one line "PORT <n>" tells where it listens.
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(fds[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
}

TestServer::~TestServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitWithLimit(pid_, std::chrono::seconds(5));
}

int TestServer::waitForExit(std::chrono::seconds limit) {
    const int status = waitWithLimit(pid_, limit);
    pid_ = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult runClient(const std::vector<std::string>& args, const std::string& home,
                    const std::map<std::string, std::string>& env, const std::string& stdinFile,
                    std::chrono::seconds limit) {
    const std::string outPath = home + "/client.out", errPath = home + "/client.err";
    std::vector<std::string> words = {clientPath()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> environment = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                            "PATH=/usr/bin:/bin", "LANG=C"};
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);

    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own: no controlling terminal, as in a cron job or a CI runner.
        setsid();
        const int in = open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        auto argv = cStrings(words);
        auto envp = cStrings(environment);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    RunResult result;
    const int status = waitWithLimit(pid, limit);
    if (status >= 0 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (status >= 0 && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::vector<std::string> recordLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool recordHasPrefix(const std::string& path, const std::string& prefix) {
    for (const std::string& line : recordLines(path))
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

namespace {

// The first line the test server prints for `option`, without its line end.
std::string serverSays(const std::string& option, int seed) {
    const std::string command = std::string(serverPath()) + " --host-key-seed " +
                                std::to_string(seed) + " " + option + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    const auto end = out.find('\n');
    if (end != std::string::npos) out.resize(end);
    return out;
}

}  // namespace

std::string serverFingerprint(int seed) {
    return serverSays("--print-fingerprint", seed);
}

std::string serverKnownHostsKey(int seed) {
    return serverSays("--print-known-hosts-line", seed);
}

std::string defaultStore(const std::string& home) {
    return home + "/.config/corvid1/known_hosts";
}

const char* clientPath() {
    return CORVID1_CLI_PATH;
}
const char* serverPath() {
    return CORVID1_TEST_SERVER_PATH;
}

}  // namespace corvid1::cli::test
