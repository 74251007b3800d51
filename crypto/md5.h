#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid1 {

// Running state of one MD5 digest. The number of buffered bytes is (bitCount[0] / 8) % 64.
struct Md5Context {
    std::uint32_t state[4];     // A, B, C, D
    std::uint32_t bitCount[2];  // message bits so far, low word first
    std::uint8_t block[64];     // partial block not yet compressed
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, const void* bytes, std::size_t length);
// Writes the 16-byte digest, then zeroes the whole context; md5Init it again before reuse.
void md5Final(std::uint8_t digest[16], Md5Context& context);

// The bare compression function: adds the result of the 64 steps over `block` (16
// little-endian words) to `state`. The random pool stirs with it.
void md5Transform(std::uint32_t state[4], const std::uint8_t block[64]);

}  // namespace corvid1
