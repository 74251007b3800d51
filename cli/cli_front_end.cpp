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
    const bool show = verbose_ || (!quiet_ && startsWith(text, warningPrefix));
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back({text, show});
    }
    if (show) printError(text);
}

void CliFrontEnd::interactive() {
    wake(wakeFd_, WakeInteractive);
}

void CliFrontEnd::output(const char* data, std::size_t len) {
    if (log_ != nullptr) log_->write(data, len);
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

void CliFrontEnd::errorOutput(const char* data, std::size_t len) {
    if (log_ != nullptr) log_->write(data, len);
    if (sink_ == Sink::Screen) {
        feedBytes(data, len);
        return;
    }
    // Unchanged, as the server sent it: with a raw local terminal its line ends are the server's
    // business, as they are on standard output. A standard error that cannot be written loses
    // only these words; the session's output is unaffected, so it goes on.
    if (len == 0) return;
    writeAll(STDERR_FILENO, data, len);
    errorLineOpen_.store(data[len - 1] != '\n');
}

void CliFrontEnd::send(int message, std::intptr_t first, std::intptr_t second) {
    if (message != SendToHost || session_ == nullptr) return;
    sendInput(*session_, reinterpret_cast<const char*>(first), static_cast<int>(second));
}

std::string CliFrontEnd::unshownStatus(std::size_t from) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::string out;
    for (std::size_t i = from; i < lines_.size(); ++i)
        if (!lines_[i].shown) out += lines_[i].text;
    return out;
}

std::size_t CliFrontEnd::statusCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lines_.size();
}

void CliFrontEnd::printError(const std::string& text) const {
    const std::string out = withLineEnds(text, rawTerminal_.load());
    writeAll(diagnosticFd_, out.data(), out.size());
}

}  // namespace corvid1::cli
