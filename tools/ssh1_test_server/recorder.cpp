#include "recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace corvid1::testserver {

Recorder::Recorder(const std::string& path) {
    if (path.empty()) return;
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) logLine("cannot open record file %s", path.c_str());
}

Recorder::~Recorder() {
    if (fd_ >= 0) close(fd_);
}

void Recorder::line(const std::string& text) {
    if (fd_ < 0) return;
    std::string out = text + "\n";
    ssize_t ignored = write(fd_, out.data(), out.size());
    (void)ignored;
}

void logLine(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    std::fprintf(stderr, "corvid1-test-server[%d]: %s\n", static_cast<int>(getpid()), buffer);
    std::fflush(stderr);
}

}  // namespace corvid1::testserver
