#include "app/terminal_view.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <algorithm>

#include "app/dialogs/code_page.h"
#include "app/dialogs/preferences.h"
#include "app/screen_bridge.h"
#include "resources/resources.h"
#include "terminal/terminal_screen.h"

namespace corvid1 {
namespace {

constexpr QRgb kBlack = 0x000000;
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kBoldGrey = 0x646464;
constexpr QRgb kReverseBoldGrey = 0xA8A8A8;

// The part of the cursor image combined into the cursor cell at most.
constexpr int kCursorImageWidth = 70;
constexpr int kCursorImageHeight = 60;

// The eight ANSI colours, dark enough to read on the white background, and their bright forms
// for bold text.
constexpr QRgb kPalette[8] = {0x000000, 0xC00000, 0x008000, 0xA07800,
                              0x0000D0, 0xB000B0, 0x00A0A0, 0xC0C0C0};
constexpr QRgb kBrightPalette[8] = {0x606060, 0xFF3030, 0x00B000, 0xD0A000,
                                    0x3050FF, 0xE040E0, 0x00D0D0, 0xFFFFFF};

// Colours of a run by its attribute word. The normal colours are black on white, white on
// black on a reverse screen; chosen colours (when the Colour preference shows them) replace
// them, reverse video swaps text and background, and bold without a chosen colour is grey.
void coloursFor(std::uint32_t attribute, bool reverseScreen, QRgb& background, QRgb& text) {
    const bool foregroundSet = showColours && (attribute & CellForegroundSet) != 0;
    const bool backgroundSet = showColours && (attribute & CellBackgroundSet) != 0;
    const int fore = static_cast<int>((attribute & CellForegroundMask) >> 8);
    const bool bold = (attribute & CellBold) != 0;
    const QRgb normalText = reverseScreen ? kWhite : kBlack;
    const QRgb normalBackground = reverseScreen ? kBlack : kWhite;
    text = foregroundSet ? (bold ? kBrightPalette[fore] : kPalette[fore]) : normalText;
    background = backgroundSet ? kPalette[attribute & CellBackgroundMask] : normalBackground;
    if ((attribute & CellReverse) != 0) {
        std::swap(text, background);
    } else if (bold && !foregroundSet) {
        text = reverseScreen ? kReverseBoldGrey : kBoldGrey;
    }
}

// Draws the line-drawing glyphs of the DEC special graphics set (box lines, scan lines and the
// control pictures) from the cell's geometry, so they join from cell to cell whatever glyphs the
// font has. Returns false for other characters, which the font draws.
bool drawLineGlyph(QPainter& painter, const QRect& cell, char32_t c, QRgb colour,
                   const QFont& font) {
    const int x0 = cell.left(), x1 = cell.right() + 1, y0 = cell.top(), y1 = cell.bottom() + 1;
    const int mx = x0 + cell.width() / 2, my = y0 + cell.height() / 2;
    const int w = std::max(1, cell.width() / 8);
    const QColor pen(colour);
    auto across = [&](int from, int to, int y) {
        painter.fillRect(QRect(from, y - w / 2, to - from, w), pen);
    };
    auto down = [&](int from, int to) {
        painter.fillRect(QRect(mx - w / 2, from, w, to - from), pen);
    };
    // Left, right, up and down arms of each box-drawing character.
    struct Arms {
        char32_t c;
        bool left, right, up, downward;
    };
    static constexpr Arms kBox[] = {
        {0x2500, true, true, false, false}, {0x2502, false, false, true, true},
        {0x250C, false, true, false, true}, {0x2510, true, false, false, true},
        {0x2514, false, true, true, false}, {0x2518, true, false, true, false},
        {0x251C, false, true, true, true},  {0x2524, true, false, true, true},
        {0x252C, true, true, false, true},  {0x2534, true, true, true, false},
        {0x253C, true, true, true, true}};
    for (const Arms& arms : kBox) {
        if (arms.c != c) continue;
        if (arms.left) across(x0, arms.right ? x1 : mx + (w + 1) / 2, my);
        if (arms.right) across(arms.left ? x0 : mx - w / 2, x1, my);
        if (arms.up) down(y0, arms.downward ? y1 : my + (w + 1) / 2);
        if (arms.downward) down(arms.up ? y0 : my - w / 2, y1);
        return true;
    }
    if (c >= 0x23BA && c <= 0x23BD) {  // scan lines 1, 3, 7 and 9 of ten
        static constexpr int kScan[] = {1, 3, 7, 9};
        across(x0, x1, y0 + cell.height() * kScan[c - 0x23BA] / 10);
        return true;
    }
    // Control pictures: the two letters of the control's name, small, one above the other.
    static constexpr struct {
        char32_t c;
        const char* name;
    } kPictures[] = {{0x2409, "HT"}, {0x240C, "FF"}, {0x240D, "CR"},
                     {0x240A, "LF"}, {0x2424, "NL"}, {0x240B, "VT"}};
    for (const auto& picture : kPictures) {
        if (picture.c != c) continue;
        QFont small = font;
        small.setPixelSize(std::max(4, cell.height() / 2));
        small.setLetterSpacing(QFont::AbsoluteSpacing, 0);
        painter.setFont(small);
        painter.setPen(pen);
        const QRect upper(x0, y0, cell.width(), cell.height() / 2);
        const QRect lower(x0, my, cell.width(), cell.height() - cell.height() / 2);
        painter.drawText(upper, Qt::AlignLeft | Qt::AlignVCenter,
                         QString(QLatin1Char(picture.name[0])));
        painter.drawText(lower, Qt::AlignRight | Qt::AlignVCenter,
                         QString(QLatin1Char(picture.name[1])));
        return true;
    }
    return false;
}

// Division that rounds toward minus infinity, for cell positions left of or above the area.
int floorDiv(std::intptr_t value, int divisor) {
    std::intptr_t q = value / divisor;
    if (value % divisor != 0 && value < 0) --q;
    return static_cast<int>(q);
}

}  // namespace

TerminalView::TerminalView(TerminalScreen& screen, ScreenBridge& bridge, ViewHost& host,
                           QWidget* parent)
    : QWidget(parent), screen_(screen), bridge_(bridge), host_(host) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    scrollBar_ = new QScrollBar(Qt::Vertical, this);
    scrollBar_->setObjectName(QStringLiteral("terminalScrollBar"));
    scrollBar_->setFocusPolicy(Qt::NoFocus);
    scrollBar_->setSingleStep(1);
    connect(scrollBar_, &QScrollBar::actionTriggered, this, [this](int action) {
        switch (action) {
            case QAbstractSlider::SliderSingleStepSub:
                onVerticalScroll(LineUp, scrollBar_->value());
                break;
            case QAbstractSlider::SliderSingleStepAdd:
                onVerticalScroll(LineDown, scrollBar_->value());
                break;
            case QAbstractSlider::SliderPageStepSub:
                onVerticalScroll(PageUp, scrollBar_->value());
                break;
            case QAbstractSlider::SliderPageStepAdd:
                onVerticalScroll(PageDown, scrollBar_->value());
                break;
            case QAbstractSlider::SliderMove:
                onVerticalScroll(ThumbDragged, scrollBar_->sliderPosition());
                break;
            default:
                break;
        }
    });
    cursorImage_ = cursorImage();
    flushTimer_ = new QTimer(this);
    flushTimer_->setSingleShot(true);
    // At most one flush (and so one paint of what notifications asked for) per 16 ms.
    flushTimer_->setInterval(16);
    connect(flushTimer_, &QTimer::timeout, this, [this] { flush(); });
    resetScrollRange();
}

void TerminalView::setTerminalFont(const QFont& font) {
    // A desktop font's advance is rarely a whole number of pixels, while runs start at whole
    // cells: without this, a run's last glyph would be cut by the next run's background. The
    // spacing makes every glyph advance by exactly one cell.
    font_ = font;
    font_.setKerning(false);
    const qreal advance = QFontMetricsF(font_).horizontalAdvance(QLatin1Char('H'));
    const int cell = std::max(1, qRound(advance));
    font_.setLetterSpacing(QFont::AbsoluteSpacing, cell - advance);
    update();
}

bool TerminalView::layoutView() {
    areaWidth_ = std::max(0, width() - scrollBar_->sizeHint().width());
    areaHeight_ = height();
    const QFontMetricsF metrics(font_);
    const int measuredWidth = qRound(metrics.horizontalAdvance(QLatin1Char('H')));
    const int measuredHeight = qRound(metrics.height());
    if (measuredWidth > 0 && measuredHeight > 0) {
        const int columns = std::max(1, areaWidth_ / measuredWidth);
        const int rows = std::max(1, areaHeight_ / measuredHeight);
        const bool done = bridge_.tryChange([&] {
            screen_.resize(columns, rows, areaWidth_, areaHeight_, &bridge_);
            // The screen has put viewTop and viewEnd on its live screen.
        });
        if (!done) return false;
        cellWidth_ = measuredWidth;
        cellHeight_ = measuredHeight;
        rowBuffer_ = QString();
        rowBuffer_.reserve(screen_.columns + 1);
        syncScrollPosition();
    }
    placeScrollBar();
    return true;
}

void TerminalView::placeScrollBar() {
    scrollBar_->setGeometry(areaWidth_, 0, std::max(0, width() - areaWidth_), areaHeight_);
    scrollBar_->update();
}

void TerminalView::resetScrollRange() {
    int lines = 0;
    int rows = 0;
    {
        ScreenBridge::Access access(bridge_);
        lines = screen_.scrollbackLines;
        rows = screen_.rows;
    }
    const QSignalBlocker block(scrollBar_);
    // The range reaches the live screen: with a full scrollback its top line is
    // scrollbackLines + 1, at position scrollbackLines.
    scrollBar_->setRange(0, std::max(0, lines));
    scrollBar_->setPageStep(std::max(1, rows));
    scrollBar_->update();
}

void TerminalView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    host_.viewResized();
}

// ---------------------------------------------------------------------------------------------
// Painting

void TerminalView::paintEvent(QPaintEvent* event) {
    ++paintCount_;
    QPainter painter(this);
    const QRect dirty = event->rect();
    ScreenBridge::Access access(bridge_);
    const bool reverseScreen = screen_.hasMode(ModeReverseScreen);
    painter.fillRect(dirty, QColor(reverseScreen ? kBlack : kWhite));
    if (!screen_.hasStorage() || cellWidth_ <= 0 || cellHeight_ <= 0) return;
    paintText(painter, dirty);
    if (!screen_.hasMode(ModeHiddenCursor)) paintCursor(painter);
    paintSelection(painter);
}

void TerminalView::paintText(QPainter& painter, const QRect& dirty) {
    const int columns = std::min(screen_.columns, kMaxColumns);
    const bool reverseScreen = screen_.hasMode(ModeReverseScreen);
    const QRgb screenBackground = reverseScreen ? kBlack : kWhite;
    QRgb background = kWhite;
    QRgb text = kBlack;
    const int viewEnd = std::min(screen_.viewEnd, screen_.viewTop + kMaxRows);
    for (int line = screen_.viewTop, row = 0; line < viewEnd; ++line, ++row) {
        // Blank (never out of bounds) for lines outside the buffer.
        const Cell* characters = screen_.lineCharacters(line);
        const std::uint32_t* attributes = screen_.lineAttributes(line);
        const int top = row * cellHeight_;
        const bool drawRow = top < dirty.bottom() + 1 && top + cellHeight_ > dirty.top();
        if (!drawRow) continue;
        int c = 0;
        while (c < columns) {
            // A run of cells with one attribute word. Characters outside ASCII (line drawing,
            // accents from a fallback font, wide characters) are drawn one by one at their own
            // cell, so a glyph of another advance cannot push the rest of the row along.
            const std::uint32_t attribute = attributes[c];
            const int start = c;
            const bool single =
                characters[c] == 0 || displayedCharacter(characters[c], attribute) >= 0x80;
            ++c;
            if (!single) {
                while (c < columns && attributes[c] == attribute && characters[c] != 0 &&
                       displayedCharacter(characters[c], attribute) < 0x80) {
                    ++c;
                }
            }
            int count = c - start;
            if (characters[start] != kWideTail && c < columns && characters[c] == kWideTail)
                ++count;
            coloursFor(attribute, reverseScreen, background, text);
            const QRect rect(start * cellWidth_, top, count * cellWidth_, cellHeight_);
            if (!rect.intersects(dirty)) continue;
            if (characters[start] == 0 || characters[start] == kWideTail) {
                if (background != screenBackground) painter.fillRect(rect, QColor(background));
                continue;
            }
            rowBuffer_.clear();
            for (int k = start; k < c; ++k) {
                const char32_t shown = displayedCharacter(characters[k], attribute);
                if (shown > 0xFFFF) {
                    rowBuffer_.append(QChar::highSurrogate(shown));
                    rowBuffer_.append(QChar::lowSurrogate(shown));
                } else {
                    rowBuffer_.append(QChar(static_cast<char16_t>(shown)));
                }
            }
            QFont font = font_;
            if ((attribute & CellBold) != 0) font.setBold(true);
            if ((attribute & CellUnderline) != 0) font.setUnderline(true);
            if ((attribute & CellBlink) != 0) font.setItalic(true);  // blink drawn as italic
            painter.fillRect(rect, QColor(background));
            if (single &&
                drawLineGlyph(painter, rect, displayedCharacter(characters[start], attribute), text,
                              font))
                continue;
            painter.setFont(font);
            painter.setPen(QColor(text));
            painter.drawText(rect,
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip,
                             rowBuffer_);
        }
    }
}

void TerminalView::paintCursor(QPainter& painter) {
    if (screen_.cursorLine < screen_.viewTop || screen_.cursorLine >= screen_.viewEnd) return;
    const int x = (screen_.cursorColumn - 1) * cellWidth_;
    const int y = (screen_.cursorLine - screen_.viewTop) * cellHeight_;
    const QRect cell(x, y, std::min(cellWidth_, kCursorImageWidth),
                     std::min(cellHeight_, kCursorImageHeight));
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    if (!cursorImage_.isNull()) {
        painter.drawPixmap(cell.topLeft(), cursorImage_, QRect(QPoint(0, 0), cell.size()));
    } else {
        painter.fillRect(cell, QColor(kWhite));
    }
    painter.restore();
}

void TerminalView::invertBand(QPainter& painter, int row, int fromX, int toX) {
    if (fromX > toX) std::swap(fromX, toX);
    const int rows = std::min(screen_.viewEnd - screen_.viewTop, kMaxRows);
    if (row < 0 || row >= rows || fromX == toX) return;
    painter.fillRect(QRect(fromX, row * cellHeight_, toX - fromX, cellHeight_), QColor(kWhite));
}

void TerminalView::paintSelection(QPainter& painter) {
    if (sel_.startColumn == sel_.endColumn && sel_.startLine == sel_.endLine) return;
    // Window rows; limited so far-away lines cannot overflow the pixel arithmetic.
    const int rows = std::clamp(screen_.viewEnd - screen_.viewTop, 0, kMaxRows);
    const int a = std::clamp(sel_.startLine - screen_.viewTop, -1, rows);
    const int b = std::clamp(sel_.endLine - screen_.viewTop, -1, rows);
    const int startX = sel_.startColumn * cellWidth_;
    const int endX = sel_.endColumn * cellWidth_;
    const int right = areaWidth_;
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    if (a < b) {
        invertBand(painter, a, startX, right);
    } else if (a > b) {
        invertBand(painter, a, 0, startX);
    } else {
        invertBand(painter, a, startX, endX);
    }
    for (int row = std::min(a, b) + 1; row < std::max(a, b); ++row) {
        invertBand(painter, row, 0, right);
    }
    if (a < b) {
        invertBand(painter, b, 0, endX);
    } else if (a > b) {
        invertBand(painter, b, endX, right);
    }
    painter.restore();
}

void TerminalView::repaintArea() {
    update(0, 0, areaWidth_, areaHeight_);
}

// ---------------------------------------------------------------------------------------------
// Scrolling

int TerminalView::scrollViewByLocked(int lines) {
    TerminalScreen& s = screen_;
    if (lines >= 0 || s.viewTop > -lines) {
        if (s.viewEnd + lines > s.lastLine) {
            s.viewTop = s.lastLine + 1 - s.rows;
            s.viewEnd = s.lastLine + 1;
        } else {
            s.viewTop += lines;
            s.viewEnd += lines;
        }
    } else {
        if (s.viewTop <= 1) return 0;
        s.viewTop = 1;
        s.viewEnd = 1 + s.rows;
    }
    // A screen shorter than its rows (not sized yet) cannot put the top above line 1.
    if (s.viewTop < 1) {
        s.viewTop = 1;
        s.viewEnd = 1 + s.rows;
    }
    return lines;
}

int TerminalView::scrollViewBy(int lines, bool repaint) {
    int result = 0;
    {
        ScreenBridge::Access access(bridge_);
        result = scrollViewByLocked(lines);
    }
    if (result == 0 && lines < 0) return 0;
    if (repaint) repaintArea();
    return result;
}

void TerminalView::scrollViewTo(int position) {
    {
        ScreenBridge::Access access(bridge_);
        // Limited to the buffer, so the view never starts below the last line it could show.
        const int highest = std::max(0, screen_.lastLine - screen_.rows);
        position = std::clamp(position, 0, highest);
        screen_.viewTop = position + 1;
        screen_.viewEnd = position + screen_.rows + 1;
    }
    repaintArea();
}

void TerminalView::onVerticalScroll(int code, int position) {
    int moved = 0;
    switch (code) {
        case LineUp:
            moved = scrollViewBy(-1, true);
            break;
        case LineDown:
            moved = scrollViewBy(1, true);
            break;
        case PageUp:
            moved = scrollViewBy(-screen_.rows, true);
            break;
        case PageDown:
            moved = scrollViewBy(screen_.rows, true);
            break;
        case ThumbReleased:
        case ThumbDragged:
            scrollViewTo(position);
            break;
        default:
            return;
    }
    (void)moved;
    // The position follows the view (viewTop - 1) rather than pos + moved: a clamped move then
    // leaves the thumb where the text is, which thumb drags and live-screen following rely on.
    int top = 1;
    {
        ScreenBridge::Access access(bridge_);
        top = screen_.viewTop;
        scrollPosition_ = top - 1;
    }
    scrollBar_->setSliderPosition(top - 1);
}

void TerminalView::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 40;
    if (steps == 0) return;
    scrollViewBy(-steps, true);
    syncScrollPosition();
}

// ---------------------------------------------------------------------------------------------
// Notifications

bool TerminalView::repaintPending() const {
    ScreenBridge::Access access(bridge_);
    return repaintPending_;
}

void TerminalView::requestFlush() {
    if (flushRequested_) return;
    flushRequested_ = true;
    // Posted, never waited for: the flush timer lives on the user-interface thread.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!flushTimer_->isActive()) flushTimer_->start();
        },
        Qt::QueuedConnection);
}

void TerminalView::noteRepaintAll() {
    repaintPending_ = true;
}

void TerminalView::noteRepaintCells(std::intptr_t end, std::intptr_t start) {
    if (repaintPending_) {
        repaintPending_ = false;
        dirtyWhole_ = true;
        requestFlush();
        return;
    }
    const int startRow = floorDiv(start, 256);
    const int startColumn = static_cast<int>(start - std::intptr_t{startRow} * 256);
    const int endRow = floorDiv(end, 256);
    const int endColumn = static_cast<int>(end - std::intptr_t{endRow} * 256);
    const int firstLine = screen_.viewTop + std::min(startRow, endRow);
    const int lastLine = screen_.viewTop + std::max(startRow, endRow);
    const int firstColumn = std::min(startColumn, endColumn);
    const int lastColumn = std::max(startColumn, endColumn);
    if (!dirtyCells_) {
        dirtyCells_ = true;
        dirtyFirstLine_ = firstLine;
        dirtyLastLine_ = lastLine;
        dirtyFirstColumn_ = firstColumn;
        dirtyLastColumn_ = lastColumn;
    } else {
        dirtyFirstLine_ = std::min(dirtyFirstLine_, firstLine);
        dirtyLastLine_ = std::max(dirtyLastLine_, lastLine);
        dirtyFirstColumn_ = std::min(dirtyFirstColumn_, firstColumn);
        dirtyLastColumn_ = std::max(dirtyLastColumn_, lastColumn);
    }
    requestFlush();
}

void TerminalView::noteLiveTopChanged(int newLiveTop) {
    if (screen_.liveTop - 1 == scrollPosition_) return;
    const int distance = (screen_.liveTop - 1) - scrollPosition_;
    scrollPosition_ = newLiveTop - 1;
    // The repaint itself comes from the screen's own RepaintAll or RepaintCells.
    scrollViewByLocked(distance);
    requestFlush();
}

void TerminalView::noteColumnsChanged(int columns) {
    QMetaObject::invokeMethod(
        this, [this, columns] { fitColumns(columns); }, Qt::QueuedConnection);
}

void TerminalView::fitColumns(int columns) {
    if (!fitWindowToColumns || cellWidth_ <= 0) return;
    const int wanted = columns * cellWidth_ + scrollBar_->sizeHint().width();
    QWidget* top = window();
    top->resize(top->width() + wanted - width(), top->height());
}

void TerminalView::flush() {
    bool whole = false;
    QRect cells;
    int position = 0;
    {
        ScreenBridge::Access access(bridge_);
        flushRequested_ = false;
        whole = dirtyWhole_;
        if (dirtyCells_ && !whole) {
            const int top = (dirtyFirstLine_ - screen_.viewTop) * cellHeight_;
            const int bottom = (dirtyLastLine_ - screen_.viewTop + 1) * cellHeight_;
            cells = QRect(QPoint(dirtyFirstColumn_ * cellWidth_, top),
                          QPoint((dirtyLastColumn_ + 1) * cellWidth_ - 1, bottom - 1));
        }
        dirtyWhole_ = false;
        dirtyCells_ = false;
        position = scrollPosition_;
    }
    if (scrollBar_->value() != position) {
        const QSignalBlocker block(scrollBar_);
        scrollBar_->setValue(position);
    }
    if (whole) {
        repaintArea();
    } else {
        cells = cells.intersected(rect());
        if (!cells.isEmpty()) update(cells);
    }
}

void TerminalView::onRepaintAll() {
    ScreenBridge::Access access(bridge_);
    noteRepaintAll();
}

void TerminalView::onRedrawTimer() {
    {
        ScreenBridge::Access access(bridge_);
        if (!repaintPending_) return;
        repaintPending_ = false;
    }
    repaintArea();
}

void TerminalView::onRepaintCells(std::intptr_t end, std::intptr_t start) {
    {
        ScreenBridge::Access access(bridge_);
        noteRepaintCells(end, start);
    }
    flush();
}

void TerminalView::onLiveTopChanged(int newLiveTop) {
    {
        ScreenBridge::Access access(bridge_);
        noteLiveTopChanged(newLiveTop);
    }
    flush();
}

void TerminalView::syncScrollPosition() {
    {
        ScreenBridge::Access access(bridge_);
        scrollPosition_ = screen_.viewTop - 1;
    }
    flush();
}

}  // namespace corvid1
