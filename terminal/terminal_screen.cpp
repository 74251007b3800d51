#include "terminal/terminal_screen.h"

#include <algorithm>
#include <cstring>

namespace corvid1 {

namespace {

// What a line outside the buffer reads as: long enough for any screen width and for the
// cursor's column one past the last.
constexpr char kBlankCharacters[kMaxColumns + 1] = {};
constexpr std::uint32_t kBlankAttributes[kMaxColumns + 1] = {};

BellHook bellHook = nullptr;

int clampInt(long long value, int low, int high) {
    if (value < low) return low;
    if (value > high) return high;
    return static_cast<int>(value);
}

// Windows-1252 for 0x80..0x9F; the rest of the code page equals Latin-1.
constexpr char16_t kCodePageHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char16_t codePageToUtf16(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0) return kCodePageHigh[byte - 0x80];
    return byte;
}

void setBellHook(BellHook hook) {
    bellHook = hook;
}

std::unique_ptr<TerminalScreen> createScreen() {
    return std::make_unique<TerminalScreen>();
}

// ---------------------------------------------------------------------------------------------
// Storage. Buffer line l lives in the storage slot slots_[(ringStart_ + l - 1) mod lines]. The
// ring start moves when the oldest line is dropped, and the slot table is permuted when lines
// move inside the buffer, so neither copies cells and a line feed costs the same whatever the
// scrollback length.

int TerminalScreen::slotOfLine(int line) const {
    const int lines = lastLine + 1;
    int position = ringStart_ + line - 1;
    if (position >= lines) position -= lines;
    return slots_[position];
}

char* TerminalScreen::charactersOf(int line) {
    return characters_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

std::uint32_t* TerminalScreen::attributesOf(int line) {
    return attributes_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

const char* TerminalScreen::lineCharacters(int line) const {
    if (!hasStorage() || line < 1 || line > lastLine + 1) return kBlankCharacters;
    return characters_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

const std::uint32_t* TerminalScreen::lineAttributes(int line) const {
    if (!hasStorage() || line < 1 || line > lastLine + 1) return kBlankAttributes;
    return attributes_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

char TerminalScreen::characterAt(int line, int column) const {
    if (column < 1 || column > columns) return 0;
    return lineCharacters(line)[column - 1];
}

std::uint32_t TerminalScreen::attributeAt(int line, int column) const {
    if (column < 1 || column > columns) return 0;
    return lineAttributes(line)[column - 1];
}

void TerminalScreen::clearLine(int line) {
    std::memset(charactersOf(line), 0, columns);
    std::fill_n(attributesOf(line), columns, 0u);
}

// Lines first..last (buffer lines) move up by `by` lines (down when negative); the lines left
// behind are cleared. Only slot numbers move.
void TerminalScreen::moveLines(int first, int last, int by) {
    const int count = last - first + 1;
    if (count <= 0 || by == 0) return;
    by = std::clamp(by, -count, count);
    std::vector<int> order(count);
    for (int k = 0; k < count; ++k) order[k] = slotOfLine(first + k);
    if (by > 0) {
        std::rotate(order.begin(), order.begin() + by, order.end());
    } else {
        std::rotate(order.begin(), order.end() + by, order.end());
    }
    const int lines = lastLine + 1;
    for (int k = 0; k < count; ++k) {
        int position = ringStart_ + first + k - 1;
        if (position >= lines) position -= lines;
        slots_[position] = order[k];
    }
    if (by > 0) {
        for (int line = last - by + 1; line <= last; ++line) clearLine(line);
    } else {
        for (int line = first; line < first - by; ++line) clearLine(line);
    }
}

// Builds storage for a new size. With keepText, each line keeps its text cut or padded to the
// new width, the live screen ends at the last line in use (or lower, to keep the old bottom
// when the screen grows), and lines that no longer fit are dropped oldest first. Without it,
// the live screen and cursor go home, which is all a screen without output needs.
void TerminalScreen::rebuild(int newColumns, int newRows, int newScrollback, bool keepText) {
    const int newLastLine = newRows + newScrollback;
    const int newLines = newLastLine + 1;
    std::vector<char> newCharacters(static_cast<std::size_t>(newLines) * newColumns, 0);
    std::vector<std::uint32_t> newAttributes(newCharacters.size(), 0);

    int newBottom = newRows;
    int dropped = 0;
    if (keepText && hasStorage()) {
        int lastUsed = std::min(cursorLine, liveBottom);
        for (int line = liveBottom; line > lastUsed; --line) {
            const char* text = lineCharacters(line);
            if (std::any_of(text, text + columns, [](char c) { return c != 0; })) {
                lastUsed = line;
                break;
            }
        }
        const int shrink = rows - newRows;
        newBottom =
            std::max(newRows, std::min(liveBottom, std::max(lastUsed, liveBottom - shrink)));
        dropped = std::max(0, newBottom - newLastLine);
        newBottom -= dropped;
        const int width = std::min(columns, newColumns);
        for (int line = 1; line <= newBottom; ++line) {
            const int oldLine = line + dropped;
            if (oldLine > liveBottom) break;
            const std::size_t target = static_cast<std::size_t>(line - 1) * newColumns;
            std::memcpy(newCharacters.data() + target, lineCharacters(oldLine), width);
            std::copy_n(lineAttributes(oldLine), width, newAttributes.data() + target);
        }
    }

    characters_ = std::move(newCharacters);
    attributes_ = std::move(newAttributes);
    slots_.resize(newLines);
    for (int k = 0; k < newLines; ++k) slots_[k] = k;
    ringStart_ = 0;

    const bool rowsChanged = newRows != rows || regionTop < 1 || regionBottom > newRows;
    rows = newRows;
    columns = newColumns;
    scrollbackLines = newScrollback;
    lastLine = newLastLine;
    cellCount = newLines * newColumns;
    liveBottom = newBottom;
    liveTop = liveBottom - rows + 1;
    if (keepText) {
        cursorLine = clampInt(static_cast<long long>(cursorLine) - dropped, liveTop, liveBottom);
        cursorColumn = std::clamp(cursorColumn, 1, columns + 1);
        if (rowsChanged) {
            regionTop = 1;
            regionBottom = rows;
        }
    } else {
        cursorLine = 1;
        cursorColumn = 1;
        regionTop = 1;
        regionBottom = rows;
    }
    // A saved cursor must still name a line and column of the new buffer.
    savedLine = clampInt(static_cast<long long>(savedLine) - dropped, 1, liveBottom);
    savedColumn = std::clamp(savedColumn, 1, columns + 1);
    viewTop = liveTop;
    viewEnd = liveTop + rows;
}

void TerminalScreen::resize(int newColumns, int newRows, int newPixelWidth, int newPixelHeight,
                            NotificationTarget* window) {
    notifyWindow = window;
    pixelWidth = newPixelWidth;
    pixelHeight = newPixelHeight;
    rebuild(std::clamp(newColumns, 1, kMaxColumns), std::clamp(newRows, 1, kMaxRows),
            scrollbackLines, holdsOutput_);
}

void TerminalScreen::releaseBuffers() {
    // Move-assigning empty vectors frees the storage (assigning {} would keep the capacity).
    characters_ = std::vector<char>();
    attributes_ = std::vector<std::uint32_t>();
    slots_ = std::vector<int>();
    ringStart_ = 0;
    cellCount = 0;  // no cells until the next resize
    holdsOutput_ = false;
}

void TerminalScreen::setScrollbackLines(int n) {
    n = std::clamp(n, 0, kMaxScrollbackLines);
    if (!hasStorage()) {
        scrollbackLines = n;
        lastLine = rows + n;
        cellCount = 0;
        return;
    }
    rebuild(columns, rows, n, true);
}

void TerminalScreen::resetState() {
    for (int k = 0; k < 16; ++k) tabStops[k] = 8 * (k + 1);
    savedColumn = 1;
    savedLine = 1;
    cursorColumn = 1;
    cursorLine = 1;
    if (!hasStorage()) {
        regionTop = FirstPosition;
        regionBottom = LastPosition;
    }
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TerminalScreen::notify(int message, std::intptr_t first, std::intptr_t second) {
    if (notifyWindow != nullptr) notifyWindow->send(message, first, second);
}

// Cells in window-relative rows (0 = viewTop) and zero-based columns. A column never passes the
// cursor's place one beyond the last cell, which keeps it inside the word's 8 bits.
void TerminalScreen::repaintCells(int line1, int column1, int line2, int column2) {
    auto cell = [this](int line, int column) {
        return static_cast<std::intptr_t>(line - viewTop) * 256 +
               std::clamp(column - 1, 0, columns);
    };
    notify(RepaintCells, cell(line2, column2), cell(line1, column1));
}

void TerminalScreen::repaintCursorCell() {
    repaintCells(cursorLine, cursorColumn, cursorLine, cursorColumn);
}

// ---------------------------------------------------------------------------------------------
// Writing

void TerminalScreen::putCells(int column, int line, const char* bytes, int renditionFlags,
                              int backgroundColour, int count) {
    if (!hasStorage() || line < 1 || line > lastLine + 1 || column < 1 || column > columns) return;
    count = std::min(count, columns - column + 1);
    if (count <= 0) return;
    const std::uint32_t word = (static_cast<std::uint32_t>(renditionFlags) << 8) +
                               static_cast<std::uint32_t>(backgroundColour);
    std::memcpy(charactersOf(line) + column - 1, bytes, count);
    std::fill_n(attributesOf(line) + column - 1, count, word);
}

void TerminalScreen::lineFeed() {
    const int regionBottomLine = liveBottom - (rows - regionBottom);
    if (cursorLine < regionBottomLine) {
        ++cursorLine;
    } else if (regionTop != 1 || regionBottom != rows) {
        scrollRegionUp(regionTop, regionBottom);
    } else if (liveBottom < lastLine) {
        ++liveBottom;
        cursorLine = liveBottom;
        liveTop = liveBottom - rows + 1;
        notify(LiveTopChanged, liveTop, 0);
    } else {
        dropOldestLine();
    }
}

void TerminalScreen::writeText(const char* text, int count) {
    if (!hasStorage() || text == nullptr) return;
    int topLine = cursorLine, bottomLine = cursorLine;
    int leftColumn = cursorColumn, rightColumn = cursorColumn;
    auto includeCursor = [&] {
        topLine = std::min(topLine, cursorLine);
        bottomLine = std::max(bottomLine, cursorLine);
        leftColumn = std::min(leftColumn, cursorColumn);
        rightColumn = std::max(rightColumn, cursorColumn);
    };
    bool lineBreakSeen = false;
    int position = 0;
    while (position < count) {
        // One segment: the bytes that fit on the cursor's row up to the next CR, LF or 0.
        const int start = position;
        const int limit = std::min(count, position + std::max(0, columns - (cursorColumn - 1)));
        while (position < limit) {
            const char byte = text[position];
            if (byte == 0 || byte == '\n' || byte == '\r') break;
            ++position;
        }
        const int length = position - start;
        enum { Exhausted, End, NewLine, Return } stop = Exhausted;
        if (position < count) {
            const char byte = text[position];
            if (byte == 0) {
                stop = End;
            } else if (byte == '\n') {
                ++position;
                stop = NewLine;
            } else if (byte == '\r') {
                ++position;
                stop = Return;
                if (position < count && text[position] == '\n') {
                    ++position;
                    stop = NewLine;
                }
            } else {
                stop = NewLine;  // the row is full: wrap before this byte
            }
        }
        if (length > 0) {
            putCells(cursorColumn, cursorLine, text + start, rendition, background, length);
            cursorColumn += length;
            holdsOutput_ = true;
        }
        includeCursor();
        if (stop == End) break;
        if (stop == Return) {
            cursorColumn = 1;
        } else if (stop == NewLine) {
            lineBreakSeen = true;
            holdsOutput_ = true;
            cursorColumn = 1;
            lineFeed();
        }
        includeCursor();
    }
    if (lineBreakSeen) {
        notify(RepaintAll, 0, 0);
    } else {
        repaintCells(topLine, leftColumn, bottomLine, rightColumn);
    }
}

void TerminalScreen::normalizePositions(int& line1, int& column1, int& line2, int& column2) const {
    auto line = [this](int& value) {
        long long resolved;
        if (value == AtCursor) {
            resolved = cursorLine;
        } else if (value == FirstPosition) {
            resolved = liveTop;
        } else if (value == LastPosition) {
            resolved = liveBottom;
        } else {
            resolved = static_cast<long long>(liveTop) + value - 1;
        }
        value = clampInt(resolved, 1, liveBottom);
    };
    auto column = [this](int& value) {
        if (value == AtCursor) {
            value = cursorColumn;
        } else if (value == FirstPosition) {
            value = 1;
        } else if (value == LastPosition) {
            value = columns + 1;
        }
        value = std::clamp(value, 1, columns + 1);
    };
    line(line1);
    column(column1);
    line(line2);
    column(column2);
}

void TerminalScreen::placeCursor(int row, int column) {
    if (!hasStorage()) return;
    int line2 = AtCursor, column2 = AtCursor;
    normalizePositions(row, column, line2, column2);
    const int oldLine = cursorLine, oldColumn = cursorColumn;
    cursorLine = row;
    cursorColumn = column;
    repaintCells(oldLine, oldColumn, oldLine, oldColumn);
    repaintCursorCell();
}

void TerminalScreen::stepCursor(int lineDelta, int columnDelta) {
    if (!hasStorage()) return;
    const int oldLine = cursorLine, oldColumn = cursorColumn;
    cursorColumn = clampInt(static_cast<long long>(cursorColumn) + columnDelta, 1, columns + 1);
    cursorLine = clampInt(static_cast<long long>(cursorLine) + lineDelta, liveTop, liveBottom);
    repaintCells(oldLine, oldColumn, oldLine, oldColumn);
    repaintCursorCell();
}

void TerminalScreen::saveCursor() {
    savedColumn = cursorColumn;
    savedLine = cursorLine;
}

void TerminalScreen::restoreCursor() {
    cursorColumn = std::clamp(savedColumn, 1, std::max(1, columns + 1));
    cursorLine = std::clamp(savedLine, 1, std::max(1, liveBottom));
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::setRendition(int flags, int backgroundColour) {
    rendition = flags;
    background = backgroundColour;
}

void TerminalScreen::getRendition(int& flags, int& backgroundColour) const {
    flags = rendition;
    backgroundColour = background;
}

void TerminalScreen::setScrollRegion(int top, int bottom) {
    if (rows < 1) return;
    if (top < 1) top = 1;
    if (bottom < 1 || bottom > rows) bottom = rows;
    if (top > bottom) return;
    regionTop = top;
    regionBottom = bottom;
}

void TerminalScreen::scrollRegionUp(int top, int bottom) {
    if (!hasStorage() || top < 1 || bottom > rows || top > bottom) return;
    moveLines(liveTop + top - 1, liveTop + bottom - 1, 1);
}

void TerminalScreen::scrollRegionDown(int top, int bottom) {
    if (!hasStorage() || top < 1 || bottom > rows || top > bottom) return;
    moveLines(liveTop + top - 1, liveTop + bottom - 1, -1);
}

void TerminalScreen::dropOldestLine() {
    if (!hasStorage()) return;
    const int lines = lastLine + 1;
    if (++ringStart_ == lines) ringStart_ = 0;
    clearLine(lines);  // the former first line, now the spare line below lastLine
}

void TerminalScreen::eraseRange(int line1, int column1, int line2, int column2) {
    if (!hasStorage()) return;
    normalizePositions(line1, column1, line2, column2);
    // Offsets run through the buffer in reading order; column columns + 1 is the start of the
    // next line.
    long long from = static_cast<long long>(line1 - 1) * columns + (column1 - 1);
    const long long to = static_cast<long long>(line2 - 1) * columns + (column2 - 1);
    while (from < to) {
        const int line = static_cast<int>(from / columns) + 1;
        const int column = static_cast<int>(from % columns);
        const long long end = std::min<long long>(to, static_cast<long long>(line) * columns);
        std::memset(charactersOf(line) + column, 0, static_cast<std::size_t>(end - from));
        from = end;
    }
    notify(RepaintAll, 0, 0);
}

// Deleting one character shifts the run from the cursor cell up to the first empty cell after
// it (which may lie on later lines) one place left and clears the cell where the run ended.
// Repeating that n times is the same as shifting by n at once and clearing the last n cells of
// the run, which keeps a large count from costing n passes over the run.
void TerminalScreen::deleteCharacter(int count) {
    if (!hasStorage()) return;
    const long long total = static_cast<long long>(lastLine + 1) * columns;
    const long long d = static_cast<long long>(cursorLine - 1) * columns + (cursorColumn - 1);
    if (d < 0 || d >= total) return;
    auto characterAtOffset = [this](long long offset) -> char& {
        return charactersOf(static_cast<int>(offset / columns) + 1)[offset % columns];
    };
    auto attributeAtOffset = [this](long long offset) -> std::uint32_t& {
        return attributesOf(static_cast<int>(offset / columns) + 1)[offset % columns];
    };
    long long remaining = std::max(count, 1);
    while (remaining > 0) {
        long long e = d + 1;
        while (e < total && characterAtOffset(e) != 0) ++e;
        long long shift = 1;
        const bool endsAtEmptyCell = e < total;
        if (!endsAtEmptyCell) {
            e = total - 1;  // no empty cell after the cursor: the run ends at the last cell
        } else {
            shift = std::min(remaining, e - d + 1);
        }
        for (long long i = d; i + shift <= e; ++i) {
            characterAtOffset(i) = characterAtOffset(i + shift);
            attributeAtOffset(i) = attributeAtOffset(i + shift);
        }
        for (long long i = std::max(d, e - shift + 1); i <= e; ++i) {
            characterAtOffset(i) = 0;
            attributeAtOffset(i) = 0;
        }
        remaining -= shift;
        // After a run that ended at an empty cell, what is left of the count finds [d, e]
        // empty and changes nothing; a cursor on the buffer's last cell has nothing to move.
        if (endsAtEmptyCell || e == d) break;
    }
    repaintCells(cursorLine, cursorColumn, cursorLine, cursorColumn + 1);
}

void TerminalScreen::deleteLine(int count) {
    if (!hasStorage()) return;
    moveLines(cursorLine, lastLine + 1, std::max(count, 1));
    repaintCells(cursorLine, 1, liveBottom, columns);
}

void TerminalScreen::insertLine() {
    if (!hasStorage()) return;
    moveLines(std::min(cursorLine, lastLine), lastLine + 1, -1);
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::bell() {
    if (bellHook != nullptr) bellHook();
}

void TerminalScreen::answerHost(const char* text, int length) {
    notify(SendToHost, reinterpret_cast<std::intptr_t>(text), length);
}

std::u16string TerminalScreen::selectionText(int startColumn, int startLine, int endColumn,
                                             int endLine) const {
    std::u16string text;
    if (!hasStorage()) return text;
    const int lines = lastLine + 1;
    // Rows zero-based; points outside the buffer are limited to it.
    int startRow = std::clamp(startLine, 1, lines) - 1;
    int endRow = std::clamp(endLine, 1, lines) - 1;
    startColumn = std::clamp(startColumn, 0, columns);
    endColumn = std::clamp(endColumn, 0, columns);
    if (endRow < startRow || (endRow == startRow && endColumn < startColumn)) {
        std::swap(startRow, endRow);
        std::swap(startColumn, endColumn);
    }
    auto append = [&](int row, int from, int to) {
        const char* cells = lineCharacters(row + 1);
        for (int column = from; column < to && cells[column] != 0; ++column) {
            text.push_back(codePageToUtf16(static_cast<unsigned char>(cells[column])));
        }
    };
    if (startRow == endRow) {
        append(startRow, startColumn, endColumn);
        return text;
    }
    append(startRow, startColumn, columns);
    text += u"\r\n";
    for (int row = startRow + 1; row < endRow; ++row) {
        append(row, 0, columns);
        text += u"\r\n";
    }
    append(endRow, 0, endColumn);
    return text;
}

}  // namespace corvid1
