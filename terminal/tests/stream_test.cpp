// VT100 and VT52 behaviour as tables of byte streams and what they leave: the cells and the
// cursor, how each cell is drawn, the replies to the host, the modes and the scroll region.
// Every stream of every table is also fed split at each offset and a byte at a time, and must
// leave the same screen.
#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using StreamTest = TerminalTest;

const std::string kFour = "1\r\n2\r\n3\r\n4";  // one digit on each row of the four rows
const std::string kTwenty = "01234567890123456789";
const std::string kGrid = "abcd\r\nefgh\r\nijkl\x1b[2;2H";
constexpr auto Utf8 = RemoteCharset::Utf8;

struct ScreenCase {
    std::string input;
    std::vector<std::string> rows;  // from row 1; rows not listed are not checked
    int row, column;
    RemoteCharset charset = RemoteCharset::Windows1252;
};

// Every case runs on a screen of 20 columns and 4 rows with 2 lines of scrollback.
const ScreenCase kScreenCases[] = {
    // Cursor moves with counts, limited to the screen; 0 and missing parameters count as 1,
    // leading zeros count for nothing, and controls inside a sequence act.
    {"\x1b[3;10H\x1b[2A", {}, 1, 10},
    {"\x1b[1;10H\x1b[2B", {}, 3, 10},
    {"\x1b[3;10H\x1b[3C\x1b[0A", {}, 2, 13},
    {"\x1b[3;10H\x1b[4D\x1b[B", {}, 4, 6},
    {"\x1b[3;10H\x1b[99D\x1b[99A", {}, 1, 1},
    {"\x1b[99;999H", {}, 4, 20},
    {"\x1b[2;5H\x1b[;5H", {}, 1, 5},
    {"\x1b[1;9H\x1b[3f", {}, 3, 1},
    {"\x1b[0;0H\x1b[1;2;3H", {}, 1, 2},
    {"\x1b[99999999999999;99999999999999H", {}, 4, 20},
    {"\x1b[2\bC\x1b[00003;0002Hx", {"", "", " x"}, 3, 3},
    {"\x1b[1;1H\x1b[3\rB\x1b[\x0b"
     "2Cy",
     {"", "", "", "  y"},
     4,
     4},
    {"ab\vc\fd\x1b"
     "E\x1b"
     "De",
     {"  c", "   d", "", "e"},
     4,
     2},
    // Tabs: every 8 columns, set with ESC H, cleared with ESC [ 3 g, the last column at most.
    {"a\tb\tc", {"a       b       c"}, 1, 18},
    {"\x1b[3g\tx", {"                   x"}, 1, 21},
    {"abc\x1bH\r\tx\t\ty", {"abcx            y"}, 1, 18},
    {"\x1b[1;9H\x1b[g\r\tx", {"                x"}, 1, 18},
    // Character sets: designated to G0 and G1, invoked by SI and SO, kept by save and restore
    // and by a reset of the rendition.
    {"\x1b(0lqk\x1b(B x", {"\u250c\u2500\u2510 x"}, 1, 6},
    {"\x1b)0a\x0eq\x1b[mq\x0fq", {"a\u2500\u2500q"}, 1, 5},
    {"\x1b(A#\x1b(B#\x1b(Z#", {"\u00a3##"}, 1, 4},
    {"\x1b(0\x1b"
     "7\x1b(Bab\x1b"
     "8q",
     {"\u2500b"},
     1,
     2},
    // Erasing in the display and in the line: 0 (or nothing) after the cursor, 1 up to it,
    // 2 all of it; 3 is not a VT100's.
    {kGrid + "\x1b[J", {"abcd", "e", ""}, 2, 2},
    {kGrid + "\x1b[0J", {"abcd", "e", ""}, 2, 2},
    {kGrid + "\x1b[1J", {"", "  gh", "ijkl"}, 2, 2},
    {kGrid + "\x1b[2J", {"", "", ""}, 2, 2},
    {kGrid + "\x1b[3J", {"abcd", "efgh", "ijkl"}, 2, 2},
    {kGrid + "\x1b[K", {"abcd", "e", "ijkl"}, 2, 2},
    {kGrid + "\x1b[1K", {"abcd", "  gh", "ijkl"}, 2, 2},
    {kGrid + "\x1b[2K", {"abcd", "", "ijkl"}, 2, 2},
    // Insert and delete line act inside the scroll region, from the cursor's row, as many
    // lines as the count says and no more than the region holds.
    {kFour + "\x1b[2;3r\x1b[2;1H\x1b[L", {"1", "", "2", "4"}, 2, 1},
    {kFour + "\x1b[2;4r\x1b[2;1H\x1b[2M", {"1", "4", "", ""}, 2, 1},
    {kFour + "\x1b[3;1H\x1b[2L", {"1", "2", "", ""}, 3, 1},
    {kFour + "\x1b[2;3r\x1b[2;1H\x1b[9L", {"1", "", "", "4"}, 2, 1},
    {kFour + "\x1b[1;1H\x1b[3M", {"4", "", "", ""}, 1, 1},
    {kFour + "\x1b[2;3r\x1b[4;1H\x1b[L", {"1", "2", "3", "4"}, 4, 1},
    {kFour + "\x1b[1;3r\x1b[3;1H\nx", {"2", "3", "x", "4"}, 3, 2},
    {kFour + "\x1b[2;3r\x1b[3;1H\nx", {"1", "3", "x", "4"}, 3, 2},
    {kFour + "\x1b[2;3r\x1b[4;1H\nx", {"1", "2", "3", "x"}, 4, 2},
    {kFour + "\x1b[2;3r\x1b[2;1H\x1bMx", {"1", "x", "2", "4"}, 2, 2},
    {kFour + "\x1b[3;1H\x1bMx", {"1", "x", "3", "4"}, 2, 2},
    {kFour + "\x1b[1;1H\x1bM\x1bMx", {"x", "", "1", "2"}, 1, 2},
    {kFour + "\x1b[2;3H\x1b[2;3r", {"1", "2", "3", "4"}, 1, 1},
    {kFour + "\x1b[2;3r\x1b[3;1H\x1b[5B\x1b[9Ax", {"1", "x", "3", "4"}, 2, 2},
    // Origin mode: rows count from the region's top and stay inside it.
    {"\x1b[2;3r\x1b[?6h\x1b[1;1Hx\x1b[9;1Hy", {"", "x", "y"}, 3, 2},
    {"\x1b[2;3r\x1b[4;4H\x1b[?6hz", {"", "z"}, 2, 2},
    // Autowrap and the pending wrap at the last column.
    {"\x1b[?7l" + kTwenty + "xyz", {"0123456789012345678z"}, 1, 20},
    {kTwenty + "\rX", {"X1234567890123456789"}, 1, 2},
    {kTwenty + "\bX", {"012345678901234567X9"}, 1, 20},
    {kTwenty + "\x1b[C\x1b[DX", {"012345678901234567X9"}, 1, 20},
    {kTwenty + "ab", {kTwenty, "ab"}, 2, 3},
    // Editing: insert mode, and inserting, deleting and erasing as many characters as asked.
    {"abcdef\x1b[1;3H\x1b[4hXY\x1b[4lZ", {"abXYZdef"}, 1, 6},
    {"abcdef\x1b[1;2H\x1b[2@", {"a  bcdef"}, 1, 2},
    {"abcdef\x1b[1;2H\x1b[2P", {"adef"}, 1, 2},
    {"abcdef\x1b[1;2H\x1b[3X", {"a   ef"}, 1, 2},
    {"abcdef\x1b[1;2H\x1b[P\x1b[X", {"a def"}, 1, 2},
    {kTwenty + "\x1b[1;1H\x1b[@", {" 0123456789012345678"}, 1, 1},
    {kTwenty + "\x1b[1;18H\x1b[9P", {"01234567890123456"}, 1, 18},
    {kTwenty + "ab\x1b[1;1H\x1b[P", {"1234567890123456789", "ab"}, 1, 1},
    // Line feed keeps the column unless new-line mode is set.
    {"ab\ncd\r\nef\rX\x1b[20h\nY", {"ab", "  cd", "Xf", "Y"}, 4, 2},
    // Alignment pattern, reset, double-size lines drawn single.
    {"\x1b#8", {std::string(20, 'E'), std::string(20, 'E'), std::string(20, 'E')}, 1, 1},
    {"abc\x1b[2;3r\x1b"
     "c",
     {"", ""},
     1,
     1},
    {"\x1b#3x", {"x"}, 1, 2},
    // Strings (title, device control) are skipped to BEL or ESC backslash.
    {"a\x1b]0;title\x07" "b\x1bPq\x1b\\c", {"abc"}, 1, 4},
    // VT52 mode: ESC Y addresses rows and columns from 32, graphics, erase, reverse line feed.
    {"\x1b[?2l\x1bY\"%x\x1bHy\x1b"
     "C\x1b"
     "Cz",
     {"y  z", "", "     x"},
     1,
     5},
    {"\x1b[?2l\x1bY%+z", {"", "", "", "           z"}, 4, 13},
    {"\x1b[?2labc\x1b"
     "D\x1bK\x1b"
     "Fq\x1bGq",
     {"ab\u2500q"},
     1,
     5},
    {"\x1b[?2l\x1b<\x1b[2;2Hx", {"", " x"}, 2, 3},
    {"\x1b[?2la\x1bIb", {" b", "a"}, 1, 3},
    {"\x1b[?2l\x1bx\x1b[", {"<esc>x<esc>["}, 1, 13},
    // What no VT100 sequence names stays visible.
    {"\x1bx\x01\x81|\x1bYab", {"<esc>x^A^\u00c1|ab"}, 1, 14},
    // Remote character sets: UTF-8 with malformed bytes, wide and combining characters.
    {"caf\xc3\xa9 \xe2\x82\xac", {"caf\u00e9 \u20ac"}, 1, 7, Utf8},
    {"a\xe2\x82"
     "b\xff"
     "c\xc0\xaf"
     "d\xed\xa0\x80",
     {"a\ufffd\ufffdb\ufffdc\ufffd\ufffdd\ufffd\ufffd\ufffd"},
     1,
     13,
     Utf8},
    {"\xe4\xb8\xad\xe6\x96\x87x", {"\u4e2d\u6587x"}, 1, 6, Utf8},
    {std::string(19, 'a') + "\xe4\xb8\xad", {std::string(19, 'a'), "\u4e2d"}, 2, 3, Utf8},
    {"\xe4\xb8\xad\x1b[1;2Hx", {" x"}, 1, 3, Utf8},
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
    const std::string all = "\x1b[1;4;5;7;31;42m";
    const Look allLook{1, 2, true, true, true, true};
    std::vector<std::pair<std::string, Look>> cases = {
        {"\x1b[1mx", {.bold = true}},
        {"\x1b[4mx", {.underline = true}},
        {"\x1b[5mx", {.blink = true}},
        {"\x1b[7mx", {.reverse = true}},
        {all + "x", allLook},
        {all + "\x1b[22mx", {1, 2, false, true, true, true}},
        {all + "\x1b[24mx", {1, 2, true, false, true, true}},
        {all + "\x1b[25mx", {1, 2, true, true, false, true}},
        {all + "\x1b[27mx", {1, 2, true, true, true, false}},
        {all + "\x1b[39mx", {-1, 2, true, true, true, true}},
        {all + "\x1b[49mx", {1, -1, true, true, true, true}},
        {all + "\x1b[0mx", {}},
        {all + "\x1b[mx", {}},
        {all + "\x1b[0;32mx", {.foreground = 2}},
        {"\x1b[31m\x1b[38;5;200mx", {.foreground = 1}},
        {"\x1b[38;2;1;2;3;4mx", {.underline = true}},
        {"\x1b[0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;31mx", {}},  // past the 16 parameters kept
        // Erased cells take the background and nothing else.
        {"\x1b[7;42mab\x1b[1;1H\x1b[K", {.background = 2}},
    };
    for (int c = 0; c < 8; ++c) {
        const std::string n = std::to_string(c), bright = std::to_string(c + 8);
        for (const std::string& code : {"3" + n, "9" + n, "38;5;" + n, "38;5;" + bright})
            cases.push_back({"\x1b[" + code + "mx", {.foreground = c}});
        for (const std::string& code : {"4" + n, "10" + n, "48;5;" + n, "48;5;" + bright})
            cases.push_back({"\x1b[" + code + "mx", {.background = c}});
    }
    return cases;
}

TEST_F(StreamTest, EveryRenditionCodeShowsOnTheNextCell) {
    for (const auto& [input, expected] : renditionCases()) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(input));
        EXPECT_EQ(look(1, 1), expected) << input.substr(1);
    }
}

TEST_F(StreamTest, RepliesGoToTheHost) {
    const struct {
        const char* input;
        const char* reply;
    } cases[] = {
        {"\x05", "vt100"},
        {"\x1b[c\x1b[0c\x1bZ\x1b[1c\x1b[>c", "\x1b[?1;2c\x1b[?1;2c\x1b[?1;2c"},
        {"\x1b[5n", "\x1b[0n"},
        {"\x1b[3;7H\x1b[6n", "\x1b[3;7R"},
        {"\x1b[2;4r\x1b[?6h\x1b[2;3H\x1b[6n", "\x1b[2;3R"},
        {"01234567890123456789\x1b[6n", "\x1b[1;20R"},
        {"\x1b[?2l\x1bZ\x05", "\x1b/Zvt100"},
        {"\x1b[x\x1b[1x\x1b[2x", "\x1b[2;1;1;120;120;1;0x\x1b[3;1;1;120;120;1;0x"},
        {"\x1b[?15n\x1b[?6n", "\x1b[?13n"},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(c.input));
        EXPECT_EQ(target.sentToHost, c.reply) << c.input;
    }
}

TEST_F(StreamTest, ModesFollowTheirSequences) {
    const struct {
        const char* input;
        std::uint32_t modes;
    } cases[] = {
        {"", ModeAutowrap},
        {"\x1b[?1h", ModeAutowrap | ModeCursorKeys},
        {"\x1b[?1h\x1b[?1l\x1b=\x1b>", ModeAutowrap},
        {"\x1b=", ModeAutowrap | ModeKeypad},
        {"\x1b[?2l\x1b=", ModeAutowrap | ModeVt52 | ModeKeypad},
        {"\x1b[?2l\x1b<\x1b[?2h", ModeAutowrap},
        {"\x1b[?5;25h\x1b[?7;25l", ModeReverseScreen | ModeHiddenCursor},
        {"\x1b[4h\x1b[20h\x1b[?6h", ModeAutowrap | ModeInsert | ModeNewLine | ModeOrigin},
        {"\x1b[?4h\x1b[?8h\x1b[?4;8l", ModeAutowrap},
        {"\x1b[?5h\x1b[1m\x1b"
         "c",
         ModeAutowrap},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(c.input));
        EXPECT_EQ(screen->modes, c.modes) << c.input;
    }
}

TEST_F(StreamTest, ScrollRegionRequestsAreLimitedOrIgnored) {
    const struct {
        const char* input;
        int top, bottom;
    } cases[] = {{"\x1b[2;99r", 2, 4},         {"\x1b[0;0r", 1, 4},
                 {"\x1b[2;3r\x1b[3;2r", 2, 3}, {"\x1b[2;3r\x1b[3;3r", 2, 3},
                 {"\x1b[3r", 3, 4},            {"\x1b[2;3r\x1b[r", 1, 4}};
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(feedEveryWay(c.input));
        EXPECT_EQ(screen->regionTop, c.top) << c.input + 1;
        EXPECT_EQ(screen->regionBottom, c.bottom) << c.input + 1;
    }
}

TEST_F(StreamTest, ColumnModeClearsHomesAndTellsTheWindow) {
    ASSERT_NO_FATAL_FAILURE(feedEveryWay("text\x1b[2;3r\x1b[3;5H\x1b[?3h", 80, 4, 5));
    EXPECT_EQ(screen->columns, 132);
    EXPECT_EQ(row(1), "");
    expectCursor(1, 1);
    EXPECT_EQ(screen->regionTop, 1);
    EXPECT_GT(target.count(ColumnsChanged), 0);
    feed("\x1b[?3l");
    EXPECT_EQ(screen->columns, 80);
    EXPECT_EQ(target.log.back().first, RepaintAll);
}

TEST_F(StreamTest, TypedTextIsEncodedForTheRemoteCharacterSet) {
    const std::u16string text = u"a\u00e9\u20ac\u4e2d\U0001F600";
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Windows1252), "a\xe9\x80??");
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Latin1), "a\xe9???");
    EXPECT_EQ(encodeForHost(text, Utf8), "a\xc3\xa9\xe2\x82\xac\xe4\xb8\xad\xf0\x9f\x98\x80");
    const struct {
        const char* name;
        bool known;
        RemoteCharset charset;
    } names[] = {{"UTF-8", true, Utf8},
                 {"latin1", true, RemoteCharset::Latin1},
                 {"CP1252", true, RemoteCharset::Windows1252},
                 {"koi8-r", false, Utf8}};
    for (const auto& n : names) {
        RemoteCharset parsed = Utf8;
        EXPECT_EQ(parseRemoteCharset(n.name, parsed), n.known) << n.name;
        EXPECT_EQ(parsed, n.charset) << n.name;
    }
}

}  // namespace
}  // namespace corvid1::testing
