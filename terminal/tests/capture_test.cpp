// Output of real programs against what tmux showed for the same bytes (recorded by
// captures/make_captures.sh): a shell filling the scrollback with a coloured listing, a menu
// drawn from the line-drawing set, and UTF-8 text.
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

// Each expected file holds the buffer's lines from the first, blank ones at the end left out.
// tmux writes line-drawing cells as the bytes the host sent, so with `asSent` the cells are read
// the same way.
TEST_F(CaptureTest, ProgramsLookAsTmuxShowedThem) {
    const struct {
        const char* name;
        RemoteCharset charset;
        bool asSent;
    } cases[] = {{"shell", RemoteCharset::Windows1252, false},
                 {"utf8", RemoteCharset::Utf8, false},
                 {"menu", RemoteCharset::Windows1252, true}};
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
    }
    EXPECT_EQ(row(5).find("\u250c\u2500\u2500"), 20u);  // the menu's corner, as drawn
}

TEST_F(CaptureTest, ListingShowsEachColourAndResetsThemAll) {
    size(80, 24, 100);
    feed(readCapture("shell.raw"));
    expectCursor(24, 22);
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
}

}  // namespace
}  // namespace corvid1::testing
