#pragma once

#include <string>

#include "terminal/terminal_screen.h"

namespace corvid1::cli {

// The text of every buffer line from the oldest scrollback line to the bottom of the live
// screen, in UTF-8, each line ended by a line feed. A line ends after its last written cell;
// empty cells before that (left by cursor addressing or erasing) become spaces, so text to the
// right of a gap is kept rather than cut off there. Line-drawing cells give their Unicode
// equivalents; a wide character is written once.
std::string screenText(const TerminalScreen& screen);

}  // namespace corvid1::cli
