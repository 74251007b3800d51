// The pieces of the client that need no server: the escape scanner, the password taken from
// the environment, what --screen prints, the answers to the host-key question.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/escape_scanner.h"
#include "cli/host_key_prompt.h"
#include "cli/password.h"
#include "cli/screen_text.h"
#include "terminal/interpreter.h"

namespace corvid1::cli {
namespace {

// Each case typed in one read and split into two at every offset, as keys arrive in any grouping.
TEST(EscapeScanner, TildeDotOnlyAtTheStartOfALineHoweverTheKeysArrive) {
    const std::string nul(1, '\0');
    const struct {
        std::string typed, sent;  // what reaches the server
        bool disconnects;
    } cases[] = {
        {"~.rest", "", true},           // the session's start is a line start
        {"ls\r~.x", "ls\r", true},      // after CR (Enter in raw mode)
        {"ls\n~.x", "ls\n", true},      // after LF
        {"cd ~.\r", "cd ~.\r", false},  // inside a line it is text
        {"~~.x", "~.x", false},         // "~~" sends one '~', starts nothing
        {"~~~.", "~~.", false},         // ... nor does the '~' after it
        {"~~\r~.", "~\r", true},        // ... and still ends with the line
        {"~a~.", "~a~.", false},        // any other key: both go out
        {"~\r~.", "~\r", true},
        {"x" + nul + "~.", "x" + nul + "~.", false},  // NUL does not end a line
        {"a\x03\x1b[A\r\r~.", "a\x03\x1b[A\r\r", true},
        {"~", "", false},  // held until the next key decides
    };
    for (const auto& c : cases) {
        for (std::size_t split = 0; split <= c.typed.size(); ++split) {
            EscapeScanner scanner;
            std::string sent;
            const auto ends = [&](std::size_t from, std::size_t n) {
                return scanner.feed(c.typed.data() + from, n, sent) ==
                       EscapeScanner::Result::Disconnect;
            };
            const bool disconnected = ends(0, split) || ends(split, c.typed.size() - split);
            EXPECT_EQ(std::pair(sent, disconnected), std::pair(c.sent, c.disconnects))
                << c.typed << " split at " << split;
        }
    }
}

// Taken or refused, the value is wiped where it was and gone from the environment.
TEST(PasswordEnvironment, ValueIsWipedAndRemovedWhetherTakenOrRefused) {
    for (const std::string& value :
         {std::string("from env"), std::string(), std::string(SecretText::capacity + 1, 'y')}) {
        const bool fits = value.size() <= SecretText::capacity;
        ASSERT_EQ(setenv(passwordVariable, value.c_str(), 1), 0);
        // glibc keeps the strings that setenv allocated, so the old value can be inspected.
        const char* original = std::getenv(passwordVariable);
        SecretText pw;
        std::string error;
        EXPECT_EQ(takePasswordFromEnvironment(pw, error), fits) << error;
        EXPECT_EQ(std::string(pw.data(), pw.size()), fits ? value : "");
        EXPECT_EQ(error.empty(), fits) << error;
        EXPECT_EQ(std::getenv(passwordVariable), nullptr);
        EXPECT_EQ(std::string(original, value.size()), std::string(value.size(), '\0'));
        EXPECT_FALSE(takePasswordFromEnvironment(pw, error));  // unset: no password from here
    }
}

// What --screen prints of a 10x3 screen with 5 lines of scrollback.
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
        // Line drawing, a wide character once; Windows-1252 by default.
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
