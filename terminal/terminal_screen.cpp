#include "terminal/terminal_screen.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace corvid1 {

namespace {

// What a line outside the buffer reads as: long enough for any screen width and for the
// cursor's column one past the last.
constexpr Cell kBlankCharacters[kMaxColumns + 1] = {};
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

// DEC special graphics for the bytes 0x5F..0x7E: blank, diamond, checkerboard, the control
// pictures HT FF CR LF, degree, plus-minus, NL, VT, the box corners and lines, the scan lines,
// the tees, less-or-equal, greater-or-equal, pi, not-equal, pound and centred dot.
constexpr char32_t kLineDrawing[32] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B,
    0x2518, 0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C,
    0x2524, 0x2534, 0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7};

struct Range {
    char32_t first, last;
};

// Characters that take no cell of their own: combining marks, joiners and variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489},  {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7},  {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4},  {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},  {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x202A, 0x202E}, {0x2060, 0x2064},  {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF}};

// East Asian wide and fullwidth characters and the emoji that terminals draw two cells wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E},
    {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};

template <std::size_t N>
bool inRanges(const Range (&ranges)[N], char32_t c) {
    const Range* end = ranges + N;
    const Range* found =
        std::lower_bound(ranges, end, c, [](const Range& r, char32_t v) { return r.last < v; });
    return found != end && found->first <= c;
}

// Characters below this take one cell and need no table.
constexpr char32_t kFirstSpecialWidth = 0x300;

}  // namespace

int characterWidth(char32_t c) {
    if (c < kFirstSpecialWidth) return 1;
    if (inRanges(kZeroWidth, c)) return 0;
    return inRanges(kWide, c) ? 2 : 1;
}

char16_t codePageToUtf16(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0) return kCodePageHigh[byte - 0x80];
    return byte;
}

char32_t displayedCharacter(Cell cell, std::uint32_t attribute) {
    if (cell == 0 || cell == kWideTail) return 0;
    if ((attribute & (CellLineDrawingSet | CellVt52Graphics)) != 0 && cell >= 0x5F && cell <= 0x7E)
        return kLineDrawing[cell - 0x5F];
    if ((attribute & CellUnitedKingdomSet) != 0 && cell == '#') return 0xA3;
    return cell;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
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

Cell* TerminalScreen::charactersOf(int line) {
    return characters_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

std::uint32_t* TerminalScreen::attributesOf(int line) {
    return attributes_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

const Cell* TerminalScreen::lineCharacters(int line) const {
    if (!hasStorage() || line < 1 || line > lastLine + 1) return kBlankCharacters;
    return characters_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

const std::uint32_t* TerminalScreen::lineAttributes(int line) const {
    if (!hasStorage() || line < 1 || line > lastLine + 1) return kBlankAttributes;
    return attributes_.data() + static_cast<std::size_t>(slotOfLine(line)) * columns;
}

Cell TerminalScreen::characterAt(int line, int column) const {
    if (column < 1 || column > columns) return 0;
    return lineCharacters(line)[column - 1];
}

std::uint32_t TerminalScreen::attributeAt(int line, int column) const {
    if (column < 1 || column > columns) return 0;
    return lineAttributes(line)[column - 1];
}

void TerminalScreen::clearLine(int line) {
    std::fill_n(charactersOf(line), columns, Cell{0});
    std::fill_n(attributesOf(line), columns, 0u);
}

// Lines first..last (buffer lines) move up by `by` lines (down when negative); the lines left
// behind are cleared. Only slot numbers move.
void TerminalScreen::moveLines(int first, int last, int by) {
    const int count = last - first + 1;
    if (count <= 0 || by == 0) return;
    by = std::clamp(by, -count, count);
    std::vector<int>& order = order_;
    order.resize(count);
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
    std::vector<Cell> newCharacters(static_cast<std::size_t>(newLines) * newColumns, 0);
    std::vector<std::uint32_t> newAttributes(newCharacters.size(), 0);

    int newBottom = newRows;
    int dropped = 0;
    if (keepText && hasStorage()) {
        int lastUsed = std::min(cursorLine, liveBottom);
        for (int line = liveBottom; line > lastUsed; --line) {
            const Cell* text = lineCharacters(line);
            if (std::any_of(text, text + columns, [](Cell c) { return c != 0; })) {
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
            std::copy_n(lineCharacters(oldLine), width, newCharacters.data() + target);
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
    // A saved cursor must still name a row and column of the new screen.
    saved.row = std::clamp(saved.row, 1, rows);
    saved.column = std::clamp(saved.column, 1, columns + 1);
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
    characters_ = std::vector<Cell>();
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
    for (int column = 0; column <= kMaxColumns + 1; ++column) {
        tabStops[column] = column > 1 && column % 8 == 1;
    }
    saved = SavedCursor{};
    modes = kDefaultModes;
    rendition = 0;
    background = 0;
    sets[0] = sets[1] = 'B';
    shift = 0;
    vt52Graphics = false;
    cursorColumn = 1;
    cursorLine = hasStorage() ? liveTop : 1;
    if (hasStorage()) {
        regionTop = 1;
        regionBottom = rows;
    } else {
        regionTop = FirstPosition;
        regionBottom = LastPosition;
    }
}

void TerminalScreen::resetTerminal() {
    const bool wide = hasMode(ModeWideColumns);
    resetState();
    if (!hasStorage()) return;
    if (wide) {
        setColumnCount(80);
        return;
    }
    for (int line = liveTop; line <= liveBottom; ++line) clearLine(line);
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::setColumnCount(int count) {
    if (!hasStorage()) return;
    count = std::clamp(count, 1, kMaxColumns);
    if (count != columns) rebuild(count, rows, scrollbackLines, true);
    for (int line = liveTop; line <= liveBottom; ++line) clearLine(line);
    regionTop = 1;
    regionBottom = rows;
    cursorLine = liveTop;
    cursorColumn = 1;
    notify(ColumnsChanged, count, 0);
    notify(RepaintAll, 0, 0);
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

// Copies (and widens) `count` characters into one line from `column` on, with the current
// rendition and background; count is limited to the line.
template <class Character>
void TerminalScreen::storeCells(int column, int line, const Character* characters, int count) {
    if (!hasStorage() || line < 1 || line > lastLine + 1 || column < 1 || column > columns) return;
    count = std::min(count, columns - column + 1);
    if (count <= 0) return;
    const std::uint32_t word =
        (static_cast<std::uint32_t>(rendition) << 8) + static_cast<std::uint32_t>(background);
    const std::size_t slot = static_cast<std::size_t>(slotOfLine(line)) * columns;
    Cell* cells = characters_.data() + slot;
    std::uint32_t* attributes = attributes_.data() + slot;
    // Half of a wide character left behind would draw the other half of something else.
    if (cells[column - 1] == kWideTail && column > 1) cells[column - 2] = 0;
    const int end = column - 1 + count;
    if (end < columns && cells[end] == kWideTail) cells[end] = 0;
    Cell* out = cells + column - 1;
    std::uint32_t* words = attributes + column - 1;
    for (int k = 0; k < count; ++k) out[k] = characters[k];
    for (int k = 0; k < count; ++k) words[k] = word;
}

void TerminalScreen::putCells(int column, int line, const Cell* characters, int renditionFlags,
                              int backgroundColour, int count) {
    const int savedRendition = rendition, savedBackground = background;
    rendition = renditionFlags;
    background = backgroundColour;
    storeCells(column, line, characters, count);
    rendition = savedRendition;
    background = savedBackground;
}

// A run of narrow printable characters: row by row, wrapping (or piling onto the last column
// when autowrap is off), pushing the rest of the row right in insert mode.
template <class Character>
void TerminalScreen::writeRun(const Character* text, int count) {
    if (!hasStorage() || count <= 0) return;
    const bool autowrap = hasMode(ModeAutowrap);
    const bool insert = hasMode(ModeInsert);
    int topLine = cursorLine, bottomLine = cursorLine;
    int leftColumn = std::min(cursorColumn, columns), rightColumn = cursorColumn;
    scrolled_ = false;
    holdsOutput_ = true;
    int position = 0;
    while (position < count) {
        if (cursorColumn > columns) {  // the wrap is pending
            if (autowrap) {
                cursorColumn = 1;
                lineFeed();
                cursorColumn = 1;
                leftColumn = 1;
            } else {
                cursorColumn = columns;
            }
        }
        int length = std::min(count - position, columns - cursorColumn + 1);
        if (!autowrap && length < count - position) {
            // Without autowrap everything past the margin lands on the last column, so only the
            // last character of the rest is seen there.
            storeCells(cursorColumn, cursorLine, text + position, length - 1);
            storeCells(columns, cursorLine, text + count - 1, 1);
            position = count;
            cursorColumn = columns + 1;
        } else {
            if (insert) {
                const int at = cursorColumn;
                insertCharacters(length);
                cursorColumn = at;
            }
            storeCells(cursorColumn, cursorLine, text + position, length);
            cursorColumn += length;
            position += length;
        }
        topLine = std::min(topLine, cursorLine);
        bottomLine = std::max(bottomLine, cursorLine);
        rightColumn = std::max(rightColumn, cursorColumn);
    }
    if (!autowrap && cursorColumn > columns) cursorColumn = columns;
    if (scrolled_) {
        notify(RepaintAll, 0, 0);
    } else {
        repaintCells(topLine, leftColumn, bottomLine, rightColumn);
    }
}

void TerminalScreen::writeNarrow(const unsigned char* text, int count) {
    writeRun(text, count);
}

void TerminalScreen::writeNarrow(const Cell* text, int count) {
    writeRun(text, count);
}

void TerminalScreen::scrollUp() {
    if (regionTop != 1 || regionBottom != rows) {
        scrollRegionUp(regionTop, regionBottom);
    } else if (liveBottom < lastLine) {
        ++liveBottom;
        liveTop = liveBottom - rows + 1;
        ++cursorLine;
        clearLine(liveBottom);
        notify(LiveTopChanged, liveTop, 0);
    } else {
        dropOldestLine();
    }
    scrolled_ = true;
}

void TerminalScreen::lineFeed() {
    if (!hasStorage()) return;
    const int row = cursorRow();
    if (row == regionBottom) {
        scrollUp();
    } else if (row < rows) {
        ++cursorLine;
    }
    if (cursorColumn > columns) cursorColumn = columns;
}

void TerminalScreen::index() {
    lineFeed();
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::carriageReturn() {
    if (!hasStorage()) return;
    const int oldColumn = cursorColumn;
    cursorColumn = 1;
    repaintCells(cursorLine, 1, cursorLine, oldColumn);
}

void TerminalScreen::newLine(bool returnToo) {
    if (!hasStorage()) return;
    scrolled_ = false;
    holdsOutput_ = true;
    const int oldLine = cursorLine, oldColumn = cursorColumn;
    lineFeed();
    if (returnToo || hasMode(ModeNewLine)) cursorColumn = 1;
    if (scrolled_) {
        notify(RepaintAll, 0, 0);
    } else {
        repaintCells(oldLine, oldColumn, oldLine, oldColumn);
        repaintCursorCell();
    }
}

void TerminalScreen::reverseIndex() {
    if (!hasStorage()) return;
    const int row = cursorRow();
    if (row == regionTop) {
        scrollRegionDown(regionTop, regionBottom);
    } else if (row > 1) {
        --cursorLine;
    }
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::writeText(const Cell* text, int count) {
    if (!hasStorage() || text == nullptr) return;
    int topLine = cursorLine, bottomLine = cursorLine;
    int leftColumn = cursorColumn, rightColumn = cursorColumn;
    auto includeCursor = [&] {
        topLine = std::min(topLine, cursorLine);
        bottomLine = std::max(bottomLine, cursorLine);
        leftColumn = std::min(leftColumn, cursorColumn);
        rightColumn = std::max(rightColumn, cursorColumn);
    };
    const bool autowrap = hasMode(ModeAutowrap);
    const bool insert = hasMode(ModeInsert);
    scrolled_ = false;
    int position = 0;
    while (position < count) {
        const Cell c = text[position];
        if (c == 0) break;
        if (c == '\r' || c == '\n') {
            ++position;
            if (c == '\n') {
                lineFeed();
                if (!hasMode(ModeNewLine)) {
                    includeCursor();
                    continue;
                }
            }
            cursorColumn = 1;
            includeCursor();
            continue;
        }
        if (cursorColumn > columns) {  // the wrap is pending
            if (autowrap) {
                cursorColumn = 1;
                lineFeed();
                cursorColumn = 1;
            } else {
                cursorColumn = columns;
            }
            includeCursor();
        }
        holdsOutput_ = true;
        // A run of characters one cell wide each, as far as the row has room.
        const int room = columns - cursorColumn + 1;
        int length = 0;
        while (length < room && position + length < count) {
            const Cell next = text[position + length];
            if (next >= kFirstSpecialWidth || next < ' ') break;
            ++length;
        }
        Cell wide[2];
        const Cell* cells = text + position;
        if (length > 0) {
            position += length;
        } else {
            ++position;
            const int width = columns < 2 ? 1 : characterWidth(c);
            if (width == 0) continue;
            if (width == 2 && cursorColumn == columns) {
                // A wide character never straddles the margin: it wraps whole, or overwrites
                // the last two cells when wrapping is off.
                if (autowrap) {
                    cursorColumn = 1;
                    lineFeed();
                    cursorColumn = 1;
                } else {
                    cursorColumn = columns - 1;
                }
                includeCursor();
            }
            wide[0] = c;
            wide[1] = kWideTail;
            cells = wide;
            length = width;
        }
        if (insert) {
            const int at = cursorColumn;
            insertCharacters(length);
            cursorColumn = at;
        }
        storeCells(cursorColumn, cursorLine, cells, length);
        cursorColumn += length;
        includeCursor();
        if (cursorColumn > columns && !autowrap) cursorColumn = columns;
    }
    if (scrolled_) {
        notify(RepaintAll, 0, 0);
    } else {
        repaintCells(topLine, leftColumn, bottomLine, rightColumn);
    }
}

void TerminalScreen::writeText(const char* text, int count) {
    Cell wide[256];
    int position = 0;
    while (position < count && text[position] != 0) {
        int length = 0;
        while (length < 256 && position < count && text[position] != 0) {
            wide[length++] = codePageToUtf16(static_cast<unsigned char>(text[position++]));
        }
        writeText(wide, length);
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
    cursorLine = std::max(row, liveTop);
    cursorColumn = std::min(column, columns);
    repaintCells(oldLine, oldColumn, oldLine, oldColumn);
    repaintCursorCell();
}

void TerminalScreen::moveCursorTo(int row, int column) {
    if (!hasStorage()) return;
    if (hasMode(ModeOrigin)) {
        row = clampInt(static_cast<long long>(row) + regionTop - 1, regionTop, regionBottom);
    } else {
        row = std::clamp(row, 1, rows);
    }
    placeCursor(row, std::clamp(column, 1, columns));
}

void TerminalScreen::stepCursor(int lineDelta, int columnDelta) {
    if (!hasStorage()) return;
    const int oldLine = cursorLine, oldColumn = cursorColumn;
    const int row = cursorRow();
    const int top = row >= regionTop ? regionTop : 1;
    const int bottom = row <= regionBottom ? regionBottom : rows;
    cursorColumn = clampInt(static_cast<long long>(effectiveColumn()) + columnDelta, 1, columns);
    cursorLine = liveTop - 1 + clampInt(static_cast<long long>(row) + lineDelta, top, bottom);
    repaintCells(oldLine, oldColumn, oldLine, oldColumn);
    repaintCursorCell();
}

void TerminalScreen::tab(int count) {
    if (!hasStorage()) return;
    const int oldColumn = cursorColumn;
    int column = effectiveColumn();
    for (int k = 0; k < count && column < columns; ++k) {
        do {
            ++column;
        } while (column < columns && !tabStops[column]);
    }
    cursorColumn = column;
    repaintCells(cursorLine, oldColumn, cursorLine, cursorColumn);
}

void TerminalScreen::setTabStop() {
    if (hasStorage()) tabStops[effectiveColumn()] = true;
}

void TerminalScreen::clearTabStop(int which) {
    if (which == 0 && hasStorage()) tabStops[effectiveColumn()] = false;
    if (which == 3) std::fill(std::begin(tabStops), std::end(tabStops), false);
}

void TerminalScreen::saveCursor() {
    saved.column = cursorColumn;
    saved.row = hasStorage() ? cursorRow() : 1;
    saved.rendition = rendition;
    saved.background = background;
    saved.sets[0] = sets[0];
    saved.sets[1] = sets[1];
    saved.shift = shift;
    saved.origin = hasMode(ModeOrigin);
}

void TerminalScreen::restoreCursor() {
    if (!hasStorage()) return;
    const int oldLine = cursorLine, oldColumn = cursorColumn;
    cursorColumn = std::clamp(saved.column, 1, columns + 1);
    cursorLine = liveTop + std::clamp(saved.row, 1, rows) - 1;
    rendition = saved.rendition;
    background = saved.background;
    sets[0] = saved.sets[0];
    sets[1] = saved.sets[1];
    shift = saved.shift;
    modes = saved.origin ? (modes | ModeOrigin) : (modes & ~ModeOrigin);
    updateCharacterSet();
    repaintCells(oldLine, oldColumn, oldLine, oldColumn);
    repaintCursorCell();
}

void TerminalScreen::updateCharacterSet() {
    int bit = 0;
    if (vt52Graphics) {
        bit = RenditionVt52Graphics;
    } else if (sets[shift] == '0' || sets[shift] == '2') {
        bit = RenditionLineDrawingSet;
    } else if (sets[shift] == 'A') {
        bit = RenditionUnitedKingdomSet;
    }
    rendition = (rendition & ~RenditionCharacterSets) | bit;
}

void TerminalScreen::designateSet(int which, char set) {
    sets[which & 1] = set;
    updateCharacterSet();
}

void TerminalScreen::invokeSet(int which) {
    shift = which & 1;
    updateCharacterSet();
}

void TerminalScreen::setVt52Graphics(bool on) {
    vt52Graphics = on;
    updateCharacterSet();
}

void TerminalScreen::setModes(std::uint32_t word) {
    const std::uint32_t changed = modes ^ word;
    modes = word;
    if ((changed & ModeOrigin) != 0) moveCursorTo(1, 1);
    if ((changed & ModeVt52) != 0) setVt52Graphics(false);
    if ((changed & (ModeReverseScreen | ModeHiddenCursor)) != 0) notify(RepaintAll, 0, 0);
}

void TerminalScreen::setScrollRegion(int top, int bottom) {
    if (rows < 1) return;
    if (top < 1) top = 1;
    if (bottom < 1 || bottom > rows) bottom = rows;
    if (top >= bottom) return;
    regionTop = top;
    regionBottom = bottom;
    moveCursorTo(1, 1);
}

void TerminalScreen::scrollRegionUp(int top, int bottom, int count) {
    if (!hasStorage() || top < 1 || bottom > rows || top > bottom) return;
    moveLines(liveTop + top - 1, liveTop + bottom - 1, std::max(count, 1));
}

void TerminalScreen::scrollRegionDown(int top, int bottom, int count) {
    if (!hasStorage() || top < 1 || bottom > rows || top > bottom) return;
    moveLines(liveTop + top - 1, liveTop + bottom - 1, -std::max(count, 1));
}

void TerminalScreen::dropOldestLine() {
    if (!hasStorage()) return;
    const int lines = lastLine + 1;
    if (++ringStart_ == lines) ringStart_ = 0;
    clearLine(lines);  // the former first line, now the spare line below lastLine
}

void TerminalScreen::blankCells(int line, int from, int to) {
    from = std::clamp(from, 0, columns);
    to = std::clamp(to, from, columns);
    std::fill(charactersOf(line) + from, charactersOf(line) + to, Cell{0});
    std::fill(
        attributesOf(line) + from, attributesOf(line) + to,
        static_cast<std::uint32_t>(background & (BackgroundColourMask | BackgroundColourSet)));
}

void TerminalScreen::eraseRange(int line1, int column1, int line2, int column2) {
    if (!hasStorage()) return;
    normalizePositions(line1, column1, line2, column2);
    for (int line = line1; line <= line2; ++line) {
        const int from = line == line1 ? column1 - 1 : 0;
        const int to = line == line2 ? column2 - 1 : columns;
        blankCells(line, from, to);
    }
    notify(RepaintAll, 0, 0);
}

void TerminalScreen::eraseInDisplay(int which) {
    const int column = effectiveColumn();
    if (which == 0) eraseRange(AtCursor, column, LastPosition, LastPosition);
    if (which == 1) eraseRange(FirstPosition, FirstPosition, AtCursor, column + 1);
    if (which == 2) eraseRange(FirstPosition, FirstPosition, LastPosition, LastPosition);
}

void TerminalScreen::eraseInLine(int which) {
    if (!hasStorage() || which < 0 || which > 2) return;
    const int column = effectiveColumn();
    const int from = which == 0 ? column - 1 : 0;
    const int to = which == 1 ? column : columns;
    blankCells(cursorLine, from, to);
    repaintCells(cursorLine, from + 1, cursorLine, to);
}

void TerminalScreen::eraseCharacters(int count) {
    if (!hasStorage()) return;
    const int from = effectiveColumn() - 1;
    const int to = static_cast<int>(std::min<long long>(columns, from + std::max(count, 1)));
    blankCells(cursorLine, from, to);
    repaintCells(cursorLine, from + 1, cursorLine, to);
}

void TerminalScreen::deleteCharacter(int count) {
    if (!hasStorage()) return;
    const int from = effectiveColumn() - 1;
    count = std::clamp(count, 1, columns - from);
    Cell* cells = charactersOf(cursorLine);
    std::uint32_t* attributes = attributesOf(cursorLine);
    std::copy(cells + from + count, cells + columns, cells + from);
    std::copy(attributes + from + count, attributes + columns, attributes + from);
    blankCells(cursorLine, columns - count, columns);
    repaintCells(cursorLine, from + 1, cursorLine, columns);
}

void TerminalScreen::insertCharacters(int count) {
    if (!hasStorage()) return;
    const int from = effectiveColumn() - 1;
    count = std::clamp(count, 1, columns - from);
    Cell* cells = charactersOf(cursorLine);
    std::uint32_t* attributes = attributesOf(cursorLine);
    std::copy_backward(cells + from, cells + columns - count, cells + columns);
    std::copy_backward(attributes + from, attributes + columns - count, attributes + columns);
    blankCells(cursorLine, from, from + count);
    repaintCells(cursorLine, from + 1, cursorLine, columns);
}

void TerminalScreen::deleteLine(int count) {
    if (!hasStorage()) return;
    const int row = cursorRow();
    if (row < regionTop || row > regionBottom) return;
    scrollRegionUp(row, regionBottom, count);
    cursorColumn = 1;
    repaintCells(cursorLine, 1, liveTop + regionBottom - 1, columns);
}

void TerminalScreen::insertLine(int count) {
    if (!hasStorage()) return;
    const int row = cursorRow();
    if (row < regionTop || row > regionBottom) return;
    scrollRegionDown(row, regionBottom, count);
    cursorColumn = 1;
    repaintCells(cursorLine, 1, liveTop + regionBottom - 1, columns);
}

void TerminalScreen::alignmentPattern() {
    if (!hasStorage()) return;
    for (int line = liveTop; line <= liveBottom; ++line) {
        std::fill_n(charactersOf(line), columns, Cell{'E'});
        std::fill_n(attributesOf(line), columns, 0u);
    }
    regionTop = 1;
    regionBottom = rows;
    modes &= ~ModeOrigin;
    cursorLine = liveTop;
    cursorColumn = 1;
    holdsOutput_ = true;
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
        const Cell* cells = lineCharacters(row + 1);
        const std::uint32_t* attributes = lineAttributes(row + 1);
        for (int column = from; column < to && cells[column] != 0; ++column) {
            char32_t c = displayedCharacter(cells[column], attributes[column]);
            if (c == 0) continue;  // the second half of a wide character
            if (c > 0xFFFF) {
                c -= 0x10000;
                text.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
                text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
            } else {
                text.push_back(static_cast<char16_t>(c));
            }
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
