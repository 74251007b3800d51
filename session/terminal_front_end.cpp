#include "session/terminal_front_end.h"

#include "terminal/interpreter.h"

namespace corvid1 {

void TerminalFrontEnd::status(const char* text) {
    printText(text);
}

void TerminalFrontEnd::output(const char* data, std::size_t len) {
    feedBytes(data, len);
}

SessionFrontEnd& terminalFrontEnd() {
    static TerminalFrontEnd frontEnd;
    return frontEnd;
}

}  // namespace corvid1
