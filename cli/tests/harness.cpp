#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

// The child's wait status, or -1 when it had to be killed after `limit`.
int waitWithLimit(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, limit)) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

TestServer::TestServer(std::vector<std::string> args, const std::string& recordFile) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> words = {serverPath(), "--bind", "127.0.0.1", "--record", recordFile};
    words.insert(words.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        close(fds[0]);
        execv(words[0].c_str(), cStrings(words).data());
        _exit(127);
    }
    close(fds[1]);
    // The one line "PORT <n>" tells where it listens.
    std::string line;
    for (char c; read(fds[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
    close(fds[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
}

TestServer::~TestServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitWithLimit(pid_, std::chrono::seconds(5));
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
        setsid();  // no controlling terminal, as in a cron job or a CI runner
        dup2(open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY), STDIN_FILENO);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        execve(words[0].c_str(), cStrings(words).data(), cStrings(environment).data());
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

bool recordHas(const std::string& path, const std::string& linePrefix) {
    for (const std::string& line : recordLines(path))
        if (line.rfind(linePrefix, 0) == 0) return true;
    return false;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string bulkPattern(std::size_t count) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return out;
}

// The first line the test server prints for `option`.
static std::string serverSays(const std::string& option, int seed) {
    std::string out = commandOutput(std::string(serverPath()) + " --host-key-seed " +
                                    std::to_string(seed) + " " + option + " 2>/dev/null");
    return out.substr(0, out.find('\n'));
}

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
