#include "cli/screen_text.h"

namespace corvid1::cli {

void appendCodePageAsUtf8(std::string& out, unsigned char byte) {
    const char16_t c = codePageToUtf16(byte);
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        // Windows-1252 maps only into the Basic Multilingual Plane: three bytes at most.
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string screenText(const TerminalScreen& screen) {
    std::string text;
    if (!screen.hasStorage()) return text;
    for (int line = 1; line <= screen.liveBottom; ++line) {
        const char* cells = screen.lineCharacters(line);
        int end = screen.columns;
        while (end > 0 && cells[end - 1] == '\0') --end;
        for (int column = 0; column < end; ++column) {
            const char c = cells[column];
            appendCodePageAsUtf8(text, c == '\0' ? ' ' : static_cast<unsigned char>(c));
        }
        text.push_back('\n');
    }
    return text;
}

}  // namespace corvid1::cli
