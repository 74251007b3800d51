#pragma once

// Internals shared by the DES functions and the fused SSH-1 triple-DES passes; not an interface
// for other modules.
//
// DES after FIPS 46. The block function works in the usual fast representation: the initial
// permutation is done with five swap-and-mask steps, and each half is then kept rotated left
// by three bits. In that form the eight 6-bit S-box inputs of the expansion sit in bits 2-7 of
// the bytes of either the half rotated right by four (S1, S3, S5, S7) or the half itself (S2,
// S4, S6, S8): after one key XOR and one mask, every byte is already the byte offset of its
// table entry. Each S-box is merged with the P permutation into one table of 64 words, produced
// in the same rotated form, so a round is two key XORs, two masks, eight look-ups and eight XORs.

#include <array>
#include <cstdint>

namespace corvid1::des_core {

using Word = std::uint32_t;

// The eight S-boxes, row by row (row = outer bits, column = inner four bits).
inline constexpr std::uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// The permutation P: output bit i (1-based, bit 1 most significant) is input bit kP[i - 1].
inline constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                        26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                        3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

// Permuted choice 1 (key bits 1..64, parity bits 8, 16, ... unused) and 2 (over C||D, 1..56).
inline constexpr std::uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
inline constexpr std::uint8_t kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
inline constexpr std::uint8_t kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr Word rotl(Word x, int n) {
    return (x << n) | (x >> ((32 - n) & 31));
}
constexpr Word rotr(Word x, int n) {
    return (x >> n) | (x << ((32 - n) & 31));
}

// kSp[s][six]: S-box s+1 looked up with its 6-bit input, its four output bits put in their
// place in the 32-bit S output, passed through P, and rotated left by three like the halves.
constexpr std::array<std::array<Word, 64>, 8> makeSpTables() {
    std::array<std::array<Word, 64>, 8> tables{};
    for (int s = 0; s < 8; ++s) {
        for (int six = 0; six < 64; ++six) {
            int row = ((six >> 4) & 2) | (six & 1);
            int column = (six >> 1) & 15;
            Word sOut = Word(kSBoxes[s][row * 16 + column]) << (28 - 4 * s);
            Word permuted = 0;
            for (int i = 0; i < 32; ++i) {
                if (sOut >> (32 - kP[i]) & 1) permuted |= Word(1) << (31 - i);
            }
            tables[s][six] = rotl(permuted, 3);
        }
    }
    return tables;
}
alignas(64) inline constexpr auto kSp = makeSpTables();

constexpr bool sBoxRowsArePermutations() {
    for (const auto& box : kSBoxes) {
        for (int row = 0; row < 4; ++row) {
            unsigned seen = 0;
            for (int c = 0; c < 16; ++c) seen |= 1u << box[row * 16 + c];
            if (seen != 0xffff) return false;
        }
    }
    return true;
}
static_assert(sBoxRowsArePermutations());

inline Word loadBigEndian(const std::uint8_t* p) {
    return Word(p[0]) << 24 | Word(p[1]) << 16 | Word(p[2]) << 8 | Word(p[3]);
}
inline void storeBigEndian(std::uint8_t* p, Word v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

#define DES_SWAP_MOVE(a, b, shift, mask)             \
    do {                                             \
        Word t_ = (((a) >> (shift)) ^ (b)) & (mask); \
        (b) ^= t_;                                   \
        (a) ^= t_ << (shift);                        \
    } while (0)

// The initial permutation into the rotated working form, and its inverse. Bytes 0-3 are `left`.
[[gnu::always_inline]] inline void desInitialPermutation(Word& left, Word& right) {
    DES_SWAP_MOVE(left, right, 4, 0x0f0f0f0fu);
    DES_SWAP_MOVE(left, right, 16, 0x0000ffffu);
    DES_SWAP_MOVE(right, left, 2, 0x33333333u);
    DES_SWAP_MOVE(right, left, 8, 0x00ff00ffu);
    right = rotl(right, 1);
    Word t = (left ^ right) & 0xaaaaaaaau;
    left ^= t;
    right ^= t;
    left = rotl(left, 3);
    right = rotl(right, 2);
}

[[gnu::always_inline]] inline void desFinalPermutation(Word& left, Word& right) {
    left = rotr(left, 3);
    right = rotr(right, 2);
    Word t = (left ^ right) & 0xaaaaaaaau;
    left ^= t;
    right ^= t;
    right = rotr(right, 1);
    DES_SWAP_MOVE(right, left, 8, 0x00ff00ffu);
    DES_SWAP_MOVE(right, left, 2, 0x33333333u);
    DES_SWAP_MOVE(left, right, 16, 0x0000ffffu);
    DES_SWAP_MOVE(left, right, 4, 0x0f0f0f0fu);
}

// The table entry at a byte offset (a multiple of 4 below 256) into S-box table `box`.
#define DES_SP(box, offset) \
    (*reinterpret_cast<const Word*>(reinterpret_cast<const char*>(kSp[box].data()) + (offset)))

// One round: target ^= f(source, round key k).
#define DES_ROUND(target, source, keys, k)                                                     \
    do {                                                                                       \
        Word w_ = (rotr((source), 4) ^ (keys)[2 * (k)]) & 0xfcfcfcfcu;                         \
        Word v_ = ((source) ^ (keys)[2 * (k) + 1]) & 0xfcfcfcfcu;                              \
        (target) ^= DES_SP(0, w_ >> 24) ^ DES_SP(2, (w_ >> 16) & 0xff) ^                       \
                    DES_SP(4, (w_ >> 8) & 0xff) ^ DES_SP(6, w_ & 0xff) ^ DES_SP(1, v_ >> 24) ^ \
                    DES_SP(3, (v_ >> 16) & 0xff) ^ DES_SP(5, (v_ >> 8) & 0xff) ^               \
                    DES_SP(7, v_ & 0xff);                                                      \
    } while (0)

// The 16 rounds on a block in working form. The result is again in working form as the next
// DES operation would receive it after FP and IP (those two cancel), i.e. halves swapped.
template <bool decrypt>
[[gnu::always_inline]] inline void desRounds(const Word* keys, Word& left, Word& right) {
    Word l = left, r = right;
    if constexpr (!decrypt) {
        DES_ROUND(l, r, keys, 0);
        DES_ROUND(r, l, keys, 1);
        DES_ROUND(l, r, keys, 2);
        DES_ROUND(r, l, keys, 3);
        DES_ROUND(l, r, keys, 4);
        DES_ROUND(r, l, keys, 5);
        DES_ROUND(l, r, keys, 6);
        DES_ROUND(r, l, keys, 7);
        DES_ROUND(l, r, keys, 8);
        DES_ROUND(r, l, keys, 9);
        DES_ROUND(l, r, keys, 10);
        DES_ROUND(r, l, keys, 11);
        DES_ROUND(l, r, keys, 12);
        DES_ROUND(r, l, keys, 13);
        DES_ROUND(l, r, keys, 14);
        DES_ROUND(r, l, keys, 15);
    } else {
        DES_ROUND(l, r, keys, 15);
        DES_ROUND(r, l, keys, 14);
        DES_ROUND(l, r, keys, 13);
        DES_ROUND(r, l, keys, 12);
        DES_ROUND(l, r, keys, 11);
        DES_ROUND(r, l, keys, 10);
        DES_ROUND(l, r, keys, 9);
        DES_ROUND(r, l, keys, 8);
        DES_ROUND(l, r, keys, 7);
        DES_ROUND(r, l, keys, 6);
        DES_ROUND(l, r, keys, 5);
        DES_ROUND(r, l, keys, 4);
        DES_ROUND(l, r, keys, 3);
        DES_ROUND(r, l, keys, 2);
        DES_ROUND(l, r, keys, 1);
        DES_ROUND(r, l, keys, 0);
    }
    left = r;
    right = l;
}

// Three independent DES operations with their rounds interleaved. One DES is a chain of 16
// dependent rounds, each waiting on table look-ups; three chains side by side keep the
// processor busy while each of them waits. The round key order is reversed for a lane that
// decrypts.
template <bool decryptA, bool decryptB, bool decryptC>
[[gnu::always_inline]] inline void desRounds3(const Word* keysA, Word& leftA, Word& rightA,
                                              const Word* keysB, Word& leftB, Word& rightB,
                                              const Word* keysC, Word& leftC, Word& rightC) {
    Word la = leftA, ra = rightA, lb = leftB, rb = rightB, lc = leftC, rc = rightC;
#pragma GCC unroll 8
    for (int k = 0; k < 16; k += 2) {
        DES_ROUND(la, ra, keysA, decryptA ? 15 - k : k);
        DES_ROUND(lb, rb, keysB, decryptB ? 15 - k : k);
        DES_ROUND(lc, rc, keysC, decryptC ? 15 - k : k);
        DES_ROUND(ra, la, keysA, decryptA ? 14 - k : k + 1);
        DES_ROUND(rb, lb, keysB, decryptB ? 14 - k : k + 1);
        DES_ROUND(rc, lc, keysC, decryptC ? 14 - k : k + 1);
    }
    leftA = ra;
    rightA = la;
    leftB = rb;
    rightB = lb;
    leftC = rc;
    rightC = lc;
}

}  // namespace corvid1::des_core
