#include "session/session_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace corvid1 {

SessionLog::~SessionLog() {
    close();
}

bool SessionLog::open(const std::string& path, Mode mode, bool append, const std::string& header,
                      std::string& error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600);
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    mode_ = mode;
    path_ = path;
    escape_ = Escape::None;
    failure_.clear();
    if (!header.empty()) {
        const std::string line = header + "\n";
        put(line.data(), line.size());
    }
    return fd_ >= 0;
}

void SessionLog::close() {
    std::lock_guard<std::mutex> hold(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool SessionLog::isOpen() const {
    std::lock_guard<std::mutex> hold(lock_);
    return fd_ >= 0;
}

void SessionLog::write(const char* data, std::size_t length) {
    std::lock_guard<std::mutex> hold(lock_);
    if (fd_ < 0) return;
    if (mode_ == Mode::Raw) {
        put(data, length);
    } else {
        filterText(data, length);
    }
}

void SessionLog::note(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    const std::string text = line + "\n";
    put(text.data(), text.size());
}

std::string SessionLog::takeFailure() {
    std::lock_guard<std::mutex> hold(lock_);
    std::string failure;
    failure.swap(failure_);
    return failure;
}

void SessionLog::put(const char* data, std::size_t length) {
    while (length > 0 && fd_ >= 0) {
        const ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A full disk or a vanished mount ends the log, never the session.
            failure_ = path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd_);
            fd_ = -1;
            return;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

namespace {

// Bytes 128-255 as the screen shows them, written as UTF-8 so that the log reads the same in
// any editor whatever the host's character set: the code page's characters, Latin-1's from
// 0xA0 up, and UTF-8 as it came. What the screen shows as a control picture (C1 controls, the
// code page's undefined bytes) is left out like the other controls.
void appendHighByte(std::string& out, unsigned char c, RemoteCharset charset) {
    switch (charset) {
        case RemoteCharset::Windows1252: {
            const char16_t unicode = codePageToUtf16(c);
            if (unicode != c || c >= 0xA0) appendUtf8(out, unicode);
            break;
        }
        case RemoteCharset::Latin1:
            if (c >= 0xA0) appendUtf8(out, c);
            break;
        case RemoteCharset::Utf8:
            out += static_cast<char>(c);
            break;
    }
}

}  // namespace

void SessionLog::filterText(const char* data, std::size_t length) {
    const RemoteCharset charset = remoteCharset();
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        switch (escape_) {
            case Escape::Start:
                // CSI and the string sequences run on; intermediates (the character set
                // choices ESC ( B, ESC # 8) wait for their final byte; any other escape is one
                // byte long.
                escape_ = c == '['                                         ? Escape::Csi
                          : (c == ']' || c == 'P' || c == '_' || c == '^') ? Escape::String
                          : (c >= 0x20 && c <= 0x2f)                       ? Escape::Intermediate
                                                                           : Escape::None;
                continue;
            case Escape::Intermediate:
                if (c < 0x20 || c > 0x2f) escape_ = Escape::None;
                continue;
            case Escape::Csi:
                if (c >= 0x40 && c <= 0x7e) escape_ = Escape::None;
                continue;
            case Escape::String:
                if (c == 0x07) escape_ = Escape::None;
                if (c == 0x1b) escape_ = Escape::StringEsc;
                continue;
            case Escape::StringEsc:
                escape_ = c == '\\' ? Escape::None : Escape::String;
                continue;
            case Escape::None:
                break;
        }
        if (c == 0x1b) {
            escape_ = Escape::Start;
        } else if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7f)) {
            out += static_cast<char>(c);
        } else if (c >= 0x80) {
            appendHighByte(out, c, charset);
        }
    }
    put(out.data(), out.size());
}

}  // namespace corvid1
