#pragma once

#include <cstddef>

namespace corvid1 {

// Everything the session core reports goes through this interface; the core prints nowhere
// else. Both calls come from the session thread (status also from the key exchange, which runs
// there).
struct SessionFrontEnd {
    virtual ~SessionFrontEnd() = default;
    // One status line of the driver or the key exchange, NUL-terminated, line feed included.
    virtual void status(const char* text) = 0;
    // Bytes from the server (stdout, stderr, disconnect text), whole, NULs included.
    virtual void output(const char* data, std::size_t len) = 0;
    // The server's error stream and the text of a disconnect in the data phase. A terminal shows
    // them with the rest; a command-line front end keeps them apart from standard output.
    virtual void errorOutput(const char* data, std::size_t len) { output(data, len); }
    // Called once the shell has been requested: from here on typed input reaches the shell
    // rather than the middle of the login.
    virtual void interactive() {}
};

// The default front end: both go to the terminal interpreter, status lines with printText and
// server output with feedBytes (which keeps NULs and any length).
struct TerminalFrontEnd : SessionFrontEnd {
    void status(const char* text) override;
    void output(const char* data, std::size_t len) override;
};

// A process-wide TerminalFrontEnd, for callers that have no front end of their own.
SessionFrontEnd& terminalFrontEnd();

}  // namespace corvid1
