// The interpreter under load: long input, endless sequences, text printed from a notification,
// handlers that change the screen mid-feed, and random streams that must stay inside the buffer.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using InterpreterTest = TerminalTest;

TEST_F(InterpreterTest, LongInputReachesTheScreenWhole) {
    // ASCII goes straight to the cells, other text is staged first: 51 rows and 17 cells each.
    for (const std::string shown : {"x", "\u00e9"}) {
        size(80, 24, 500);
        EXPECT_EQ(feed(std::string(4097, shown == "x" ? 'x' : '\xe9')), 0);
        std::string last;
        for (int k = 0; k < 17; ++k) last += shown;
        EXPECT_EQ(line(52), last);
        expectCursor(24, 18);
    }
    size(80, 24, 500);  // a sequence across the point where the input is cut into pieces
    feed(std::string(4094, 'a') + "\x1b[1mB");
    EXPECT_TRUE(look(24, screen->cursorColumn - 1).bold);
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
            if (message == SendToHost) printText("[reply \x80]\n");
        }
    } printing;
    screen->notifyWindow = &printing;
    setRemoteCharset(RemoteCharset::Utf8);
    feed("\x05x");
    // Still the system's own text: Windows-1252, and its line feeds return the carriage.
    EXPECT_EQ(row(1), "x[reply \u20ac]");
    expectCursor(2, 1);
    attachScreen(nullptr);
    EXPECT_EQ(printText("nowhere"), 0);
    EXPECT_EQ(attachedScreen(), nullptr);
}

// Every position the screen keeps stays inside its buffer.
void expectInvariants(const TerminalScreen& s) {
    ASSERT_EQ(s.liveTop, s.liveBottom - s.rows + 1);
    ASSERT_EQ(s.cellCount, (s.lastLine + 1) * s.columns);
    ASSERT_TRUE(1 <= s.liveTop && s.liveBottom <= s.lastLine) << s.liveTop;
    ASSERT_TRUE(1 <= s.cursorColumn && s.cursorColumn <= s.columns + 1) << s.cursorColumn;
    ASSERT_TRUE(s.liveTop <= s.cursorLine && s.cursorLine <= s.liveBottom) << s.cursorLine;
    ASSERT_TRUE(1 <= s.regionTop && s.regionTop <= s.regionBottom && s.regionBottom <= s.rows);
    ASSERT_LE(pendingByteCount(), kInputBufferSize);
}

TEST_F(InterpreterTest, RandomStreamsInRandomPiecesKeepEveryPositionInside) {
    const std::string singles = "0125799ABCDHJKLMP@Xrmhl(#Y;\r\n\x05\x0e\x0f\b\t\x9b";
    const std::string pieces[] = {"\x1b", "\x1b[", "\x1b[?", "text ", "a line of text to wrap "};
    std::mt19937 random(2024);
    for (int round = 0; round < 8; ++round) {
        size(1 + int(random() % 120), 1 + int(random() % 40), int(random() % 60));
        std::string stream;
        while (stream.size() < 100000) {
            const int pick = int(random() % 8);
            if (pick == 0) stream.push_back(char(random() % 256));
            if (pick > 0 && pick < 5) stream.push_back(singles[random() % singles.size()]);
            if (pick >= 5) stream += pieces[random() % std::size(pieces)];
        }
        for (std::size_t offset = 0; offset < stream.size();) {
            const std::size_t piece = std::min<std::size_t>(
                stream.size() - offset, 1 + random() % (random() % 4 ? 40 : 6000));
            feedBytes(stream.data() + offset, piece);
            offset += piece;
            if (random() % 200 == 0)
                screen->resize(1 + random() % 100, 1 + random() % 30, 0, 0, &target);
            if (random() % 200 == 0) screen->setScrollbackLines(int(random() % 50));
            ASSERT_NO_FATAL_FAILURE(expectInvariants(*screen)) << round << " at " << offset;
        }
    }
}

// The window handles a notification while the feed waits for it; whatever the handler does to
// the screen or the interpreter, the feed must not touch cells or bytes that are gone.
TEST_F(InterpreterTest, HandlersThatResizeReleaseOrDetachDoNotPullCellsFromUnderTheFeed) {
    for (int action = 0; action < 3; ++action) {
        struct ChangingTarget : NotificationTarget {
            TerminalScreen* screen = nullptr;
            int action = 0, calls = 0;
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
        if (action == 0) ASSERT_NO_FATAL_FAILURE(expectInvariants(*screen));
    }
}

}  // namespace
}  // namespace corvid1::testing
