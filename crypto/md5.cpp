#include "crypto/md5.h"

#include <cstring>

#include "crypto/wipe.h"

namespace corvid1 {

namespace {

inline std::uint32_t loadLittleEndian(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void storeLittleEndian(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

inline std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// One step: a = b + ((a + f(b, c, d) + word + constant) <<< shift). The sum is arranged so that
// everything not depending on b, the value the previous step has just produced, is added
// first; only the last few operations wait for b. In G, the two terms (b & d) and (c & ~d)
// never share a set bit, so the OR may be taken as a sum and (c & ~d) added early.
#define MD5_STEP_F(a, b, c, d, word, constant, shift) \
    do {                                              \
        (a) += (word) + (constant);                   \
        (a) += (d) ^ ((b) & ((c) ^ (d)));             \
        (a) = rotl((a), (shift)) + (b);               \
    } while (0)
#define MD5_STEP_G(a, b, c, d, word, constant, shift) \
    do {                                              \
        (a) += (word) + (constant) + ((c) & ~(d));    \
        (a) += (b) & (d);                             \
        (a) = rotl((a), (shift)) + (b);               \
    } while (0)
#define MD5_STEP_H(a, b, c, d, word, constant, shift) \
    do {                                              \
        (a) += (word) + (constant);                   \
        (a) += (b) ^ ((c) ^ (d));                     \
        (a) = rotl((a), (shift)) + (b);               \
    } while (0)
#define MD5_STEP_I(a, b, c, d, word, constant, shift) \
    do {                                              \
        (a) += (word) + (constant);                   \
        (a) += (c) ^ ((b) | ~(d));                    \
        (a) = rotl((a), (shift)) + (b);               \
    } while (0)

}  // namespace

void md5Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
    // Message words are loaded where they are used, so no copy of the block (which may be the
    // pool's stir key) is left behind in memory.
    const auto word = [block](int i) { return loadLittleEndian(block + 4 * i); };
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    MD5_STEP_F(a, b, c, d, word(0), 0xd76aa478, 7);
    MD5_STEP_F(d, a, b, c, word(1), 0xe8c7b756, 12);
    MD5_STEP_F(c, d, a, b, word(2), 0x242070db, 17);
    MD5_STEP_F(b, c, d, a, word(3), 0xc1bdceee, 22);
    MD5_STEP_F(a, b, c, d, word(4), 0xf57c0faf, 7);
    MD5_STEP_F(d, a, b, c, word(5), 0x4787c62a, 12);
    MD5_STEP_F(c, d, a, b, word(6), 0xa8304613, 17);
    MD5_STEP_F(b, c, d, a, word(7), 0xfd469501, 22);
    MD5_STEP_F(a, b, c, d, word(8), 0x698098d8, 7);
    MD5_STEP_F(d, a, b, c, word(9), 0x8b44f7af, 12);
    MD5_STEP_F(c, d, a, b, word(10), 0xffff5bb1, 17);
    MD5_STEP_F(b, c, d, a, word(11), 0x895cd7be, 22);
    MD5_STEP_F(a, b, c, d, word(12), 0x6b901122, 7);
    MD5_STEP_F(d, a, b, c, word(13), 0xfd987193, 12);
    MD5_STEP_F(c, d, a, b, word(14), 0xa679438e, 17);
    MD5_STEP_F(b, c, d, a, word(15), 0x49b40821, 22);

    MD5_STEP_G(a, b, c, d, word(1), 0xf61e2562, 5);
    MD5_STEP_G(d, a, b, c, word(6), 0xc040b340, 9);
    MD5_STEP_G(c, d, a, b, word(11), 0x265e5a51, 14);
    MD5_STEP_G(b, c, d, a, word(0), 0xe9b6c7aa, 20);
    MD5_STEP_G(a, b, c, d, word(5), 0xd62f105d, 5);
    MD5_STEP_G(d, a, b, c, word(10), 0x02441453, 9);
    MD5_STEP_G(c, d, a, b, word(15), 0xd8a1e681, 14);
    MD5_STEP_G(b, c, d, a, word(4), 0xe7d3fbc8, 20);
    MD5_STEP_G(a, b, c, d, word(9), 0x21e1cde6, 5);
    MD5_STEP_G(d, a, b, c, word(14), 0xc33707d6, 9);
    MD5_STEP_G(c, d, a, b, word(3), 0xf4d50d87, 14);
    MD5_STEP_G(b, c, d, a, word(8), 0x455a14ed, 20);
    MD5_STEP_G(a, b, c, d, word(13), 0xa9e3e905, 5);
    MD5_STEP_G(d, a, b, c, word(2), 0xfcefa3f8, 9);
    MD5_STEP_G(c, d, a, b, word(7), 0x676f02d9, 14);
    MD5_STEP_G(b, c, d, a, word(12), 0x8d2a4c8a, 20);

    MD5_STEP_H(a, b, c, d, word(5), 0xfffa3942, 4);
    MD5_STEP_H(d, a, b, c, word(8), 0x8771f681, 11);
    MD5_STEP_H(c, d, a, b, word(11), 0x6d9d6122, 16);
    MD5_STEP_H(b, c, d, a, word(14), 0xfde5380c, 23);
    MD5_STEP_H(a, b, c, d, word(1), 0xa4beea44, 4);
    MD5_STEP_H(d, a, b, c, word(4), 0x4bdecfa9, 11);
    MD5_STEP_H(c, d, a, b, word(7), 0xf6bb4b60, 16);
    MD5_STEP_H(b, c, d, a, word(10), 0xbebfbc70, 23);
    MD5_STEP_H(a, b, c, d, word(13), 0x289b7ec6, 4);
    MD5_STEP_H(d, a, b, c, word(0), 0xeaa127fa, 11);
    MD5_STEP_H(c, d, a, b, word(3), 0xd4ef3085, 16);
    MD5_STEP_H(b, c, d, a, word(6), 0x04881d05, 23);
    MD5_STEP_H(a, b, c, d, word(9), 0xd9d4d039, 4);
    MD5_STEP_H(d, a, b, c, word(12), 0xe6db99e5, 11);
    MD5_STEP_H(c, d, a, b, word(15), 0x1fa27cf8, 16);
    MD5_STEP_H(b, c, d, a, word(2), 0xc4ac5665, 23);

    MD5_STEP_I(a, b, c, d, word(0), 0xf4292244, 6);
    MD5_STEP_I(d, a, b, c, word(7), 0x432aff97, 10);
    MD5_STEP_I(c, d, a, b, word(14), 0xab9423a7, 15);
    MD5_STEP_I(b, c, d, a, word(5), 0xfc93a039, 21);
    MD5_STEP_I(a, b, c, d, word(12), 0x655b59c3, 6);
    MD5_STEP_I(d, a, b, c, word(3), 0x8f0ccc92, 10);
    MD5_STEP_I(c, d, a, b, word(10), 0xffeff47d, 15);
    MD5_STEP_I(b, c, d, a, word(1), 0x85845dd1, 21);
    MD5_STEP_I(a, b, c, d, word(8), 0x6fa87e4f, 6);
    MD5_STEP_I(d, a, b, c, word(15), 0xfe2ce6e0, 10);
    MD5_STEP_I(c, d, a, b, word(6), 0xa3014314, 15);
    MD5_STEP_I(b, c, d, a, word(13), 0x4e0811a1, 21);
    MD5_STEP_I(a, b, c, d, word(4), 0xf7537e82, 6);
    MD5_STEP_I(d, a, b, c, word(11), 0xbd3af235, 10);
    MD5_STEP_I(c, d, a, b, word(2), 0x2ad7d2bb, 15);
    MD5_STEP_I(b, c, d, a, word(9), 0xeb86d391, 21);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void md5Init(Md5Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.bitCount[0] = 0;
    context.bitCount[1] = 0;
}

void md5Update(Md5Context& context, const void* bytes, std::size_t length) {
    if (length == 0) return;
    const auto* input = static_cast<const std::uint8_t*>(bytes);
    std::size_t used = (context.bitCount[0] >> 3) & 63;

    // A 64-bit bit count held in two halves; lengths beyond 2^61 bytes wrap as the count does.
    std::uint64_t bits = (std::uint64_t(context.bitCount[1]) << 32) | context.bitCount[0];
    bits += std::uint64_t(length) << 3;
    context.bitCount[0] = std::uint32_t(bits);
    context.bitCount[1] = std::uint32_t(bits >> 32);

    if (used > 0) {
        std::size_t room = 64 - used;
        if (length < room) {
            std::memcpy(context.block + used, input, length);
            return;
        }
        std::memcpy(context.block + used, input, room);
        md5Transform(context.state, context.block);
        input += room;
        length -= room;
    }
    // Whole blocks are compressed straight from the caller's bytes; the result is the same as
    // copying them into the block first, without the copy.
    while (length >= 64) {
        md5Transform(context.state, input);
        input += 64;
        length -= 64;
    }
    if (length > 0) std::memcpy(context.block, input, length);
}

void md5Final(std::uint8_t digest[16], Md5Context& context) {
    std::size_t used = (context.bitCount[0] >> 3) & 63;
    context.block[used++] = 0x80;
    if (used > 56) {
        std::memset(context.block + used, 0, 64 - used);
        md5Transform(context.state, context.block);
        std::memset(context.block, 0, 56);
    } else {
        std::memset(context.block + used, 0, 56 - used);
    }
    storeLittleEndian(context.block + 56, context.bitCount[0]);
    storeLittleEndian(context.block + 60, context.bitCount[1]);
    md5Transform(context.state, context.block);
    for (int i = 0; i < 4; ++i) storeLittleEndian(digest + 4 * i, context.state[i]);
    secureWipe(&context, sizeof context);
}

}  // namespace corvid1
