#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace corvid1::testing {

struct Notification {
    int message;
    std::intptr_t first;
    std::intptr_t second;
};

// Stands in for the window: records every notification and the text sent to the host.
struct RecordingTarget : NotificationTarget {
    std::vector<Notification> log;
    std::string sentToHost;
    void send(int message, std::intptr_t first, std::intptr_t second) override {
        log.push_back({message, first, second});
        if (message == SendToHost) sentToHost.append(reinterpret_cast<const char*>(first), second);
    }
    int count(int message) const {
        int n = 0;
        for (const auto& entry : log) n += entry.message == message;
        return n;
    }
};

class TerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        screen = createScreen();
        attachScreen(screen.get());
    }
    void TearDown() override {
        attachScreen(nullptr);
        selectTerminalType(false);
        setRemoteCharset(kDefaultRemoteCharset);
    }

    // A fresh screen of this size, attached, with no notifications recorded yet.
    void size(int columns, int rows, int scrollback) {
        screen = createScreen();
        attachScreen(screen.get());
        screen->setScrollbackLines(scrollback);
        screen->resize(columns, rows, 0, 0, &target);
        target.log.clear();
    }
    int feed(std::string_view bytes) { return feedBytes(bytes.data(), bytes.size()); }

    // A buffer line as UTF-8 text as shown (character sets applied): empty cells read as
    // blanks, the second half of a wide character as nothing, trailing blanks dropped.
    std::string line(int bufferLine) const {
        std::string text;
        for (int column = 1; column <= screen->columns; ++column) {
            const Cell cell = screen->characterAt(bufferLine, column);
            if (cell == kWideTail) continue;
            const char32_t shown =
                displayedCharacter(cell, screen->attributeAt(bufferLine, column));
            appendUtf8(text, shown == 0 ? U' ' : shown);
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    std::string row(int screenRow) const { return line(screen->liveTop + screenRow - 1); }
    std::uint32_t attributeOnRow(int screenRow, int column) const {
        return screen->attributeAt(screen->liveTop + screenRow - 1, column);
    }
    void expectCursor(int screenRow, int column) const {
        EXPECT_EQ(screen->cursorLine - screen->liveTop + 1, screenRow);
        EXPECT_EQ(screen->cursorColumn, column);
    }

    std::unique_ptr<TerminalScreen> screen;
    RecordingTarget target;
};

}  // namespace corvid1::testing
