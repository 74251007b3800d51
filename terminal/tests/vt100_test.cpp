// VT100 and VT52 behaviour as tables of byte streams: the cells and cursor they leave, the
// renditions, the replies to the host and the modes; and every stream gives the same screen
// whatever the split of its bytes across feeds.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using Vt100Test = TerminalTest;

const std::string kFour = "1\r\n2\r\n3\r\n4";  // one digit on each row of a four-row screen
const std::string kTwenty = "01234567890123456789";

struct ScreenCase {
    std::string input;
    std::vector<std::string> rows;  // from row 1; rows not listed are not checked
    int row, column;
    RemoteCharset charset = RemoteCharset::Windows1252;
};

// Every case runs on a screen of 20 columns and 4 rows.
const ScreenCase kScreenCases[] = {
    // Tabs: every 8 columns, set with ESC H, cleared with ESC [ 3 g, the last column at most.
    {"a\tb\tc", {"a       b       c"}, 1, 18},
    {"\x1b[3g\tx", {"                   x"}, 1, 21},
    {"abc\x1bH\r\tx\t\ty", {"abcx            y"}, 1, 18},
    {"\x1b[1;9H\x1b[g\r\tx", {"                x"}, 1, 18},
    // Character sets: designated to G0 and G1, invoked by SI and SO, kept by save and restore.
    {"\x1b(0lqk\x1b(B x", {"\u250c\u2500\u2510 x"}, 1, 6},
    {"\x1b)0a\x0eq\x0fq", {"a\u2500q"}, 1, 4},
    {"\x1b(A#\x1b(B#", {"\u00a3#"}, 1, 3},
    {"\x1b(0\x1b"
     "7\x1b(Bab\x1b"
     "8q",
     {"\u2500b"},
     1,
     2},
    // Scroll region: insert and delete line with counts act inside it, from the cursor's row.
    {kFour + "\x1b[2;3r\x1b[2;1H\x1b[L", {"1", "", "2", "4"}, 2, 1},
    {kFour + "\x1b[2;4r\x1b[2;1H\x1b[2M", {"1", "4", "", ""}, 2, 1},
    {kFour + "\x1b[2;3r\x1b[2;1H\x1b[9L", {"1", "", "", "4"}, 2, 1},
    {kFour + "\x1b[2;3r\x1b[4;1H\x1b[L", {"1", "2", "3", "4"}, 4, 1},
    {kFour + "\x1b[1;3r\x1b[3;1H\nx", {"2", "3", "x", "4"}, 3, 2},
    {kFour + "\x1b[2;3r\x1b[2;1H\x1bMx", {"1", "x", "2", "4"}, 2, 2},
    {kFour + "\x1b[3;1H\x1bMx", {"1", "x", "3", "4"}, 2, 2},
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
    // Editing: insert mode, insert, delete and erase characters.
    {"abcdef\x1b[1;3H\x1b[4hXY\x1b[4lZ", {"abXYZdef"}, 1, 6},
    {"abcdef\x1b[1;2H\x1b[2@", {"a  bcdef"}, 1, 2},
    {"abcdef\x1b[1;2H\x1b[2P", {"adef"}, 1, 2},
    {"abcdef\x1b[1;2H\x1b[3X", {"a   ef"}, 1, 2},
    {kTwenty + "\x1b[1;1H\x1b[@", {" 0123456789012345678"}, 1, 1},
    // Index, next line, alignment pattern, reset.
    {"ab\x1b"
     "Dc\x1b"
     "Ed",
     {"ab", "  c", "d"},
     3,
     2},
    {"\x1b#8", {std::string(20, 'E'), std::string(20, 'E'), std::string(20, 'E')}, 1, 1},
    {"abc\x1b[2;3r\x1b"
     "c",
     {"", ""},
     1,
     1},
    {"\x1b#3x", {"x"}, 1, 2},
    // Cursor controls inside sequences act; leading zeros count for nothing.
    {"\x1b[2\bC\x1b[00003;0002Hx", {"", "", " x"}, 3, 3},
    {"\x1b[1;1H\x1b[3\rB\x1b[\x0b"
     "2Cy",
     {"", "", "", "  y"},
     4,
     4},
    // VT52 mode: ESC Y addresses rows and columns from 32, graphics, erase, reverse line feed.
    {"\x1b[?2l\x1bY\"%x\x1bHy\x1b"
     "C\x1b"
     "Cz",
     {"y  z", "", "     x"},
     1,
     5},
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
    {"caf\xc3\xa9 \xe2\x82\xac", {"caf\u00e9 \u20ac"}, 1, 7, RemoteCharset::Utf8},
    {"a\xe2\x82"
     "b\xff"
     "c\xc0\xaf"
     "d\xed\xa0\x80",
     {"a\ufffd\ufffdb\ufffdc\ufffd\ufffdd\ufffd\ufffd\ufffd"},
     1,
     13,
     RemoteCharset::Utf8},
    {"\xe4\xb8\xad\xe6\x96\x87x", {"\u4e2d\u6587x"}, 1, 6, RemoteCharset::Utf8},
    {std::string(19, 'a') + "\xe4\xb8\xad",
     {std::string(19, 'a'), "\u4e2d"},
     2,
     3,
     RemoteCharset::Utf8},
    {"\xe4\xb8\xad\x1b[1;2Hx", {" x"}, 1, 3, RemoteCharset::Utf8},
    {"e\xcc\x81x\xf0\x9f\x98\x80", {"ex\U0001F600"}, 1, 5, RemoteCharset::Utf8},
    {"\xe9\x80", {"\u00e9^\u00c0"}, 1, 4, RemoteCharset::Latin1},
    {"\x80\xe9\x81", {"\u20ac\u00e9^\u00c1"}, 1, 5},
};

TEST_F(Vt100Test, StreamsLeaveTheseCellsAndCursor) {
    for (const ScreenCase& c : kScreenCases) {
        setRemoteCharset(c.charset);
        size(20, 4, 2);
        feed(c.input);
        setRemoteCharset(kDefaultRemoteCharset);
        for (std::size_t r = 0; r < c.rows.size(); ++r)
            EXPECT_EQ(row(static_cast<int>(r) + 1), c.rows[r]) << c.input << " row " << r + 1;
        EXPECT_EQ(screen->cursorRow(), c.row) << c.input;
        EXPECT_EQ(screen->cursorColumn, c.column) << c.input;
    }
}

TEST_F(Vt100Test, EraseCoversWhatZeroOneAndTwoMean) {
    const struct {
        const char* sequence;
        const char* rows[3];
    } cases[] = {
        {"\x1b[J", {"abcd", "e", ""}},     {"\x1b[0J", {"abcd", "e", ""}},
        {"\x1b[2J", {"", "", ""}},         {"\x1b[1J", {"", "  gh", "ijkl"}},
        {"\x1b[K", {"abcd", "e", "ijkl"}}, {"\x1b[1K", {"abcd", "  gh", "ijkl"}},
        {"\x1b[2K", {"abcd", "", "ijkl"}}, {"\x1b[3J", {"abcd", "efgh", "ijkl"}},
    };
    for (const auto& c : cases) {
        size(4, 3, 0);
        feed("abcdefghijkl\x1b[2;2H");
        feed(c.sequence);
        for (int r = 1; r <= 3; ++r) EXPECT_EQ(row(r), c.rows[r - 1]) << c.sequence + 1;
        expectCursor(2, 2);
    }
}

TEST_F(Vt100Test, RenditionsApplyEveryParameterInOrder) {
    const struct {
        const char* input;
        std::vector<std::uint32_t> cells;
    } cases[] = {
        {"\x1b[1;31mA\x1b[0mB\x1b[4;7;5mC\x1b[36mD\x1b[46mE\x1b[39;49mF",
         {0x1900, 0, 0xE000, 0xEE00, 0xEE0E, 0xE000}},
        {"\x1b[1;4;5;7;32m\x1b[22;24;25;27mA\x1b[mB", {0x0A00, 0}},
        {"\x1b[38;5;1mA\x1b[38;5;200mB\x1b[48;2;1;2;3;4mC", {0x900, 0x900, 0x2900}},
        {"\x1b[95mA\x1b[104mB", {0xD00, 0xD0C}},
        {"\x1b)0\x0e"
         "A\x1b[mB\x1b[7m\x0f"
         "C",
         {0x40000, 0x40000, 0x8000}},
        {"\x1b[0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;31mA\x1b[0;0;0;0;0;0;0;0;0;31mB", {0, 0x900}},
    };
    for (const auto& c : cases) {
        size(20, 2, 0);
        feed(c.input);
        for (std::size_t k = 0; k < c.cells.size(); ++k)
            EXPECT_EQ(attributeOnRow(1, static_cast<int>(k) + 1), c.cells[k]) << c.input << k;
    }
}

TEST_F(Vt100Test, RepliesGoToTheHost) {
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
        {"\x1b[?15n", "\x1b[?13n"},
    };
    for (const auto& c : cases) {
        size(20, 4, 0);
        target.sentToHost.clear();
        feed(c.input);
        EXPECT_EQ(target.sentToHost, c.reply) << c.input;
    }
}

TEST_F(Vt100Test, ModesFollowTheirSequences) {
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
        {"\x1b[?5h\x1b[1m\x1b"
         "c",
         ModeAutowrap},
    };
    for (const auto& c : cases) {
        size(20, 4, 0);
        feed(c.input);
        EXPECT_EQ(screen->modes, c.modes) << c.input;
    }
    selectTerminalType(true);
    EXPECT_TRUE(screen->hasMode(ModeVt52));
    EXPECT_EQ(screen->rendition, 0);  // ESC c also ended the bold of the last case
}

TEST_F(Vt100Test, ColumnModeClearsHomesAndTellsTheWindow) {
    size(80, 4, 5);
    feed("text\x1b[2;3r\x1b[3;5H\x1b[?3h");
    EXPECT_EQ(screen->columns, 132);
    EXPECT_EQ(row(1), "");
    expectCursor(1, 1);
    EXPECT_EQ(screen->regionTop, 1);
    ASSERT_GT(target.count(ColumnsChanged), 0);
    feed("\x1b[?3l");
    EXPECT_EQ(screen->columns, 80);
    EXPECT_EQ(target.log.back().message, RepaintAll);
}

// The cells, attributes, cursor and modes a stream leaves.
std::string snapshot(const TerminalScreen& s) {
    std::string all;
    for (int line = 1; line <= s.lastLine; ++line) {
        for (int column = 1; column <= s.columns; ++column) {
            appendUtf8(all, s.characterAt(line, column));
            all += std::to_string(s.attributeAt(line, column)) + ",";
        }
    }
    return all + std::to_string(s.cursorLine) + "/" + std::to_string(s.cursorColumn) + "/" +
           std::to_string(s.modes) + "/" + std::to_string(s.rendition) + "/" +
           std::to_string(pendingByteCount());
}

TEST_F(Vt100Test, EveryStreamGivesTheSameScreenWhateverItsSplit) {
    std::mt19937 random(5);
    std::vector<std::pair<std::string, RemoteCharset>> streams;
    for (const ScreenCase& c : kScreenCases) streams.emplace_back(c.input, c.charset);
    streams.emplace_back("\x1b[" + std::string(5000, '1') + "mx\x1b]0;title\x07y\x1b[?2l\x1bY",
                         RemoteCharset::Utf8);
    for (const auto& [input, charset] : streams) {
        setRemoteCharset(charset);
        size(20, 4, 2);
        feed(input);
        const std::string whole = snapshot(*screen);
        size(20, 4, 2);
        for (char byte : input) feed(std::string(1, byte));
        EXPECT_EQ(snapshot(*screen), whole) << input;
        size(20, 4, 2);
        for (std::size_t offset = 0; offset < input.size();) {
            const std::size_t piece =
                std::min<std::size_t>(input.size() - offset, 1 + random() % 7);
            feed(input.substr(offset, piece));
            offset += piece;
        }
        EXPECT_EQ(snapshot(*screen), whole) << input;
    }
    setRemoteCharset(kDefaultRemoteCharset);
}

TEST_F(Vt100Test, TypedTextIsEncodedForTheRemoteCharacterSet) {
    const std::u16string text = u"a\u00e9\u20ac\u4e2d\U0001F600";
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Windows1252), "a\xe9\x80??");
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Latin1), "a\xe9???");
    EXPECT_EQ(encodeForHost(text, RemoteCharset::Utf8),
              "a\xc3\xa9\xe2\x82\xac\xe4\xb8\xad\xf0\x9f\x98\x80");
    RemoteCharset parsed{};
    EXPECT_TRUE(parseRemoteCharset("UTF-8", parsed));
    EXPECT_EQ(parsed, RemoteCharset::Utf8);
    EXPECT_TRUE(parseRemoteCharset("latin1", parsed));
    EXPECT_EQ(parsed, RemoteCharset::Latin1);
    EXPECT_FALSE(parseRemoteCharset("koi8-r", parsed));
}

}  // namespace
}  // namespace corvid1::testing
