#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

class QScrollBar;

namespace corvid1 {

struct TerminalScreen;
class ScreenBridge;

// What the view needs of the window around it: whether input may go out, where it goes, the
// terminal type for the cursor keys, and the Font dialog of the popup menu.
struct ViewHost {
    virtual ~ViewHost() = default;
    virtual bool connected() const = 0;
    // Hands bytes to the running session (`sendInput`); nothing if there is none.
    virtual void sendToSession(const char* text, int length) = 0;
    virtual int terminalType() const = 0;  // 0 VT100, other values VT52
    virtual void openFonts() = 0;
    // The terminal area changed size; the window answers with `Relayout`.
    virtual void viewResized() = 0;
};

// Scroll bar requests, numbered as the platform numbers them.
enum ScrollRequest : int {
    LineUp = 0,
    LineDown = 1,
    PageUp = 2,
    PageDown = 3,
    ThumbReleased = 4,
    ThumbDragged = 5
};

// The terminal area below the command bar: a grid of character cells painted from the
// `TerminalScreen`, with the vertical scroll bar at its right edge. The fields of the view's
// `ViewState` live here. Every read of the screen happens with the screen lock held
// (ScreenBridge::Access) and goes through its line accessors, which never reach outside the
// arrays whatever the scroll position or selection.
class TerminalView : public QWidget {
    Q_OBJECT

  public:
    TerminalView(TerminalScreen& screen, ScreenBridge& bridge, ViewHost& host,
                 QWidget* parent = nullptr);

    // --- Layout (Part of the view) ---
    // Measures the cell from `font`, sizes the screen to the area and puts the view on the live
    // screen. Returns false (and changes nothing) when the screen may not be resized right now
    // because a feed is suspended in a notification; the caller tries again.
    bool layoutView();
    // Scroll bar range 0 .. scrollbackLines; the position is left alone.
    void resetScrollRange();
    void setTerminalFont(const QFont& font);
    const QFont& terminalFont() const { return font_; }

    // --- Scrolling ---
    int scrollViewBy(int lines, bool repaint);
    void scrollViewTo(int position);
    void onVerticalScroll(int code, int position);

    // --- The screen's notifications ---
    // On the user-interface thread. Each takes the screen lock and applies the notification.
    void onRepaintAll();
    void onRepaintCells(std::intptr_t end, std::intptr_t start);
    void onLiveTopChanged(int newLiveTop);
    void onRedrawTimer();
    // The same on the thread that sends them, which holds the screen lock (the session thread
    // in the middle of a feed). They change only the view's own fields and the screen's
    // viewTop and viewEnd, at once, so the screen goes on with the view state the notification
    // asked for; what the widgets must do (scroll bar, invalidation) is collected and done by
    // one flush on the user-interface thread a moment later. So a feed never waits for the
    // window, and any number of notifications between two flushes cost one paint.
    void noteRepaintAll();
    void noteRepaintCells(std::intptr_t end, std::intptr_t start);
    void noteLiveTopChanged(int newLiveTop);
    // The host switched between 80 and 132 columns: the window is widened or narrowed to fit
    // (on the user-interface thread, a moment later) when the preference allows it.
    void noteColumnsChanged(int columns);
    void fitColumns(int columns);
    // User-interface thread: applies what was collected (called by the flush timer; tests call
    // it to see the result at once).
    void flush();
    // Puts the scroll position (and the scroll bar) on the screen's viewTop.
    void syncScrollPosition();

    // --- Input (input.cpp) ---
    void onPenDown(int x, int y);
    void onPenMove(int x, int y);
    void onPenUp();
    void showPopupMenu(int x, int y);
    void copySelection();
    void pasteClipboard();
    void selectAll();
    void onKeyDown(int virtualKey);
    // A key of the numeric keypad (Qt key code): digits, point, minus, comma, Enter, or PF1..4
    // (F1..F4); false when it is none of them or the keypad sends plain characters.
    bool onKeypadKey(int key, bool keypad);
    void onCharacter(char16_t code);

    // --- State for the window and for tests ---
    int cellWidth() const { return cellWidth_; }
    int cellHeight() const { return cellHeight_; }
    int areaWidth() const { return areaWidth_; }
    int areaHeight() const { return areaHeight_; }
    int barHeight() const { return barHeight_; }
    void setBarHeight(int height) { barHeight_ = height; }
    bool repaintPending() const;
    QScrollBar* scrollBar() const { return scrollBar_; }
    struct Selection {
        int startColumn = 0, startLine = 1, endColumn = 0, endLine = 1;
    };
    Selection selection() const { return sel_; }
    bool penDown() const { return penDown_; }
    // How many paint events have run, so tests can see coalescing at work.
    int paintCount() const { return paintCount_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    void placeScrollBar();
    std::uint32_t keyModes() const;
    void paintText(class QPainter& painter, const QRect& dirty);
    void paintCursor(QPainter& painter);
    void paintSelection(QPainter& painter);
    void invertBand(QPainter& painter, int row, int fromX, int toX);
    void repaintArea();
    void requestFlush();
    int scrollViewByLocked(int lines);
    // The cell under a point in view coordinates, limited to the buffer.
    void cellAt(int x, int y, int& column, int& line) const;

    TerminalScreen& screen_;
    ScreenBridge& bridge_;
    ViewHost& host_;
    QScrollBar* scrollBar_ = nullptr;
    QFont font_;
    QPixmap cursorImage_;
    QString rowBuffer_;

    int cellWidth_ = 0;
    int cellHeight_ = 0;
    int areaWidth_ = 0;
    int areaHeight_ = 0;
    int barHeight_ = 0;
    Selection sel_;
    bool penDown_ = false;
    int paintCount_ = 0;
    QTimer* flushTimer_ = nullptr;

    // Guarded by the screen lock: written by notifications on the session thread too.
    bool repaintPending_ = false;
    int scrollPosition_ = 0;   // the scroll bar's position as the view logic knows it
    bool dirtyWhole_ = false;  // the whole area is to be repainted at the next flush
    bool dirtyCells_ = false;  // a rectangle of cells is to be repainted
    int dirtyFirstLine_ = 0;   // as buffer lines, so a scroll in between cannot misplace it
    int dirtyLastLine_ = 0;
    int dirtyFirstColumn_ = 0;  // zero-based
    int dirtyLastColumn_ = 0;
    bool flushRequested_ = false;
};

}  // namespace corvid1
