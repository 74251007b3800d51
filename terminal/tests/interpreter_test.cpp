// The byte-stream interpreter: sequences split across calls, rendition, erasing, cursor
// movement, visible notation of unknown bytes, answers to the host, and long input.
#include <string>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using InterpreterTest = TerminalTest;

TEST_F(InterpreterTest, IncompleteSequencesWaitForTheirLastByte) {
    size(10, 3, 0);
    feed("abc\x1b[2");
    EXPECT_EQ(row(1), "abc");
    EXPECT_EQ(pendingByteCount(), 3);
    feed("J");
    EXPECT_EQ(row(1), "");
    feed("\x1b[2;3H\x1b");
    EXPECT_EQ(pendingByteCount(), 1);
    feed("7\x1b[H\x1b");
    feed("8");
    expectCursor(2, 3);
    feed("\x1b(");
    feed("0q");
    EXPECT_EQ(attributeOnRow(2, 3), 0x40000u);
}

TEST_F(InterpreterTest, CursorMovesAreLimitedToTheLiveScreen) {
    const struct {
        const char* sequence;
        int row, column;
    } cases[] = {
        {"\x1b[5;10H", 5, 10},
        {"\x1b[0;0H", 1, 1},
        {"\x1b[99;999H", 10, 20},
        {"\x1b[;5H", 1, 5},
        {"\x1b[7f", 7, 1},
        {"\x1b[1;2;3H", 1, 2},
        {"\x1b[0A", 4, 10},
        {"\x1b[2A", 3, 10},
        {"\x1b[B", 6, 10},
        {"\x1b[3C", 5, 13},
        {"\x1b[99D", 5, 1},
        {"\x1b"
         "D",
         6, 10},
        {"\x1b"
         "E",
         6, 1},
        {"\x1bM", 4, 10},
        {"\b", 5, 9},
        {"\v", 6, 10},
        {"\f", 6, 10},
        {"\x1bH", 5, 10},
        {"\t", 5, 17},
        {"\x1b[99999999999999B", 10, 10},
        {"\x1b[99999999999999;99999999999999H", 10, 20},
    };
    for (const auto& c : cases) {
        size(20, 10, 3);
        feed(std::string("\x1b[5;10H") + c.sequence);
        expectCursor(c.row, c.column);
    }
}

TEST_F(InterpreterTest, ScrollRegionRequestsAreLimitedOrIgnored) {
    size(10, 5, 0);
    const struct {
        const char* sequence;
        int top, bottom;
    } cases[] = {{"\x1b[2;99r", 2, 5}, {"\x1b[0;0r", 1, 5}, {"\x1b[4;2r", 1, 5},
                 {"\x1b[3;4r", 3, 4},  {"\x1b[4;4r", 3, 4}, {"\x1b[3r", 3, 5},
                 {"\x1b[r", 1, 5}};
    for (const auto& c : cases) {
        feed(c.sequence);
        EXPECT_EQ(screen->regionTop, c.top) << c.sequence + 1;
        EXPECT_EQ(screen->regionBottom, c.bottom) << c.sequence + 1;
    }
}

TEST_F(InterpreterTest, LongInputReachesTheScreenWhole) {
    size(80, 24, 500);
    EXPECT_EQ(feed(std::string(4097, 'x')), 0);
    EXPECT_EQ(screen->cursorLine, 52);  // 4097 = 51 full rows and one more byte
    EXPECT_EQ(screen->cursorColumn, 18);
    // A sequence that straddles the point where the input is cut into pieces.
    size(80, 24, 500);
    feed(std::string(4094, 'a') + "\x1b[1mB");
    EXPECT_EQ(screen->attributeAt(screen->cursorLine, screen->cursorColumn - 1), 0x1000u);
    size(80, 24, 500);
    std::string text;
    for (int n = 0; n < 20000; ++n) text += "line " + std::to_string(n) + "\r\n";
    EXPECT_EQ(feed(text), 0);
    EXPECT_EQ(line(1), "line 19477");
    EXPECT_EQ(line(523), "line 19999");
}

TEST_F(InterpreterTest, OnlyASequenceThatNeverEndsOverflows) {
    size(120, 3, 0);
    EXPECT_EQ(feed("\x1b[" + std::string(4094, '9')), 0);
    EXPECT_EQ(pendingByteCount(), kInputBufferSize);
    EXPECT_EQ(feed("9m"), -1);
    EXPECT_EQ(row(1), kOverflowMessage);
    EXPECT_EQ(pendingByteCount(), 0);
    // The rest of the sequence is skipped up to its end; what follows it is shown.
    EXPECT_EQ(feed("\x1b[" + std::string(6000, '1') + "mkept"), -1);
    EXPECT_EQ(feed("next"), 0);
    EXPECT_EQ(row(1), std::string(kOverflowMessage) + kOverflowMessage + "keptnext");
}

TEST_F(InterpreterTest, TextPrintedFromANotificationFollowsTheRunningFeed) {
    struct PrintingTarget : RecordingTarget {
        void send(int message, std::intptr_t first, std::intptr_t second) override {
            RecordingTarget::send(message, first, second);
            if (message == SendToHost) printText("[reply]");
        }
    } printing;
    size(20, 2, 0);
    screen->notifyWindow = &printing;
    feed("\x05x");
    EXPECT_EQ(row(1), "x[reply]");
    attachScreen(nullptr);
    EXPECT_EQ(printText("nowhere"), 0);
    EXPECT_EQ(attachedScreen(), nullptr);
}

// The window handles a notification while the feed waits for it; whatever the handler does to
// the screen or the interpreter, the feed must not touch cells or bytes that are gone.
TEST_F(InterpreterTest, HandlersThatResizeReleaseOrDetachDoNotPullCellsFromUnderTheFeed) {
    for (int action = 0; action < 3; ++action) {
        struct ChangingTarget : NotificationTarget {
            TerminalScreen* screen = nullptr;
            int action = 0;
            int calls = 0;
            void send(int message, std::intptr_t, std::intptr_t) override {
                if (message != LiveTopChanged || ++calls % 3 != 0) return;
                if (action == 0) screen->resize(7 + calls % 5, 2 + calls % 4, 0, 0, this);
                if (action == 1) screen->releaseBuffers();
                if (action == 2) attachScreen(nullptr);
            }
        } changing;
        size(20, 4, 30);
        changing.screen = screen.get();
        changing.action = action;
        screen->notifyWindow = &changing;
        std::string text;
        for (int n = 0; n < 200; ++n) text += "line " + std::to_string(n) + "\x1b[1m\r\n";
        EXPECT_EQ(feed(text), 0);
        EXPECT_GT(changing.calls, 2) << action;
        if (action == 0) {
            EXPECT_EQ(screen->liveTop, screen->liveBottom - screen->rows + 1);
            EXPECT_LE(screen->cursorLine, screen->liveBottom);
        }
    }
}

}  // namespace
}  // namespace corvid1::testing
