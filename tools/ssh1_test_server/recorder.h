// What the client sent, one line per event, so that client tests can assert on wire values.
#pragma once

#include <cstdarg>
#include <string>

namespace corvid1::testserver {

class Recorder {
  public:
    // An empty path records nothing.
    explicit Recorder(const std::string& path);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Appends `line` and a line feed with one write, so a reader never sees half a line.
    void line(const std::string& line);

  private:
    int fd_ = -1;
};

// One line on standard error, prefixed with the program name and process id.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace corvid1::testserver
