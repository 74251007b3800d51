// What --screen prints of a 10x3 screen with 5 lines of scrollback, and the answers to the
// host-key question.
#include "cli/screen_text.h"

#include <gtest/gtest.h>

#include <string>

#include "cli/host_key_prompt.h"
#include "terminal/interpreter.h"

namespace corvid1::cli {
namespace {

TEST(ScreenText, LinesOfScrollbackAndScreenAsUtf8) {
    const struct {
        const char* bytes;
        RemoteCharset charset;
        const char* text;
    } cases[] = {
        {"ab", kDefaultRemoteCharset, "ab\n\n\n"},  // every live line ends with a line feed
        // Gaps before later text are spaces; the host's own trailing spaces stay.
        {"\x1b[1;1Hx\x1b[1;6Hy\x1b[2;3Hz\x1b[3;1Hq  ", kDefaultRemoteCharset, "x    y\n  z\nq  \n"},
        {"1\r\n2\r\n3\r\n4\r\n5", kDefaultRemoteCharset, "1\n2\n3\n4\n5\n"},  // oldest first
        // Line drawing and a wide character (once); Windows-1252 by default.
        {"\xc3\xa9\xe4\xb8\xad|\x1b(0lqx", RemoteCharset::Utf8,
         "\xc3\xa9\xe4\xb8\xad|\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x82\n\n\n"},
        {"\xe9\x80", kDefaultRemoteCharset, "\xc3\xa9\xe2\x82\xac\n\n\n"},
    };
    for (const auto& c : cases) {
        auto screen = createScreen();
        attachScreen(screen.get());
        screen->setScrollbackLines(5);
        screen->resize(10, 3, 0, 0, nullptr);
        setRemoteCharset(c.charset);
        feedBytes(c.bytes, std::char_traits<char>::length(c.bytes));
        EXPECT_EQ(screenText(*screen), c.text) << c.bytes;
        attachScreen(nullptr);
    }
    setRemoteCharset(kDefaultRemoteCharset);
}

TEST(TrustAnswer, OnlyTheThreeWordsAnswerInAnyCaseBlanksAside) {
    using D = UnknownHostKeyDecision;
    for (const char* yes : {"yes", "  YES\t"})
        EXPECT_EQ(parseTrustAnswer(yes), D::AcceptAndRemember);
    EXPECT_EQ(parseTrustAnswer("Once"), D::ConnectOnce);
    for (const char* no : {"no", " nO "}) EXPECT_EQ(parseTrustAnswer(no), D::Refuse);
    // Nothing is taken for consent: not an empty line, not a prefix, not a longer word.
    for (const char* other :
         {"", " ", "y", "ye", "yess", "yes please", "o", "onc", "n", "nope", "yes\x1b", "accept"})
        EXPECT_FALSE(parseTrustAnswer(other).has_value()) << '"' << other << '"';
}

}  // namespace
}  // namespace corvid1::cli
