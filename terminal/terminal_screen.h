#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "terminal/notification.h"

namespace corvid1 {

// Position sentinels taken by placeCursor, normalizePositions and the range operations.
// Any other line value is a screen row (1..rows); any other column value is a column.
enum PositionSentinel : int { AtCursor = -999, FirstPosition = 0, LastPosition = 12000 };

// Bits of the `rendition` field. A written cell gets the attribute word
// (rendition << 8) + background.
inline constexpr int RenditionColourMask = 0x7;  // foreground colour index 0..7
inline constexpr int RenditionBold = 0x10;
inline constexpr int RenditionUnderline = 0x20;
inline constexpr int RenditionBlink = 0x40;
inline constexpr int RenditionReverse = 0x80;
inline constexpr int RenditionSelectedSet = 0x200;     // SI, ESC ( 2, ESC ) 2, ESC O
inline constexpr int RenditionLineDrawingSet = 0x400;  // SO, ESC ( 0, ESC ) 0, ESC N
inline constexpr int RenditionVt52Graphics = 0x800;    // ESC F
inline constexpr int RenditionCharacterSets = 0xE00;

// The same bits as they appear in a cell's attribute word.
inline constexpr std::uint32_t CellBackgroundMask = 0x7;
inline constexpr std::uint32_t CellForegroundMask = 0x700;
inline constexpr std::uint32_t CellBold = 0x1000;
inline constexpr std::uint32_t CellUnderline = 0x2000;
inline constexpr std::uint32_t CellBlink = 0x4000;
inline constexpr std::uint32_t CellReverse = 0x8000;

// Limits that keep every cell index inside the arrays. The column limit comes from the
// RepaintCells word, which carries a zero-based column (the cursor may stand one past the
// last column) in its low 8 bits.
inline constexpr int kMaxColumns = 255;
inline constexpr int kMaxRows = 1000;
inline constexpr int kMaxScrollbackLines = 500;
inline constexpr int kDefaultScrollbackLines = 100;

// The terminal's memory: scrollback lines with the live screen below them, the cursor, the
// scroll region and the rendition. Buffer lines are numbered from 1 (oldest) to lastLine + 1
// (one spare line); columns from 1 to columns. The cells are kept in a ring of lines, so read
// them through lineCharacters / lineAttributes (or characterAt / attributeAt), never by a
// flat offset.
//
// The screen has no lock: whoever feeds it from one thread and paints it from another
// serialises the two.
struct TerminalScreen {
    int liveTop = 1;     // buffer line shown as screen row 1; liveBottom - rows + 1 once sized
    int liveBottom = 1;  // buffer line shown as the last screen row
    int viewTop = 1;     // first buffer line in the window; the view's own field
    int viewEnd = 1;     // one past the last buffer line in the window; the view's own field
    int regionTop = FirstPosition;  // scroll region as screen rows; 1..rows once sized
    int regionBottom = LastPosition;
    int rows = 0;
    int columns = 0;
    int lastLine = 0;    // rows + scrollbackLines: the highest line the live screen may reach
    int cellCount = 0;   // (lastLine + 1) x columns: cells held in each of the two arrays
    int rendition = 0;   // given to every cell written (bits above)
    int background = 0;  // background colour index 0..7 given to every cell written
    int savedColumn = 1;
    int savedLine = 1;     // a buffer line, not a screen row
    int cursorColumn = 1;  // 1..columns + 1 (columns + 1: the row is full, next byte wraps)
    int cursorLine = 1;    // buffer line of the cursor
    int tabStops[16] = {};
    NotificationTarget* notifyWindow = nullptr;
    std::uint32_t modes = 0;  // DEC private mode bits; nothing consults them

    // The process-wide scrollback setting (0..kMaxScrollbackLines) that resize and
    // setScrollbackLines use. The shell loads the preference into it with setScrollbackLines.
    int scrollbackLines = kDefaultScrollbackLines;
    int pixelWidth = 0;  // recorded by resize only
    int pixelHeight = 0;

    // --- Reading cells (the view, selection, tests) ---
    // The `columns` cells of buffer line `line`, and no more: the cell after a line's last one
    // is lineCharacters(line + 1)[0], never lineCharacters(line)[columns]. Lines outside
    // 1..lastLine + 1, or a screen without storage, give a blank line. Valid until the next
    // change of the screen.
    const char* lineCharacters(int line) const;
    const std::uint32_t* lineAttributes(int line) const;
    // One cell; line a buffer line, column 1..columns; outside the grid gives 0.
    char characterAt(int line, int column) const;
    std::uint32_t attributeAt(int line, int column) const;
    bool hasStorage() const { return !characters_.empty(); }
    // True once text has been written since the storage was allocated.
    bool holdsOutput() const { return holdsOutput_; }

    // --- Size and storage ---
    // columns and rows are limited to 1..kMaxColumns and 1..kMaxRows. While the screen holds no
    // output this homes the live screen, region and cursor at line 1. Once it does, each line
    // keeps its text (cut or padded to the new width), the live screen stays at the bottom of
    // what was written with the cursor on its line, and the lines above stay as scrollback.
    // viewTop and viewEnd are put on the live screen (viewTop = liveTop, viewEnd = liveTop + rows).
    void resize(int columns, int rows, int pixelWidth, int pixelHeight, NotificationTarget* window);
    void releaseBuffers();
    // n is limited to 0..kMaxScrollbackLines. The storage is rebuilt at once (when it exists):
    // the live screen and cursor keep their text; lines beyond the new size are dropped oldest
    // first.
    void setScrollbackLines(int n);
    void resetState();

    // --- Writing (the interpreter) ---
    // Printable text plus CR and LF; a 0 byte ends it early. Sends RepaintAll after a line
    // break, RepaintCells otherwise.
    void writeText(const char* text, int count);
    void putCells(int column, int line, const char* bytes, int renditionFlags, int backgroundColour,
                  int count);
    void normalizePositions(int& line1, int& column1, int& line2, int& column2) const;
    void placeCursor(int row, int column);
    void stepCursor(int lineDelta, int columnDelta);
    void saveCursor();
    void restoreCursor();
    void setRendition(int flags, int backgroundColour);
    void getRendition(int& flags, int& backgroundColour) const;
    // Values outside 1 <= top <= bottom <= rows: a top below 1 becomes 1, a bottom below 1 or
    // above rows becomes rows; a top that still lies below the bottom leaves the region as it was.
    void setScrollRegion(int top, int bottom);
    void scrollRegionUp(int top, int bottom);
    void scrollRegionDown(int top, int bottom);
    void dropOldestLine();
    void eraseRange(int line1, int column1, int line2, int column2);
    // `count` repetitions at once, with one notification.
    void deleteCharacter(int count = 1);
    void deleteLine(int count = 1);
    void insertLine();
    void tab() {}
    void clearTabStop(int /*which*/) {}
    void bell();
    void answerHost(const char* text, int length);
    std::uint32_t getModes() const { return modes; }
    void setModes(std::uint32_t word) { modes = word; }

    // Text of the cells from (startColumn, startLine) to (endColumn, endLine): columns
    // zero-based with endColumn exclusive, lines buffer lines; rows joined by "\r\n", each piece
    // ending at its row's first empty cell. Converted from Windows-1252. The caller owns it.
    std::u16string selectionText(int startColumn, int startLine, int endColumn, int endLine) const;

  private:
    int slotOfLine(int line) const;  // storage slot of buffer line 1..lastLine + 1
    char* charactersOf(int line);
    std::uint32_t* attributesOf(int line);
    void clearLine(int line);
    void moveLines(int first, int last, int by);
    void rebuild(int newColumns, int newRows, int newScrollback, bool keepText);
    void lineFeed();
    void notify(int message, std::intptr_t first, std::intptr_t second);
    void repaintCells(int line1, int column1, int line2, int column2);
    void repaintCursorCell();

    std::vector<char> characters_;           // cellCount cells, by storage slot
    std::vector<std::uint32_t> attributes_;  // cellCount words, by storage slot
    std::vector<int> slots_;                 // storage slot of each ring position
    int ringStart_ = 0;                      // ring position of buffer line 1
    bool holdsOutput_ = false;
};

// A screen with no storage: liveTop = liveBottom = 1, size 0, region not set.
std::unique_ptr<TerminalScreen> createScreen();

// The bell plays through a hook that the application installs (nullptr: silent).
using BellHook = void (*)();
void setBellHook(BellHook hook);

// Windows-1252 to UTF-16, the code page of the 8-bit text held in cells. Bytes that the code
// page leaves undefined map to the code point of the same value.
char16_t codePageToUtf16(unsigned char byte);

}  // namespace corvid1
