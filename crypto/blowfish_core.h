#pragma once

// The Blowfish block function, inline so that the CBC loops can interleave blocks; not an
// interface for other modules. The 16 rounds are written out: each XORs F of one half and the
// next P-array word into the other half, and the final swap is folded into the stores.

#include <cstdint>

#include "crypto/blowfish.h"

namespace corvid1::blowfish_core {

#define BLOWFISH_F(s, x)                                                                   \
    ((((s)[0][(x) >> 24] + (s)[1][((x) >> 16) & 0xff]) ^ (s)[2][((x) >> 8) & 0xff]) + \
     (s)[3][(x) & 0xff])
#define BLOWFISH_ROUND(s, target, source, p) (target) ^= BLOWFISH_F(s, source) ^ (p)

[[gnu::always_inline]] inline void encrypt(const BlowfishKeySchedule& k, std::uint32_t& left, std::uint32_t& right) {
    const auto& s = k.sBoxes;
    const std::uint32_t* p = k.pArray;
    std::uint32_t l = left ^ p[0], r = right;
    BLOWFISH_ROUND(s, r, l, p[1]);
    BLOWFISH_ROUND(s, l, r, p[2]);
    BLOWFISH_ROUND(s, r, l, p[3]);
    BLOWFISH_ROUND(s, l, r, p[4]);
    BLOWFISH_ROUND(s, r, l, p[5]);
    BLOWFISH_ROUND(s, l, r, p[6]);
    BLOWFISH_ROUND(s, r, l, p[7]);
    BLOWFISH_ROUND(s, l, r, p[8]);
    BLOWFISH_ROUND(s, r, l, p[9]);
    BLOWFISH_ROUND(s, l, r, p[10]);
    BLOWFISH_ROUND(s, r, l, p[11]);
    BLOWFISH_ROUND(s, l, r, p[12]);
    BLOWFISH_ROUND(s, r, l, p[13]);
    BLOWFISH_ROUND(s, l, r, p[14]);
    BLOWFISH_ROUND(s, r, l, p[15]);
    BLOWFISH_ROUND(s, l, r, p[16]);
    left = r ^ p[17];
    right = l;
}

[[gnu::always_inline]] inline void decrypt(const BlowfishKeySchedule& k, std::uint32_t& left, std::uint32_t& right) {
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

}  // namespace corvid1::blowfish_core
