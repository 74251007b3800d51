#include "cli/escape_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid1::cli {
namespace {

struct Fed {
    std::string sent;
    bool disconnected = false;
};

// Feeds the pieces one call each, as separate reads from the keyboard would arrive.
Fed feedPieces(EscapeScanner& scanner, std::initializer_list<std::string> pieces) {
    Fed f;
    for (const auto& p : pieces) {
        if (scanner.feed(p.data(), p.size(), f.sent) == EscapeScanner::Result::Disconnect) {
            f.disconnected = true;
            break;
        }
    }
    return f;
}

TEST(EscapeScanner, TildeDotAtSessionStartDisconnects) {
    EscapeScanner s;
    const Fed f = feedPieces(s, {"~.rest"});
    EXPECT_TRUE(f.disconnected);
    EXPECT_EQ(f.sent, "");
}

TEST(EscapeScanner, TildeDotAfterCarriageReturnOrLineFeedDisconnects) {
    for (const char* end : {"\r", "\n"}) {
        EscapeScanner s;
        const Fed f = feedPieces(s, {std::string("ls") + end + "~.after"});
        EXPECT_TRUE(f.disconnected);
        EXPECT_EQ(f.sent, std::string("ls") + end);
    }
}

TEST(EscapeScanner, TildeInsideALineIsPlainText) {
    EscapeScanner s;
    const Fed f = feedPieces(s, {"cd ~.\r"});
    EXPECT_FALSE(f.disconnected);
    EXPECT_EQ(f.sent, "cd ~.\r");
}

TEST(EscapeScanner, DoubleTildeSendsOneAndStartsNoEscape) {
    EscapeScanner s;
    const Fed f = feedPieces(s, {"~~.x"});
    EXPECT_FALSE(f.disconnected);
    EXPECT_EQ(f.sent, "~.x");
}

TEST(EscapeScanner, TildeBeforeAnotherKeySendsBoth) {
    EscapeScanner s;
    Fed f = feedPieces(s, {"~a"});
    EXPECT_EQ(f.sent, "~a");
    EXPECT_FALSE(f.disconnected);

    // A tilde followed by Enter sends both and the next line may start an escape again.
    EscapeScanner t;
    f = feedPieces(t, {"~\r~."});
    EXPECT_TRUE(f.disconnected);
    EXPECT_EQ(f.sent, "~\r");
}

TEST(EscapeScanner, HeldTildeWaitsForTheNextReadToDecide) {
    EscapeScanner s;
    std::string out;
    EXPECT_EQ(s.feed("~", 1, out), EscapeScanner::Result::Continue);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(s.holding());
    EXPECT_EQ(s.feed(".", 1, out), EscapeScanner::Result::Disconnect);

    EscapeScanner t;
    out.clear();
    t.feed("~", 1, out);
    t.feed("x", 1, out);
    EXPECT_EQ(out, "~x");
    EXPECT_FALSE(t.holding());
}

TEST(EscapeScanner, NulAndControlBytesPassUnchanged) {
    EscapeScanner s;
    const std::string typed("a\0b\x03\x1b[A", 7);
    const Fed f = feedPieces(s, {typed});
    EXPECT_EQ(f.sent, typed);
    // NUL does not end a line: a tilde after it is text.
    EscapeScanner t;
    const Fed g = feedPieces(t, {std::string("x\0~.", 4)});
    EXPECT_FALSE(g.disconnected);
    EXPECT_EQ(g.sent, std::string("x\0~.", 4));
}

}  // namespace
}  // namespace corvid1::cli
