#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace corvid1 {

// A log of what the server sent, for the user to keep: either the raw bytes, or the printable
// text (escape sequences and control bytes other than tab and line feed left out, line ends
// as line feeds, characters in UTF-8 read in the terminal's remote character set). Any thread may write; a write that fails closes the log and keeps the reason,
// and the session goes on.
class SessionLog {
  public:
    enum class Mode { Raw, Text };

    SessionLog() = default;
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // Opens `path` (created with mode 0600; appended to or replaced) and writes `header`, when
    // not empty, as its first line. False with `error` when it cannot be opened.
    bool open(const std::string& path, Mode mode, bool append, const std::string& header,
              std::string& error);
    void close();
    bool isOpen() const;

    // The server's bytes, as they arrive.
    void write(const char* data, std::size_t length);
    // A line of the log's own (a header for a new connection), in either mode.
    void note(const std::string& line);

    // Empty unless a write failed (which closed the log): what went wrong, once; the next
    // call returns empty again.
    std::string takeFailure();

  private:
    void put(const char* data, std::size_t length);  // with the lock held
    void filterText(const char* data, std::size_t length);

    mutable std::mutex lock_;
    int fd_ = -1;
    Mode mode_ = Mode::Raw;
    std::string path_;
    std::string failure_;
    // Text mode: where the filter stands in an escape sequence.
    enum class Escape { None, Start, Intermediate, Csi, String, StringEsc } escape_ = Escape::None;
};

}  // namespace corvid1
