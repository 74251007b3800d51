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
inline constexpr int RenditionColourSet = 0x8;   // a colour was chosen; otherwise the default
inline constexpr int RenditionBold = 0x10;
inline constexpr int RenditionUnderline = 0x20;
inline constexpr int RenditionBlink = 0x40;
inline constexpr int RenditionReverse = 0x80;
// The character set of the cell, from the designated and invoked set (ESC ( / ESC ), SI, SO)
// or VT52 graphics (ESC F). Cells keep the byte the host sent; the set says how to draw it.
inline constexpr int RenditionUnitedKingdomSet = 0x200;  // "#" is drawn as the pound sign
inline constexpr int RenditionLineDrawingSet = 0x400;    // DEC special graphics, bytes 0x5F..0x7E
inline constexpr int RenditionVt52Graphics = 0x800;      // the same glyphs, chosen by ESC F
inline constexpr int RenditionCharacterSets = 0xE00;
// Background word: colour index 0..7, and whether one was chosen.
inline constexpr int BackgroundColourMask = 0x7;
inline constexpr int BackgroundColourSet = 0x8;

// The same bits as they appear in a cell's attribute word.
inline constexpr std::uint32_t CellBackgroundMask = 0x7;
inline constexpr std::uint32_t CellBackgroundSet = 0x8;
inline constexpr std::uint32_t CellForegroundMask = 0x700;
inline constexpr std::uint32_t CellForegroundSet = 0x800;
inline constexpr std::uint32_t CellBold = 0x1000;
inline constexpr std::uint32_t CellUnderline = 0x2000;
inline constexpr std::uint32_t CellBlink = 0x4000;
inline constexpr std::uint32_t CellReverse = 0x8000;
inline constexpr std::uint32_t CellUnitedKingdomSet = 0x20000;
inline constexpr std::uint32_t CellLineDrawingSet = 0x40000;
inline constexpr std::uint32_t CellVt52Graphics = 0x80000;

// Bits of `modes`. DEC private modes 1..8 keep the bits 1 << (n + 3); the others follow.
inline constexpr std::uint32_t ModeCursorKeys = 1u << 4;     // ?1: cursor keys send ESC O x
inline constexpr std::uint32_t ModeWideColumns = 1u << 6;    // ?3: 132 columns
inline constexpr std::uint32_t ModeReverseScreen = 1u << 8;  // ?5
inline constexpr std::uint32_t ModeOrigin = 1u << 9;         // ?6: rows count from the region
inline constexpr std::uint32_t ModeAutowrap = 1u << 10;      // ?7
inline constexpr std::uint32_t ModeVt52 = 1u << 16;          // ?2 cleared; ESC < sets ANSI again
inline constexpr std::uint32_t ModeInsert = 1u << 17;        // 4 h
inline constexpr std::uint32_t ModeNewLine = 1u << 18;       // 20 h: line feed returns too
inline constexpr std::uint32_t ModeKeypad = 1u << 19;        // ESC =: keypad sends sequences
inline constexpr std::uint32_t ModeHiddenCursor = 1u << 20;  // ?25 l
inline constexpr std::uint32_t kDefaultModes = ModeAutowrap;

// One cell's character: a Unicode code point, 0 for an empty cell, or kWideTail for the second
// cell of a character drawn two cells wide.
using Cell = char32_t;
inline constexpr Cell kWideTail = 0x110000;

// Columns of a character as terminals show it: 2 for East Asian wide and fullwidth characters
// and emoji, 0 for combining marks and other zero-width characters, 1 otherwise.
int characterWidth(char32_t c);

// The cursor and the state that ESC 7 and ESC [ s keep with it.
struct SavedCursor {
    int column = 1;  // may be columns + 1: the wrap was pending
    int row = 1;     // a screen row, so scrolling cannot carry it into the scrollback
    int rendition = 0;
    int background = 0;
    char sets[2] = {'B', 'B'};
    int shift = 0;
    bool origin = false;
};

// Limits that keep every cell index inside the arrays. The column limit comes from the
// RepaintCells word, which carries a zero-based column (the cursor may stand one past the
// last column) in its low 8 bits.
inline constexpr int kMaxColumns = 255;
inline constexpr int kMaxRows = 1000;
inline constexpr int kMaxScrollbackLines = 500;
inline constexpr int kDefaultScrollbackLines = 100;

// The terminal's memory: scrollback lines with the live screen below them, the cursor, the
// scroll region, the rendition, the modes and the character sets. Buffer lines are numbered
// from 1 (oldest) to lastLine + 1 (one spare line); columns from 1 to columns. The cells are kept
// in a ring of lines, so read them through lineCharacters / lineAttributes (or characterAt /
// attributeAt), never by a flat offset.
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
    int background = 0;  // background word (colour and BackgroundColourSet) of every cell written
    SavedCursor saved;
    int cursorColumn = 1;  // 1..columns + 1 (columns + 1: the row is full, the wrap is pending)
    int cursorLine = 1;    // buffer line of the cursor, always on the live screen
    bool tabStops[kMaxColumns + 2] = {};  // by column; stops every 8 columns after a reset
    NotificationTarget* notifyWindow = nullptr;
    std::uint32_t modes = kDefaultModes;
    char sets[2] = {'B', 'B'};  // G0 and G1: B ASCII, A United Kingdom, 0 and 2 line drawing
    int shift = 0;              // the set SI (0) or SO (1) invoked
    bool vt52Graphics = false;  // ESC F .. ESC G in VT52 mode

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
    const Cell* lineCharacters(int line) const;
    const std::uint32_t* lineAttributes(int line) const;
    // One cell; line a buffer line, column 1..columns; outside the grid gives 0.
    Cell characterAt(int line, int column) const;
    std::uint32_t attributeAt(int line, int column) const;
    bool hasStorage() const { return !characters_.empty(); }
    // True once text has been written since the storage was allocated.
    bool holdsOutput() const { return holdsOutput_; }
    bool hasMode(std::uint32_t mode) const { return (modes & mode) != 0; }
    int cursorRow() const { return cursorLine - liveTop + 1; }

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
    // Tab stops every 8 columns, default modes, rendition and character sets, saved cursor home,
    // cursor home, and region the whole screen (not set before the first resize).
    void resetState();
    // ESC c: resetState, the live screen cleared, and the columns back to 80 if 132 were asked for.
    void resetTerminal();
    // ?3: clears the live screen, homes the cursor, resets the region and takes `count` columns,
    // then sends ColumnsChanged so the window may follow.
    void setColumnCount(int count);

    // --- Writing (the interpreter) ---
    // Printable code points plus CR (13) and LF (10); a 0 ends the text early. Zero-width
    // characters are dropped, wide ones take two cells. Sends RepaintAll after a line feed or
    // scroll, RepaintCells otherwise.
    void writeText(const Cell* text, int count);
    // The same for 8-bit text in Windows-1252, the code page of the system's own messages.
    void writeText(const char* text, int count);
    // Printable characters one cell wide each, without CR, LF or controls: printable ASCII bytes
    // or code points. The interpreter's path for ordinary text.
    void writeNarrow(const unsigned char* text, int count);
    void writeNarrow(const Cell* text, int count);
    void putCells(int column, int line, const Cell* characters, int renditionFlags,
                  int backgroundColour, int count);
    void normalizePositions(int& line1, int& column1, int& line2, int& column2) const;
    // row a screen row (or sentinel), column 1..columns; no origin mode, no region.
    void placeCursor(int row, int column);
    // Cursor addressing (CUP, VT52 ESC Y): rows count from the region's top in origin mode and
    // stay inside it; values are limited to the screen.
    void moveCursorTo(int row, int column);
    // Relative moves: a cursor inside the scroll region stays inside it; columns 1..columns.
    void stepCursor(int lineDelta, int columnDelta);
    void carriageReturn();
    // LF, VT and FF: lineFeed, and column 1 too in new-line mode or when `returnToo`.
    void newLine(bool returnToo);
    // Down one row, scrolling the region when the cursor is on its bottom row (and nothing at
    // the screen's bottom below the region). lineFeed leaves the notification to its caller.
    void lineFeed();
    void index();  // ESC D: lineFeed, then RepaintAll
    void reverseIndex();
    void tab(int count = 1);
    void setTabStop();
    void clearTabStop(int which);  // 0: at the cursor, 3: all
    void saveCursor();
    void restoreCursor();
    void setRendition(int flags, int backgroundColour) {
        rendition = flags;
        background = backgroundColour;
    }
    void getRendition(int& flags, int& backgroundColour) const {
        flags = rendition;
        backgroundColour = background;
    }
    // Character sets: designate G0 or G1, invoke one of them, VT52 graphics on or off.
    void designateSet(int which, char set);
    void invokeSet(int which);
    void setVt52Graphics(bool on);
    // 1 <= top < bottom <= rows after limiting (a bottom of 0 or above rows means rows, a top
    // below 1 means 1); otherwise the request is ignored. Homes the cursor.
    void setScrollRegion(int top, int bottom);
    void scrollRegionUp(int top, int bottom, int count = 1);
    void scrollRegionDown(int top, int bottom, int count = 1);
    void dropOldestLine();
    // Cells from (line1, column1) up to, not including, (line2, column2) become blank with the
    // current background.
    void eraseRange(int line1, int column1, int line2, int column2);
    void eraseInDisplay(int which);  // 0 cursor to end, 1 start to cursor, 2 all
    void eraseInLine(int which);
    void eraseCharacters(int count);
    // Within the cursor's line: deleting pulls the rest of the line left, inserting pushes it
    // right; cells pushed past the last column are lost.
    void deleteCharacter(int count = 1);
    void insertCharacters(int count);
    // Within the scroll region, from the cursor's row down; nothing when the cursor is outside it.
    void deleteLine(int count = 1);
    void insertLine(int count = 1);
    // ESC # 8: every cell of the live screen becomes "E".
    void alignmentPattern();
    void bell();
    void answerHost(const char* text, int length);
    std::uint32_t getModes() const { return modes; }
    void setModes(std::uint32_t word);

    // Text of the cells from (startColumn, startLine) to (endColumn, endLine): columns
    // zero-based with endColumn exclusive, lines buffer lines; rows joined by "\r\n", each piece
    // ending at its row's first empty cell. The caller owns it.
    std::u16string selectionText(int startColumn, int startLine, int endColumn, int endLine) const;

  private:
    int slotOfLine(int line) const;  // storage slot of buffer line 1..lastLine + 1
    Cell* charactersOf(int line);
    std::uint32_t* attributesOf(int line);
    void clearLine(int line);
    void blankCells(int line, int from, int to);  // zero-based, `to` exclusive
    void moveLines(int first, int last, int by);
    void rebuild(int newColumns, int newRows, int newScrollback, bool keepText);
    void scrollUp();
    void updateCharacterSet();
    template <class Character>
    void storeCells(int column, int line, const Character* characters, int count);
    template <class Character>
    void writeRun(const Character* text, int count);
    int effectiveColumn() const { return cursorColumn > columns ? columns : cursorColumn; }
    void notify(int message, std::intptr_t first, std::intptr_t second);
    void repaintCells(int line1, int column1, int line2, int column2);
    void repaintCursorCell();

    std::vector<Cell> characters_;           // cellCount cells, by storage slot
    std::vector<std::uint32_t> attributes_;  // cellCount words, by storage slot
    std::vector<int> slots_;                 // storage slot of each ring position
    std::vector<int> order_;                 // scratch for moveLines
    int ringStart_ = 0;                      // ring position of buffer line 1
    bool holdsOutput_ = false;
    bool scrolled_ = false;  // a line feed or scroll happened in writeText
};

// A screen with no storage: liveTop = liveBottom = 1, size 0, region not set.
std::unique_ptr<TerminalScreen> createScreen();

// The bell plays through a hook that the application installs (nullptr: silent).
using BellHook = void (*)();
void setBellHook(BellHook hook);

// Windows-1252 to Unicode, the code page of the system's own 8-bit text. Bytes that the code
// page leaves undefined map to the code point of the same value.
char16_t codePageToUtf16(unsigned char byte);

// What a cell shows: the code point, with the cell's character set applied (the pound sign
// for "#" in the United Kingdom set, the line-drawing glyphs for 0x5F..0x7E in DEC special
// graphics). Empty cells and wide tails give 0.
char32_t displayedCharacter(Cell cell, std::uint32_t attribute);

// Appends the UTF-8 form of a code point (U+FFFD for one that is not a character).
void appendUtf8(std::string& out, char32_t c);

}  // namespace corvid1
