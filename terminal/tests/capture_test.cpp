// Output of real programs against what tmux showed for the same bytes (recorded by
// captures/make_captures.sh), and the system's own start-up lines.
#include <fstream>
#include <iterator>
#include <sstream>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

using CaptureTest = TerminalTest;

std::string readCapture(const std::string& name) {
    std::ifstream in(std::string(CORVID1_CAPTURES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A shell filling the scrollback, an editor with scroll regions, a process monitor, a menu
// drawn from the line-drawing set and UTF-8 text. Each expected file holds the buffer's lines
// from the first, blank ones at the end left out. tmux writes line-drawing cells as the bytes
// the host sent, so with `asSent` the cells are read the same way.
TEST_F(CaptureTest, ProgramsLookAsTmuxShowedThem) {
    const struct {
        const char* name;
        RemoteCharset charset;
        bool asSent;
        int row, column;  // where the cursor is left, when the capture shows it
    } cases[] = {{"shell", RemoteCharset::Windows1252, false, 24, 22},
                 {"editor", RemoteCharset::Windows1252, false, 11, 26},
                 {"top", RemoteCharset::Windows1252, false, 0, 0},
                 {"menu", RemoteCharset::Windows1252, true, 0, 0},
                 {"utf8", RemoteCharset::Utf8, false, 2, 1}};
    for (const auto& c : cases) {
        setRemoteCharset(c.charset);
        size(80, 24, 100);
        feed(readCapture(std::string(c.name) + ".raw"));
        std::vector<std::string> expected;
        std::istringstream in(readCapture(std::string(c.name) + ".expected"));
        for (std::string text; std::getline(in, text);)
            expected.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
        ASSERT_LE(expected.size(), std::size_t(screen->liveBottom)) << c.name;
        for (int l = 1; l <= screen->liveBottom; ++l) {
            EXPECT_EQ(line(l, c.asSent), l <= int(expected.size()) ? expected[l - 1] : "")
                << c.name << " line " << l;
        }
        if (c.row != 0) expectCursor(c.row, c.column);
    }
}

TEST_F(CaptureTest, ColoursAndBoxesShowAsTheProgramsDrewThem) {
    size(80, 24, 100);
    feed(readCapture("shell.raw"));
    const int listing = 7 - screen->liveTop + 1;  // buffer line 7 as a screen row
    ASSERT_EQ(line(7), "README  build.sh*  docs/  link@  src/");
    const struct {
        const char* text;
        Look look;
    } listed[] = {{"README", {}},
                  {"build.sh", {.foreground = 2, .bold = true}},
                  {"*", {}},  // ESC [ 0 m ends colour and bold alike
                  {"docs", {.foreground = 4, .bold = true}},
                  {"link", {.foreground = 6, .bold = true}},
                  {"@", {}}};
    for (const auto& l : listed)
        EXPECT_EQ(look(listing, int(row(listing).find(l.text)) + 1), l.look) << l.text;
    size(80, 24, 100);
    feed(readCapture("top.raw"));
    ASSERT_EQ(row(7).substr(0, 9), "  PID USE");
    EXPECT_EQ(look(7, 3), Look{.reverse = true});  // the header in reverse video
    size(80, 24, 100);
    feed(readCapture("menu.raw"));
    EXPECT_EQ(row(5).find("\u250c\u2500\u2500"), 20u);  // the box's corner
}

TEST_F(CaptureTest, StartUpBannerAndConnectionLines) {
    size(80, 24, 100);
    setRemoteCharset(RemoteCharset::Utf8);  // the system's own text is Windows-1252 whatever
    printText("Corvid1 v1.00.46 Initialized.\r\n \r\n");
    printText("Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.\nSSH \x80\n");
    const char* rows[] = {"Corvid1 v1.00.46 Initialized.", "",
                          "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.",
                          "SSH \u20ac", ""};
    for (int r = 1; r <= 5; ++r) EXPECT_EQ(row(r), rows[r - 1]);
    EXPECT_EQ(screen->characterAt(2, 1), ' ');  // the line that holds one blank
    expectCursor(5, 1);
}

}  // namespace
}  // namespace corvid1::testing
