// Output of real programs and the start-up lines, rendered onto the cells. The captures were
// recorded by captures/make_captures.sh: raw bytes from programs run with TERM=vt100 in an
// 80x24 tmux pane, and the text tmux itself showed at the same moment.
#include <fstream>
#include <iterator>
#include <sstream>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

std::string readCapture(const std::string& name) {
    std::ifstream in(std::string(CORVID1_CAPTURES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> expectedLines(const std::string& name) {
    std::vector<std::string> lines;
    std::istringstream in(readCapture(name));
    for (std::string text; std::getline(in, text);) {
        lines.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
    }
    return lines;
}

class CaptureTest : public TerminalTest {
  protected:
    // The live screen against the last 24 lines tmux showed. tmux writes line-drawing cells as
    // the bytes the host sent, so with `asSent` the cells are compared the same way.
    void expectScreenMatches(const std::string& name, bool asSent = false) {
        const auto lines = expectedLines(name);
        ASSERT_GE(lines.size(), 24u);
        for (int r = 1; r <= 24; ++r) {
            EXPECT_EQ(asSent ? sentRow(r) : row(r), lines[lines.size() - 24 + r - 1])
                << name << " row " << r;
        }
    }
    std::string sentRow(int screenRow) const {
        std::string text;
        for (int column = 1; column <= screen->columns; ++column) {
            const Cell cell = screen->characterAt(screen->liveTop + screenRow - 1, column);
            if (cell != kWideTail) appendUtf8(text, cell == 0 ? U' ' : cell);
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    int columnOf(int screenRow, const std::string& text) {
        return static_cast<int>(row(screenRow).find(text)) + 1;
    }
};

TEST_F(CaptureTest, StartUpBannerAndConnectionLines) {
    size(80, 24, 100);
    printText("Corvid1 v1.00.46 Initialized.\r\n");
    printText("Copyright line\r\n");
    printText("Updates line\r\n \r\n");
    printText("Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.\n");
    printText("SSH Version 1.5 protocol only.\n");
    printText("\nConnecting to host...\n");
    const char* rows[] = {"Corvid1 v1.00.46 Initialized.",
                          "Copyright line",
                          "Updates line",
                          "",
                          "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.",
                          "SSH Version 1.5 protocol only.",
                          "",
                          "Connecting to host...",
                          ""};
    for (int r = 1; r <= 9; ++r) EXPECT_EQ(row(r), rows[r - 1]);
    EXPECT_EQ(screen->characterAt(4, 1), ' ');  // the line that holds one blank
    expectCursor(9, 1);
}

TEST_F(CaptureTest, ShellSessionFillsTheScrollbackLineForLine) {
    size(80, 24, 100);
    feed(readCapture("shell.raw"));
    const auto lines = expectedLines("shell.expected");
    ASSERT_EQ(screen->liveBottom, static_cast<int>(lines.size()));
    for (int l = 1; l <= screen->liveBottom; ++l) EXPECT_EQ(line(l), lines[l - 1]) << l;
    expectCursor(24, 22);
}

TEST_F(CaptureTest, ColouredListingShowsEachColourAndResetsThemAll) {
    size(80, 24, 100);
    feed(readCapture("shell.raw"));
    const int listing = 7 - screen->liveTop + 1;  // buffer line 7 as a screen row
    ASSERT_EQ(line(7), "README  build.sh*  docs/  link@  src/");
    auto attributeOf = [&](const char* text) {
        return attributeOnRow(listing, columnOf(listing, text));
    };
    EXPECT_EQ(attributeOf("README"), 0u);
    EXPECT_EQ(attributeOf("build.sh"), 0x1A00u);  // bold, green
    EXPECT_EQ(attributeOf("*"), 0u);              // ESC [ 0 m ends colour and bold alike
    EXPECT_EQ(attributeOf("docs"), 0x1C00u);
    EXPECT_EQ(attributeOf("link"), 0x1E00u);  // cyan
    EXPECT_EQ(attributeOf("@"), 0u);
}

TEST_F(CaptureTest, FullScreenEditorWithScrollRegions) {
    size(80, 24, 100);
    feed(readCapture("editor.raw"));
    expectScreenMatches("editor.expected");
    EXPECT_EQ(screen->liveTop, 1);  // region scrolling never feeds the scrollback
    expectCursor(11, 26);
}

TEST_F(CaptureTest, ProcessMonitorWithReverseVideoHeader) {
    size(80, 24, 100);
    feed(readCapture("top.raw"));
    expectScreenMatches("top.expected");
    const int header = 7;
    ASSERT_EQ(row(header).substr(0, 9), "  PID USE");
    // Reverse video; SI after every reset invokes G0, which holds ASCII.
    EXPECT_EQ(attributeOnRow(header, 3), 0x8000u);
}

// A pager paging back and forth, dialog's menu and gauge boxes (line drawing), and UTF-8 text
// with accents and wide characters, against what tmux showed for the same bytes.
TEST_F(CaptureTest, PagerBoxesAndUtf8TextLookAsTmuxShowedThem) {
    const struct {
        const char* name;
        RemoteCharset charset;
        bool asSent;
    } cases[] = {{"pager", RemoteCharset::Windows1252, false},
                 {"menu", RemoteCharset::Windows1252, true},
                 {"gauge", RemoteCharset::Windows1252, true},
                 {"utf8", RemoteCharset::Utf8, false}};
    for (const auto& c : cases) {
        setRemoteCharset(c.charset);
        size(80, 24, 100);
        feed(readCapture(std::string(c.name) + ".raw"));
        expectScreenMatches(std::string(c.name) + ".expected", c.asSent);
    }
    // The menu's corners are drawn from the line-drawing set.
    setRemoteCharset(RemoteCharset::Windows1252);
    size(80, 24, 100);
    feed(readCapture("menu.raw"));
    EXPECT_EQ(sentRow(5).find("lqq"), 20u);
    EXPECT_EQ(row(5).find("\u250c\u2500\u2500"), 20u);
}

TEST_F(CaptureTest, Vt52ModeFollowsTheTerminalType) {
    size(20, 4, 0);
    selectTerminalType(true);
    feed(
        "\x1bH\x1bJfirst\r\nsecond\x1b"
        "A\x1b"
        "D\x1b"
        "D\x1bK\x1b"
        "B\x1b"
        "Fq\x1bGx\x1bY%+z");
    EXPECT_EQ(row(1), "firs");
    EXPECT_EQ(row(2), "seco\u2500x");
    EXPECT_EQ(row(4), "           z");  // ESC Y limits the row to the screen
    EXPECT_EQ(attributeOnRow(2, 5), 0x80000u);
    EXPECT_EQ(attributeOnRow(2, 6), 0u);
    expectCursor(4, 13);
}

}  // namespace
}  // namespace corvid1::testing
