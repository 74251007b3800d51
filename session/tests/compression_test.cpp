// The packet compression on its own: whole packets, split streams, damage and bombs.
#include "session/compression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace corvid1 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using R = PacketDecompressor::Result;

Bytes packed(PacketCompressor& out, const std::string& text) {
    Bytes bytes;
    EXPECT_TRUE(out.compress(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), bytes));
    return bytes;
}

// Feeds `stream` split in two at `cut`; the first result that is not Ok, and all the output.
R unpack(const Bytes& stream, std::size_t cut, std::size_t limit, std::string& all) {
    PacketDecompressor in;
    Bytes out;
    R result = R::Ok;
    for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, {cut, stream.size()}}) {
        if (result == R::Ok) result = in.decompress(stream.data() + from, to - from, out, limit);
        EXPECT_LE(out.size(), limit + 1);
        all.append(out.begin(), out.end());
    }
    // Once broken, always broken: nothing more comes out of the stream.
    EXPECT_TRUE(result == R::Ok || in.decompress(stream.data(), stream.size(), out, limit) == R::Corrupt);
    return result;
}

TEST(Compression, StreamFedWholeOrSplitAtEveryOffsetUnpacksTheSame) {
    PacketCompressor out(6);
    std::string everyByte, all;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    Bytes stream;
    PacketDecompressor whole;  // packet by packet, as the session unpacks them
    for (const std::string& text : {std::string(), std::string("a"), std::string(40000, 'x') + everyByte, everyByte, std::string("end")}) {
        const Bytes one = packed(out, text);
        Bytes got;
        ASSERT_EQ(whole.decompress(one.data(), one.size(), got, 1 << 18), R::Ok);
        EXPECT_EQ(std::string(got.begin(), got.end()), text);
        stream.insert(stream.end(), one.begin(), one.end());
        all += text;
    }
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string got;
        ASSERT_EQ(unpack(stream, cut, 1 << 18, got), R::Ok) << "cut " << cut;
        ASSERT_EQ(got, all) << "cut " << cut;
    }
}

TEST(Compression, DamageAndBombsEndTheStream) {
    PacketCompressor bomb(9), fresh(1);
    const Bytes huge = packed(bomb, std::string(300 * 1024, '\0'));
    const Bytes thousand = packed(fresh, std::string(1000, 'x'));
    const auto bytes = [](const char* text) { return Bytes(text, text + std::strlen(text)); };
    const struct {
        const char* name;
        Bytes data;
        std::size_t limit;
        R result;
    } cases[] = {
        {"bomb", huge, 256 * 1024, R::TooLong},
        {"bomb within a larger bound", huge, 400 * 1024, R::Ok},
        {"exactly the bound", thousand, 1000, R::Ok},
        {"one byte past the bound", thousand, 999, R::TooLong},
        {"window too large", bytes("\x88\x1c"), 1000, R::Corrupt},
        {"not deflate", bytes("\x79\x9c"), 1000, R::Corrupt},
        {"bad header check", bytes("\x78\x9d"), 1000, R::Corrupt},
        {"preset dictionary", bytes("\x78\xbb"), 1000, R::Corrupt},
        {"invalid block", bytes("\x78\x9c\xff\xff\xff\xff"), 1000, R::Corrupt},
    };
    for (const auto& c : cases) {
        // Damage is found whichever part it comes in; the bound is for one packet, unpacked whole.
        for (std::size_t cut = c.result == R::Corrupt ? 1 : c.data.size(); cut <= c.data.size(); ++cut) {
            std::string got;
            EXPECT_EQ(unpack(c.data, cut, c.limit, got), c.result) << c.name << " cut " << cut;
        }
    }
}

}  // namespace
}  // namespace corvid1
