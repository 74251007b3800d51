// Feeds arbitrary bytes through the terminal interpreter in arbitrary pieces, with resizes and
// scrollback changes in between, and checks after every piece that the screen's positions still
// lie inside the buffer.
//
// Input layout: byte 0 columns, byte 1 rows, byte 2 scrollback (low bits) and the remote
// character set (top bits), byte 3 the seed of the piece sizes and (top bit) VT52 mode; the rest
// is the byte stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace {

using namespace corvid1;

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Checks what a real window would rely on in each notification.
struct CheckingTarget : NotificationTarget {
    const TerminalScreen* screen = nullptr;
    // A cell word is row x 256 + column with a signed row relative to viewTop.
    void checkCell(std::intptr_t word) const {
        const std::intptr_t row = word >= 0 ? word / 256 : -((-word + 255) / 256);
        const std::intptr_t column = word - row * 256;
        if (column > screen->columns) fail("RepaintCells column");
        if (row < -(screen->lastLine + 1) || row > screen->lastLine + 1) fail("RepaintCells row");
    }
    void send(int message, std::intptr_t first, std::intptr_t second) override {
        switch (message) {
            case RepaintAll:
                if (first != 0 || second != 0) fail("RepaintAll values");
                break;
            case RepaintCells:
                checkCell(first);
                checkCell(second);
                break;
            case SendToHost:
                if (second < 1 || second > 32 ||
                    std::strlen(reinterpret_cast<const char*>(first)) !=
                        static_cast<std::size_t>(second)) {
                    fail("SendToHost text");
                }
                break;
            case ColumnsChanged:
                if (first != screen->columns || second != 0) fail("ColumnsChanged value");
                break;
            case LiveTopChanged:
                if (first != screen->liveTop || second != 0) fail("LiveTopChanged value");
                break;
            default:
                fail("unknown notification");
        }
    }
};

void checkInvariants(const TerminalScreen& s) {
    if (s.rows < 1 || s.columns < 1 || s.columns > kMaxColumns) fail("size");
    if (s.liveTop != s.liveBottom - s.rows + 1) fail("liveTop != liveBottom - rows + 1");
    if (s.liveTop < 1 || s.liveBottom > s.lastLine) fail("live screen outside the buffer");
    if (s.lastLine != s.rows + s.scrollbackLines) fail("lastLine");
    if (s.cellCount != (s.lastLine + 1) * s.columns) fail("cellCount");
    if (s.cursorColumn < 1 || s.cursorColumn > s.columns + 1) fail("cursor column");
    if (s.cursorLine < 1 || s.cursorLine > s.liveBottom) fail("cursor line");
    if (s.saved.row < 1 || s.saved.row > s.rows) fail("saved row");
    if (s.saved.column < 1 || s.saved.column > s.columns + 1) fail("saved column");
    if (s.shift < 0 || s.shift > 1) fail("shift");
    if (s.regionTop < 1 || s.regionTop > s.regionBottom || s.regionBottom > s.rows) fail("region");
    if (pendingByteCount() < 0 || pendingByteCount() > kInputBufferSize) fail("pending count");
}

volatile std::uint32_t sink;

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    TerminalScreen screen;
    CheckingTarget target;
    target.screen = &screen;
    setRemoteCharset(static_cast<RemoteCharset>((data[2] >> 6) % 3));
    selectTerminalType((data[3] & 0x80) != 0);
    attachScreen(&screen);
    screen.setScrollbackLines(data[2] % 40);
    screen.resize(data[0] % 140, data[1] % 70, 640, 480, &target);
    std::uint32_t random = data[3];
    const char* bytes = reinterpret_cast<const char*>(data + 4);
    std::size_t remaining = size - 4;
    while (remaining > 0) {
        const std::uint32_t choice = nextRandom(random);
        std::size_t piece = 1 + choice % 64;
        if (choice % 7 == 0) piece = 1 + choice % 9000;
        if (piece > remaining) piece = remaining;
        feedBytes(bytes, piece);
        bytes += piece;
        remaining -= piece;
        checkInvariants(screen);
        switch (nextRandom(random) % 32) {
            case 0:
                screen.resize(1 + choice % 100, 1 + (choice >> 8) % 50, 0, 0, &target);
                break;
            case 1:
                screen.setScrollbackLines((choice >> 4) % 30);
                break;
            default:
                break;
        }
        checkInvariants(screen);
    }
    // Everything the view and the clipboard read.
    std::uint32_t sum = 0;
    for (int line = screen.viewTop - 1; line <= screen.lastLine + 2; ++line) {
        const Cell* characters = screen.lineCharacters(line);
        const std::uint32_t* attributes = screen.lineAttributes(line);
        for (int column = 0; column < screen.columns; ++column) {
            sum += displayedCharacter(characters[column], attributes[column]) + attributes[column];
        }
    }
    const std::u16string all = screen.selectionText(0, 1, screen.columns, screen.lastLine + 1);
    const std::u16string part = screen.selectionText(data[0], data[1] - 3, data[2], data[3]);
    attachScreen(nullptr);
    sink = sum + static_cast<std::uint32_t>(all.size() + part.size());  // keeps the reads
    return 0;
}
