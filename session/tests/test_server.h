#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvid1::test {

// One corvid1-test-server process listening on a port it picked, with a record file of what
// the client sent. Ended with SIGTERM when the object goes.
class TestServer {
  public:
    explicit TestServer(std::vector<std::string> options, const std::string& name) {
        recordPath_ =
            ::testing::TempDir() + "corvid1_record_" + name + "_" + std::to_string(getpid());
        std::remove(recordPath_.c_str());
        options.insert(options.begin(), {CORVID1_TEST_SERVER, "--record", recordPath_});
        std::vector<char*> argv;
        for (std::string& option : options) argv.push_back(option.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, CORVID1_TEST_SERVER, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        if (line.rfind("PORT ", 0) == 0)
            port_ = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
    }
    ~TestServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::remove(recordPath_.c_str());
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The record lines written so far.
    std::vector<std::string> record() const {
        std::ifstream file(recordPath_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }
    bool recorded(const std::string& line) const { return recordedPrefix(line, true); }
    bool recordedPrefix(const std::string& prefix, bool whole = false) const {
        for (const std::string& each : record())
            if (each.rfind(prefix, 0) == 0 && (!whole || each.size() == prefix.size())) return true;
        return false;
    }
    // Waits (bounded) until the record holds `line`.
    bool awaitRecord(const std::string& line) const {
        for (int i = 0; i < 1000 && !recorded(line); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return recorded(line);
    }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string recordPath_;
};

}  // namespace corvid1::test
