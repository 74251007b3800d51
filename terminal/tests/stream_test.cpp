// VT100 and VT52 behaviour as tables of byte streams and what they leave: cells, cursor, how
// each cell is drawn, replies, modes and region. Every stream is also fed split at each offset
// and a byte at a time, and must leave the same screen.
#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using StreamTest = TerminalTest;

const std::string kFour = "1\r\n2\r\n3\r\n4";  // one digit on each row of the four rows
const std::string kTwenty = "01234567890123456789";
const std::string kGrid = "abcd\r\nefgh\r\nijkl\033[2;2H";
constexpr auto Utf8 = RemoteCharset::Utf8;

struct ScreenCase {
    std::string input;
    std::vector<std::string> rows;  // from row 1; rows not listed are not checked
    int row, column;
    RemoteCharset charset = RemoteCharset::Windows1252;
};

// Every case runs on a screen of 20 columns and 4 rows with 2 lines of scrollback.
const ScreenCase kScreenCases[] = {
    // Cursor moves by their counts (0 or none: 1) inside the screen; controls in a sequence act.
    {"\033[3;10H\033[2A", {}, 1, 10},
    {"\033[1;10H\033[2B", {}, 3, 10},
    {"\033[3;10H\033[3C\033[0A", {}, 2, 13},
    {"\033[3;10H\033[4D\033[B", {}, 4, 6},
    {"\033[3;10H\033[99D\033[99A", {}, 1, 1},
    {"\033[2;5H\033[;5H", {}, 1, 5},
    {"\033[1;9H\033[3f", {}, 3, 1},
    {"\033[0;0H\033[1;2;3H", {}, 1, 2},
    {"\033[99999999999999;99999999999999H", {}, 4, 20},
    {"\033[2\bC\033[00003;0002Hx", {"", "", " x"}, 3, 3},
    {"\033[1;1H\033[3\rB\033[\0132Cy", {"", "", "", "  y"}, 4, 4},
    {"ab\vc\fd\033E\033De", {"  c", "   d", "", "e"}, 4, 2},
    // Tabs: every 8 columns, set with ESC H, cleared with ESC [ 3 g, the last column at most.
    {"a\tb\tc", {"a       b       c"}, 1, 18},
    {"\033[3g\tx", {"                   x"}, 1, 21},
    {"abc\033H\r\tx\t\ty", {"abcx            y"}, 1, 18},
    {"\033[1;9H\033[g\r\tx", {"                x"}, 1, 18},
    // Character sets: designated, invoked by SI and SO, kept by ESC 7 / ESC 8 and by ESC [ m.
    {"\033(0lqk\033(B x", {"\u250c\u2500\u2510 x"}, 1, 6},
    {"\033)0a\x0eq\033[mq\x0fq", {"a\u2500\u2500q"}, 1, 5},
    {"\033(A#\033(Z#\033(B#", {"\u00a3\u00a3#"}, 1, 4},  // Z names no set
    {"\033(0\0337\033(Bab\0338q", {"\u2500b"}, 1, 2},
    // Erasing the display and the line: 0 from the cursor, 1 up to it, 2 all; 3 is not a VT100's.
    {kGrid + "\033[J", {"abcd", "e", ""}, 2, 2},
    {kGrid + "\033[0J", {"abcd", "e", ""}, 2, 2},
    {kGrid + "\033[1J", {"", "  gh", "ijkl"}, 2, 2},
    {kGrid + "\033[2J", {"", "", ""}, 2, 2},
    {kGrid + "\033[3J", {"abcd", "efgh", "ijkl"}, 2, 2},
    {kGrid + "\033[K", {"abcd", "e", "ijkl"}, 2, 2},
    {kGrid + "\033[1K", {"abcd", "  gh", "ijkl"}, 2, 2},
    {kGrid + "\033[2K", {"abcd", "", "ijkl"}, 2, 2},
    // Insert and delete line: as many as the count says, from the cursor's row, inside the region.
    {kFour + "\033[2;3r\033[2;1H\033[L", {"1", "", "2", "4"}, 2, 1},
    {kFour + "\033[2;4r\033[2;1H\033[2M", {"1", "4", "", ""}, 2, 1},
    {kFour + "\033[3;1H\033[2L", {"1", "2", "", ""}, 3, 1},
    {kFour + "\033[2;3r\033[2;1H\033[9L", {"1", "", "", "4"}, 2, 1},
    {kFour + "\033[1;1H\033[3M", {"4", "", "", ""}, 1, 1},
    {kFour + "\033[2;3r\033[4;1H\033[L", {"1", "2", "3", "4"}, 4, 1},
    {kFour + "\033[1;3r\033[3;1H\nx", {"2", "3", "x", "4"}, 3, 2},
    {kFour + "\033[2;3r\033[3;1H\nx", {"1", "3", "x", "4"}, 3, 2},
    {kFour + "\033[2;3r\033[4;1H\nx", {"1", "2", "3", "x"}, 4, 2},
    {kFour + "\033[2;3r\033[2;1H\033Mx", {"1", "x", "2", "4"}, 2, 2},
    {kFour + "\033[3;1H\033Mx", {"1", "x", "3", "4"}, 2, 2},
    {kFour + "\033[3;4r\033[2;1H\033Mx", {"x", "2", "3", "4"}, 1, 2},  // above the region
    {kFour + "\033[1;1H\033M\033Mx", {"x", "", "1", "2"}, 1, 2},
    {kFour + "\033[2;3H\033[2;3r", {"1", "2", "3", "4"}, 1, 1},
    {kFour + "\033[2;3r\033[3;1H\033[5B\033[9Ax", {"1", "x", "3", "4"}, 2, 2},
    // Origin mode: rows count from the region's top and stay inside it.
    {"\033[2;3r\033[?6h\033[1;1Hx\033[9;1Hy", {"", "x", "y"}, 3, 2},
    {"\033[2;3r\033[4;4H\033[?6hz", {"", "z"}, 2, 2},
    // Autowrap and the pending wrap at the last column.
    {"\033[?7l" + kTwenty + "xyz", {"0123456789012345678z"}, 1, 20},
    {kTwenty + "\rX", {"X1234567890123456789"}, 1, 2},
    {kTwenty + "\bX", {"012345678901234567X9"}, 1, 20},
    {kTwenty + "\033[C\033[DX", {"012345678901234567X9"}, 1, 20},
    {kTwenty + "ab", {kTwenty, "ab"}, 2, 3},
    // Editing: insert mode, inserting, deleting and erasing as many characters as asked; line
    // feed keeps the column unless new-line mode is set.
    {"abcdef\033[1;3H\033[4hXY\033[4lZ", {"abXYZdef"}, 1, 6},
    {"abcdef\033[1;2H\033[2@", {"a  bcdef"}, 1, 2},
    {"abcdef\033[1;2H\033[2P", {"adef"}, 1, 2},
    {"abcdef\033[1;2H\033[3X", {"a   ef"}, 1, 2},
    {"abcdef\033[1;2H\033[P\033[X", {"a def"}, 1, 2},
    {kTwenty + "\033[1;1H\033[@", {" 0123456789012345678"}, 1, 1},
    {kTwenty + "\033[1;18H\033[9P", {"01234567890123456"}, 1, 18},
    {kTwenty + "\033[1;18H\033[9@", {"01234567890123456"}, 1, 18},
    {kTwenty + "ab\033[1;1H\033[P", {"1234567890123456789", "ab"}, 1, 1},
    {"ab\ncd\r\nef\rX\033[20h\nY", {"ab", "  cd", "Xf", "Y"}, 4, 2},
    // Alignment pattern, reset, double-size lines drawn single, strings skipped to BEL or ST.
    {"\033#8", {std::string(20, 'E'), std::string(20, 'E'), std::string(20, 'E')}, 1, 1},
    {"abc\033[2;3r\033c", {"", ""}, 1, 1},
    {"\033#3x", {"x"}, 1, 2},
    {"text\033[3;5H\033[?3h", {""}, 1, 1},  // 132 columns: cleared and homed
    {"a\033]0;title\007b\033Pq\033\\c", {"abc"}, 1, 4},
    {"a\033[2\032Bb\033[\030Cc", {"aBbCc"}, 1, 6},  // SUB and CAN end a sequence
    // VT52 mode: ESC Y addresses rows and columns from 32, graphics, erase, reverse line feed;
    // and what no sequence names stays visible.
    {"\033[?2l\033Y\"%x\033Hy\033C\033Cz", {"y  z", "", "     x"}, 1, 5},
    {"\033[?2l\033Y%+z", {"", "", "", "           z"}, 4, 13},
    {"\033[?2labc\033D\033K\033Fq\033Gq", {"ab\u2500q"}, 1, 5},
    {"\033[?2l\033<\033[2;2Hx", {"", " x"}, 2, 3},
    {"\033[?2la\033Ib", {" b", "a"}, 1, 3},
    {"\033[?2l\033x\033[", {"<esc>x<esc>["}, 1, 13},
    {"\033x\x01\x81|\033Yab", {"<esc>x^A^\u00c1|ab"}, 1, 14},
    // Remote character sets: UTF-8 with malformed bytes, wide and combining characters.
    {"caf\xc3\xa9 \xe2\x82\xac", {"caf\u00e9 \u20ac"}, 1, 7, Utf8},
    {"a\342\202b\377c", {"a\ufffd\ufffdb\ufffdc"}, 1, 7, Utf8},
    {"\300\257d\355\240\200", {"\ufffd\ufffdd\ufffd\ufffd\ufffd"}, 1, 7, Utf8},
    {"\340\200\200e\364\220\200\200", {"\ufffd\ufffd\ufffde\ufffd\ufffd\ufffd\ufffd"}, 1, 9, Utf8},
    {"\xe4\xb8\xad\xe6\x96\x87x", {"\u4e2d\u6587x"}, 1, 6, Utf8},
    {std::string(19, 'a') + "\xe4\xb8\xad", {std::string(19, 'a'), "\u4e2d"}, 2, 3, Utf8},
    {"\344\270\255a\344\270\255\033[1;1Hx\033[1;5Hy", {"x a y"}, 1, 6, Utf8},  // halves go
    {"e\xcc\x81x\xf0\x9f\x98\x80", {"ex\U0001F600"}, 1, 5, Utf8},
    {"\xe9\x80", {"\u00e9^\u00c0"}, 1, 4, RemoteCharset::Latin1},
    {"\x80\xe9\x81", {"\u20ac\u00e9^\u00c1"}, 1, 5},
};

TEST_F(StreamTest, StreamsLeaveTheseCellsAndCursor) {
    for (const ScreenCase& c : kScreenCases) {
        setRemoteCharset(c.charset);
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(c.input));
        for (std::size_t r = 0; r < c.rows.size(); ++r)
            EXPECT_EQ(row(int(r) + 1), c.rows[r]) << c.input << " row " << r + 1;
        EXPECT_EQ(screen->cursorRow(), c.row) << c.input;
        EXPECT_EQ(screen->cursorColumn, c.column) << c.input;
    }
}

// Every code of the rendition table, alone and after everything was set, seen on the cell
// written next.
std::vector<std::pair<std::string, Look>> renditionCases() {
    const std::string all = "\033[1;4;5;7;31;42m";
    const Look allLook{1, 2, true, true, true, true};
    std::vector<std::pair<std::string, Look>> cases = {
        {"\033[1mx", {.bold = true}},
        {"\033[4mx", {.underline = true}},
        {"\033[5mx", {.blink = true}},
        {"\033[7mx", {.reverse = true}},
        {all + "x", allLook},
        {all + "\033[22mx", {1, 2, false, true, true, true}},
        {all + "\033[24mx", {1, 2, true, false, true, true}},
        {all + "\033[25mx", {1, 2, true, true, false, true}},
        {all + "\033[27mx", {1, 2, true, true, true, false}},
        {all + "\033[39mx", {-1, 2, true, true, true, true}},
        {all + "\033[49mx", {1, -1, true, true, true, true}},
        {all + "\033[0mx", {}},
        {all + "\033[mx", {}},
        {all + "\033cx", {}},
        {all + "\033[0;32mx", {.foreground = 2}},
        {"\033[31m\033[38;5;200mx", {.foreground = 1}},
        {"\033[38;2;1;2;3;4mx", {.underline = true}},
        {"\033[0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;31mx", {}},      // past the 16 parameters kept
        {"ab\033[1mc\033[0m\033[1;1H\033[2P", {.bold = true}},  // the rendition moves along
        // Erased cells take the background and nothing else.
        {"\033[7;42mab\033[1;1H\033[K", {.background = 2}},
    };
    for (int c = 0; c < 8; ++c) {
        const std::string n = std::to_string(c), bright = std::to_string(c + 8);
        for (const std::string& code : {"3" + n, "9" + n, "38;5;" + n, "38;5;" + bright})
            cases.push_back({"\033[" + code + "mx", {.foreground = c}});
        for (const std::string& code : {"4" + n, "10" + n, "48;5;" + n, "48;5;" + bright})
            cases.push_back({"\033[" + code + "mx", {.background = c}});
    }
    return cases;
}

TEST_F(StreamTest, EveryRenditionCodeShowsOnTheNextCell) {
    for (const auto& [input, expected] : renditionCases()) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(input));
        EXPECT_EQ(look(1, 1), expected) << input.substr(1);
    }
}

// The replies to the host, the modes and the scroll region each stream leaves.
struct StateCase {
    std::string input, reply;
    std::uint32_t modes = ModeAutowrap;
    int top = 1, bottom = 4;
};
const StateCase kStateCases[] = {
    {"\x05", "vt100"},
    {"\033[c\033[0c\033Z\033[1c\033[>c", "\033[?1;2c\033[?1;2c\033[?1;2c"},
    {"\033[5n", "\033[0n"},
    {"\033[3;7H\033[6n", "\033[3;7R"},
    {"\033[2;4r\033[?6h\033[2;3H\033[6n", "\033[2;3R", ModeAutowrap | ModeOrigin, 2, 4},
    {"01234567890123456789\033[6n", "\033[1;20R"},
    {"\033[?2l\033Z\x05", "\033/Zvt100", ModeAutowrap | ModeVt52},
    {"\033[x\033[1x\033[2x", "\033[2;1;1;120;120;1;0x\033[3;1;1;120;120;1;0x"},
    {"\033[?15n\033[?6n", "\033[?13n"},
    {"\033[?1h", "", ModeAutowrap | ModeCursorKeys},
    {"\033[?1h\033[?1l\033=\033>\033[?2004h", ""},
    {"\033=", "", ModeAutowrap | ModeKeypad},
    {"\033[?2l\033<\033[?2h", ""},
    {"\033[?5;25h\033[?7;25l", "", ModeReverseScreen | ModeHiddenCursor},
    {"\033[4h\033[20h\033[?6h", "", ModeAutowrap | ModeInsert | ModeNewLine | ModeOrigin},
    {"\033[?4h\033[?8h\033[?4;8l", ""},
    {"\033[?5h\033[1m\033[2;3r\033c", ""},
    {"\033[2;99r", "", ModeAutowrap, 2, 4},
    {"\033[0;0r", ""},
    {"\033[2;3r\033[3;2r\033[3;3r", "", ModeAutowrap, 2, 3},
    {"\033[3r", "", ModeAutowrap, 3, 4},
    {"\033[2;3r\033[r", ""},
    {"\033[2;3r\033[?3h", "", ModeAutowrap | ModeWideColumns},
};

TEST_F(StreamTest, RepliesModesAndRegionFollowTheirSequences) {
    for (const StateCase& c : kStateCases) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(c.input));
        EXPECT_EQ(target.sentToHost, c.reply) << c.input;
        EXPECT_EQ(screen->modes, c.modes) << c.input;
        EXPECT_EQ(screen->regionTop, c.top) << c.input;
        EXPECT_EQ(screen->regionBottom, c.bottom) << c.input;
    }
    selectTerminalType(true);  // the terminal type holds for screens attached later too
    size(20, 4, 0);
    EXPECT_TRUE(screen->hasMode(ModeVt52));
}

TEST_F(StreamTest, TypedTextIsEncodedForTheRemoteCharacterSet) {
    const std::u16string text = u"a\u00e9\u20ac\u4e2d\U0001F600";
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Windows1252), "a\xe9\x80??");
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Latin1), "a\xe9???");
    EXPECT_EQ(encodeForHost(text, Utf8), "a\xc3\xa9\xe2\x82\xac\xe4\xb8\xad\xf0\x9f\x98\x80");
    RemoteCharset parsed = Utf8;
    EXPECT_TRUE(parseRemoteCharset("latin1", parsed) && parsed == RemoteCharset::Latin1);
    EXPECT_TRUE(parseRemoteCharset("CP1252", parsed) && parsed == RemoteCharset::Windows1252);
    EXPECT_TRUE(parseRemoteCharset("UTF-8", parsed) && parsed == Utf8);
    EXPECT_FALSE(parseRemoteCharset("koi8-r", parsed));
    EXPECT_EQ(parsed, Utf8);
}

}  // namespace
}  // namespace corvid1::testing
