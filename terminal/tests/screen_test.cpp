// The screen's own behaviour: wrapping, line feeds and the scrollback, the line operations,
// erasing, selection, notifications and resizing.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using ScreenTest = TerminalTest;

TEST_F(ScreenTest, FullRowWrapsOnlyBeforeTheNextPrintableByte) {
    size(5, 3, 2);
    feed("abcde");
    EXPECT_EQ(screen->cursorColumn, 6);
    EXPECT_EQ(screen->liveTop, 1);
    feed("\r");
    expectCursor(1, 1);
    feed("abcdef");
    EXPECT_EQ(row(1), "abcde");
    EXPECT_EQ(row(2), "f");
    expectCursor(2, 2);
}

TEST_F(ScreenTest, LineFeedKeepsTheColumnUnlessNewLineModeIsSet) {
    size(10, 4, 0);
    feed("ab\ncd\r\nef\rX\x1b[20h\nY");
    EXPECT_EQ(row(1), "ab");
    EXPECT_EQ(row(2), "  cd");
    EXPECT_EQ(row(3), "Xf");
    EXPECT_EQ(row(4), "Y");
    printText("\x1b[20ls\nt");  // the system's own lines always return
    EXPECT_EQ(row(3), "Ys");
    EXPECT_EQ(row(4), "t");
}

TEST_F(ScreenTest, LiveScreenGrowsIntoTheScrollbackThenDropsTheOldestLine) {
    size(4, 3, 2);
    feed("1\r\n2\r\n3\r\n4\r\n");
    ASSERT_EQ(target.count(LiveTopChanged), 2);
    std::vector<std::intptr_t> tops;
    for (const auto& n : target.log) {
        if (n.message == LiveTopChanged) tops.push_back(n.first);
    }
    EXPECT_EQ(tops, (std::vector<std::intptr_t>{2, 3}));
    EXPECT_EQ(screen->liveBottom, screen->lastLine);
    target.log.clear();
    feed("5\r\n");
    EXPECT_EQ(target.count(LiveTopChanged), 0);
    EXPECT_EQ(screen->liveTop, 3);
    EXPECT_EQ(line(1), "2");  // "1" is gone
    EXPECT_EQ(line(4), "5");
    EXPECT_EQ(row(3), "");
}

TEST_F(ScreenTest, WithoutScrollbackEveryLineFeedAtTheBottomDropsTheTopRow) {
    size(4, 3, 0);
    feed("1\r\n2\r\n3\r\n4");
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(1), "2");
    EXPECT_EQ(row(3), "4");
}

TEST_F(ScreenTest, RegionScrollsAloneAndNotWithTheCursorBelowIt) {
    size(4, 4, 5);
    feed("a\r\nb\r\nc\r\nd");
    screen->setScrollRegion(2, 3);
    feed("\x1b[3;1H\n");  // on the region's bottom row
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(1), "a");
    EXPECT_EQ(row(2), "c");
    EXPECT_EQ(row(3), "");
    EXPECT_EQ(row(4), "d");
    feed("\x1b[4;1H\n");  // below the region, on the last row: nothing moves
    EXPECT_EQ(row(2), "c");
    expectCursor(4, 1);
    EXPECT_EQ(target.count(LiveTopChanged), 0);
}

TEST_F(ScreenTest, ErasedCellsTakeTheCurrentBackgroundOnly) {
    size(10, 2, 0);
    screen->setRendition(RenditionReverse, 2);
    feed("abc");
    screen->placeCursor(1, 2);
    screen->eraseRange(AtCursor, AtCursor, AtCursor, LastPosition);
    EXPECT_EQ(row(1), "a");
    EXPECT_EQ(attributeOnRow(1, 3), 2u);
    screen->setRendition(0, 0);
    feed("X");
    EXPECT_EQ(attributeOnRow(1, 2), 0u);
    EXPECT_EQ(attributeOnRow(1, 3), 2u);
}

TEST_F(ScreenTest, DeleteCharacterShiftsOnlyTheCursorsLine) {
    size(3, 3, 0);
    feed("abc");
    screen->placeCursor(1, 1);
    screen->deleteCharacter();
    EXPECT_EQ(row(1), "bc");
    EXPECT_EQ(screen->characterAt(1, 3), 0);
    EXPECT_EQ(screen->attributeAt(1, 3), 0u);

    feed("\x1b[1;1Habcdef");
    screen->placeCursor(1, 2);
    screen->deleteCharacter();
    EXPECT_EQ(row(1), "ac");
    EXPECT_EQ(row(2), "def");
}

TEST_F(ScreenTest, DeleteCharacterWithACountEqualsThatManySingleDeletions) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        size(6, 3, round % 3);
        for (int k = 0; k < 40; ++k) {
            const char c = random() % 4 == 0 ? '\n' : static_cast<char>('a' + random() % 26);
            screen->setRendition(static_cast<int>(random() % 8), 0);
            screen->writeText(&c, 1);
        }
        feed("\x1b[" + std::to_string(1 + random() % 3) + ";" + std::to_string(1 + random() % 7) +
             "H\x1b[" + std::to_string(1 + random() % 8) + "K");
        TerminalScreen once = *screen, repeated = *screen;
        const int count = 1 + static_cast<int>(random() % 30);
        once.deleteCharacter(count);
        for (int k = 0; k < count; ++k) repeated.deleteCharacter(1);
        for (int l = 1; l <= screen->lastLine + 1; ++l) {
            for (int c = 1; c <= screen->columns; ++c) {
                ASSERT_EQ(once.characterAt(l, c), repeated.characterAt(l, c)) << round;
                ASSERT_EQ(once.attributeAt(l, c), repeated.attributeAt(l, c)) << round;
            }
        }
    }
}

// The line operations against a plain list of lines moved the way a flat cell buffer moves
// them, over many drops so that the ring wraps.
TEST_F(ScreenTest, LineMovesMatchAFlatBufferAcrossRingWraps) {
    std::mt19937 random(11);
    size(4, 5, 3);
    std::vector<std::string> model(screen->lastLine + 1);
    auto blank = [] { return std::string(); };
    for (int step = 0; step < 3000; ++step) {
        const int top = screen->liveTop;
        const int r = 1 + static_cast<int>(random() % 5);
        switch (random() % 6) {
            case 0: {
                const std::string text = std::to_string(1000 + step % 1000);  // fills the row
                const std::u32string cells(text.begin(), text.end());
                screen->putCells(1, top + r - 1, cells.c_str(), 0, 0,
                                 static_cast<int>(text.size()));
                model[top + r - 2] = text;
                break;
            }
            case 1:
                screen->dropOldestLine();
                model.erase(model.begin());
                model.push_back(blank());
                break;
            case 2: {
                const int b = r + static_cast<int>(random() % (6 - r));
                screen->scrollRegionUp(r, b);
                model.erase(model.begin() + top + r - 2);
                model.insert(model.begin() + top + b - 2, blank());
                break;
            }
            case 3: {
                const int b = r + static_cast<int>(random() % (6 - r));
                screen->scrollRegionDown(r, b);
                model.erase(model.begin() + top + b - 2);
                model.insert(model.begin() + top + r - 2, blank());
                break;
            }
            case 4:  // inside the region, which is the whole screen: the rows below move up
                screen->placeCursor(r, 1);
                screen->deleteLine();
                model.erase(model.begin() + top + r - 2);
                model.insert(model.begin() + top + 3, blank());
                break;
            case 5:
                screen->placeCursor(r, 1);
                screen->insertLine();
                model.insert(model.begin() + top + r - 2, blank());
                model.erase(model.begin() + top + 4);
                break;
        }
        for (int l = 1; l <= screen->lastLine + 1; ++l) ASSERT_EQ(line(l), model[l - 1]) << step;
    }
}

TEST_F(ScreenTest, SelectionTextReadsCellsInReadingOrder) {
    size(10, 3, 0);
    feed("ab\r\ncdef\r\ngh");
    EXPECT_EQ(screen->selectionText(0, 1, 0, 2), u"ab\r\n");
    EXPECT_EQ(screen->selectionText(3, 2, 1, 2), u"de");
    EXPECT_EQ(screen->selectionText(1, 3, 1, 1), u"b\r\ncdef\r\ng");
    // Points off the grid are limited to the buffer; the spare line adds an empty piece.
    EXPECT_EQ(screen->selectionText(-5, -3, 99, 99), u"ab\r\ncdef\r\ngh\r\n");
    screen->putCells(5, 1, U"\u20ac\u00e9", 0, 0, 2);
    EXPECT_EQ(screen->selectionText(4, 1, 6, 1), u"\u20ac\u00e9");
}

TEST_F(ScreenTest, NotificationsNameTheChangedCellsRelativeToTheView) {
    size(10, 3, 2);
    feed("\n\n\n");  // the live screen grows by one line
    screen->viewTop = 1;
    target.log.clear();
    feed("abc");
    ASSERT_EQ(target.log.size(), 1u);
    EXPECT_EQ(target.log[0].message, RepaintCells);
    EXPECT_EQ(target.log[0].second, 3 * 256 + 0);  // row of line 4 from viewTop 1, column 1
    EXPECT_EQ(target.log[0].first, 3 * 256 + 3);   // up to the cursor at column 4
    target.log.clear();
    screen->placeCursor(1, 5);
    ASSERT_EQ(target.count(RepaintCells), 2);
    EXPECT_EQ(target.log[0].first, 3 * 256 + 3);
    EXPECT_EQ(target.log[1].first, 1 * 256 + 4);
    feed("x\r\n\n\n");
    EXPECT_EQ(target.log.back().message, RepaintAll);
}

TEST_F(ScreenTest, ResizeBeforeAnyOutputHomesEverything) {
    size(10, 3, 5);
    screen->placeCursor(2, 3);
    screen->resize(20, 5, 200, 100, &target);
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(screen->liveBottom, 5);
    EXPECT_EQ(screen->regionBottom, 5);
    EXPECT_EQ(screen->cursorLine, 1);
    EXPECT_EQ(screen->cursorColumn, 1);
    EXPECT_EQ(screen->cellCount, (5 + 5 + 1) * 20);
}

TEST_F(ScreenTest, ResizeAfterOutputKeepsEachLineAndTheCursorOnItsText) {
    size(10, 4, 10);
    feed("abcdefghij\r\nl2\r\nl3\r\nl4\r\nl5\r\nl6");
    ASSERT_EQ(screen->liveTop, 3);
    screen->resize(5, 3, 0, 0, &target);
    EXPECT_EQ(line(1), "abcde");  // cut to the new width
    EXPECT_EQ(row(3), "l6");
    EXPECT_EQ(screen->liveTop, 4);
    expectCursor(3, 3);
    EXPECT_EQ(screen->viewTop, 4);
    EXPECT_EQ(screen->viewEnd, 7);
    screen->resize(5, 6, 0, 0, &target);  // growing brings the scrollback back onto the screen
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(6), "l6");
    expectCursor(6, 3);
}

TEST_F(ScreenTest, ShrinkingDropsBlankRowsBelowTheCursorFirst) {
    size(10, 5, 10);
    feed("a\r\nb");
    screen->resize(10, 3, 0, 0, &target);
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(1), "a");
    EXPECT_EQ(row(2), "b");
    expectCursor(2, 2);
}

TEST_F(ScreenTest, SmallerScrollbackDropsOldestLinesAndKeepsSavedCursorInside) {
    size(10, 3, 2);
    feed("1\r\n2\r\n3\r\n4\r\n5");
    screen->saveCursor();
    screen->setScrollbackLines(0);
    EXPECT_EQ(screen->lastLine, 3);
    EXPECT_EQ(screen->cellCount, 4 * 10);
    EXPECT_EQ(row(1), "3");
    EXPECT_EQ(row(3), "5");
    expectCursor(3, 2);
    screen->resize(10, 1, 0, 0, &target);
    screen->restoreCursor();
    EXPECT_GE(screen->cursorLine, 1);
    EXPECT_LE(screen->cursorLine, screen->liveBottom);
    EXPECT_EQ(row(1), "5");
}

TEST_F(ScreenTest, SizesAreLimitedAndAnUnsizedScreenIgnoresWrites) {
    feed("before any layout");
    EXPECT_FALSE(screen->hasStorage());
    EXPECT_EQ(screen->lineCharacters(1)[kMaxColumns], 0);
    screen->setScrollbackLines(-4);
    EXPECT_EQ(screen->scrollbackLines, 0);
    screen->setScrollbackLines(100000);
    EXPECT_EQ(screen->scrollbackLines, kMaxScrollbackLines);
    screen->resize(0, 0, 0, 0, &target);
    EXPECT_EQ(screen->columns, 1);
    EXPECT_EQ(screen->rows, 1);
    feed("xy\r\nz");
    EXPECT_EQ(row(1), "z");
    screen->resize(5000, 5000, 0, 0, &target);
    EXPECT_EQ(screen->columns, kMaxColumns);
    EXPECT_EQ(screen->rows, kMaxRows);
    feed("\r" + std::string(600, 'w'));
    EXPECT_EQ(screen->cursorColumn, 600 - 2 * kMaxColumns + 1);
}

TEST_F(ScreenTest, BellGoesThroughTheInstalledHook) {
    static int rings = 0;
    setBellHook([] { ++rings; });
    size(10, 2, 0);
    feed("\a\a");
    setBellHook(nullptr);
    feed("\a");
    EXPECT_EQ(rings, 2);
}

}  // namespace
}  // namespace corvid1::testing
