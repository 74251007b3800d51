#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
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
// `TerminalScreen`, with the vertical scroll bar at its right edge. The fields of the design's
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

    // --- The screen's notifications (user-interface thread) ---
    void onRepaintAll();
    void onRepaintCells(std::intptr_t end, std::intptr_t start);
    void onLiveTopChanged(int newLiveTop);
    void onRedrawTimer();

    // --- Input (input.cpp) ---
    void onPenDown(int x, int y);
    void onPenMove(int x, int y);
    void onPenUp();
    void showPopupMenu(int x, int y);
    void copySelection();
    void pasteClipboard();
    void selectAll();
    void onKeyDown(int virtualKey);
    void onCharacter(char16_t code);

    // --- State for the window and for tests ---
    int cellWidth() const { return cellWidth_; }
    int cellHeight() const { return cellHeight_; }
    int areaWidth() const { return areaWidth_; }
    int areaHeight() const { return areaHeight_; }
    int barHeight() const { return barHeight_; }
    void setBarHeight(int height) { barHeight_ = height; }
    bool repaintPending() const { return repaintPending_; }
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
    void paintText(class QPainter& painter, const QRect& dirty);
    void paintCursor(QPainter& painter);
    void paintSelection(QPainter& painter);
    void invertBand(QPainter& painter, int row, int fromX, int toX);
    void repaintArea();
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
    bool repaintPending_ = false;
    int paintCount_ = 0;
};

}  // namespace corvid1
