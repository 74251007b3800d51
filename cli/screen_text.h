#pragma once

#include <string>

#include "terminal/terminal_screen.h"

namespace corvid1::cli {

// The text of every buffer line from the oldest scrollback line to the bottom of the live
// screen, in UTF-8, each line ended by a line feed. A line ends after its last written cell;
// empty cells before that (left by cursor addressing or erasing) become spaces, so text to the
// right of a gap is kept rather than cut off there.
std::string screenText(const TerminalScreen& screen);

// Appends the UTF-8 form of one Windows-1252 byte, the code page of the cells.
void appendCodePageAsUtf8(std::string& out, unsigned char byte);

}  // namespace corvid1::cli
