#include "cli/screen_text.h"

#include <gtest/gtest.h>

#include <string>

#include "terminal/interpreter.h"

namespace corvid1::cli {
namespace {

class ScreenText : public ::testing::Test {
  protected:
    void SetUp() override {
        screen_ = createScreen();
        attachScreen(screen_.get());
        screen_->setScrollbackLines(5);
        screen_->resize(10, 3, 0, 0, nullptr);
    }
    void TearDown() override { attachScreen(nullptr); }
    void feed(const std::string& bytes) { feedBytes(bytes.data(), bytes.size()); }

    std::unique_ptr<TerminalScreen> screen_;
};

TEST_F(ScreenText, EveryLineOfTheLiveScreenEndsWithALineFeed) {
    feed("ab");
    EXPECT_EQ(screenText(*screen_), "ab\n\n\n");
}

TEST_F(ScreenText, GapsBeforeLaterTextBecomeSpacesTrailingEmptiesAreDropped) {
    feed("\x1b[1;1Hx\x1b[1;6Hy\x1b[2;3Hz");
    EXPECT_EQ(screenText(*screen_), "x    y\n  z\n\n");
    // Spaces the host wrote stay, even at the end of a line.
    feed("\x1b[3;1Hq  ");
    EXPECT_EQ(screenText(*screen_), "x    y\n  z\nq  \n");
}

TEST_F(ScreenText, ScrollbackComesFirstOldestLineFirst) {
    feed("1\r\n2\r\n3\r\n4\r\n5");
    EXPECT_EQ(screenText(*screen_), "1\n2\n3\n4\n5\n");
}

TEST_F(ScreenText, CellsComeOutAsUtf8WithLineDrawingAndWideCharactersOnce) {
    setRemoteCharset(RemoteCharset::Utf8);
    feed("\xc3\xa9\xe4\xb8\xad|\x1b(0lqx\x1b(B");
    setRemoteCharset(kDefaultRemoteCharset);
    feed("\r\n\xe9\x80");  // Windows-1252
    EXPECT_EQ(
        screenText(*screen_),
        "\xc3\xa9\xe4\xb8\xad|\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x82\n\xc3\xa9\xe2\x82\xac\n\n");
}

}  // namespace
}  // namespace corvid1::cli
