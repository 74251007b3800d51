#include "crypto/sha1.h"

#include <gtest/gtest.h>
#include <nettle/hmac.h>
#include <nettle/sha1.h>

#include <random>
#include <string>

#include "test_support.h"

namespace corvid1 {
namespace {

std::string hexOf(const Sha1Digest& digest) {
    return test::toHex(digest.data(), digest.size());
}

std::string sha1Hex(const std::string& text) {
    return hexOf(sha1(text.data(), text.size()));
}

std::string hmacHex(const std::vector<std::uint8_t>& key, const std::string& message) {
    return hexOf(hmacSha1(key.data(), key.size(), message.data(), message.size()));
}

TEST(Sha1, PublishedExamples) {
    EXPECT_EQ(sha1Hex("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(sha1Hex(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    // A million 'a' fed in uneven pieces, so the partial-block path is taken at every offset.
    Sha1Context context;
    sha1Init(context);
    const std::string chunk(997, 'a');
    std::size_t left = 1000000;
    for (std::size_t piece = 1; left > 0; piece = piece % 997 + 1) {
        const std::size_t n = std::min(piece, left);
        sha1Update(context, chunk.data(), n);
        left -= n;
    }
    Sha1Digest digest;
    sha1Final(digest.data(), context);
    EXPECT_EQ(hexOf(digest), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST(HmacSha1, Rfc2202Cases) {
    using test::fromHex;
    EXPECT_EQ(hmacHex(std::vector<std::uint8_t>(20, 0x0b), "Hi There"),
              "B617318655057264E28BC0B6FB378C8EF146BE00");
    EXPECT_EQ(hmacHex({'J', 'e', 'f', 'e'}, "what do ya want for nothing?"),
              "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79");
    EXPECT_EQ(hmacHex(std::vector<std::uint8_t>(20, 0xaa), std::string(50, '\xdd')),
              "125D7342B9AC11CD91A39AF48AA17B4F63F175D3");
    EXPECT_EQ(hmacHex(fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
                      std::string(50, '\xcd')),
              "4C9007F4026250C6BC8414F9BF50C86C2D7235DA");
    EXPECT_EQ(hmacHex(std::vector<std::uint8_t>(20, 0x0c), "Test With Truncation"),
              "4C1A03424B55E07FE7F27BE1D58BB9324A9A5A04");
    // Keys longer than a block are hashed first.
    EXPECT_EQ(hmacHex(std::vector<std::uint8_t>(80, 0xaa),
                      "Test Using Larger Than Block-Size Key - Hash Key First"),
              "AA4AE5E15272D00E95705637CE8A3B55ED402112");
    EXPECT_EQ(hmacHex(std::vector<std::uint8_t>(80, 0xaa),
                      "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "E8E99D0F45237D786D6BBAA7965C7808BBFF1A91");
}

// Every length around the padding boundaries (55, 56, 63, 64 ...) and keys on both sides of the
// block size, against Nettle.
TEST(HmacSha1, AgreesWithNettleForEveryLengthNearTheBlockBoundaries) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(300);
    for (auto& b : data) b = std::uint8_t(rng());
    for (std::size_t length = 0; length <= 200; ++length) {
        sha1_ctx reference;
        sha1_init(&reference);
        sha1_update(&reference, length, data.data());
        std::uint8_t expected[SHA1_DIGEST_SIZE];
        sha1_digest(&reference, sizeof expected, expected);
        ASSERT_EQ(hexOf(sha1(data.data(), length)), test::toHex(expected, sizeof expected))
            << length;
    }
    for (std::size_t keyLength : {0u, 1u, 20u, 63u, 64u, 65u, 130u}) {
        for (std::size_t length : {0u, 1u, 55u, 56u, 64u, 119u, 120u, 200u}) {
            hmac_sha1_ctx reference;
            hmac_sha1_set_key(&reference, keyLength, data.data() + 100);
            hmac_sha1_update(&reference, length, data.data());
            std::uint8_t expected[SHA1_DIGEST_SIZE];
            hmac_sha1_digest(&reference, sizeof expected, expected);
            EXPECT_EQ(hexOf(hmacSha1(data.data() + 100, keyLength, data.data(), length)),
                      test::toHex(expected, sizeof expected))
                << keyLength << " " << length;
        }
    }
}

}  // namespace
}  // namespace corvid1
