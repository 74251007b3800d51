#include "crypto/blowfish.h"

#include <gtest/gtest.h>
#include <nettle/blowfish.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "test_support.h"

namespace corvid1 {
namespace {

using test::fromHex;

std::uint32_t bigEndianWord(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) << 24 | std::uint32_t(bytes[at + 1]) << 16 |
           std::uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}

// Runs the reference (big-endian halves) block function over one 8-byte block.
std::string encryptHex(const std::vector<std::uint8_t>& key, const std::string& plain) {
    BlowfishKeySchedule schedule;
    blowfishSetKey(schedule, key.data(), key.size());
    auto block = fromHex(plain);
    std::uint32_t left = bigEndianWord(block, 0), right = bigEndianWord(block, 4);
    blowfishEncryptBlock(schedule, left, right);
    char text[17];
    std::snprintf(text, sizeof text, "%08X%08X", left, right);
    std::uint32_t l2 = left, r2 = right;
    blowfishDecryptBlock(schedule, l2, r2);
    EXPECT_EQ(l2, bigEndianWord(block, 0));
    EXPECT_EQ(r2, bigEndianWord(block, 4));
    return text;
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// From the published Blowfish test set (8-byte keys).
const Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
};

TEST(Blowfish, PublishedVectors) {
    for (const auto& v : kEcbVectors) {
        EXPECT_EQ(encryptHex(fromHex(v.key), v.plain), v.cipher) << v.key;
    }
}

// The published variable-key-length set: the first n bytes of one 24-byte key, n = 1..24.
// It covers keys shorter than 8 bytes, which the cyclic use of key bytes must handle.
TEST(Blowfish, PublishedKeyLengthSet) {
    const char* expected[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    auto key = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    for (std::size_t n = 1; n <= 24; ++n) {
        std::vector<std::uint8_t> prefix(key.begin(), key.begin() + n);
        EXPECT_EQ(encryptHex(prefix, "FEDCBA9876543210"), expected[n - 1]) << n << " key bytes";
    }
}

// An empty key must not read key bytes; it leaves the tables keyed by the zero-block chain
// alone, which is also what a key the P-array XOR leaves unchanged would give.
TEST(Blowfish, EmptyKeyIsDefined) {
    BlowfishKeySchedule empty, zeros;
    blowfishSetKey(empty, nullptr, 0);
    const std::uint8_t zeroKey[4] = {};
    blowfishSetKey(zeros, zeroKey, sizeof zeroKey);
    EXPECT_EQ(0, std::memcmp(&empty, &zeros, sizeof empty));
}

// Random keys of every length Nettle accepts and random blocks, both directions.
TEST(Blowfish, AgreesWithNettleOnRandomKeysAndBlocks) {
    std::mt19937 random(9);
    for (std::size_t keyLength = BLOWFISH_MIN_KEY_SIZE; keyLength <= BLOWFISH_MAX_KEY_SIZE;
         ++keyLength) {
        std::vector<std::uint8_t> key(keyLength);
        for (auto& b : key) b = std::uint8_t(random());
        blowfish_ctx reference;
        blowfish_set_key(&reference, key.size(), key.data());
        BlowfishKeySchedule schedule;
        blowfishSetKey(schedule, key.data(), key.size());
        for (int i = 0; i < 20; ++i) {
            std::vector<std::uint8_t> block(8);
            for (auto& b : block) b = std::uint8_t(random());
            std::uint8_t expected[8];
            blowfish_encrypt(&reference, 8, expected, block.data());
            std::uint32_t left = bigEndianWord(block, 0), right = bigEndianWord(block, 4);
            blowfishEncryptBlock(schedule, left, right);
            std::vector<std::uint8_t> want(expected, expected + 8);
            ASSERT_EQ(left, bigEndianWord(want, 0)) << keyLength;
            ASSERT_EQ(right, bigEndianWord(want, 4)) << keyLength;
            blowfishDecryptBlock(schedule, left, right);
            ASSERT_EQ(left, bigEndianWord(block, 0));
            ASSERT_EQ(right, bigEndianWord(block, 4));
        }
    }
}

}  // namespace
}  // namespace corvid1
