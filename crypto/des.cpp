#include "crypto/des.h"

#include "crypto/des_core.h"
#include "crypto/wipe.h"

namespace corvid1 {

using namespace des_core;

void desSetKey(DesKeySchedule& schedule, const std::uint8_t key[8]) {
    // C and D as 28-bit values, the first chosen bit most significant.
    Word c = 0, d = 0;
    for (int i = 0; i < 28; ++i) {
        int bit = kPc1[i] - 1;
        c = (c << 1) | ((key[bit >> 3] >> (7 - (bit & 7))) & 1);
        bit = kPc1[i + 28] - 1;
        d = (d << 1) | ((key[bit >> 3] >> (7 - (bit & 7))) & 1);
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kKeyShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0fffffff;
            d = ((d << 1) | (d >> 27)) & 0x0fffffff;
        }
        std::uint64_t cd = (std::uint64_t(c) << 28) | d;
        // The eight 6-bit groups of the round key, group 0 first.
        Word groups[8] = {};
        for (int i = 0; i < 48; ++i) {
            Word bit = Word(cd >> (56 - kPc2[i])) & 1;
            groups[i / 6] |= bit << (5 - i % 6);
        }
        // Same places as the S-box inputs in the round function: bits 2-7 of each byte.
        schedule.roundKeys[2 * round] =
            (groups[0] << 24 | groups[2] << 16 | groups[4] << 8 | groups[6]) << 2;
        schedule.roundKeys[2 * round + 1] =
            (groups[1] << 24 | groups[3] << 16 | groups[5] << 8 | groups[7]) << 2;
        secureWipe(groups, sizeof groups);
        secureWipe(&cd, sizeof cd);
    }
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

// CBC in working form: IP is linear over XOR, so the IV can be kept permuted and the chain
// XORs done there, which saves nothing per block here but lets the triple-DES passes fuse.
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
