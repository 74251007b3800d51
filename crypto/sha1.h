#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvid1 {

inline constexpr std::size_t kSha1DigestSize = 20;
inline constexpr std::size_t kSha1BlockSize = 64;

using Sha1Digest = std::array<std::uint8_t, kSha1DigestSize>;

// Running state of one SHA-1 digest. Needed only to read the hashed host names that OpenSSH
// writes into known_hosts; nothing here signs or protects traffic with it.
struct Sha1Context {
    std::uint32_t state[5];
    std::uint64_t byteCount;             // message bytes so far
    std::uint8_t block[kSha1BlockSize];  // partial block not yet compressed
};

void sha1Init(Sha1Context& context);
void sha1Update(Sha1Context& context, const void* bytes, std::size_t length);
// Writes the digest, then zeroes the context; sha1Init it again before reuse.
void sha1Final(std::uint8_t digest[kSha1DigestSize], Sha1Context& context);

Sha1Digest sha1(const void* bytes, std::size_t length);

// HMAC-SHA1 of `message` under `key` (any length; a key longer than a block is hashed first).
Sha1Digest hmacSha1(const void* key, std::size_t keyLength, const void* message,
                    std::size_t messageLength);

}  // namespace corvid1
