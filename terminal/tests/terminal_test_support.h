#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace corvid1::testing {

// Stands in for the window: records the notifications and the text sent to the host.
struct RecordingTarget : NotificationTarget {
    std::vector<std::pair<int, std::intptr_t>> log;  // message and its first value
    std::string sentToHost;
    void send(int message, std::intptr_t first, std::intptr_t second) override {
        log.emplace_back(message, first);
        if (message == SendToHost) sentToHost.append(reinterpret_cast<const char*>(first), second);
    }
};

// A cell as the window draws it: colours 0..7 (-1: the default) and the four attributes.
struct Look {
    int foreground = -1, background = -1;
    bool bold = false, underline = false, blink = false, reverse = false;
    bool operator==(const Look&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Look& l) {
        return out << l.foreground << "/" << l.background << "/" << l.bold << l.underline << l.blink
                   << l.reverse;
    }
};

class TerminalTest : public ::testing::Test {
  protected:
    void SetUp() override { size(20, 4, 2); }
    void TearDown() override {
        attachScreen(nullptr);
        selectTerminalType(false);
        setRemoteCharset(kDefaultRemoteCharset);
    }

    // A fresh screen of this size, attached, with nothing recorded yet.
    void size(int columns, int rows, int scrollback) {
        screen = createScreen();
        attachScreen(screen.get());
        screen->setScrollbackLines(scrollback);
        screen->resize(columns, rows, 0, 0, &target);
        target.log.clear();
        target.sentToHost.clear();
    }
    int feed(std::string_view bytes) { return feedBytes(bytes.data(), bytes.size()); }

    // Everything a stream can change: cells, renditions, cursor, region, modes, character
    // sets, saved cursor, the bytes held and the replies.
    std::string snapshot() const {
        const TerminalScreen& s = *screen;
        std::string all;
        for (int l = 1; l <= s.lastLine + 1; ++l)
            for (int c = 1; c <= s.columns; ++c)
                all += std::to_string(s.characterAt(l, c)) + ":" +
                       std::to_string(s.attributeAt(l, c)) + ",";
        for (int v : std::initializer_list<int>{
                 s.cursorLine, s.cursorColumn, s.liveTop, s.regionTop, s.regionBottom, int(s.modes),
                 s.rendition, s.background, int(s.sets[0]), int(s.sets[1]), s.shift, s.saved.row,
                 s.saved.column, s.columns, pendingByteCount()})
            all += std::to_string(v) + "/";
        return all + target.sentToHost;
    }

    // Feeds `input` split in two at every offset and a byte at a time: each time the screen must
    // be the one the whole stream gives, as which it is left.
    void feedEveryWay(const std::string& input, int columns = 20, int rows = 4,
                      int scrollback = 2) {
        size(columns, rows, scrollback);
        feed(input);
        const std::string whole = snapshot();
        for (std::size_t cut = 1; cut <= input.size(); ++cut) {
            size(columns, rows, scrollback);
            if (cut == input.size()) {
                for (char byte : input) feed(std::string_view(&byte, 1));
            } else {
                feed(std::string_view(input).substr(0, cut));
                feed(std::string_view(input).substr(cut));
            }
            ASSERT_EQ(snapshot(), whole) << ::testing::PrintToString(input) << " cut at " << cut;
        }
        size(columns, rows, scrollback);
        feed(input);
    }

    // A buffer line as UTF-8 text as shown (character sets applied): empty cells read as
    // blanks, the second half of a wide character as nothing, trailing blanks dropped.
    std::string line(int bufferLine, bool asSent = false) const {
        std::string text;
        for (int column = 1; column <= screen->columns; ++column) {
            const Cell cell = screen->characterAt(bufferLine, column);
            if (cell == kWideTail) continue;
            const char32_t shown =
                asSent ? cell : displayedCharacter(cell, screen->attributeAt(bufferLine, column));
            appendUtf8(text, shown == 0 ? U' ' : shown);
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    std::string row(int screenRow, bool asSent = false) const {
        return line(screen->liveTop + screenRow - 1, asSent);
    }
    Look look(int screenRow, int column) const {
        const std::uint32_t a = screen->attributeAt(screen->liveTop + screenRow - 1, column);
        return {(a & CellForegroundSet) ? int((a & CellForegroundMask) >> 8) : -1,
                (a & CellBackgroundSet) ? int(a & CellBackgroundMask) : -1,
                (a & CellBold) != 0,
                (a & CellUnderline) != 0,
                (a & CellBlink) != 0,
                (a & CellReverse) != 0};
    }
    void expectCursor(int screenRow, int column) const {
        EXPECT_EQ(screen->cursorRow(), screenRow);
        EXPECT_EQ(screen->cursorColumn, column);
    }

    std::unique_ptr<TerminalScreen> screen;
    RecordingTarget target;
};

}  // namespace corvid1::testing
