// The terminal view on its own, fed by a real screen and interpreter, with a fake host.
#include "app/terminal_view.h"

#include <QtTest>
#include <QtWidgets>
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
    std::vector<std::string> sent;
    bool connected() const override { return isConnected; }
    void sendToSession(const char* text, int length) override { sent.emplace_back(text, length); }
    int terminalType() const override { return 0; }
    void openFonts() override {}
    void viewResized() override {}
};

constexpr QRgb kBlack = 0x000000, kWhite = 0xFFFFFF;

}  // namespace

class TerminalViewTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
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
        view_->resize(columns * qRound(metrics.horizontalAdvance('H')) +
                          view_->scrollBar()->sizeHint().width(),
                      rows * qRound(metrics.height()));
        QVERIFY(view_->layoutView());
        view_->resetScrollRange();
        QCOMPARE(screen_->columns, columns);
        QCOMPARE(screen_->rows, rows);
    }
    void print(const std::string& text) {
        QVERIFY(bridge_.tryChange([&] { printText(text.c_str()); }));
    }
    QImage picture() { return view_->grab().toImage(); }
    // A cell's background shows at its top-left pixel.
    QRgb background(const QImage& image, int column, int row) {
        return image.pixel(column * view_->cellWidth(), row * view_->cellHeight()) & 0xFFFFFF;
    }
    // The darkest grey level inside a cell: the text colour on a white background.
    int darkest(const QImage& image, int column, int row) {
        int low = 255;
        for (int y = 0; y < view_->cellHeight(); ++y)
            for (int x = 0; x < view_->cellWidth(); ++x)
                low = std::min(low, qGreen(image.pixel(column * view_->cellWidth() + x,
                                                       row * view_->cellHeight() + y)));
        return low;
    }
    QString dragAndCopy(int column, int row, int toColumn, int toRow) {
        const int cw = view_->cellWidth(), ch = view_->cellHeight(), bar = view_->barHeight();
        view_->onPenDown(column * cw + 1, bar + row * ch + 1);
        view_->onPenMove(toColumn * cw + 1, bar + toRow * ch + 1);
        view_->onPenUp();
        view_->copySelection();
        return QGuiApplication::clipboard()->text();
    }

  private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
    }
    void cleanup() {
        bridge_.detachWindow();
        view_.reset();
        attachScreen(nullptr);
        showColours = true;
    }

    void coloursFollowTheAttributes() {
        const struct {
            const char* stream;
            int column;  // the cell looked at, on the first row (the cursor ends on another)
            QRgb background;
            int darkestAtMost;  // -1: not looked at
        } cases[] = {
            {"\x1b[7mAB\r\n", 0, kBlack, -1},                  // reverse text
            {"\x1b[7mAB\r\n", 5, kWhite, -1},                  // never-written cells stay white
            {"\x1b[7mXXXX\r\x1b[K\r\n", 2, kWhite, -1},        // erased in reverse: background only
            {"\x1b[7m \x1b[m x\r\n", 0, kBlack, -1},           // a reverse space is black
            {"\x1b[1mbold\r\n", 0, kWhite, 0x80},              // bold is grey text on white...
            {"plain\r\n", 0, kWhite, 0x40},                    // ...plain is black
            {"\x1b[7mS\x1b[m\x0fplain\r\n", 1, kWhite, 0x40},  // after ESC [ m SI: plain again
            {"\x1b[4munder\x1b[m\r\n", 0, kWhite, 0x40},
            {"\x1b[46m  \x1b[41m  \r\n", 0, 0x00A0A0, -1},  // cyan is cyan
            {"\x1b[46m  \x1b[41m  \r\n", 2, 0xC00000, -1},
        };
        for (const auto& c : cases) {
            makeView(20, 4, 0);
            print(c.stream);
            const QImage image = picture();
            QCOMPARE(background(image, c.column, 0), c.background);
            if (c.darkestAtMost >= 0) QVERIFY(darkest(image, c.column, 0) <= c.darkestAtMost);
            if (c.darkestAtMost == 0x80) QVERIFY(darkest(image, c.column, 0) >= 0x60);
        }
        // Colours off: white; a reverse screen: black, but a chosen colour stays.
        showColours = false;
        QCOMPARE(background(picture(), 0, 0), kWhite);
        showColours = true;
        print("\x1b[?5h");
        QCOMPARE(background(picture(), 5, 2), kBlack);
        QCOMPARE(background(picture(), 0, 0), QRgb(0x00A0A0));
    }

    void cursorIsABlockOnlyWhileItsLineIsShown() {
        makeView(20, 4, 20);
        for (int i = 0; i < 10; ++i) print("line\r\n");
        QCOMPARE(background(picture(), 0, 3), kBlack);
        view_->scrollViewBy(-4, true);
        const QImage back = picture();
        for (int row = 0; row < 4; ++row) QCOMPARE(background(back, 0, row), kWhite);
        view_->scrollViewBy(4, true);
        QCOMPARE(background(picture(), 0, 3), kBlack);
    }

    void scrollingThroughTheScrollback() {
        makeView(20, 5, 30);
        for (int i = 1; i <= 40; ++i) print("n" + std::to_string(i) + "\r\n");
        QCOMPARE(screen_->lastLine, 35);
        QCOMPARE(view_->scrollBar()->maximum(), 30);  // reaches the live screen
        // Each step as "returned:viewTop-viewEnd".
        QStringList steps;
        auto step = [&](int returned) {
            steps << QString("%1:%2-%3").arg(returned).arg(screen_->viewTop).arg(screen_->viewEnd);
        };
        view_->scrollViewTo(0);
        step(view_->scrollViewBy(-1, true));  // at the top: nothing
        view_->scrollViewTo(2);
        step(view_->scrollViewBy(-5, true));  // stops at line 1
        view_->scrollViewTo(28);
        view_->onVerticalScroll(PageDown, view_->scrollBar()->value());
        step(view_->scrollBar()->value());
        view_->onVerticalScroll(ThumbDragged, 7);  // position p shows line p + 1 on top
        step(0);
        view_->scrollViewTo(1000);
        step(0);
        QCOMPARE(steps, (QStringList{"0:1-6", "-5:1-6", "30:31-36", "0:8-13", "0:31-36"}));
        // Scrolled back two lines, the next output brings the view back to the live screen.
        makeView(20, 4, 50);
        for (int i = 0; i < 10; ++i) print("x\r\n");
        view_->onVerticalScroll(LineUp, view_->scrollBar()->value());
        view_->onVerticalScroll(LineUp, view_->scrollBar()->value());
        QCOMPARE(screen_->viewTop, screen_->liveTop - 2);
        print("y\r\n");
        QCOMPARE(screen_->viewTop, screen_->liveTop);
        QCOMPARE(view_->scrollBar()->value(), screen_->liveTop - 1);
    }

    void repaintsAreCoalesced() {
        makeView(20, 4, 10);
        view_->show();
        QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
        QList<int> paints;
        auto count = [&] { QTest::qWait(50), paints << view_->paintCount() - paints.value(0); };
        count();
        for (int i = 0; i < 200; ++i) view_->onRepaintAll();
        count();  // the timer paints
        view_->onRedrawTimer();
        view_->onRedrawTimer();  // nothing pending the second time
        count();
        for (int i = 0; i < 15; ++i) print("a");  // cell repaints: one paint
        count();
        view_->onRepaintAll();
        view_->onRepaintCells(0, 0);  // with a whole repaint pending: the whole area at once
        QVERIFY(!view_->repaintPending());
        count();
        QCOMPARE(paints.mid(1), (QList<int>{0, 1, 2, 3}));
    }

    void penSelectionAndCopy() {
        makeView(30, 6, 10);
        print("alpha beta\r\ngamma delta\r\nepsilon\r\n");
        const struct {
            int column, row, toColumn, toRow;
            const char* copied;
        } cases[] = {{6, 0, 5, 1, "beta\r\ngamma"},  // downwards
                     {3, 2, 6, 1, "delta\r\neps"},   // upwards: the same cells in reading order
                     {2, 0, 4, 0, "ph"},             // within a line
                     {-500, -90, 1000, 1000, "alpha beta\r\ngamma delta\r\nepsilon"}};  // far out
        for (const auto& c : cases) {
            QVERIFY(dragAndCopy(c.column, c.row, c.toColumn, c.toRow).startsWith(c.copied));
            const auto sel = view_->selection();
            QVERIFY(sel.startLine >= 1 && sel.endLine <= screen_->lastLine &&
                    sel.startColumn >= 0 && sel.endColumn <= screen_->columns);
        }
        QCOMPARE(dragAndCopy(3, 2, 6, 1), QStringLiteral("delta\r\neps"));
        // The upward band on the anchor row runs from the left edge to the anchor column.
        const QImage image = picture();
        QCOMPARE(QList<QRgb>({background(image, 1, 2), background(image, 3, 2),
                              background(image, 6, 1), background(image, 5, 1)}),
                 QList<QRgb>({kBlack, kWhite, kBlack, kWhite}));
        // A tap clears the highlight; Select All takes the whole buffer.
        view_->onPenDown(2 * view_->cellWidth(), view_->barHeight());
        view_->onPenUp();
        QCOMPARE(background(picture(), 1, 2), kWhite);
        view_->selectAll();
        view_->copySelection();
        const QString all = QGuiApplication::clipboard()->text();
        QVERIFY(all.startsWith("alpha beta\r\ngamma delta\r\nepsilon\r\n"));
        QCOMPARE(all.count("\r\n"), screen_->lastLine - 1);
    }

    void paintingStaysInsideTheBufferWhateverTheViewFields() {
        makeView(20, 4, 3);
        print("abc\r\ndef\r\n");
        for (const int top : {-1000, 0, 1, 5, 8, 1000}) {
            {
                ScreenBridge::Access access(bridge_);
                screen_->viewTop = top;
                screen_->viewEnd = top == 1 ? 100000 : top + 4;
            }
            view_->onPenDown(0, -100000);
            view_->onPenMove(100000, 100000);
            view_->onPenUp();
            QVERIFY(!picture().isNull());
        }
    }

    void keysAndPasteSendWhatTheTerminalModeSays() {
        makeView(20, 4, 0);
        view_->onKeyDown(38);  // not connected: dropped
        QGuiApplication::clipboard()->setText(QString::fromUtf8("ls -l\ncaf\u00e9"));
        view_->pasteClipboard();
        QVERIFY(host_->sent.empty());
        host_->isConnected = true;
        for (int key : {37, 38, 39, 40, 0x100 + 40, 36})
            view_->onKeyDown(key);  // Home sends nothing
        print("\x1b[?1h");          // cursor-key application mode
        view_->onKeyDown(38);
        print("\x1b[?2l");  // VT52 mode
        view_->onKeyDown(38);
        QVERIFY(!view_->onKeypadKey(Qt::Key_5, true));  // the keypad sends digits...
        print("\x1b=");                                 // ...until keypad application mode
        QVERIFY(view_->onKeypadKey(Qt::Key_5, true));
        QVERIFY(view_->onKeypadKey(Qt::Key_F1, false));
        print("\x1b<");
        QVERIFY(view_->onKeypadKey(Qt::Key_Enter, true));
        QVERIFY(!view_->onKeypadKey(Qt::Key_5, false));  // the main keyboard's 5
        QTest::keyClick(view_.get(), Qt::Key_A);
        QTest::keyClick(view_.get(), Qt::Key_Return);
        QTest::keyClick(view_.get(), Qt::Key_Tab);  // a character, not a focus move
        QKeyEvent ctrlC(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, "\x03");
        QApplication::sendEvent(view_.get(), &ctrlC);
        view_->onCharacter(0x20AC);  // the euro sign has a byte of its own in the code page
        view_->pasteClipboard();     // one input, in the code page
        std::string sent;
        for (const std::string& input : host_->sent) sent += input + "|";
        QCOMPARE(sent, std::string("\x1b[D|\x1b[A|\x1b[C|\x1b[B|\x1b[B|\x1bOA|\x1b"
                                   "A|\x1b?u|\x1bP|\x1bOM|a|\r|\t|\x03|\x80|ls -l\ncaf\xe9|"));
    }
};

QTEST_MAIN(TerminalViewTest)
#include "terminal_view_test.moc"
