#include "crypto/des.h"

#include <array>

#include "crypto/des_core.h"
#include "crypto/wipe.h"

namespace corvid1 {

using namespace des_core;

namespace {

struct WordPair {
    Word first, second;
};

// The key schedule is table-driven. Permuted choice 1 is linear in the key bits, so it is the
// OR of one table entry per key nibble: kPc1ByNibble[n][v] holds the bits of C and D (28 bits
// each, first chosen bit most significant) that nibble n (n = 0 is the high nibble of key byte
// 0) contributes when its value is v. Likewise each round key is the OR of one entry per 7-bit
// chunk of the rotated C and D: kPc2ByChunk[j][v] holds the contribution of chunk j (chunks 0-3
// of C, then 4-7 of D, most significant first) in the layout the round function expects.
constexpr std::array<std::array<WordPair, 16>, 16> makePc1ByNibble() {
    std::array<std::array<WordPair, 16>, 16> table{};
    for (int nibble = 0; nibble < 16; ++nibble) {
        for (int value = 0; value < 16; ++value) {
            WordPair pair{0, 0};
            for (int i = 0; i < 56; ++i) {
                int bit = kPc1[i] - 1;  // key bit, 0 = most significant bit of byte 0
                if (bit / 4 != nibble || !((value >> (3 - bit % 4)) & 1)) continue;
                if (i < 28) {
                    pair.first |= Word(1) << (27 - i);
                } else {
                    pair.second |= Word(1) << (55 - i);
                }
            }
            table[nibble][value] = pair;
        }
    }
    return table;
}

constexpr std::array<std::array<WordPair, 128>, 8> makePc2ByChunk() {
    std::array<std::array<WordPair, 128>, 8> table{};
    for (int chunk = 0; chunk < 8; ++chunk) {
        for (int value = 0; value < 128; ++value) {
            int groups[8] = {};
            for (int i = 0; i < 48; ++i) {
                int bit = kPc2[i] - 1;  // bit of C||D, 0 = most significant bit of C
                if (bit / 7 != chunk || !((value >> (6 - bit % 7)) & 1)) continue;
                groups[i / 6] |= 1 << (5 - i % 6);
            }
            // Bits 2-7 of each byte, as the S-box inputs sit in the round function.
            table[chunk][value] = {
                Word(groups[0] << 24 | groups[2] << 16 | groups[4] << 8 | groups[6]) << 2,
                Word(groups[1] << 24 | groups[3] << 16 | groups[5] << 8 | groups[7]) << 2};
        }
    }
    return table;
}

constexpr auto kPc1ByNibble = makePc1ByNibble();
constexpr auto kPc2ByChunk = makePc2ByChunk();

}  // namespace

void desSetKey(DesKeySchedule& schedule, const std::uint8_t key[8]) {
    Word c = 0, d = 0;
    for (int nibble = 0; nibble < 16; ++nibble) {
        const WordPair& pair = kPc1ByNibble[nibble][(key[nibble / 2] >> (nibble % 2 ? 0 : 4)) & 15];
        c |= pair.first;
        d |= pair.second;
    }
    for (int round = 0; round < 16; ++round) {
        const int shift = kKeyShifts[round];
        c = ((c << shift) | (c >> (28 - shift))) & 0x0fffffff;
        d = ((d << shift) | (d >> (28 - shift))) & 0x0fffffff;
        Word k0 = 0, k1 = 0;
        for (int chunk = 0; chunk < 4; ++chunk) {
            const WordPair& fromC = kPc2ByChunk[chunk][(c >> (21 - 7 * chunk)) & 127];
            const WordPair& fromD = kPc2ByChunk[4 + chunk][(d >> (21 - 7 * chunk)) & 127];
            k0 |= fromC.first | fromD.first;
            k1 |= fromC.second | fromD.second;
        }
        schedule.roundKeys[2 * round] = k0;
        schedule.roundKeys[2 * round + 1] = k1;
    }
    // The working values are the key itself, rearranged.
    secureWipe(&c, sizeof c);
    secureWipe(&d, sizeof d);
}

void desEncryptBlock(const DesKeySchedule& schedule, std::uint8_t block[8]) {
    Word l = loadBigEndian(block), r = loadBigEndian(block + 4);
    desInitialPermutation(l, r);
    desRounds<false>(schedule.roundKeys, l, r);
    desFinalPermutation(l, r);
    storeBigEndian(block, l);
    storeBigEndian(block + 4, r);
}

void desDecryptBlock(const DesKeySchedule& schedule, std::uint8_t block[8]) {
    Word l = loadBigEndian(block), r = loadBigEndian(block + 4);
    desInitialPermutation(l, r);
    desRounds<true>(schedule.roundKeys, l, r);
    desFinalPermutation(l, r);
    storeBigEndian(block, l);
    storeBigEndian(block + 4, r);
}

// Plain DES-CBC, one block after another. The SSH-1 triple-DES passes do not come through
// here: they run fused and pipelined in cipher.cpp.
void desCbcEncrypt(const DesKeySchedule& schedule, std::uint8_t iv[8], std::uint8_t* output,
                   const std::uint8_t* input, std::size_t length) {
    Word ivL = loadBigEndian(iv), ivR = loadBigEndian(iv + 4);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        Word l = loadBigEndian(input) ^ ivL, r = loadBigEndian(input + 4) ^ ivR;
        desInitialPermutation(l, r);
        desRounds<false>(schedule.roundKeys, l, r);
        desFinalPermutation(l, r);
        ivL = l;
        ivR = r;
        storeBigEndian(output, l);
        storeBigEndian(output + 4, r);
    }
    storeBigEndian(iv, ivL);
    storeBigEndian(iv + 4, ivR);
}

void desCbcDecrypt(const DesKeySchedule& schedule, std::uint8_t iv[8], std::uint8_t* output,
                   const std::uint8_t* input, std::size_t length) {
    Word ivL = loadBigEndian(iv), ivR = loadBigEndian(iv + 4);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        Word cL = loadBigEndian(input), cR = loadBigEndian(input + 4);
        Word l = cL, r = cR;
        desInitialPermutation(l, r);
        desRounds<true>(schedule.roundKeys, l, r);
        desFinalPermutation(l, r);
        storeBigEndian(output, l ^ ivL);
        storeBigEndian(output + 4, r ^ ivR);
        ivL = cL;
        ivR = cR;
    }
    storeBigEndian(iv, ivL);
    storeBigEndian(iv + 4, ivR);
}

}  // namespace corvid1
