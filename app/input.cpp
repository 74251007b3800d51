// The input side of the terminal view: pen (left button) selection, the popup menu, the
// clipboard, and keys and characters for the session.
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <algorithm>
#include <string>
#include <vector>

#include "app/command_ids.h"
#include "app/dialogs/code_page.h"
#include "app/dialogs/preferences.h"
#include "app/screen_bridge.h"
#include "app/terminal_view.h"
#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace corvid1 {
namespace {

constexpr char kEsc = 27;

// The cursor keys by virtual key code 37..40 (left, up, right, down).
struct CursorKey {
    int virtualKey;
    char final;
};
constexpr CursorKey kCursorKeys[] = {{37, 'D'}, {38, 'A'}, {39, 'C'}, {40, 'B'}};

int floorDivide(int value, int divisor) {
    int q = value / divisor;
    if (value % divisor != 0 && value < 0) --q;
    return q;
}

}  // namespace

void TerminalView::cellAt(int x, int y, int& column, int& line) const {
    // Points left of or above the area round toward the cell they lie in, and every position is
    // kept inside the buffer, so the selection can never name a cell the screen does not hold.
    column = std::clamp(floorDivide(x, std::max(1, cellWidth_)), 0, screen_.columns);
    line = floorDivide(y, std::max(1, cellHeight_)) + screen_.viewTop;
    line = std::clamp(line, 1, std::max(1, screen_.lastLine));
}

void TerminalView::onPenDown(int x, int y) {
    if (penDown_) return;
    penDown_ = true;
    {
        ScreenBridge::Access access(bridge_);
        int column = 0;
        int line = 1;
        cellAt(x, y - barHeight_, column, line);
        sel_ = {column, line, column, line};
    }
    update();
}

void TerminalView::onPenMove(int x, int y) {
    if (!penDown_) return;
    {
        ScreenBridge::Access access(bridge_);
        cellAt(x, y - barHeight_, sel_.endColumn, sel_.endLine);
    }
    update();
}

void TerminalView::onPenUp() {
    penDown_ = false;
}

void TerminalView::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        onPenDown(p.x(), p.y() + barHeight_);
    } else if (event->button() == Qt::RightButton) {
        showPopupMenu(p.x(), p.y() + barHeight_);
    }
}

void TerminalView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (event->buttons() & Qt::LeftButton) onPenMove(p.x(), p.y() + barHeight_);
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) onPenUp();
}

void TerminalView::showPopupMenu(int x, int y) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("terminalPopup"));
    QAction* copy = menu.addAction(QStringLiteral("&Copy"));
    QAction* paste = menu.addAction(QStringLiteral("&Paste"));
    menu.addSeparator();
    QAction* font = menu.addAction(QStringLiteral("Font..."));
    menu.addSeparator();
    QAction* all = menu.addAction(QStringLiteral("Select &All"));
    copy->setData(kCmdCopy);
    paste->setData(kCmdPaste);
    font->setData(kCmdFonts);
    all->setData(kCmdSelectAll);
    // Horizontally centred on x - 30, top at y; x and y are window coordinates.
    const int left = x - 30 - menu.sizeHint().width() / 2;
    const QAction* chosen = menu.exec(mapToGlobal(QPoint(left, y - barHeight_)));
    if (chosen == nullptr) return;
    switch (chosen->data().toInt()) {
        case kCmdCopy:
            copySelection();
            break;
        case kCmdPaste:
            pasteClipboard();
            break;
        case kCmdFonts:
            host_.openFonts();
            break;
        case kCmdSelectAll:
            selectAll();
            break;
        default:
            break;
    }
}

void TerminalView::copySelection() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) return;
    std::u16string text;
    {
        ScreenBridge::Access access(bridge_);
        // Lines are limited again here: layouts and scrollback changes since the selection was
        // made may have shortened the buffer.
        const int last = std::max(1, screen_.lastLine);
        text = screen_.selectionText(
            std::clamp(sel_.startColumn, 0, screen_.columns), std::clamp(sel_.startLine, 1, last),
            std::clamp(sel_.endColumn, 0, screen_.columns), std::clamp(sel_.endLine, 1, last));
    }
    clipboard->setText(QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
}

void TerminalView::pasteClipboard() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) return;
    const QString text = clipboard->text();
    if (text.isEmpty() || !host_.connected()) return;
    const std::string encoded =
        encodeForHost(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          static_cast<std::size_t>(text.size())),
                      static_cast<RemoteCharset>(remoteCharsetChoice));
    host_.sendToSession(encoded.c_str(), static_cast<int>(encoded.size()));
}

void TerminalView::selectAll() {
    {
        ScreenBridge::Access access(bridge_);
        sel_ = {0, 1, screen_.columns, std::max(1, screen_.lastLine)};
    }
    update();
}

// The terminal's modes as the keys need them: VT52 or ANSI, cursor keys and keypad modes.
std::uint32_t TerminalView::keyModes() const {
    ScreenBridge::Access access(bridge_);
    return screen_.modes;
}

void TerminalView::onKeyDown(int virtualKey) {
    virtualKey &= 0xFF;
    if (!host_.connected()) return;
    const std::uint32_t modes = keyModes();
    for (const CursorKey& key : kCursorKeys) {
        if (key.virtualKey != virtualKey) continue;
        // VT52 mode: ESC x; ANSI mode: ESC [ x, or ESC O x in cursor-key application mode.
        if ((modes & ModeVt52) != 0) {
            const char sequence[] = {kEsc, key.final, 0};
            host_.sendToSession(sequence, 2);
        } else {
            const char sequence[] = {kEsc, (modes & ModeCursorKeys) != 0 ? 'O' : '[', key.final, 0};
            host_.sendToSession(sequence, 3);
        }
        return;
    }
}

bool TerminalView::onKeypadKey(int key, bool keypad) {
    // The keypad's keys and the final byte they send in keypad application mode; PF1..PF4 send
    // their sequences in either mode.
    static constexpr struct {
        int key;
        char final;
        bool function;
    } kKeypad[] = {
        {Qt::Key_0, 'p', false},      {Qt::Key_1, 'q', false},     {Qt::Key_2, 'r', false},
        {Qt::Key_3, 's', false},      {Qt::Key_4, 't', false},     {Qt::Key_5, 'u', false},
        {Qt::Key_6, 'v', false},      {Qt::Key_7, 'w', false},     {Qt::Key_8, 'x', false},
        {Qt::Key_9, 'y', false},      {Qt::Key_Minus, 'm', false}, {Qt::Key_Comma, 'l', false},
        {Qt::Key_Period, 'n', false}, {Qt::Key_Enter, 'M', false}, {Qt::Key_F1, 'P', true},
        {Qt::Key_F2, 'Q', true},      {Qt::Key_F3, 'R', true},     {Qt::Key_F4, 'S', true}};
    if (!host_.connected()) return false;
    const std::uint32_t modes = keyModes();
    for (const auto& entry : kKeypad) {
        if (entry.key != key || (!entry.function && (!keypad || (modes & ModeKeypad) == 0)))
            continue;
        // VT52 mode: ESC ? x for the keypad and ESC P..S for PF1..4; ANSI mode: ESC O x.
        const bool vt52 = (modes & ModeVt52) != 0;
        const char middle = vt52 ? '?' : 'O';
        if (vt52 && entry.function) {
            const char sequence[] = {kEsc, entry.final, 0};
            host_.sendToSession(sequence, 2);
        } else {
            const char sequence[] = {kEsc, middle, entry.final, 0};
            host_.sendToSession(sequence, 3);
        }
        return true;
    }
    return false;
}

void TerminalView::onCharacter(char16_t code) {
    if (!host_.connected()) return;
    // Typed text goes out in the remote character set; characters it lacks become '?'. A
    // surrogate half alone cannot be encoded and is sent as '?' too.
    const char16_t unit[1] = {code};
    const std::string bytes = encodeForHost(std::u16string_view(unit, 1),
                                            static_cast<RemoteCharset>(remoteCharsetChoice));
    if (bytes.empty()) return;
    host_.sendToSession(bytes.c_str(), static_cast<int>(bytes.size()));
}

void TerminalView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Left:
            onKeyDown(37);
            return;
        case Qt::Key_Up:
            onKeyDown(38);
            return;
        case Qt::Key_Right:
            onKeyDown(39);
            return;
        case Qt::Key_Down:
            onKeyDown(40);
            return;
        default:
            break;
    }
    if (onKeypadKey(event->key(), (event->modifiers() & Qt::KeypadModifier) != 0)) return;
    if (event->key() == Qt::Key_Return && (keyModes() & ModeNewLine) != 0) {
        // New-line mode: RETURN sends CR LF.
        if (host_.connected()) host_.sendToSession("\r\n", 2);
        return;
    }
    const QString text = event->text();
    if (text.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    const std::string bytes =
        encodeForHost(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          static_cast<std::size_t>(text.size())),
                      static_cast<RemoteCharset>(remoteCharsetChoice));
    if (host_.connected() && !bytes.empty())
        host_.sendToSession(bytes.c_str(), static_cast<int>(bytes.size()));
}

// Tab and Backtab are characters for the host, not focus moves.
bool TerminalView::focusNextPrevChild(bool) {
    return false;
}

}  // namespace corvid1
