#pragma once

#include <cstddef>
#include <string>

namespace corvid1::cli {

// Watches what the user types for the escape character '~' at the start of a line, as ssh
// does: "~." disconnects, "~~" sends a single '~', and '~' followed by anything else sends
// both characters. A '~' at the start of a line is held back until the next key decides what
// it means. The start of the session counts as the start of a line; CR and LF end a line.
class EscapeScanner {
  public:
    enum class Result { Continue, Disconnect };

    // Appends to `out` what should go to the server for the typed bytes `in`. On Disconnect
    // the bytes after the '.' are dropped and `out` holds only what came before the escape.
    Result feed(const char* in, std::size_t length, std::string& out);

    // True while a '~' at the start of a line is held back.
    bool holding() const { return state_ == State::TildeSeen; }

  private:
    enum class State { LineStart, MidLine, TildeSeen };
    State state_ = State::LineStart;
};

}  // namespace corvid1::cli
