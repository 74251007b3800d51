#include "cli/escape_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid1::cli {
namespace {

struct Case {
    std::string typed;
    std::string sent;  // what reaches the server
    bool disconnects;
};

// Each case typed in one read and split into two at every offset, as keys arrive in any grouping.
TEST(EscapeScanner, TildeDotOnlyAtTheStartOfALineHoweverTheKeysArrive) {
    const std::string nul(1, '\0');
    const std::vector<Case> cases = {
        {"~.rest", "", true},                         // the session's start is a line start
        {"ls\r~.x", "ls\r", true},                    // after CR (Enter in raw mode)
        {"ls\n~.x", "ls\n", true},                    // after LF
        {"cd ~.\r", "cd ~.\r", false},                // inside a line it is text
        {"~~.x", "~.x", false},                       // "~~" sends one '~', starts nothing
        {"~~\r~.", "~\r", true},                      // ... and still ends with the line
        {"~a~.", "~a~.", false},                      // any other key: both go out
        {"~\r~.", "~\r", true},                       // "~" Enter still ends the line
        {"x" + nul + "~.", "x" + nul + "~.", false},  // NUL does not end a line
        {"a\x03\x1b[A\r\r~.", "a\x03\x1b[A\r\r", true},
        {"~", "", false},  // held until the next key decides
    };
    for (const Case& c : cases) {
        for (std::size_t split = 0; split <= c.typed.size(); ++split) {
            EscapeScanner scanner;
            std::string sent;
            bool disconnected =
                scanner.feed(c.typed.data(), split, sent) == EscapeScanner::Result::Disconnect;
            if (!disconnected)
                disconnected = scanner.feed(c.typed.data() + split, c.typed.size() - split, sent) ==
                               EscapeScanner::Result::Disconnect;
            EXPECT_EQ(sent, c.sent) << c.typed << " split at " << split;
            EXPECT_EQ(disconnected, c.disconnects) << c.typed << " split at " << split;
        }
    }
}

}  // namespace
}  // namespace corvid1::cli
