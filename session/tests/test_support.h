#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "session/terminal_front_end.h"

namespace corvid1::test {

// Keeps every status line and all output, as the terminal would have received them.
class RecordingFrontEnd : public SessionFrontEnd {
  public:
    void status(const char* text) override {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.emplace_back(text);
        transcript_ += text;
    }
    void output(const char* data, std::size_t len) override {
        std::lock_guard<std::mutex> hold(lock_);
        output_.append(data, len);
        transcript_.append(data, len);
    }
    // The error stream also counts as output, as the terminal shows both.
    void errorOutput(const char* data, std::size_t len) override {
        output(data, len);
        std::lock_guard<std::mutex> hold(lock_);
        errors_.append(data, len);
    }
    void interactive() override {
        std::lock_guard<std::mutex> hold(lock_);
        linesBeforeInteractive_ = static_cast<int>(lines_.size());
    }
    std::string errors() const { return copy(errors_); }
    // How many status lines had come when the shell was requested; -1 if it never was.
    int linesBeforeInteractive() const { return copy(linesBeforeInteractive_); }
    std::vector<std::string> lines() const { return copy(lines_); }
    std::vector<std::string> lastLines(std::size_t count) const {
        const auto all = lines();
        return {all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end()};
    }
    std::string output() const { return copy(output_); }
    std::string transcript() const { return copy(transcript_); }
    bool saw(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

  private:
    template <typename T>
    T copy(const T& value) const {
        std::lock_guard<std::mutex> hold(lock_);
        return value;
    }
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::string output_, errors_, transcript_;
    int linesBeforeInteractive_ = -1;
};

// A connected pair of stream sockets; both ends are closed by the destructor unless released.
struct SocketPair {
    int client = -1;
    int server = -1;
    SocketPair() {
        int fds[2] = {-1, -1};  // left as they are if the call fails
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        client = fds[0], server = fds[1];
    }
    ~SocketPair() {
        if (client >= 0) close(client);
        closeServer();
    }
    int releaseClient() { return std::exchange(client, -1); }
    int releaseServer() { return std::exchange(server, -1); }
    void closeServer() {
        if (server >= 0) close(std::exchange(server, -1));
    }
};

inline std::string bytesOf(const void* data, std::size_t length) {
    return std::string(static_cast<const char*>(data), length);
}

// Reads everything the descriptor still delivers until it is closed.
inline std::string drain(int fd) {
    std::string all;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        all.append(chunk, static_cast<std::size_t>(got));
    return all;
}

}  // namespace corvid1::test
