// The screen itself: the scrollback's ring of lines, selection, notifications, sizes and limits.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using ScreenTest = TerminalTest;
using Log = std::vector<std::pair<int, std::intptr_t>>;

TEST_F(ScreenTest, LiveScreenGrowsIntoTheScrollbackThenDropsTheOldestLine) {
    size(4, 3, 2);
    feed("1\r\n2\r\n3\r\n4\r\n5\r\n");
    Log tops;  // the window hears of the growth, not of the drop
    std::copy_if(target.log.begin(), target.log.end(), std::back_inserter(tops),
                 [](auto& n) { return n.first == LiveTopChanged; });
    EXPECT_EQ(tops, (Log{{LiveTopChanged, 2}, {LiveTopChanged, 3}}));
    EXPECT_EQ(screen->liveTop, 3);
    EXPECT_EQ(line(1), "2");  // "1" is gone
    EXPECT_EQ(line(4), "5");
    size(4, 3, 0);  // without scrollback the top row goes at once
    feed("1\r\n2\r\n3\r\n4");
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(1), "2");
}

// The line operations against a plain list of lines moved the way a flat cell buffer moves
// them, over many drops so that the ring wraps.
TEST_F(ScreenTest, LineMovesMatchAFlatBufferAcrossRingWraps) {
    std::mt19937 random(11);
    size(4, 5, 3);
    std::vector<std::string> model(screen->lastLine + 1);
    for (int step = 0; step < 3000; ++step) {
        const int top = screen->liveTop;
        const int r = 1 + int(random() % 5);
        const int b = r + int(random() % (6 - r));
        auto at = [&](int screenRow) { return model.begin() + top + screenRow - 2; };
        switch (random() % 4) {
            case 0:  // a row filled with four digits
                *at(r) = std::to_string(1000 + step % 1000);
                screen->putCells(1, top + r - 1,
                                 std::u32string(at(r)->begin(), at(r)->end()).c_str(), 0, 0, 4);
                break;
            case 1:
                screen->dropOldestLine();
                model.erase(model.begin());
                model.emplace_back();
                break;
            case 2:
                screen->scrollRegionUp(r, b);
                model.erase(at(r));
                model.emplace(at(b));
                break;
            case 3:
                screen->scrollRegionDown(r, b);
                model.erase(at(b));
                model.emplace(at(r));
                break;
        }
        for (int l = 1; l <= screen->lastLine + 1; ++l) ASSERT_EQ(line(l), model[l - 1]) << step;
    }
}

TEST_F(ScreenTest, SelectionTextReadsCellsInReadingOrder) {
    size(10, 3, 0);
    feed("ab\r\ncd f\r\ngh");  // a space is a character, unlike a cell never written
    EXPECT_EQ(screen->selectionText(0, 1, 0, 2), u"ab\r\n");
    EXPECT_EQ(screen->selectionText(3, 2, 1, 2), u"d ");
    EXPECT_EQ(screen->selectionText(1, 3, 1, 1), u"b\r\ncd f\r\ng");
    // Points off the grid are limited to the buffer; the spare line adds an empty piece.
    EXPECT_EQ(screen->selectionText(-5, -3, 99, 99), u"ab\r\ncd f\r\ngh\r\n");
    screen->putCells(5, 1, U"\u20ac\u00e9", 0, 0, 2);
    EXPECT_EQ(screen->selectionText(4, 1, 6, 1), u"\u20ac\u00e9");
}

TEST_F(ScreenTest, NotificationsNameTheChangedCellsRelativeToTheViewAndTheBellRings) {
    size(10, 3, 2);
    feed("\n\n\n");  // the live screen grows by one line
    screen->viewTop = 1;
    target.log.clear();
    feed("abc");
    EXPECT_EQ(target.log, (Log{{RepaintCells, 3 * 256 + 3}}));  // row 3 from the view's top
    target.log.clear();
    screen->placeCursor(1, 5);  // the old cursor cell and the new one
    EXPECT_EQ(target.log, (Log{{RepaintCells, 3 * 256 + 3}, {RepaintCells, 1 * 256 + 4}}));
    feed("x\r\n\n\n");
    EXPECT_EQ(target.log.back().first, RepaintAll);
    feed("\033[?3h");  // the host asks for 132 columns: the window may follow
    const std::pair<int, std::intptr_t> wide{ColumnsChanged, 132};
    EXPECT_NE(std::find(target.log.begin(), target.log.end(), wide), target.log.end());
    static int rings = 0;
    setBellHook([] { ++rings; });
    feed("\a\a");
    setBellHook(nullptr);
    feed("\a");
    EXPECT_EQ(rings, 2);
}

TEST_F(ScreenTest, ResizeHomesAnEmptyScreenAndKeepsEachLineAndTheCursorOnItsText) {
    size(10, 3, 5);
    screen->placeCursor(2, 3);  // nothing written yet: the cursor goes home
    screen->resize(20, 5, 0, 0, &target);
    EXPECT_EQ(screen->liveBottom, 5);
    expectCursor(1, 1);
    size(10, 4, 10);
    feed("abcdefghij\r\nl2\r\nl3\r\nl4\r\nl5\r\nl6");
    ASSERT_EQ(screen->liveTop, 3);
    screen->resize(5, 3, 0, 0, &target);
    EXPECT_EQ(line(1), "abcde");  // cut to the new width
    EXPECT_EQ(row(3), "l6");
    EXPECT_EQ(screen->liveTop, 4);
    expectCursor(3, 3);
    EXPECT_EQ(std::make_pair(screen->viewTop, screen->viewEnd), std::make_pair(4, 7));
    screen->resize(5, 6, 0, 0, &target);  // growing brings the scrollback back onto the screen
    EXPECT_EQ(screen->liveTop, 1);
    EXPECT_EQ(row(6), "l6");
    expectCursor(6, 3);
    // Shrinking drops the blank rows below the cursor first.
    size(10, 5, 10);
    feed("a\r\nb");
    screen->resize(10, 3, 0, 0, &target);
    EXPECT_EQ(row(1), "a");
    expectCursor(2, 2);
}

TEST_F(ScreenTest, SmallerScrollbackDropsOldestLinesAndKeepsSavedCursorInside) {
    size(10, 3, 2);
    feed("1\r\n2\r\n3\r\n4\r\n5");
    screen->saveCursor();
    screen->setScrollbackLines(0);
    EXPECT_EQ(screen->lastLine, 3);
    EXPECT_EQ(row(1), "3");
    EXPECT_EQ(row(3), "5");
    expectCursor(3, 2);
    screen->resize(10, 1, 0, 0, &target);
    screen->restoreCursor();
    EXPECT_EQ(screen->cursorLine, screen->liveBottom);
    EXPECT_EQ(row(1), "5");
}

TEST_F(ScreenTest, SizesAreLimitedAndAnUnsizedScreenIgnoresWrites) {
    screen = createScreen();
    attachScreen(screen.get());
    feed("before any layout");
    EXPECT_FALSE(screen->hasStorage());
    EXPECT_EQ(screen->lineCharacters(1)[kMaxColumns], 0);
    screen->setScrollbackLines(-4);
    EXPECT_EQ(screen->scrollbackLines, 0);
    screen->setScrollbackLines(100000);
    EXPECT_EQ(screen->scrollbackLines, kMaxScrollbackLines);
    screen->resize(0, 0, 0, 0, &target);
    EXPECT_EQ(std::make_pair(screen->columns, screen->rows), std::make_pair(1, 1));
    feed("xy\r\nz");
    EXPECT_EQ(row(1), "z");
    screen->resize(5000, 5000, 0, 0, &target);
    EXPECT_EQ(std::make_pair(screen->columns, screen->rows), std::make_pair(kMaxColumns, kMaxRows));
    feed("\r" + std::string(600, 'w'));
    EXPECT_EQ(screen->cursorColumn, 600 - 2 * kMaxColumns + 1);
}

}  // namespace
}  // namespace corvid1::testing
