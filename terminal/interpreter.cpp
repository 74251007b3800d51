#include "terminal/interpreter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace corvid1 {

namespace {

constexpr int kMaxParameters = 16;
// Larger values change nothing (every use limits them to the screen or compares them with
// small numbers); the limit keeps the arithmetic inside int.
constexpr int kParameterLimit = 99999;
constexpr char32_t kReplacement = 0xFFFD;
constexpr int kTextChunk = 1024;

// The length of the run of printable ASCII (0x20..0x7E) at the start of `bytes`, eight bytes
// at a time while no byte in them is outside the range.
std::size_t printableRun(const unsigned char* bytes, std::size_t count) {
    constexpr std::uint64_t ones = 0x0101010101010101u, high = 0x8080808080808080u;
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        std::uint64_t x;
        std::memcpy(&x, bytes + k, 8);
        const std::uint64_t below = (x - ones * 0x20) & ~x;  // some byte below 0x20
        const std::uint64_t above = (x + ones) | x;          // some byte 0x7F or above
        if (((below | above) & high) != 0) break;
    }
    while (k < count && bytes[k] >= 0x20 && bytes[k] < 0x7F) ++k;
    return k;
}

enum class Parse : std::uint8_t {
    Ground,
    Escape,        // after ESC
    Designate,     // ESC followed by intermediates: ( ) # and the rest
    Csi,           // ESC [
    CsiIgnore,     // the rest of a control sequence that is not acted on
    String,        // ESC ] , ESC P, ESC ^, ESC _ , ESC X: skipped to BEL or ESC backslash
    StringEscape,  // ESC inside such a string
    Vt52Row,       // VT52 ESC Y, waiting for the row
    Vt52Column,    // and for the column
};

struct InterpreterState {
    TerminalScreen* screen = nullptr;
    Parse parse = Parse::Ground;
    int held = 0;             // bytes of the incomplete sequence
    bool overflowed = false;  // the sequence passed kInputBufferSize; skipping to its end
    char intermediate = 0;
    char marker = 0;  // private marker of a control sequence (?, >, =, <)
    int parameters[kMaxParameters] = {};
    int count = 0;  // parameters complete so far; the one being read is parameters[count]
    bool anyParameter = false;
    int vt52Row = 0;
    // UTF-8 decoding: the code point so far, bytes still needed, bytes taken, and the range the
    // next byte must lie in (narrower than 0x80..0xBF after some lead bytes, which rules out
    // overlong forms, surrogates and values beyond U+10FFFF).
    char32_t utf8Value = 0;
    int utf8Needed = 0;
    int utf8Taken = 0;
    unsigned char utf8Low = 0x80, utf8High = 0xBF;
    RemoteCharset charset = kDefaultRemoteCharset;
    bool localText = false;  // printText: Windows-1252, LF returns the carriage
    bool vt52 = false;       // the terminal type: VT52 mode at every attach
    Cell text[kTextChunk];
    int textLength = 0;
    bool textNarrow = true;  // every staged character takes one cell
    std::string reply;
    int result = 0;
    // A notification handler that prints into the terminal while a feed is running (the send
    // of an answer failing, say) must not re-enter the feed; its bytes wait here until the
    // running feed is done, each piece with whether it is the system's own text.
    bool feeding = false;
    std::vector<std::pair<std::string, bool>> deferred;
};

InterpreterState state;
// Stands in for a detached screen, so that a handler detaching it mid-feed leaves the rest of
// the feed with a target that ignores everything.
TerminalScreen detached;

bool attached() {
    return state.screen != nullptr && state.screen != &detached;
}

void flushText() {
    if (state.textLength == 0) return;
    const int length = state.textLength;
    state.textLength = 0;
    if (state.textNarrow) {
        state.screen->writeNarrow(state.text, length);
    } else {
        state.screen->writeText(state.text, length);
    }
    state.textNarrow = true;
}

// Printable characters wait here so that a line of mixed text reaches the screen in one call.
void stage(char32_t c) {
    if (state.textLength == kTextChunk) flushText();
    if (c >= 0x300 && characterWidth(c) != 1) state.textNarrow = false;
    state.text[state.textLength++] = c;
}

// The screen, with every staged character written first.
TerminalScreen& act() {
    flushText();
    return *state.screen;
}

void toGround() {
    state.parse = Parse::Ground;
    state.held = 0;
    state.overflowed = false;
}

void reply(const std::string& text) {
    state.reply = text;
    act().answerHost(state.reply.c_str(), static_cast<int>(state.reply.size()));
}

void showControl(unsigned char b) {
    stage('^');
    stage(static_cast<unsigned char>(b + 64));
}

void showEscape(unsigned char c) {
    for (const char* p = "<esc>"; *p != 0; ++p) stage(static_cast<unsigned char>(*p));
    stage(c >= 0x80 ? codePageToUtf16(c) : c);
}

// ---------------------------------------------------------------------------------------------
// Control bytes, acted on in every state (DEC terminals run them inside sequences too).

void controlByte(unsigned char b) {
    switch (b) {
        case 0:
        case 0x7F:
            break;
        case 5:
            reply(kAnswerback);
            break;
        case 7:
            act().bell();
            break;
        case 8:
            act().stepCursor(0, -1);
            break;
        case 9:
            act().tab();
            break;
        case 10:
        case 11:
        case 12:
            act().newLine(state.localText);
            break;
        case 13:
            act().carriageReturn();
            break;
        case 14:
            act().invokeSet(1);
            break;
        case 15:
            act().invokeSet(0);
            break;
        case 24:
        case 26:
            toGround();  // cancels the sequence
            break;
        case 27:
            state.parse = Parse::Escape;
            state.held = 0;  // counted by the caller
            state.overflowed = false;
            break;
        default:
            showControl(b);
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Text: bytes 128..255 by the remote character set.

void emitMalformed() {
    for (int k = 0; k < state.utf8Taken; ++k) stage(kReplacement);
    state.utf8Needed = 0;
    state.utf8Taken = 0;
}

void utf8Lead(unsigned char b) {
    state.utf8Low = 0x80;
    state.utf8High = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        state.utf8Needed = 1;
        state.utf8Value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        state.utf8Needed = 2;
        state.utf8Value = b & 0x0F;
        if (b == 0xE0) state.utf8Low = 0xA0;
        if (b == 0xED) state.utf8High = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        state.utf8Needed = 3;
        state.utf8Value = b & 0x07;
        if (b == 0xF0) state.utf8Low = 0x90;
        if (b == 0xF4) state.utf8High = 0x8F;
    } else {
        stage(kReplacement);  // a continuation byte without a lead, or a lead never used
        return;
    }
    state.utf8Taken = 1;
}

void highByte(unsigned char b) {
    switch (state.charset) {
        case RemoteCharset::Windows1252: {
            const char16_t c = codePageToUtf16(b);
            if (c == b && b < 0xA0) {
                showControl(b);  // the five bytes the code page leaves undefined
            } else {
                stage(c);
            }
            break;
        }
        case RemoteCharset::Latin1:
            if (b < 0xA0) {
                showControl(b);  // C1 controls, which a VT100 does not act on
            } else {
                stage(b);
            }
            break;
        case RemoteCharset::Utf8:
            utf8Lead(b);
            break;
    }
}

// A byte while a UTF-8 character is incomplete. Returns false when the byte does not continue
// it; the bytes taken are then shown as replacements and the byte is processed afresh.
bool utf8Continue(unsigned char b) {
    if (b < state.utf8Low || b > state.utf8High) {
        emitMalformed();
        return false;
    }
    state.utf8Value = (state.utf8Value << 6) | (b & 0x3F);
    state.utf8Low = 0x80;
    state.utf8High = 0xBF;
    ++state.utf8Taken;
    if (--state.utf8Needed == 0) {
        state.utf8Taken = 0;
        stage(state.utf8Value);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Control sequences (ESC [)

int parameter(int k, int fallback) {
    const int value = k < state.count ? state.parameters[k] : 0;
    return value == 0 ? fallback : value;
}

int colourFromIndex(int index) {
    return index < 8 ? index : index - 8;  // the bright eight share the ordinary colours
}

void selectGraphicRendition() {
    TerminalScreen& s = act();
    int flags, background;
    s.getRendition(flags, background);
    const int colour = RenditionColourMask | RenditionColourSet;
    const int count = std::max(state.count, 1);  // ESC [ m is ESC [ 0 m
    for (int k = 0; k < count; ++k) {
        const int p = state.parameters[k];
        switch (p) {
            case 0:
                flags &= ~(RenditionBold | RenditionUnderline | RenditionBlink | RenditionReverse |
                           colour);
                background = 0;
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
            case 22:
                flags &= ~RenditionBold;
                break;
            case 24:
                flags &= ~RenditionUnderline;
                break;
            case 25:
                flags &= ~RenditionBlink;
                break;
            case 27:
                flags &= ~RenditionReverse;
                break;
            case 39:
                flags &= ~colour;
                break;
            case 49:
                background = 0;
                break;
            case 38:
            case 48: {
                // 38;5;n and 48;5;n pick from 256 colours, of which the first 16 are shown;
                // 38;2;r;g;b is skipped whole so its numbers are not taken for renditions.
                const int kind = k + 1 < count ? state.parameters[k + 1] : 0;
                if (kind == 5 && k + 2 < count) {
                    const int index = state.parameters[k + 2];
                    if (index < 16 && p == 38)
                        flags = (flags & ~colour) | colourFromIndex(index) | RenditionColourSet;
                    if (index < 16 && p == 48)
                        background = colourFromIndex(index) | BackgroundColourSet;
                    k += 2;
                } else if (kind == 2) {
                    k += 4;
                } else {
                    k = count;
                }
                break;
            }
            default:
                if ((p >= 30 && p <= 37) || (p >= 90 && p <= 97))
                    flags = (flags & ~colour) | (p % 10) | RenditionColourSet;
                if ((p >= 40 && p <= 47) || (p >= 100 && p <= 107))
                    background = (p % 10) | BackgroundColourSet;
                break;
        }
    }
    s.setRendition(flags, background);
}

std::uint32_t privateModeBit(int mode) {
    switch (mode) {
        case 1:
            return ModeCursorKeys;
        case 2:
            return ModeVt52;  // inverted: ?2 l enters VT52 mode
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
            return 1u << (mode + 3);
        case 25:
            return ModeHiddenCursor;  // inverted: ?25 l hides
        default:
            return 0;
    }
}

void setModes(bool set) {
    TerminalScreen& s = act();
    std::uint32_t modes = s.getModes();
    for (int k = 0; k < std::max(state.count, 1); ++k) {
        const int p = state.parameters[k];
        std::uint32_t bit = 0;
        bool on = set;
        if (state.marker == '?') {
            bit = privateModeBit(p);
            if (p == 2 || p == 25) on = !set;
            if (p == 2 && set) bit = 0;  // ANSI mode is left with ESC <, not ?2 h
        } else if (state.marker == 0) {
            bit = p == 4 ? ModeInsert : p == 20 ? ModeNewLine : 0;
        }
        modes = on ? (modes | bit) : (modes & ~bit);
    }
    s.setModes(modes);
    // Every ?3, even one that keeps the count, clears the screen and homes the cursor.
    for (int k = 0; k < std::max(state.count, 1); ++k) {
        if (state.marker == '?' && state.parameters[k] == 3) s.setColumnCount(set ? 132 : 80);
    }
}

void deviceStatus() {
    TerminalScreen& s = act();
    const int p = state.count > 0 ? state.parameters[0] : 0;
    if (state.marker == '?') {
        if (p == 15) reply("\x1b[?13n");  // no printer
        return;
    }
    if (p == 5) reply("\x1b[0n");
    if (p == 6 && s.hasStorage()) {
        int row = s.cursorRow();
        if (s.hasMode(ModeOrigin)) row -= s.regionTop - 1;
        const int column = std::min(s.cursorColumn, s.columns);
        reply("\x1b[" + std::to_string(row) + ";" + std::to_string(column) + "R");
    }
}

void controlSequence(unsigned char final) {
    if (state.intermediate != 0) return;  // no sequence with intermediates is acted on
    if (state.marker != 0 && final != 'h' && final != 'l' && final != 'n') return;
    TerminalScreen& s = act();
    const int n = parameter(0, 1);
    switch (final) {
        case 'A':
            s.stepCursor(-n, 0);
            break;
        case 'B':
            s.stepCursor(n, 0);
            break;
        case 'C':
            s.stepCursor(0, n);
            break;
        case 'D':
            s.stepCursor(0, -n);
            break;
        case 'H':
        case 'f':
            s.moveCursorTo(n, parameter(1, 1));
            break;
        case 'J':
            s.eraseInDisplay(parameter(0, 0));
            break;
        case 'K':
            s.eraseInLine(parameter(0, 0));
            break;
        case 'L':
            s.insertLine(n);
            break;
        case 'M':
            s.deleteLine(n);
            break;
        case 'P':
            s.deleteCharacter(n);
            break;
        case '@':
            s.insertCharacters(n);
            break;
        case 'X':
            s.eraseCharacters(n);
            break;
        case 'g':
            s.clearTabStop(parameter(0, 0));
            break;
        case 'h':
        case 'l':
            setModes(final == 'h');
            break;
        case 'm':
            selectGraphicRendition();
            break;
        case 'r':
            s.setScrollRegion(n, parameter(1, 0));
            break;
        case 'n':
            deviceStatus();
            break;
        case 'c':
            if (parameter(0, 0) == 0) reply("\x1b[?1;2c");
            break;
        case 'x':  // terminal parameters: no parity, 8 bits, 19200 baud both ways
            if (parameter(0, 0) <= 1)
                reply("\x1b[" + std::to_string(parameter(0, 0) + 2) + ";1;1;120;120;1;0x");
            break;
        case 's':
            s.saveCursor();
            break;
        case 'u':
            s.restoreCursor();
            break;
        default:
            break;  // y (self test), q (LEDs) and the rest
    }
}

void csiByte(unsigned char b) {
    if (b >= '0' && b <= '9') {
        if (state.count < kMaxParameters) {
            int& value = state.parameters[state.count];
            value = std::min(value * 10 + (b - '0'), kParameterLimit);
        }
        state.anyParameter = true;
    } else if (b == ';') {
        if (state.count < kMaxParameters) ++state.count;
        if (state.count < kMaxParameters) state.parameters[state.count] = 0;
        state.anyParameter = true;
    } else if (b >= 0x3C && b <= 0x3F && !state.anyParameter && state.marker == 0 &&
               state.intermediate == 0) {
        state.marker = static_cast<char>(b);
    } else if (b >= 0x20 && b <= 0x2F) {
        state.intermediate = static_cast<char>(b);
    } else if (b >= 0x40 && b <= 0x7E) {
        if (state.anyParameter && state.count < kMaxParameters) ++state.count;
        const Parse before = state.parse;
        toGround();
        if (before == Parse::Csi) controlSequence(b);
    } else if (b != 0x7F) {
        state.parse = Parse::CsiIgnore;  // a colon, or a marker in the wrong place
    }
}

// ---------------------------------------------------------------------------------------------
// Escape sequences

void startSequence(Parse parse) {
    state.parse = parse;
    state.intermediate = 0;
    state.marker = 0;
    state.count = 0;
    state.anyParameter = false;
    state.parameters[0] = 0;
}

void setModeBit(std::uint32_t bit, bool on) {
    TerminalScreen& s = act();
    s.setModes(on ? (s.getModes() | bit) : (s.getModes() & ~bit));
}

void vt52Escape(unsigned char c) {
    TerminalScreen& s = act();
    switch (c) {
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
            break;
        case 'F':
            s.setVt52Graphics(true);
            break;
        case 'G':
            s.setVt52Graphics(false);
            break;
        case 'H':
            s.placeCursor(1, 1);
            break;
        case 'I':
            s.reverseIndex();
            break;
        case 'J':
            s.eraseInDisplay(0);
            break;
        case 'K':
            s.eraseInLine(0);
            break;
        case 'Y':
            state.parse = Parse::Vt52Row;
            return;
        case 'Z':
            reply("\x1b/Z");
            break;
        case '=':
            setModeBit(ModeKeypad, true);
            break;
        case '>':
            setModeBit(ModeKeypad, false);
            break;
        case '<':
            setModeBit(ModeVt52, false);
            break;
        default:
            showEscape(c);
            break;
    }
    toGround();
}

void ansiEscape(unsigned char c) {
    switch (c) {
        case '[':
            startSequence(Parse::Csi);
            return;
        case ']':
        case 'P':
        case 'X':
        case '^':
        case '_':
            state.parse = Parse::String;
            return;
        case 'D':
            act().index();
            break;
        case 'E':
            act().carriageReturn();
            act().index();
            break;
        case 'M':
            act().reverseIndex();
            break;
        case 'H':
            act().setTabStop();
            break;
        case '7':
            act().saveCursor();
            break;
        case '8':
            act().restoreCursor();
            break;
        case 'c':
            act().resetTerminal();
            break;
        case 'Z':
            reply("\x1b[?1;2c");
            break;
        case '=':
            setModeBit(ModeKeypad, true);
            break;
        case '>':
            setModeBit(ModeKeypad, false);
            break;
        case '<':  // ANSI mode already
        case 'N':  // single shifts: no G2 or G3 here
        case 'O':
        case '\\':
        case '-':
        case 'V':
        case 'W':
        case 'Y':
            break;
        default:
            showEscape(c);
            break;
    }
    toGround();
}

void escapeByte(unsigned char c) {
    if (c >= 0x20 && c <= 0x2F && !act().hasMode(ModeVt52)) {
        startSequence(Parse::Designate);
        state.intermediate = static_cast<char>(c);
        return;
    }
    if (act().hasMode(ModeVt52)) {
        vt52Escape(c);
    } else {
        ansiEscape(c);
    }
}

void designateByte(unsigned char c) {
    if (c >= 0x20 && c <= 0x2F) return;  // further intermediates
    const char kind = state.intermediate;
    toGround();
    TerminalScreen& s = act();
    const bool known = c == 'A' || c == 'B' || c == '0' || c == '1' || c == '2';
    if ((kind == '(' || kind == ')') && known)
        s.designateSet(kind == '(' ? 0 : 1, static_cast<char>(c));
    if (kind == '#' && c == '8') s.alignmentPattern();
    // ESC # 3..6 (double height and width) draw single width; other designations are ignored.
}

void vt52Position(unsigned char c) {
    if (state.parse == Parse::Vt52Row) {
        state.vt52Row = c - 31;
        state.parse = Parse::Vt52Column;
        return;
    }
    const int row = state.vt52Row;
    toGround();
    TerminalScreen& s = act();
    s.placeCursor(std::clamp(row, 1, std::max(1, s.rows)),
                  std::clamp(c - 31, 1, std::max(1, s.columns)));
}

// ---------------------------------------------------------------------------------------------
// One byte outside the text fast path.

void sequenceByte(unsigned char b) {
    // Control bytes act inside sequences (and ESC, CAN and SUB end them), but strings and the
    // VT52 position bytes take what comes.
    const bool inString = state.parse == Parse::String || state.parse == Parse::StringEscape;
    if (b < 0x20 && !inString && state.parse != Parse::Vt52Row &&
        state.parse != Parse::Vt52Column) {
        controlByte(b);
        return;
    }
    if (b >= 0x80 && !inString) {
        toGround();  // a 7-bit sequence cannot hold it: the sequence ends and the byte is text
        highByte(b);
        return;
    }
    switch (state.parse) {
        case Parse::Escape:
            escapeByte(b);
            break;
        case Parse::Designate:
            designateByte(b);
            break;
        case Parse::Csi:
        case Parse::CsiIgnore:
            csiByte(b);
            break;
        case Parse::String:
            if (b == 7) toGround();
            if (b == 27) state.parse = Parse::StringEscape;
            break;
        case Parse::StringEscape:
            if (b == '\\') {
                toGround();
            } else {
                state.parse = Parse::String;
            }
            break;
        case Parse::Vt52Row:
        case Parse::Vt52Column:
            vt52Position(b);
            break;
        case Parse::Ground:
            break;
    }
}

void countHeld() {
    if (state.parse == Parse::Ground || state.overflowed) return;
    if (++state.held <= kInputBufferSize) return;
    // One sequence has outgrown the buffer: say so, and skip the rest of it.
    act().writeText(kOverflowMessage, static_cast<int>(sizeof kOverflowMessage - 1));
    state.result = -1;
    state.overflowed = true;
    state.held = 0;
    if (state.parse == Parse::Csi) state.parse = Parse::CsiIgnore;
}

void step(unsigned char b) {
    if (state.utf8Needed > 0 && utf8Continue(b)) return;
    if (state.parse != Parse::Ground) {
        sequenceByte(b);
    } else if (b >= 0x80) {
        if (state.localText) {
            stage(codePageToUtf16(b));
        } else {
            highByte(b);
        }
    } else if (b >= 0x20 && b < 0x7F) {
        stage(b);
    } else {
        controlByte(b);
    }
    countHeld();
}

// A whole control sequence of the usual form (ESC [, an optional ?, digits and semicolons, a
// final byte) at the start of `bytes`, acted on at once. Returns the bytes it took, or 0 when the
// sequence is incomplete or of another form; the state machine then takes it byte by byte.
std::size_t simpleControlSequence(const unsigned char* bytes, std::size_t count) {
    constexpr std::size_t kLongest = 64;
    const std::size_t limit = std::min(count, kLongest);
    std::size_t k = 2;
    startSequence(Parse::Csi);
    if (k < limit && bytes[k] == '?') {
        state.marker = '?';
        ++k;
    }
    for (; k < limit; ++k) {
        const unsigned char b = bytes[k];
        if (b >= '0' && b <= '9') {
            if (state.count < kMaxParameters) {
                int& value = state.parameters[state.count];
                value = std::min(value * 10 + (b - '0'), kParameterLimit);
            }
            state.anyParameter = true;
        } else if (b == ';') {
            if (state.count < kMaxParameters) ++state.count;
            if (state.count < kMaxParameters) state.parameters[state.count] = 0;
            state.anyParameter = true;
        } else if (b >= 0x40 && b <= 0x7E) {
            if (state.anyParameter && state.count < kMaxParameters) ++state.count;
            toGround();
            controlSequence(b);
            return k + 1;
        } else {
            break;
        }
    }
    state.parse = Parse::Ground;
    return 0;
}

void feedPiece(const unsigned char* bytes, std::size_t count) {
    std::size_t i = 0;
    while (i < count && attached()) {
        if (state.parse == Parse::Ground && state.utf8Needed == 0 && !state.localText) {
            // The common case: a run of printable ASCII. It joins staged text (after an accented
            // character, say) or goes to the screen as it is.
            const std::size_t run = printableRun(bytes + i, count - i);
            if (run > 0 && state.textLength == 0) {
                state.screen->writeNarrow(bytes + i, static_cast<int>(run));
                i += run;
                continue;
            }
            for (std::size_t end = i + run; i < end;) {
                if (state.textLength == kTextChunk) flushText();
                const std::size_t take =
                    std::min(end - i, static_cast<std::size_t>(kTextChunk - state.textLength));
                Cell* out = state.text + state.textLength;
                for (std::size_t k = 0; k < take; ++k) out[k] = bytes[i + k];
                state.textLength += static_cast<int>(take);
                i += take;
            }
            if (i >= count) break;
            if (bytes[i] == 27 && i + 1 < count && bytes[i + 1] == '[' &&
                !state.screen->hasMode(ModeVt52)) {
                const std::size_t taken = simpleControlSequence(bytes + i, count - i);
                if (taken > 0) {
                    i += taken;
                    continue;
                }
            }
        }
        step(bytes[i++]);
    }
    if (attached()) flushText();
    state.textLength = 0;
}

int feed(const char* bytes, std::size_t count, bool local) {
    if (!attached() || bytes == nullptr || count == 0) return 0;
    if (state.feeding) {
        state.deferred.emplace_back(std::string(bytes, count), local);
        return 0;
    }
    state.feeding = true;
    state.result = 0;
    state.localText = local;
    feedPiece(reinterpret_cast<const unsigned char*>(bytes), count);
    state.localText = false;
    while (!state.deferred.empty() && attached()) {
        const auto [more, moreLocal] = std::move(state.deferred.front());
        state.deferred.erase(state.deferred.begin());
        state.localText = moreLocal;
        feedPiece(reinterpret_cast<const unsigned char*>(more.data()), more.size());
        state.localText = false;
    }
    state.feeding = false;
    return state.result;
}

}  // namespace

void attachScreen(TerminalScreen* target) {
    state.screen = target != nullptr ? target : &detached;
    toGround();
    state.utf8Needed = 0;
    state.utf8Taken = 0;
    state.textLength = 0;
    state.deferred.clear();
    if (target != nullptr) {
        target->resetState();
        if (state.vt52) target->modes |= ModeVt52;
    }
}

TerminalScreen* attachedScreen() {
    return attached() ? state.screen : nullptr;
}

int pendingByteCount() {
    return state.held;
}

int printText(const char* text) {
    if (text != nullptr) feed(text, std::strlen(text), true);
    return 0;
}

int feedBytes(const char* bytes, std::size_t count) {
    return feed(bytes, count, false);
}

void setRemoteCharset(RemoteCharset charset) {
    state.charset = charset;
    state.utf8Needed = 0;
    state.utf8Taken = 0;
}

RemoteCharset remoteCharset() {
    return state.charset;
}

const char* remoteCharsetName(RemoteCharset charset) {
    switch (charset) {
        case RemoteCharset::Latin1:
            return "iso-8859-1";
        case RemoteCharset::Utf8:
            return "utf-8";
        default:
            return "windows-1252";
    }
}

bool parseRemoteCharset(std::string_view name, RemoteCharset& charset) {
    std::string lower;
    for (char c : name) {
        if (c != '-' && c != '_')
            lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    }
    if (lower == "windows1252" || lower == "cp1252") {
        charset = RemoteCharset::Windows1252;
    } else if (lower == "iso88591" || lower == "latin1") {
        charset = RemoteCharset::Latin1;
    } else if (lower == "utf8") {
        charset = RemoteCharset::Utf8;
    } else {
        return false;
    }
    return true;
}

std::string encodeForHost(std::u16string_view text, RemoteCharset charset) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        char32_t c = text[k];
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < text.size() && text[k + 1] >= 0xDC00 &&
            text[k + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++k] - 0xDC00);
        }
        if (charset == RemoteCharset::Utf8) {
            appendUtf8(out, c);
        } else if (c < 0x80 || (charset == RemoteCharset::Latin1 && c < 0x100)) {
            out.push_back(static_cast<char>(c));
        } else if (charset == RemoteCharset::Latin1) {
            out.push_back('?');
        } else {
            char byte = '?';
            for (int b = 0x80; b < 0x100; ++b) {
                if (codePageToUtf16(static_cast<unsigned char>(b)) == c)
                    byte = static_cast<char>(b);
            }
            out.push_back(byte);
        }
    }
    return out;
}

void selectTerminalType(bool vt52) {
    state.vt52 = vt52;
    if (!attached()) return;
    TerminalScreen& s = *state.screen;
    s.setModes(vt52 ? (s.getModes() | ModeVt52) : (s.getModes() & ~ModeVt52));
}

}  // namespace corvid1
