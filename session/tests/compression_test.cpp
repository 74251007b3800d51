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

// Packets survive in order whatever their size; the stream, fed whole or split in two at every
// offset (the header included), unpacks to the same bytes.
TEST(Compression, StreamFedWholeOrSplitAtEveryOffsetUnpacksTheSame) {
    PacketCompressor out(6);
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    const std::vector<std::string> packets = {"", "a", std::string(40000, 'x') + everyByte,
                                              everyByte, "end"};
    Bytes stream, packed, unpacked;
    std::string all;
    PacketDecompressor whole;
    for (const std::string& text : packets) {
        ASSERT_TRUE(
            out.compress(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), packed));
        ASSERT_EQ(whole.decompress(packed.data(), packed.size(), unpacked, 1 << 18),
                  PacketDecompressor::Result::Ok);
        EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), text);
        stream.insert(stream.end(), packed.begin(), packed.end());
        all += text;
    }
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        PacketDecompressor in;
        std::string got;
        for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, {cut, stream.size()}}) {
            ASSERT_EQ(in.decompress(stream.data() + from, to - from, unpacked, 1 << 18),
                      PacketDecompressor::Result::Ok)
                << "cut " << cut;
            got.append(unpacked.begin(), unpacked.end());
        }
        ASSERT_EQ(got, all) << "cut " << cut;
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
        // Small streams also split at every offset: the damage is found in either part.
        for (std::size_t cut = 1; c.data.size() < 100 && cut < c.data.size(); ++cut) {
            PacketDecompressor split;
            Bytes out;
            auto result = split.decompress(c.data.data(), cut, out, c.limit);
            if (result == PacketDecompressor::Result::Ok)
                result = split.decompress(c.data.data() + cut, c.data.size() - cut, out, c.limit);
            EXPECT_EQ(result, c.result) << c.name << " cut " << cut;
        }
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
