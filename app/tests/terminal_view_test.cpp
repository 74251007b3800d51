// The terminal view on its own: painting from the cell attributes, cursor and selection,
// scrolling through the scrollback, repaint coalescing, pen selection, clipboard and keys.
// A real screen and interpreter feed it; a small host stands in for the main window.
#include "app/terminal_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

#include "app/dialogs/preferences.h"
#include "app/screen_bridge.h"
#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

using namespace corvid1;

namespace {

struct FakeHost : ViewHost {
    bool isConnected = false;
    int type = 0;
    int fontsOpened = 0;
    std::vector<std::string> sent;
    bool connected() const override { return isConnected; }
    void sendToSession(const char* text, int length) override { sent.emplace_back(text, length); }
    int terminalType() const override { return type; }
    void openFonts() override { ++fontsOpened; }
    void viewResized() override {}
};

}  // namespace

class TerminalViewTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TerminalScreen> screen_;
    std::unique_ptr<FakeHost> host_;
    std::unique_ptr<TerminalView> view_;
    ScreenBridge& bridge_ = ScreenBridge::instance();

    // A view of exactly `columns` x `rows` cells with the given scrollback.
    void makeView(int columns, int rows, int scrollback) {
        view_.reset();
        screen_ = createScreen();
        screen_->setScrollbackLines(scrollback);
        attachScreen(screen_.get());
        host_ = std::make_unique<FakeHost>();
        view_ = std::make_unique<TerminalView>(*screen_, bridge_, *host_);
        view_->setTerminalFont(makeTerminalFont(defaultTerminalFont()));
        bridge_.attachWindow(view_.get(),
                             [this](int message, std::intptr_t first, std::intptr_t second) {
                                 if (message == RepaintAll) view_->onRepaintAll();
                                 if (message == RepaintCells) view_->onRepaintCells(first, second);
                                 if (message == LiveTopChanged)
                                     view_->onLiveTopChanged(static_cast<int>(first));
                             });
        const QFontMetricsF metrics(view_->terminalFont());
        const int cw = qRound(metrics.horizontalAdvance(QLatin1Char('H')));
        const int ch = qRound(metrics.height());
        view_->resize(columns * cw + view_->scrollBar()->sizeHint().width(), rows * ch);
        QVERIFY(view_->layoutView());
        view_->resetScrollRange();
        QCOMPARE(screen_->columns, columns);
        QCOMPARE(screen_->rows, rows);
    }
    void print(const char* text) {
        QVERIFY(bridge_.tryChange([&] { printText(text); }));
    }
    QImage picture() { return view_->grab().toImage(); }
    // The colour in the middle of a cell's lower quarter (below most glyphs' ink? no: the
    // background shows at the cell's left edge between glyph strokes), sampled at its top-left.
    QRgb cellBackground(const QImage& image, int column, int row) {
        return image.pixel(column * view_->cellWidth(), row * view_->cellHeight()) & 0xFFFFFF;
    }
    // The darkest and the brightest grey level inside a cell (glyphs are anti-aliased, so the
    // text colour shows as the extreme away from the background).
    std::pair<int, int> cellRange(const QImage& image, int column, int row) {
        int darkest = 255;
        int brightest = 0;
        for (int y = 0; y < view_->cellHeight(); ++y) {
            for (int x = 0; x < view_->cellWidth(); ++x) {
                const int g = qGreen(
                    image.pixel(column * view_->cellWidth() + x, row * view_->cellHeight() + y));
                darkest = std::min(darkest, g);
                brightest = std::max(brightest, g);
            }
        }
        return {darkest, brightest};
    }

  private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
    }
    void cleanup() {
        bridge_.detachWindow();
        view_.reset();
        attachScreen(nullptr);
    }

    void coloursFollowTheAttributes() {
        makeView(40, 6, 10);
        // Row 1: reverse "AB", reverse blank cells never written (char 0) after them.
        // Row 2: bold text; row 3: bold reverse; row 4: reverse space then plain.
        print("\x1b[7mAB\r\n\x1b[m\x1b[1mbold\r\n\x1b[7mBR\x1b[m\r\n\x1b[7m \x1b[m x\r\nx\r\n");
        // Erase to the end of row 1 with reverse on: the cells keep reverse but hold 0.
        const QImage image = picture();
        QCOMPARE(cellBackground(image, 0, 0), QRgb(0x000000));  // reverse text: black
        QCOMPARE(cellBackground(image, 5, 0), QRgb(0xFFFFFF));  // empty cell stays white
        // Bold: grey text (0x64) on white, never darker.
        QVERIFY(cellRange(image, 0, 1).first >= 0x60 && cellRange(image, 0, 1).first <= 0x80);
        QVERIFY(cellRange(image, 0, 4).first < 0x40);           // plain "x" row: black text
        QCOMPARE(cellBackground(image, 0, 1), QRgb(0xFFFFFF));  // on white
        QCOMPARE(cellBackground(image, 0, 2), QRgb(0x000000));  // bold reverse: black
        QVERIFY(cellRange(image, 0, 2).second > 0xC0);          // with white text
        QCOMPARE(cellBackground(image, 0, 3), QRgb(0x000000));  // a reverse space is black
    }

    void coloursReverseScreenAndTheColourPreference() {
        makeView(20, 4, 0);
        // Cyan and red backgrounds, then a reverse screen.
        print("\x1b[46m  \x1b[41m  \x1b[m\r\n");
        QImage image = picture();
        QCOMPARE(cellBackground(image, 0, 0), QRgb(0x00A0A0));  // cyan is cyan
        QCOMPARE(cellBackground(image, 2, 0), QRgb(0xC00000));
        QCOMPARE(cellBackground(image, 5, 1), QRgb(0xFFFFFF));
        showColours = false;
        image = picture();
        QCOMPARE(cellBackground(image, 0, 0), QRgb(0xFFFFFF));
        showColours = true;
        print("\x1b[?5h");
        image = picture();
        QCOMPARE(cellBackground(image, 5, 1), QRgb(0x000000));
        QCOMPARE(cellBackground(image, 0, 0), QRgb(0x00A0A0));  // a chosen colour stays
    }

    void textAfterARenditionResetIsPlainWhateverCameBefore() {
        makeView(40, 6, 10);
        // A reverse status line across the whole row (as top draws its header), then ordinary
        // text the way vt100 applications end a rendition (ESC [ m SI: the character-set bit
        // stays set on every later cell), and underlined text.
        const std::string status = "\x1b[7m" + std::string(40, 'S') + "\x1b[m\x0f\r\n";
        print((status + "plain\r\n\x1b[4munder\x1b[m\r\n").c_str());
        const QImage image = picture();
        QCOMPARE(cellBackground(image, 0, 0), QRgb(0x000000));
        QCOMPARE(cellBackground(image, 0, 1), QRgb(0xFFFFFF));
        QVERIFY(cellRange(image, 0, 1).first < 0x40);
        QCOMPARE(cellBackground(image, 0, 2), QRgb(0xFFFFFF));
    }

    void reverseEmptyCellsStayWhite() {
        makeView(20, 4, 0);
        // Reverse video, then erase the line: the cells take the background only, and hold 0.
        print("\x1b[7mXXXXXXXX\r\x1b[K");
        QCOMPARE(screen_->attributeAt(1, 1), 0u);
        QCOMPARE(screen_->characterAt(1, 1), U'\0');
        const QImage image = picture();
        // The cursor inverts cell 0; the others show white.
        for (int c = 1; c < 8; ++c) QCOMPARE(cellBackground(image, c, 0), QRgb(0xFFFFFF));
    }

    void cursorIsABlockOnlyWhileItsLineIsShown() {
        makeView(20, 4, 20);
        for (int i = 0; i < 10; ++i) print("line\r\n");
        // The cursor stands on the last row, column 1: its cell is inverted (black).
        QCOMPARE(cellBackground(picture(), 0, 3), QRgb(0x000000));
        // Scrolled back so the cursor line is out of the view: no black cell anywhere there.
        view_->scrollViewBy(-4, true);
        const QImage back = picture();
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(cellBackground(back, 0, row) == 0x000000, false);
        }
        view_->scrollViewBy(4, true);
        QCOMPARE(cellBackground(picture(), 0, 3), QRgb(0x000000));
    }

    void scrollingClampsAtBothEnds() {
        makeView(20, 5, 30);
        for (int i = 1; i <= 40; ++i) print(("n" + std::to_string(i) + "\r\n").c_str());
        QCOMPARE(screen_->lastLine, 35);
        // At the top of the scrollback a line up changes nothing and asks for no paint.
        view_->scrollViewTo(0);
        QCOMPARE(screen_->viewTop, 1);
        QCOMPARE(view_->scrollViewBy(-1, true), 0);
        QCOMPARE(screen_->viewTop, 1);
        // A page up that would pass line 1 stops there and reports what was asked.
        view_->scrollViewTo(2);
        QCOMPARE(view_->scrollViewBy(-5, true), -5);
        QCOMPARE(screen_->viewTop, 1);
        // Page down near the end: the last visible line is lastLine.
        view_->scrollViewTo(28);
        view_->onVerticalScroll(PageDown, view_->scrollBar()->value());
        QCOMPARE(screen_->viewEnd, screen_->lastLine + 1);
        QCOMPARE(screen_->viewEnd - screen_->viewTop, 5);
        QCOMPARE(view_->scrollBar()->value(), screen_->viewTop - 1);
        // Dragging the thumb to p shows buffer line p + 1 at the top.
        view_->onVerticalScroll(ThumbDragged, 7);
        QCOMPARE(screen_->viewTop, 8);
        QCOMPARE(screen_->viewEnd, 13);
        // A position past the buffer is limited to the last page.
        view_->scrollViewTo(1000);
        QCOMPARE(screen_->viewEnd, screen_->lastLine + 1);
        // The scroll bar reaches the live screen of a full scrollback.
        QCOMPARE(view_->scrollBar()->maximum(), 30);
    }

    void theViewFollowsTheLiveScreen() {
        makeView(20, 4, 50);
        for (int i = 0; i < 10; ++i) print("x\r\n");
        QCOMPARE(screen_->viewTop, screen_->liveTop);
        QCOMPARE(view_->scrollBar()->value(), screen_->liveTop - 1);
        // Scrolled back, the next line of output brings the view back to the live screen.
        view_->onVerticalScroll(LineUp, view_->scrollBar()->value());
        view_->onVerticalScroll(LineUp, view_->scrollBar()->value());
        QCOMPARE(screen_->viewTop, screen_->liveTop - 2);
        print("y\r\n");
        QCOMPARE(screen_->viewTop, screen_->liveTop);
        QCOMPARE(screen_->viewEnd, screen_->liveTop + 4);
    }

    void repaintsAreCoalesced() {
        makeView(20, 4, 10);
        view_->show();
        QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
        QTest::qWait(50);
        const int before = view_->paintCount();
        for (int i = 0; i < 200; ++i) view_->onRepaintAll();
        QTest::qWait(50);
        QCOMPARE(view_->paintCount(), before);  // nothing yet: the timer paints
        QVERIFY(view_->repaintPending());
        view_->onRedrawTimer();
        QTest::qWait(50);
        QCOMPARE(view_->paintCount(), before + 1);
        QVERIFY(!view_->repaintPending());
        view_->onRedrawTimer();  // nothing pending: no paint
        QTest::qWait(50);
        QCOMPARE(view_->paintCount(), before + 1);
        // Many cell repaints between two passes of the event loop cost one paint.
        for (int i = 0; i < 15; ++i) print("a");
        QTest::qWait(50);
        QCOMPARE(view_->paintCount(), before + 2);
        // A cell repaint while a whole repaint is pending invalidates the whole area at once.
        view_->onRepaintAll();
        view_->onRepaintCells(0, 0);
        QVERIFY(!view_->repaintPending());
        QTest::qWait(50);
        QCOMPARE(view_->paintCount(), before + 3);
        view_->hide();
    }

    void penSelectionInBothDirections() {
        makeView(30, 6, 10);
        print("alpha beta\r\ngamma delta\r\nepsilon\r\n");
        const int cw = view_->cellWidth();
        const int ch = view_->cellHeight();
        const int bar = view_->barHeight();
        // Downwards from (6, line 1) to (5, line 2): "beta\r\ngamma".
        view_->onPenDown(6 * cw + 1, bar + 1);
        view_->onPenMove(5 * cw + 1, bar + ch + 1);
        view_->onPenUp();
        view_->copySelection();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("beta\r\ngamma"));
        // Upwards from (3, line 3) to (6, line 2): the same cells in reading order.
        view_->onPenDown(3 * cw + 1, bar + 2 * ch + 1);
        view_->onPenMove(6 * cw + 1, bar + ch + 1);
        view_->onPenUp();
        view_->copySelection();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("delta\r\neps"));
        // The upward band on the anchor row runs from the left edge to the anchor column.
        const QImage image = picture();
        QCOMPARE(cellBackground(image, 1, 2), QRgb(0x000000));
        QCOMPARE(cellBackground(image, 3, 2), QRgb(0xFFFFFF));
        // Moves without the pen down change nothing; a tap clears the highlight.
        view_->onPenMove(0, bar);
        view_->onPenDown(2 * cw, bar);
        view_->onPenUp();
        const auto tap = view_->selection();
        QCOMPARE(tap.startColumn, tap.endColumn);
        QCOMPARE(tap.startLine, tap.endLine);
    }

    void selectionNeverLeavesTheBuffer() {
        makeView(20, 4, 5);
        print("abc\r\n");
        // Dragged far outside the window in every direction: the ends stay in the buffer and
        // painting and copying work.
        view_->onPenDown(-500, -9000);
        view_->onPenMove(100000, 100000);
        view_->onPenUp();
        const auto sel = view_->selection();
        QVERIFY(sel.startLine >= 1 && sel.endLine <= screen_->lastLine);
        QVERIFY(sel.startColumn >= 0 && sel.endColumn <= screen_->columns);
        picture();
        view_->copySelection();
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("abc")));
    }

    void paintingStaysInsideTheBufferWhateverTheViewFields() {
        makeView(20, 4, 3);
        print("abc\r\ndef\r\n");
        // View fields far outside the buffer, a cursor beyond the last column, a selection
        // over lines that do not exist: every paint reads only cells the screen holds.
        const int tops[] = {-1000, 0, 1, 5, 8, 1000};
        for (const int top : tops) {
            {
                ScreenBridge::Access access(bridge_);
                screen_->viewTop = top;
                screen_->viewEnd = top + 4;
            }
            view_->onPenDown(0, -100000);
            view_->onPenMove(100000, 100000);
            view_->onPenUp();
            const QImage image = picture();
            QVERIFY(!image.isNull());
        }
        {
            ScreenBridge::Access access(bridge_);
            screen_->viewTop = 1;
            screen_->viewEnd = 100000;  // more rows than any screen has
        }
        QVERIFY(!picture().isNull());
    }

    void selectAllCopiesTheWholeBuffer() {
        makeView(20, 3, 4);
        print("one\r\ntwo\r\nthree\r\nfour");
        view_->selectAll();
        view_->copySelection();
        const QString text = QGuiApplication::clipboard()->text();
        QVERIFY(text.startsWith(QStringLiteral("one\r\ntwo\r\nthree\r\nfour")));
        QCOMPARE(text.count(QStringLiteral("\r\n")), screen_->lastLine - 1);
    }

    void cursorKeysFollowTheTerminalType() {
        makeView(20, 4, 0);
        view_->onKeyDown(38);  // not connected: dropped
        QVERIFY(host_->sent.empty());
        host_->isConnected = true;
        view_->onKeyDown(37);
        view_->onKeyDown(38);
        view_->onKeyDown(39);
        view_->onKeyDown(40);
        view_->onKeyDown(0x100 + 40);  // only the low 8 bits count
        view_->onKeyDown(36);          // Home: not a character key, nothing
        print("\x1b[?1h");             // cursor-key application mode
        view_->onKeyDown(38);
        print("\x1b[?2l");  // VT52 mode
        view_->onKeyDown(38);
        QVERIFY(!view_->onKeypadKey(Qt::Key_5, true));  // the keypad sends digits
        print("\x1b=");                                 // until keypad application mode
        QVERIFY(view_->onKeypadKey(Qt::Key_5, true));
        QVERIFY(view_->onKeypadKey(Qt::Key_F1, false));
        print("\x1b<");
        QVERIFY(view_->onKeypadKey(Qt::Key_Enter, true));
        QVERIFY(!view_->onKeypadKey(Qt::Key_5, false));  // the main keyboard's 5
        const std::vector<std::string> expected = {"\x1b[D",
                                                   "\x1b[A",
                                                   "\x1b[C",
                                                   "\x1b[B",
                                                   "\x1b[B",
                                                   "\x1bOA",
                                                   "\x1b"
                                                   "A",
                                                   "\x1b?u",
                                                   "\x1bP",
                                                   "\x1bOM"};
        QCOMPARE(host_->sent, expected);
    }

    void keyPressesBecomeCharacters() {
        makeView(20, 4, 0);
        host_->isConnected = true;
        QTest::keyClick(view_.get(), Qt::Key_A);
        QTest::keyClick(view_.get(), Qt::Key_Return);
        QTest::keyClick(view_.get(), Qt::Key_Tab);  // a character, not a focus move
        QTest::keyClick(view_.get(), Qt::Key_Up);
        QKeyEvent ctrlC(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("\x03"));
        QApplication::sendEvent(view_.get(), &ctrlC);
        view_->onCharacter(0x20AC);  // the euro sign has a byte of its own in the code page
        const std::vector<std::string> expected = {"a", "\r", "\t", "\x1b[A", "\x03", "\x80"};
        QCOMPARE(host_->sent, expected);
    }

    void pasteSendsTheClipboardOnlyWhileConnected() {
        makeView(20, 4, 0);
        QGuiApplication::clipboard()->setText(QStringLiteral("ls -l\ncaf\u00e9"));
        view_->pasteClipboard();
        QVERIFY(host_->sent.empty());
        host_->isConnected = true;
        view_->pasteClipboard();
        QCOMPARE(host_->sent.size(), std::size_t{1});
        QCOMPARE(host_->sent[0], std::string("ls -l\ncaf\xe9"));
    }

  private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TerminalViewTest)
#include "terminal_view_test.moc"
