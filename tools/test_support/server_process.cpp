#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace corvid1::testserver {

std::string testServerPath() {
    const char* fromEnvironment = std::getenv("CORVID1_TEST_SERVER");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : CORVID1_TEST_SERVER_PATH;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args, const std::string& stderrPath) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::string path = testServerPath();
    std::vector<std::string> argStrings = args;
    std::vector<char*> argv;
    argv.push_back(path.data());
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        if (!stderrPath.empty()) {
            int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) dup2(err, 2);
        }
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return;
    }
    stdout_ = fdopen(out[0], "r");
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return;  // a server that never reports is not started
    char line[64] = {};
    if (std::fgets(line, sizeof(line), stdout_)) {
        firstLine_ = line;
        if (std::sscanf(line, "PORT %d", &port_) != 1) port_ = 0;
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (waitExit(5) < 0 && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (stdout_) std::fclose(stdout_);
}

std::string ServerProcess::restOfStdout() {
    std::string rest;
    if (!stdout_) return rest;
    for (int c; (c = std::fgetc(stdout_)) != EOF;) rest += static_cast<char>(c);
    return rest;
}

int ServerProcess::connect(const char* address) const {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port_));
        len = sizeof(*v4);
    } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port_));
        len = sizeof(*v6);
    } else {
        return -1;
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ServerProcess::waitExit(int seconds) {
    if (pid_ <= 0) return -1;
    for (int i = 0; i <= seconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        poll(nullptr, 0, 50);
    }
    return -1;
}

}  // namespace corvid1::testserver
