#include "crypto/des.h"

#include <gtest/gtest.h>
#include <nettle/des.h>

#include <cstring>
#include <random>

#include "test_support.h"

namespace corvid1 {
namespace {

using test::fromHex;
using test::toHex;

std::string encryptHex(const std::string& key, const std::string& plain) {
    DesKeySchedule schedule;
    auto k = fromHex(key);
    auto block = fromHex(plain);
    desSetKey(schedule, k.data());
    desEncryptBlock(schedule, block.data());
    return toHex(block);
}

std::string decryptHex(const std::string& key, const std::string& cipher) {
    DesKeySchedule schedule;
    auto k = fromHex(key);
    auto block = fromHex(cipher);
    desSetKey(schedule, k.data());
    desDecryptBlock(schedule, block.data());
    return toHex(block);
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Worked examples and entries of the classic known-answer tables (variable plaintext and
// variable key under the weak key 01..01, permutation and substitution tests).
const Vector kKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"1001010101010101", "0000000000000000", "D3746294CA6A6CF3"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
};

TEST(Des, KnownAnswersEncryptAndDecrypt) {
    for (const auto& v : kKnownAnswers) {
        EXPECT_EQ(encryptHex(v.key, v.plain), v.cipher) << v.key << " " << v.plain;
        EXPECT_EQ(decryptHex(v.key, v.cipher), v.plain) << v.key << " " << v.cipher;
    }
}

// Under the weak key 01..01 encryption is its own inverse, so every entry of the
// variable-plaintext table must come back to its unit vector.
TEST(Des, WeakKeyEncryptionIsAnInvolutionForAllUnitVectors) {
    DesKeySchedule schedule;
    const std::uint8_t key[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    desSetKey(schedule, key);
    for (int bit = 0; bit < 64; ++bit) {
        std::uint8_t block[8] = {};
        block[bit / 8] = std::uint8_t(0x80 >> (bit % 8));
        std::uint8_t original[8];
        std::memcpy(original, block, 8);
        desEncryptBlock(schedule, block);
        EXPECT_NE(std::memcmp(block, original, 8), 0);
        desEncryptBlock(schedule, block);
        EXPECT_EQ(std::memcmp(block, original, 8), 0) << "bit " << bit;
    }
}

// The parity bit of every key byte takes no part in the schedule.
TEST(Des, ParityBitsAreIgnored) {
    EXPECT_EQ(encryptHex("0123456789ABCDEF", "4E6F772069732074"),
              encryptHex("0022446688AACCEE", "4E6F772069732074"));
}

// Rivest's iterated test: sixteen steps that alternately encrypt and decrypt a value with
// itself as the key reach a fixed result; it exercises many keys and both directions.
TEST(Des, IteratedSelfKeyedChain) {
    auto x = fromHex("9474B8E8C73BCA7D");
    for (int i = 0; i < 16; ++i) {
        DesKeySchedule schedule;
        desSetKey(schedule, x.data());
        if (i % 2 == 0) {
            desEncryptBlock(schedule, x.data());
        } else {
            desDecryptBlock(schedule, x.data());
        }
    }
    EXPECT_EQ(toHex(x), "1B1A2DDB4C642438");
}

TEST(Des, CbcChainsAcrossCallsAndLeavesTrailingBytes) {
    DesKeySchedule schedule;
    auto key = fromHex("0123456789ABCDEF");
    desSetKey(schedule, key.data());
    // "Now is the time for all " under IV 1234567890ABCDEF, the classic CBC example.
    const char* text = "Now is the time for all ";
    std::uint8_t data[26];
    std::memcpy(data, text, 24);
    data[24] = 0xAA;
    data[25] = 0xBB;
    auto iv = fromHex("1234567890ABCDEF");
    desCbcEncrypt(schedule, iv.data(), data, data, 8);
    desCbcEncrypt(schedule, iv.data(), data + 8, data + 8, 18);
    EXPECT_EQ(toHex(data, 24), "E5C7CDDE872BF27C43E934008C389C0F683788499A7C05F6");
    EXPECT_EQ(data[24], 0xAA);
    EXPECT_EQ(data[25], 0xBB);
    EXPECT_EQ(toHex(iv), "683788499A7C05F6");

    iv = fromHex("1234567890ABCDEF");
    std::uint8_t plain[24];
    desCbcDecrypt(schedule, iv.data(), plain, data, 24);
    EXPECT_EQ(std::memcmp(plain, text, 24), 0);
    EXPECT_EQ(toHex(iv), "683788499A7C05F6");
}

std::string nettleEncryptHex(const std::uint8_t key[8], const std::uint8_t block[8]) {
    des_ctx context;
    des_set_key(&context, key);  // reports weak keys but schedules them all the same
    std::uint8_t out[8];
    des_encrypt(&context, 8, out, block);
    return toHex(out, 8);
}

// The whole of the classic variable-plaintext (unit blocks under key 01..01) and variable-key
// (unit keys, parity bits set, on a zero block) tables, against Nettle, then random keys and
// blocks in both directions.
TEST(Des, AgreesWithNettleOnClassicTablesAndRandomBlocks) {
    const std::uint8_t oddKey[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    for (int bit = 0; bit < 64; ++bit) {
        std::uint8_t block[8] = {};
        block[bit / 8] = std::uint8_t(0x80 >> (bit % 8));
        DesKeySchedule schedule;
        desSetKey(schedule, oddKey);
        std::string expected = nettleEncryptHex(oddKey, block);
        desEncryptBlock(schedule, block);
        EXPECT_EQ(toHex(block, 8), expected) << "plaintext bit " << bit;
    }
    for (int bit = 0; bit < 64; ++bit) {
        if (bit % 8 == 7) continue;  // parity bit
        std::uint8_t key[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        key[bit / 8] |= std::uint8_t(0x80 >> (bit % 8));
        std::uint8_t block[8] = {};
        std::string expected = nettleEncryptHex(key, block);
        DesKeySchedule schedule;
        desSetKey(schedule, key);
        desEncryptBlock(schedule, block);
        EXPECT_EQ(toHex(block, 8), expected) << "key bit " << bit;
    }
    std::mt19937 random(5);
    for (int i = 0; i < 500; ++i) {
        std::uint8_t key[8], block[8], original[8];
        for (auto& b : key) b = std::uint8_t(random());
        for (auto& b : block) b = std::uint8_t(random());
        std::memcpy(original, block, 8);
        std::string expected = nettleEncryptHex(key, block);
        DesKeySchedule schedule;
        desSetKey(schedule, key);
        desEncryptBlock(schedule, block);
        ASSERT_EQ(toHex(block, 8), expected);
        desDecryptBlock(schedule, block);
        ASSERT_EQ(0, std::memcmp(block, original, 8));
    }
}

}  // namespace
}  // namespace corvid1
