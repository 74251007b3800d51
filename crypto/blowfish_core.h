#pragma once

// The Blowfish block function, inline so that the CBC loops can interleave blocks; not an
// interface for other modules. The 16 rounds are written out: each XORs F of one half and the
// next P-array word into the other half, and the final swap is folded into the stores.

#include <cstdint>

#include "crypto/blowfish.h"

namespace corvid1::blowfish_core {

// Set at start-up from the processor's features: whether the BMI1 bit-field extract is there.
// Tests switch it to cover both paths.
extern bool useBitFieldExtract;

// Byte 2 of a word: S-box 1's index. In a chained encryption it sits on the critical path of
// every round, where one BMI1 bit-field extract is shorter than a shift and a zero extension.
// The instruction is only reached when the processor has it.
template <bool bitFieldExtract>
[[gnu::always_inline]] inline std::uint32_t byte2(std::uint32_t x) {
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (bitFieldExtract) {
        std::uint32_t out;
        __asm__("bextr %2, %1, %0" : "=r"(out) : "r"(x), "r"(0x0810u));  // 8 bits from bit 16
        return out;
    }
#endif
    return (x >> 16) & 0xff;
}

#define BLOWFISH_F_WITH(s, x, b2) \
    ((((s)[0][(x) >> 24] + (s)[1][b2(x)]) ^ (s)[2][((x) >> 8) & 0xff]) + (s)[3][(x)&0xff])
#define BLOWFISH_F(s, x) BLOWFISH_F_WITH(s, x, byte2<false>)
#define BLOWFISH_ROUND(s, target, source, p) (target) ^= BLOWFISH_F(s, source) ^ (p)
#define BLOWFISH_ROUND_WITH(s, target, source, p, b2) \
    (target) ^= BLOWFISH_F_WITH(s, source, b2) ^ (p)

// The 16 rounds between the whitening steps: `l` enters already XORed with P[0]; on return the
// block's left result is r ^ P[17] and its right result is l.
template <bool bitFieldExtract = false>
[[gnu::always_inline]] inline void encryptRounds(const BlowfishKeySchedule& k, std::uint32_t& l,
                                                 std::uint32_t& r) {
    const auto& s = k.sBoxes;
    const std::uint32_t* p = k.pArray;
    BLOWFISH_ROUND_WITH(s, r, l, p[1], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[2], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[3], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[4], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[5], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[6], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[7], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[8], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[9], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[10], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[11], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[12], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[13], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[14], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, r, l, p[15], byte2<bitFieldExtract>);
    BLOWFISH_ROUND_WITH(s, l, r, p[16], byte2<bitFieldExtract>);
}

[[gnu::always_inline]] inline void encrypt(const BlowfishKeySchedule& k, std::uint32_t& left,
                                           std::uint32_t& right) {
    std::uint32_t l = left ^ k.pArray[0], r = right;
    encryptRounds(k, l, r);
    left = r ^ k.pArray[17];
    right = l;
}

[[gnu::always_inline]] inline void decrypt(const BlowfishKeySchedule& k, std::uint32_t& left,
                                           std::uint32_t& right) {
    const auto& s = k.sBoxes;
    const std::uint32_t* p = k.pArray;
    std::uint32_t l = left ^ p[17], r = right;
    BLOWFISH_ROUND(s, r, l, p[16]);
    BLOWFISH_ROUND(s, l, r, p[15]);
    BLOWFISH_ROUND(s, r, l, p[14]);
    BLOWFISH_ROUND(s, l, r, p[13]);
    BLOWFISH_ROUND(s, r, l, p[12]);
    BLOWFISH_ROUND(s, l, r, p[11]);
    BLOWFISH_ROUND(s, r, l, p[10]);
    BLOWFISH_ROUND(s, l, r, p[9]);
    BLOWFISH_ROUND(s, r, l, p[8]);
    BLOWFISH_ROUND(s, l, r, p[7]);
    BLOWFISH_ROUND(s, r, l, p[6]);
    BLOWFISH_ROUND(s, l, r, p[5]);
    BLOWFISH_ROUND(s, r, l, p[4]);
    BLOWFISH_ROUND(s, l, r, p[3]);
    BLOWFISH_ROUND(s, r, l, p[2]);
    BLOWFISH_ROUND(s, l, r, p[1]);
    left = r ^ p[0];
    right = l;
}

// Four independent blocks decrypted with their rounds interleaved: CBC decryption does not
// chain through the block function, and four chains of look-ups side by side keep the
// processor busy while each waits for its tables.
#define BLOWFISH_ROUND4(s, target, source, p)       \
    do {                                            \
        BLOWFISH_ROUND(s, target[0], source[0], p); \
        BLOWFISH_ROUND(s, target[1], source[1], p); \
        BLOWFISH_ROUND(s, target[2], source[2], p); \
        BLOWFISH_ROUND(s, target[3], source[3], p); \
    } while (0)

[[gnu::always_inline]] inline void decrypt4(const BlowfishKeySchedule& k, std::uint32_t left[4],
                                            std::uint32_t right[4]) {
    const auto& s = k.sBoxes;
    const std::uint32_t* p = k.pArray;
    std::uint32_t l[4], r[4];
    for (int i = 0; i < 4; ++i) {
        l[i] = left[i] ^ p[17];
        r[i] = right[i];
    }
    BLOWFISH_ROUND4(s, r, l, p[16]);
    BLOWFISH_ROUND4(s, l, r, p[15]);
    BLOWFISH_ROUND4(s, r, l, p[14]);
    BLOWFISH_ROUND4(s, l, r, p[13]);
    BLOWFISH_ROUND4(s, r, l, p[12]);
    BLOWFISH_ROUND4(s, l, r, p[11]);
    BLOWFISH_ROUND4(s, r, l, p[10]);
    BLOWFISH_ROUND4(s, l, r, p[9]);
    BLOWFISH_ROUND4(s, r, l, p[8]);
    BLOWFISH_ROUND4(s, l, r, p[7]);
    BLOWFISH_ROUND4(s, r, l, p[6]);
    BLOWFISH_ROUND4(s, l, r, p[5]);
    BLOWFISH_ROUND4(s, r, l, p[4]);
    BLOWFISH_ROUND4(s, l, r, p[3]);
    BLOWFISH_ROUND4(s, r, l, p[2]);
    BLOWFISH_ROUND4(s, l, r, p[1]);
    for (int i = 0; i < 4; ++i) {
        left[i] = r[i] ^ p[0];
        right[i] = l[i];
    }
}

}  // namespace corvid1::blowfish_core
