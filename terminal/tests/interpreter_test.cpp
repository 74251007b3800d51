// The interpreter under load: long input, a sequence that never ends, text printed from a
// notification, handlers that change the screen under a running feed, and random streams in
// random pieces that must keep every position inside the buffer.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using InterpreterTest = TerminalTest;

TEST_F(InterpreterTest, LongInputReachesTheScreenWhole) {
    size(80, 24, 500);
    EXPECT_EQ(feed(std::string(4097, 'x')), 0);
    expectCursor(24, 18);  // 4097 = 51 full rows and one more byte
    EXPECT_EQ(screen->cursorLine, 52);
    // A sequence that straddles the point where the input is cut into pieces.
    size(80, 24, 500);
    feed(std::string(4094, 'a') + "\x1b[1mB");
    EXPECT_TRUE(look(24, screen->cursorColumn - 1).bold);
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
        if (action == 0) {
            EXPECT_EQ(screen->liveTop, screen->liveBottom - screen->rows + 1);
            EXPECT_LE(screen->cursorLine, screen->liveBottom);
        }
    }
}

void expectInvariants(const TerminalScreen& s) {
    ASSERT_EQ(s.liveTop, s.liveBottom - s.rows + 1);
    ASSERT_GE(s.liveTop, 1);
    ASSERT_LE(s.liveBottom, s.lastLine);
    ASSERT_EQ(s.cellCount, (s.lastLine + 1) * s.columns);
    ASSERT_GE(s.cursorColumn, 1);
    ASSERT_LE(s.cursorColumn, s.columns + 1);
    ASSERT_GE(s.cursorLine, s.liveTop);
    ASSERT_LE(s.cursorLine, s.liveBottom);
    ASSERT_GE(s.regionTop, 1);
    ASSERT_LE(s.regionTop, s.regionBottom);
    ASSERT_LE(s.regionBottom, s.rows);
    ASSERT_LE(pendingByteCount(), kInputBufferSize);
}

TEST_F(InterpreterTest, RandomStreamsInRandomPiecesKeepEveryPositionInside) {
    static const std::string pieces[] = {
        "\x1b", "\x1b[", "\x1b[?", ";", "0", "1", "2", "5", "7", "9", "99", "A", "B", "C", "D",
        "H", "J", "K", "L", "M", "P", "@", "X", "r", "m", "h", "l", "(", "#", "Y", "\r", "\n",
        "\x05", "\x0e", "\x0f", "\b", "\t", "\x9b", "text ", "wide line of text for wrapping "};
    std::mt19937 random(2024);
    for (int round = 0; round < 8; ++round) {
        size(1 + int(random() % 120), 1 + int(random() % 40), int(random() % 60));
        std::string stream;
        while (stream.size() < 100000) {
            if (random() % 8 == 0) {
                stream.push_back(char(random() % 256));
            } else {
                stream += pieces[random() % std::size(pieces)];
            }
        }
        for (std::size_t offset = 0; offset < stream.size();) {
            const std::size_t piece = std::min<std::size_t>(
                stream.size() - offset, 1 + random() % (random() % 4 ? 40 : 6000));
            feedBytes(stream.data() + offset, piece);
            offset += piece;
            if (random() % 200 == 0) screen->resize(1 + random() % 100, 1 + random() % 30, 0, 0, &target);
            if (random() % 200 == 0) screen->setScrollbackLines(int(random() % 50));
            ASSERT_NO_FATAL_FAILURE(expectInvariants(*screen)) << round << " at " << offset;
        }
    }
}

}  // namespace
}  // namespace corvid1::testing
