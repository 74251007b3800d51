#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "session/session_log.h"
#include "session/terminal_front_end.h"
#include "terminal/notification.h"

namespace corvid1 {
class Session;
}

namespace corvid1::cli {

// Events the session thread (and the SIGWINCH handler) hand to the main loop, one byte each
// through a pipe, so the main loop waits on one descriptor for everything.
enum WakeEvent : char {
    WakeInteractive = 'I',   // the shell has been requested: input may go to the server
    WakeWindowSize = 'W',    // the local terminal changed size
    WakeSessionEnded = 'E',  // runSession has returned
    WakeOutputFailed = 'F',  // standard output could not be written
};

// Writes every byte, retrying short writes and interruptions. False on any other failure.
bool writeAll(int fd, const char* data, std::size_t length);
// Writes one byte to a non-blocking pipe; safe in a signal handler. A full pipe drops it, which
// loses nothing because the reader already has an event of the same kind waiting.
void wake(int fd, WakeEvent event);

// The command-line client's seat: server output goes to standard output unchanged (--raw and
// interactive) or into the terminal screen (--screen); the server's error stream and its parting
// words go to standard error, as with ssh, except with --screen, whose text holds everything the
// server showed. The driver's status lines are kept for the failure report and shown on
// standard error with -v. The screen's answers to ENQ and ESC Z go back to the server as input.
class CliFrontEnd : public SessionFrontEnd, public NotificationTarget {
  public:
    enum class Sink { StandardOutput, Screen };

    CliFrontEnd(Sink sink, bool verbose, int wakeFd)
        : sink_(sink), verbose_(verbose), wakeFd_(wakeFd) {}

    // The session whose input the screen's answers go to; set before the session thread starts.
    void setSession(Session* session) { session_ = session; }
    // While the local terminal is raw, a line feed no longer returns the carriage: status lines
    // on standard error then end in CR LF.
    void setRawTerminal(bool raw) { rawTerminal_.store(raw); }
    // -q: warnings are kept back like progress lines. -E: the client's own messages go to this
    // descriptor instead of standard error (the server's error output does not).
    void setQuiet(bool quiet) { quiet_ = quiet; }
    void setDiagnosticFd(int fd) { diagnosticFd_ = fd; }
    // Where the server's output is also logged (not owned; null for none).
    void setLog(SessionLog* log) { log_ = log; }

    // SessionFrontEnd, on the session thread.
    void status(const char* text) override;
    void output(const char* data, std::size_t len) override;
    void errorOutput(const char* data, std::size_t len) override;
    void interactive() override;
    // NotificationTarget: the screen's notifications, on the session thread inside output().
    void send(int message, std::intptr_t first, std::intptr_t second) override;

    // The status lines not yet shown on standard error, in order, for the failure report; from
    // the line numbered `from` on (statusCount() at some earlier point), so that a report can
    // leave out the steps that went well.
    std::string unshownStatus(std::size_t from = 0) const;
    std::size_t statusCount() const;
    bool outputFailed() const { return outputFailed_.load(); }
    // True when the server's error stream left its last line open on standard error.
    bool errorLineOpen() const { return errorLineOpen_.load(); }

    // Writes a text of our own to standard error, CR LF line ends while the terminal is raw.
    void printError(const std::string& text) const;

  private:
    Sink sink_;
    bool quiet_ = false;
    SessionLog* log_ = nullptr;
    int diagnosticFd_ = 2;
    bool verbose_;
    int wakeFd_;
    Session* session_ = nullptr;
    std::atomic<bool> rawTerminal_{false};
    std::atomic<bool> outputFailed_{false};
    std::atomic<bool> errorLineOpen_{false};
    mutable std::mutex lock_;
    struct Line {
        std::string text;
        bool shown;
    };
    std::vector<Line> lines_;
};

}  // namespace corvid1::cli
