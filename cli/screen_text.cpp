#include "cli/screen_text.h"

namespace corvid1::cli {

std::string screenText(const TerminalScreen& screen) {
    std::string text;
    if (!screen.hasStorage()) return text;
    for (int line = 1; line <= screen.liveBottom; ++line) {
        const Cell* cells = screen.lineCharacters(line);
        const std::uint32_t* attributes = screen.lineAttributes(line);
        int end = screen.columns;
        while (end > 0 && cells[end - 1] == 0) --end;
        for (int column = 0; column < end; ++column) {
            if (cells[column] == kWideTail) continue;
            const char32_t shown = displayedCharacter(cells[column], attributes[column]);
            appendUtf8(text, shown == 0 ? U' ' : shown);
        }
        text.push_back('\n');
    }
    return text;
}

}  // namespace corvid1::cli
