#include "terminal/interpreter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace corvid1 {

namespace {

constexpr int kColourTable[8] = {0, 1, 2, 3, 4, 5, 3, 7};
// DEC private mode n (1..8) is bit 1 << (n + 3) of the screen's modes; mode 0 has no bit.
constexpr std::uint32_t kModeTable[9] = {0, 16, 32, 64, 128, 256, 512, 1024, 2048};
constexpr int kMaxParameters = 10;
// Larger values change nothing (every use limits them to the screen or compares them with
// small numbers); the limit keeps the arithmetic inside int.
constexpr int kParameterLimit = 999999;

// Bytes that end a run of text: 0..27 except LF and CR, and 128..255.
constexpr std::array<bool, 256> makeControlTable() {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = (b <= 27 && b != '\n' && b != '\r') || b >= 128;
    return table;
}
constexpr std::array<bool, 256> kIsControl = makeControlTable();

struct InterpreterState {
    TerminalScreen* screen = nullptr;
    char inputBuffer[kInputBufferSize + 1] = {};
    int pendingCount = 0;
    // A notification handler that prints into the terminal while a feed is running (the send
    // of an answer failing, say) must not re-enter the buffer being processed; its bytes wait
    // here until the running feed is done.
    bool feeding = false;
    std::string deferred;
};

InterpreterState state;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

TerminalScreen& screen() {
    return *state.screen;
}

// Selects one of the three character sets (or none with 0); they exclude each other.
void selectCharacterSet(int bit) {
    int flags, background;
    screen().getRendition(flags, background);
    if (bit != 0 && (flags & bit) != 0) return;
    flags = (flags & ~RenditionCharacterSets) | bit;
    screen().setRendition(flags, background);
}

void selectGraphicRendition(const int* parameters, int count) {
    int flags, background;
    screen().getRendition(flags, background);
    if (count == 0) {
        flags &= ~0xEF0;  // bold, underline, blink, reverse, character sets; colour stays
    }
    for (int k = 0; k < count; ++k) {
        const int p = parameters[k];
        switch (p) {
            case 0:
                // Every rendition ends here, not bold alone: hosts close reverse video and
                // underline with ESC [ 0 m (ls, grep, git, shell prompts), and leaving them on
                // painted everything after in reverse. The colour and the character set stay,
                // as they do for the sequence without parameters.
                flags &= ~(RenditionBold | RenditionUnderline | RenditionBlink | RenditionReverse);
                break;
            case 1:
                flags |= RenditionBold;
                break;
            case 4:
                flags |= RenditionUnderline;
                break;
            case 5:
                flags |= RenditionBlink;
                break;
            case 7:
                flags |= RenditionReverse;
                break;
            default:
                if (p >= 30 && p <= 37)
                    flags = (flags & ~RenditionColourMask) | kColourTable[p - 30];
                if (p >= 40 && p <= 47) background = (background & ~0x7) | kColourTable[p - 40];
                break;
        }
    }
    screen().setRendition(flags, background);
}

// ESC [ ? v G at position i; `at` is the position of the question mark.
int decPrivateMode(int i, int at) {
    const char* buffer = state.inputBuffer;
    int position = at + 1;
    int value = 0;
    while (position < state.pendingCount && isDigit(buffer[position])) {
        value = std::min(value * 10 + (buffer[position] - '0'), kParameterLimit);
        ++position;
    }
    if (position >= state.pendingCount) return i;
    const char g = buffer[position];
    if (value <= 8 && (g == 'h' || g == 'l')) {
        std::uint32_t modes = screen().getModes();
        modes = g == 'h' ? (modes | kModeTable[value]) : (modes & ~kModeTable[value]);
        screen().setModes(modes);
        return position + 1;
    }
    if (position == state.pendingCount - 1) return i;  // held until any further byte arrives
    return position + 1;
}

int controlSequence(int i) {
    const char* buffer = state.inputBuffer;
    const int pending = state.pendingCount;
    if (i + 2 >= pending) return i;
    int parameters[kMaxParameters] = {};
    int count = 0;
    int position = i + 2;
    do {
        int value = 0;
        if (buffer[position] == ';') ++position;
        while (position < pending && isDigit(buffer[position])) {
            value = std::min(value * 10 + (buffer[position] - '0'), kParameterLimit);
            ++position;
        }
        if (position >= pending) return i;
        if (position > i + 2 && count < kMaxParameters) parameters[count++] = value;
    } while (buffer[position] == ';');

    TerminalScreen& s = screen();
    const int p1 = count > 0 ? parameters[0] : 0;
    const int p2 = count > 1 ? parameters[1] : 0;
    const int steps = count > 0 ? p1 : 1;
    switch (buffer[position]) {
        case 'A':
            s.stepCursor(-steps, 0);
            break;
        case 'B':
            s.stepCursor(steps, 0);
            break;
        case 'C':
            s.stepCursor(0, steps);
            break;
        case 'D':
            s.stepCursor(0, -steps);
            break;
        case 'H':
        case 'f':
            if (count == 0) s.placeCursor(1, 1);
            if (count == 1) s.placeCursor(std::max(p1, 1), 1);
            if (count == 2) s.placeCursor(std::max(p1, 1), std::max(p2, 1));
            break;
        case 'J':
            if (count == 0) {
                s.eraseRange(AtCursor, AtCursor, LastPosition, LastPosition);
            } else if (p1 == 1) {
                s.eraseRange(FirstPosition, FirstPosition, AtCursor, AtCursor);
            } else {
                s.eraseRange(FirstPosition, FirstPosition, LastPosition, LastPosition);
            }
            break;
        case 'K':
            if (count == 0) {
                s.eraseRange(AtCursor, AtCursor, AtCursor, LastPosition);
            } else if (p1 == 1) {
                s.eraseRange(AtCursor, FirstPosition, AtCursor, AtCursor);
            } else {
                s.eraseRange(AtCursor, FirstPosition, AtCursor, LastPosition);
            }
            break;
        case 'L':
            s.insertLine();
            break;
        case 'M':
            s.deleteLine(p1 > 1 ? p1 : 1);
            break;
        case 'P':
            s.deleteCharacter(p1 > 1 ? p1 : 1);
            break;
        case 'g':
            s.clearTabStop(p1);
            break;
        case 'm':
            selectGraphicRendition(parameters, count);
            break;
        case 'r':
            if (count == 0) s.setScrollRegion(1, s.rows);
            if (count == 2) s.setScrollRegion(p1, p2);
            break;
        case '?':
            return decPrivateMode(i, position);
        default:
            break;  // h, l, i (ANSI modes, media copy), n, c and the rest: no effect
    }
    return position + 1;
}

int escape(int i) {
    if (i + 1 >= state.pendingCount) return i;
    TerminalScreen& s = screen();
    const char c = state.inputBuffer[i + 1];
    switch (c) {
        case '[':
            return controlSequence(i);
        case 'A':
            s.stepCursor(-1, 0);
            break;
        case 'B':
            s.stepCursor(1, 0);
            break;
        case 'C':
            s.stepCursor(0, 1);
            break;
        case 'D':
            s.stepCursor(0, -1);
            break;  // cursor left, as on the VT52
        case 'E':
            s.writeText("\n", 1);
            break;
        case 'F':
            selectCharacterSet(RenditionVt52Graphics);
            break;
        case 'G':
            selectCharacterSet(0);
            break;
        case 'H':
            s.placeCursor(FirstPosition, FirstPosition);
            break;
        case 'I':
            s.stepCursor(-1, 0);
            break;
        case 'J':
            s.eraseRange(AtCursor, AtCursor, LastPosition, LastPosition);
            break;
        case 'K':
            s.eraseRange(AtCursor, AtCursor, AtCursor, LastPosition);
            break;
        case 'M':
            s.scrollRegionDown(s.regionTop, s.regionBottom);
            break;
        case 'N':
            selectCharacterSet(RenditionLineDrawingSet);
            break;
        case 'O':
            selectCharacterSet(RenditionSelectedSet);
            break;
        case 'Z':
            s.answerHost(kAnswerback, 5);
            break;
        case '7':
            s.saveCursor();
            break;
        case '8':
            s.restoreCursor();
            break;
        case '(':
        case ')': {
            if (i + 2 >= state.pendingCount) return i;
            const char d = state.inputBuffer[i + 2];
            if (d == '0') selectCharacterSet(RenditionLineDrawingSet);
            if (d == '2') selectCharacterSet(RenditionSelectedSet);
            if (d == 'B') selectCharacterSet(0);
            return i + 3;
        }
        case '#':
        case '-':
        case '<':
        case '=':
        case '>':
        case 'V':
        case 'W':
        case 'X':
        case 'Y':
        case ']':
        case '^':
        case 'c':
            break;  // only ESC and c are consumed; what follows is ordinary input
        default: {
            const char shown[6] = {'<', 'e', 's', 'c', '>', c};
            s.writeText(shown, 6);
            break;
        }
    }
    return i + 2;
}

// Returns the position after what was consumed, or i when the sequence needs more bytes.
int controlByte(int i) {
    TerminalScreen& s = screen();
    const unsigned char b = static_cast<unsigned char>(state.inputBuffer[i]);
    switch (b) {
        case 0:
            break;
        case 5:
            s.answerHost(kAnswerback, 5);
            break;
        case 7:
            s.bell();
            break;
        case 8:
            s.stepCursor(0, -1);
            break;
        case 9:
            s.tab();
            break;
        case 11:
        case 12:
            s.stepCursor(1, 0);
            break;
        case 14:
            selectCharacterSet(RenditionLineDrawingSet);
            break;
        case 15:
            selectCharacterSet(RenditionSelectedSet);
            break;
        case 24:
            break;
        case 27:
            return escape(i);
        default: {
            const char shown[2] = {'^', static_cast<char>((b + 64) & 0xFF)};
            s.writeText(shown, 2);
            break;
        }
    }
    return i + 1;
}

void processBuffer() {
    char* buffer = state.inputBuffer;
    buffer[state.pendingCount] = 0;
    int p = 0;
    while (p < state.pendingCount) {
        int i = p;
        while (!kIsControl[static_cast<unsigned char>(buffer[i])]) ++i;  // the 0 stops it
        if (i > p) screen().writeText(buffer + p, i - p);
        if (i >= state.pendingCount) break;
        const int r = controlByte(i);
        if (r == i) {
            state.pendingCount -= i;
            std::memmove(buffer, buffer + i, state.pendingCount);
            buffer[state.pendingCount] = 0;
            return;
        }
        p = r;
    }
    state.pendingCount = 0;
    buffer[0] = 0;
}

// Appends and processes the bytes a buffer's worth at a time, so text of any length gets
// through; only the tail of an incomplete sequence is ever held between pieces.
int feedPieces(const char* bytes, std::size_t count) {
    std::size_t offset = 0;
    while (offset < count) {
        if (state.pendingCount >= kInputBufferSize) {
            // One sequence has filled the buffer without completing. Holding it would block
            // every later byte, so it is dropped along with the rest of this call.
            screen().writeText(kOverflowMessage, static_cast<int>(sizeof kOverflowMessage - 1));
            state.pendingCount = 0;
            state.inputBuffer[0] = 0;
            return -1;
        }
        const std::size_t room = static_cast<std::size_t>(kInputBufferSize - state.pendingCount);
        const std::size_t take = std::min(count - offset, room);
        std::memcpy(state.inputBuffer + state.pendingCount, bytes + offset, take);
        state.pendingCount += static_cast<int>(take);
        offset += take;
        processBuffer();
    }
    return 0;
}

}  // namespace

void attachScreen(TerminalScreen* target) {
    state.screen = target;
    state.pendingCount = 0;
    state.inputBuffer[0] = 0;
    state.deferred.clear();
    if (target != nullptr) target->resetState();
}

TerminalScreen* attachedScreen() {
    return state.screen;
}

int pendingByteCount() {
    return state.pendingCount;
}

int printText(const char* text) {
    if (text != nullptr) feedBytes(text, std::strlen(text));
    return 0;
}

int feedBytes(const char* bytes, std::size_t count) {
    if (state.screen == nullptr || bytes == nullptr || count == 0) return 0;
    if (state.feeding) {
        state.deferred.append(bytes, count);
        return 0;
    }
    state.feeding = true;
    int result = feedPieces(bytes, count);
    while (!state.deferred.empty() && state.screen != nullptr) {
        std::string more;
        more.swap(state.deferred);
        if (feedPieces(more.data(), more.size()) < 0) result = -1;
    }
    state.feeding = false;
    return result;
}

}  // namespace corvid1
