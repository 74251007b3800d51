// Real programs against tmux: each .raw file is what script(1) logged of a program run with
// TERM=vt100 in an 80x24 tmux pane, each .expected file the rows `tmux capture-pane -p` printed
// (trailing blank rows left out; line-drawing cells as the bytes the host sent). The shell ran
// echo, printf 'a\tb\n', ls --color=always -F in a folder of five entries and seq 1 30; the menu is
// dialog --menu after three Down keys.
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

TEST_F(CaptureTest, ProgramsLookAsTmuxShowedThem) {
    for (const bool menu : {false, true}) {
        const std::string name = menu ? "menu" : "shell";
        size(80, 24, 100);
        feed(readCapture(name + ".raw"));
        std::istringstream expected(readCapture(name + ".expected"));
        std::string text;
        for (int r = 1; r <= 24; ++r) {
            if (!std::getline(expected, text)) text.clear();
            EXPECT_EQ(row(r, menu), text.substr(0, text.find_last_not_of(' ') + 1)) << name << r;
        }
    }
}

TEST_F(CaptureTest, ListingShowsEachColourAndResetsThemAll) {
    size(80, 24, 100);
    feed(readCapture("shell.raw"));
    expectCursor(24, 22);
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
    const int listing = 7 - screen->liveTop + 1;  // buffer line 7 as a screen row
    for (const auto& l : listed)
        EXPECT_EQ(look(listing, int(line(7).find(l.text)) + 1), l.look) << l.text;
}

}  // namespace
}  // namespace corvid1::testing
