#pragma once

namespace corvid1::cli {

// The local terminal's modes, changed for the password prompt (no echo) or the interactive
// session (raw) and always put back: by the destructor, at exit(), and from the handlers of
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and the fatal signals, which restore the saved modes and
// then let the signal take its default course. Only one terminal state is saved at a time.
class LocalTerminal {
  public:
    explicit LocalTerminal(int fd) : fd_(fd) {}
    ~LocalTerminal() { restore(); }
    LocalTerminal(const LocalTerminal&) = delete;
    LocalTerminal& operator=(const LocalTerminal&) = delete;

    // Every byte typed reaches us at once and unchanged (no echo, no line editing, no signal
    // keys, no CR/LF translation), and output goes out unprocessed. False if fd is no terminal.
    bool makeRaw();
    // Line editing stays, only the echo goes: for reading a password.
    bool disableEcho();
    // Puts back the modes saved by the first makeRaw or disableEcho. Safe to call repeatedly.
    void restore();

    bool changed() const;

  private:
    bool apply(bool raw);
    int fd_;
};

// Installs, once, the handlers that restore a changed terminal before a terminating signal
// takes effect, and an exit() hook that does the same. Idempotent.
void installTerminalRestorers();

// Restores whatever terminal modes are saved; async-signal-safe.
void restoreSavedTerminal();

}  // namespace corvid1::cli
