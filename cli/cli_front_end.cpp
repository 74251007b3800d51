#include "cli/cli_front_end.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "session/session.h"
#include "terminal/interpreter.h"

namespace corvid1::cli {

namespace {

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The driver's own lines that mark the points the client waits for.
constexpr char loginSucceededLine[] = "Authorization successful.";
constexpr char ptyAllocatedLine[] = "PTTY Allocated";
constexpr char ptyRefusedLine[] = "Warning - PTTY not Allocated";
// A warning is shown even without -v: the session goes on, but not as asked.
constexpr char warningPrefix[] = "Warning";

std::string withLineEnds(const std::string& text, bool raw) {
    if (!raw) return text;
    std::string out;
    out.reserve(text.size() + 4);
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

}  // namespace

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void wake(int fd, WakeEvent event) {
    const char byte = event;
    const int saved = errno;
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
    errno = saved;
}

void CliFrontEnd::status(const char* text) {
    const bool show = verbose_ || startsWith(text, warningPrefix);
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back({text, show});
    }
    if (show) printError(text);
    if (startsWith(text, loginSucceededLine)) loginSucceeded_.store(true);
    if (startsWith(text, ptyAllocatedLine) || startsWith(text, ptyRefusedLine))
        wake(wakeFd_, WakePtyAnswered);
}

void CliFrontEnd::output(const char* data, std::size_t len) {
    if (!firstOutputSeen_) {
        firstOutputSeen_ = true;
        wake(wakeFd_, WakeFirstOutput);
    }
    if (sink_ == Sink::Screen) {
        feedBytes(data, len);
        return;
    }
    if (outputFailed_.load()) return;
    if (!writeAll(STDOUT_FILENO, data, len)) {
        // Output that cannot be delivered must not be taken for a complete session.
        outputFailed_.store(true);
        wake(wakeFd_, WakeOutputFailed);
    }
}

void CliFrontEnd::send(int message, std::intptr_t first, std::intptr_t second) {
    if (message != SendToHost || session_ == nullptr) return;
    sendInput(*session_, reinterpret_cast<const char*>(first), static_cast<int>(second));
}

std::string CliFrontEnd::unshownStatus() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::string out;
    for (const Line& line : lines_)
        if (!line.shown) out += line.text;
    return out;
}

void CliFrontEnd::printError(const std::string& text) const {
    const std::string out = withLineEnds(text, rawTerminal_.load());
    writeAll(STDERR_FILENO, out.data(), out.size());
}

}  // namespace corvid1::cli
