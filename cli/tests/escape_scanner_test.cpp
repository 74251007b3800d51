#include "cli/escape_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid1::cli {
namespace {

struct Case {
    std::vector<std::string> reads;  // one feed call each, as separate keyboard reads
    std::string sent;                // what reaches the server
    bool disconnects;
};

TEST(EscapeScanner, TildeDotOnlyAtTheStartOfALine) {
    const std::string nul(1, '\0');
    const std::vector<Case> cases = {
        {{"~.rest"}, "", true},           // the session's start is a line start
        {{"ls\r~.x"}, "ls\r", true},      // after CR (Enter in raw mode)
        {{"ls\n~.x"}, "ls\n", true},      // after LF
        {{"cd ~.\r"}, "cd ~.\r", false},  // inside a line it is text
        {{"~~.x"}, "~.x", false},         // "~~" sends one '~', starts nothing
        {{"~a"}, "~a", false},            // any other key: both go out
        {{"~\r~."}, "~\r", true},         // "~" Enter still ends the line
        {{"~", "."}, "", true},           // the held '~' waits for the next read
        {{"~", "x"}, "~x", false},
        {{"x" + nul + "~."}, "x" + nul + "~.", false},  // NUL does not end a line
        {{"a\x03\x1b[A"}, "a\x03\x1b[A", false},        // control keys pass unchanged
    };
    for (const Case& c : cases) {
        EscapeScanner scanner;
        std::string sent;
        bool disconnected = false;
        for (const auto& read : c.reads) {
            if (scanner.feed(read.data(), read.size(), sent) == EscapeScanner::Result::Disconnect) {
                disconnected = true;
                break;
            }
        }
        EXPECT_EQ(sent, c.sent) << c.reads[0];
        EXPECT_EQ(disconnected, c.disconnects) << c.reads[0];
    }
}

TEST(EscapeScanner, HoldsTheTildeUntilDecided) {
    EscapeScanner scanner;
    std::string sent;
    scanner.feed("~", 1, sent);
    EXPECT_TRUE(scanner.holding());
    EXPECT_EQ(sent, "");
    scanner.feed("y", 1, sent);
    EXPECT_FALSE(scanner.holding());
    EXPECT_EQ(sent, "~y");
}

}  // namespace
}  // namespace corvid1::cli
