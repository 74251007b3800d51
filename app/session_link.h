#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "session/session_log.h"
#include "session/terminal_front_end.h"

namespace corvid1 {

class Session;
class ScreenBridge;

// The window's front end for the session core: status lines and server output go into the
// terminal interpreter with the screen lock held, through the bridge, so painting on the
// user-interface thread never sees a half-written feed.
class WindowFrontEnd final : public SessionFrontEnd {
  public:
    explicit WindowFrontEnd(ScreenBridge& bridge) : bridge_(bridge) {}
    void status(const char* text) override;
    void output(const char* data, std::size_t len) override;

    // The process-wide instance: it outlives every session, as Session requires.
    static WindowFrontEnd& instance();
    // The session log the server's output also goes to while File > Log Session is on.
    SessionLog& log() { return log_; }

  private:
    ScreenBridge& bridge_;
    SessionLog log_;
};

// Starts the session thread: it runs `runSession`, then sends `SessionEnded` with `serial` as
// its first value and lets go of its reference to the session. The thread is detached: the
// user-interface thread never joins it (it may be waiting in a send to that thread).
// `companion` (the connection's host-key prompt) is kept alive as long as the session runs.
void startSessionThread(std::shared_ptr<Session> session, int serial,
                        std::shared_ptr<void> companion = {});

// Session threads still running. At exit the process waits for them (they no longer wait for
// the window once it has detached) up to `timeout`; returns false if some are still running.
int runningSessionThreads();
bool waitForSessionThreads(std::chrono::milliseconds timeout);

// Where the random pool's seed file lives: $XDG_DATA_HOME/corvid1/ssh_seedfile, else
// ~/.local/share/corvid1/ssh_seedfile. The folder is created (mode 0700) if missing.
std::string seedFilePath();

}  // namespace corvid1
