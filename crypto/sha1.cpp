#include "crypto/sha1.h"

#include <bit>
#include <cstring>

#include "crypto/wipe.h"

namespace corvid1 {
namespace {

std::uint32_t loadBigEndian(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

void storeBigEndian(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

void compress(std::uint32_t state[5], const std::uint8_t block[kSha1BlockSize]) {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(block + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = std::rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    secureWipe(w, sizeof w);
}

}  // namespace

void sha1Init(Sha1Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xEFCDAB89;
    context.state[2] = 0x98BADCFE;
    context.state[3] = 0x10325476;
    context.state[4] = 0xC3D2E1F0;
    context.byteCount = 0;
}

void sha1Update(Sha1Context& context, const void* bytes, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    std::size_t used = std::size_t(context.byteCount % kSha1BlockSize);
    context.byteCount += length;
    if (used > 0) {
        const std::size_t take = std::min(length, kSha1BlockSize - used);
        std::memcpy(context.block + used, in, take);
        in += take;
        length -= take;
        used += take;
        if (used < kSha1BlockSize) return;
        compress(context.state, context.block);
    }
    for (; length >= kSha1BlockSize; in += kSha1BlockSize, length -= kSha1BlockSize)
        compress(context.state, in);
    if (length > 0) std::memcpy(context.block, in, length);
}

void sha1Final(std::uint8_t digest[kSha1DigestSize], Sha1Context& context) {
    const std::uint64_t bits = context.byteCount * 8;
    std::size_t used = std::size_t(context.byteCount % kSha1BlockSize);
    context.block[used++] = 0x80;
    if (used > kSha1BlockSize - 8) {
        std::memset(context.block + used, 0, kSha1BlockSize - used);
        compress(context.state, context.block);
        used = 0;
    }
    std::memset(context.block + used, 0, kSha1BlockSize - 8 - used);
    storeBigEndian(context.block + 56, std::uint32_t(bits >> 32));
    storeBigEndian(context.block + 60, std::uint32_t(bits));
    compress(context.state, context.block);
    for (int i = 0; i < 5; ++i) storeBigEndian(digest + 4 * i, context.state[i]);
    secureWipe(&context, sizeof context);
}

Sha1Digest sha1(const void* bytes, std::size_t length) {
    Sha1Context context;
    sha1Init(context);
    sha1Update(context, bytes, length);
    Sha1Digest digest;
    sha1Final(digest.data(), context);
    return digest;
}

Sha1Digest hmacSha1(const void* key, std::size_t keyLength, const void* message,
                    std::size_t messageLength) {
    std::uint8_t pad[kSha1BlockSize] = {};
    if (keyLength > kSha1BlockSize) {
        const Sha1Digest hashed = sha1(key, keyLength);
        std::memcpy(pad, hashed.data(), hashed.size());
    } else if (keyLength > 0) {
        std::memcpy(pad, key, keyLength);
    }

    Sha1Context context;
    for (auto& byte : pad) byte ^= 0x36;
    sha1Init(context);
    sha1Update(context, pad, sizeof pad);
    sha1Update(context, message, messageLength);
    Sha1Digest inner;
    sha1Final(inner.data(), context);

    for (auto& byte : pad) byte ^= 0x36 ^ 0x5c;
    sha1Init(context);
    sha1Update(context, pad, sizeof pad);
    sha1Update(context, inner.data(), inner.size());
    Sha1Digest digest;
    sha1Final(digest.data(), context);
    secureWipe(pad, sizeof pad);
    secureWipe(inner.data(), inner.size());
    return digest;
}

}  // namespace corvid1
