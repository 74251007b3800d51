#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "test_support.h"

namespace corvid1 {
namespace {

std::string digestHex(const void* bytes, std::size_t length) {
    Md5Context context;
    md5Init(context);
    md5Update(context, bytes, length);
    std::uint8_t digest[16];
    md5Final(digest, context);
    std::string hex = test::toHex(digest, 16);
    for (auto& c : hex) c = char(std::tolower(c));
    return hex;
}

std::string digestHex(const std::string& text) {
    return digestHex(text.data(), text.size());
}

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(digestHex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestHex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(digestHex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digestHex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(digestHex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(digestHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(digestHex("1234567890123456789012345678901234567890123456789012345678901234567890"
                        "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the padding boundary: 55 bytes fit one final block, 56 need two.
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(digestHex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(digestHex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(digestHex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(digestHex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
    std::vector<std::uint8_t> message(1000);
    std::mt19937 random(7);
    for (auto& b : message) b = std::uint8_t(random());
    const std::string whole = digestHex(message.data(), message.size());
    const std::size_t pieces[] = {0, 1, 55, 56, 63, 64, 65};
    for (std::size_t first : pieces) {
        for (std::size_t second : pieces) {
            Md5Context context;
            md5Init(context);
            std::size_t at = 0;
            // Cycle through the two piece sizes until the message is used up.
            for (int turn = 0; at < message.size(); ++turn) {
                std::size_t n = std::min(turn % 2 ? second : first, message.size() - at);
                if (n == 0) n = std::min<std::size_t>(3, message.size() - at);
                md5Update(context, message.data() + at, n);
                at += n;
            }
            std::uint8_t digest[16];
            md5Final(digest, context);
            std::string hex = test::toHex(digest, 16);
            for (auto& c : hex) c = char(std::tolower(c));
            EXPECT_EQ(hex, whole) << first << "/" << second;
        }
    }
}

TEST(Md5, FinalZeroesTheWholeContext) {
    Md5Context context;
    md5Init(context);
    md5Update(context, "some message bytes", 18);
    std::uint8_t digest[16];
    md5Final(digest, context);
    Md5Context zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, std::memcmp(&context, &zero, sizeof context));
}

// The compression function adds into the state it is given: the initial values and one padded
// block give the same words md5Final writes for that message.
TEST(Md5, TransformAddsIntoTheGivenState) {
    std::uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[56] = 24;  // bit count of "abc", little-endian
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    md5Transform(state, block);
    std::uint8_t digest[16];
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = std::uint8_t(state[i] >> (8 * j));
    }
    EXPECT_EQ(test::toHex(digest, 16), "900150983CD24FB0D6963F7D28E17F72");
}

// The 64-bit count carries from the low word into the high word.
TEST(Md5, BitCountCarriesIntoHighWord) {
    Md5Context context;
    md5Init(context);
    context.bitCount[0] = 0xfffffff8u;  // 2^29 - 1 bytes already counted
    md5Update(context, "x", 1);
    EXPECT_EQ(context.bitCount[0], 0u);
    EXPECT_EQ(context.bitCount[1], 1u);
}

}  // namespace
}  // namespace corvid1
