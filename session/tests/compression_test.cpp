// The packet compression's own contract: packets survive the trip in order whatever their
// size, however the stream's header is split, and damage or a bomb ends the stream without
// ever growing the output past the bound.
#include "session/compression.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid1 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(Compression, PacketsRoundTripInOrderAndHeaderMayArriveSplit) {
    PacketCompressor out(6);
    PacketDecompressor in;
    const std::vector<std::string> packets = {"", "a", std::string(40000, 'x'),
                                              "\x11 every byte value follows", "end"};
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    Bytes packed, unpacked;
    bool first = true;
    for (std::string text : packets) {
        text += everyByte;
        ASSERT_TRUE(
            out.compress(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), packed));
        if (first) {  // the two header bytes in a call of their own, one at a time
            for (int i = 0; i < 2; ++i)
                ASSERT_EQ(in.decompress(&packed[i], 1, unpacked, 1 << 18),
                          PacketDecompressor::Result::Ok);
            packed.erase(packed.begin(), packed.begin() + 2);
            first = false;
        }
        ASSERT_EQ(in.decompress(packed.data(), packed.size(), unpacked, 1 << 18),
                  PacketDecompressor::Result::Ok);
        EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), text);
    }
}

TEST(Compression, DamageAndBombsEndTheStream) {
    PacketCompressor bomb(9);
    Bytes huge;
    const std::string zeros(300 * 1024, '\0');
    ASSERT_TRUE(
        bomb.compress(reinterpret_cast<const std::uint8_t*>(zeros.data()), zeros.size(), huge));
    struct Case {
        const char* name;
        Bytes data;
        std::size_t limit;
        PacketDecompressor::Result result;
    };
    const std::vector<Case> cases = {
        {"bomb", huge, 256 * 1024, PacketDecompressor::Result::TooLong},
        {"bomb within a larger bound", huge, 400 * 1024, PacketDecompressor::Result::Ok},
        {"not deflate", bytesOf("\x79\x9c"), 1000, PacketDecompressor::Result::Corrupt},
        {"bad header check", bytesOf("\x78\x9d"), 1000, PacketDecompressor::Result::Corrupt},
        {"preset dictionary", bytesOf("\x78\xbb"), 1000, PacketDecompressor::Result::Corrupt},
        {"invalid block", bytesOf("\x78\x9c\xff\xff\xff\xff"), 1000,
         PacketDecompressor::Result::Corrupt},
    };
    for (const Case& c : cases) {
        PacketDecompressor in;
        Bytes out;
        EXPECT_EQ(in.decompress(c.data.data(), c.data.size(), out, c.limit), c.result) << c.name;
        EXPECT_LE(out.size(), c.limit + 1) << c.name;
        if (c.result != PacketDecompressor::Result::Ok) {
            // Once broken, always broken: nothing more comes out of the stream.
            EXPECT_EQ(in.decompress(c.data.data(), c.data.size(), out, c.limit),
                      PacketDecompressor::Result::Corrupt)
                << c.name;
        }
    }
}

}  // namespace
}  // namespace corvid1
