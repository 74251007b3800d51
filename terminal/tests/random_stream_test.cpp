// Long random byte streams, weighted towards escape sequences, fed in random pieces between
// random resizes: every position must stay inside the buffer after every piece.
#include <random>

#include "terminal_test_support.h"

namespace corvid1::testing {
namespace {

void expectInvariants(const TerminalScreen& s) {
    ASSERT_EQ(s.liveTop, s.liveBottom - s.rows + 1);
    ASSERT_GE(s.liveTop, 1);
    ASSERT_LE(s.liveBottom, s.lastLine);
    ASSERT_EQ(s.cellCount, (s.lastLine + 1) * s.columns);
    ASSERT_GE(s.cursorColumn, 1);
    ASSERT_LE(s.cursorColumn, s.columns + 1);
    ASSERT_GE(s.cursorLine, 1);
    ASSERT_LE(s.cursorLine, s.liveBottom);
    ASSERT_GE(s.regionTop, 1);
    ASSERT_LE(s.regionTop, s.regionBottom);
    ASSERT_LE(s.regionBottom, s.rows);
    ASSERT_LE(pendingByteCount(), kInputBufferSize);
}

std::string randomStream(std::mt19937& random, std::size_t length) {
    static const std::string pieces[] = {"\x1b",   "\x1b[",
                                         "\x1b[?", ";",
                                         "0",      "1",
                                         "2",      "5",
                                         "7",      "9",
                                         "99",     "A",
                                         "B",      "C",
                                         "D",      "H",
                                         "J",      "K",
                                         "L",      "M",
                                         "P",      "r",
                                         "m",      "h",
                                         "l",      "7",
                                         "8",      "(",
                                         "\r",     "\n",
                                         "\r\n",   "\x05",
                                         "\x0e",   "\x0f",
                                         "\b",     "\x9b",
                                         "text ",  "wide line of text for wrapping "};
    std::string stream;
    while (stream.size() < length) {
        if (random() % 8 == 0) {
            stream.push_back(static_cast<char>(random() % 256));
        } else {
            stream += pieces[random() % std::size(pieces)];
        }
    }
    return stream;
}

TEST_F(TerminalTest, RandomStreamsInRandomPiecesKeepEveryPositionInside) {
    std::mt19937 random(2024);
    for (int round = 0; round < 12; ++round) {
        size(1 + static_cast<int>(random() % 120), 1 + static_cast<int>(random() % 40),
             static_cast<int>(random() % 60));
        const std::string stream = randomStream(random, 150000);
        std::size_t offset = 0;
        while (offset < stream.size()) {
            const std::size_t piece = std::min<std::size_t>(
                stream.size() - offset, 1 + random() % (random() % 4 ? 40 : 6000));
            feedBytes(stream.data() + offset, piece);
            offset += piece;
            ASSERT_NO_FATAL_FAILURE(expectInvariants(*screen)) << round << " at " << offset;
            if (random() % 200 == 0) {
                screen->resize(1 + random() % 100, 1 + random() % 30, 0, 0, &target);
            } else if (random() % 200 == 0) {
                screen->setScrollbackLines(static_cast<int>(random() % 50));
            }
            ASSERT_NO_FATAL_FAILURE(expectInvariants(*screen)) << round << " at " << offset;
        }
        const std::u16string all =
            screen->selectionText(0, 1, screen->columns, screen->lastLine + 1);
        EXPECT_LE(all.size(),
                  static_cast<std::size_t>(screen->cellCount) + 2 * screen->lastLine + 2);
    }
}

}  // namespace
}  // namespace corvid1::testing
