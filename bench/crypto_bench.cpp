// Throughput of the SSH-1 cipher constructions and MD5: ours, and the same constructions built
// from Nettle's and OpenSSL's primitives, in one run so that the ratios can be read off.

#include <benchmark/benchmark.h>
#include <nettle/blowfish.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <nettle/md5.h>
#include <openssl/blowfish.h>
#include <openssl/des.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/cipher.h"
#include "crypto/md5.h"

namespace {

constexpr std::size_t kBufferSize = 16 * 1024;

struct Fixture {
    std::uint8_t key[32];
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kBufferSize);
    Fixture() {
        std::mt19937 random(1);
        for (auto& b : key) b = std::uint8_t(random());
        for (auto& b : buffer) b = std::uint8_t(random());
    }
};

void finish(benchmark::State& state) {
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kBufferSize));
}

// ---- ours

template <void (*init)(corvid1::CipherContext&, const std::uint8_t*, std::size_t, int),
          void (*transform)(corvid1::CipherContext&, std::uint8_t*, std::size_t)>
void corvid1Cipher(benchmark::State& state) {
    Fixture f;
    corvid1::CipherContext context;
    init(context, f.key, sizeof f.key, 1);
    for (auto _ : state) {
        transform(context, f.buffer.data(), f.buffer.size());
        benchmark::DoNotOptimize(f.buffer.data());
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_TripleDesSsh1Encrypt_Corvid1(benchmark::State& state) {
    corvid1Cipher<corvid1::tripleDesInitContext, corvid1::tripleDesCbcEncrypt>(state);
}
void BM_TripleDesSsh1Decrypt_Corvid1(benchmark::State& state) {
    corvid1Cipher<corvid1::tripleDesInitContext, corvid1::tripleDesCbcDecrypt>(state);
}
void BM_BlowfishSsh1Encrypt_Corvid1(benchmark::State& state) {
    corvid1Cipher<corvid1::blowfishInitContext, corvid1::blowfishCbcEncrypt>(state);
}
void BM_BlowfishSsh1Decrypt_Corvid1(benchmark::State& state) {
    corvid1Cipher<corvid1::blowfishInitContext, corvid1::blowfishCbcDecrypt>(state);
}

void BM_Md5_Corvid1(benchmark::State& state) {
    Fixture f;
    std::uint8_t digest[16];
    for (auto _ : state) {
        corvid1::Md5Context context;
        corvid1::md5Init(context);
        corvid1::md5Update(context, f.buffer.data(), f.buffer.size());
        corvid1::md5Final(digest, context);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

// ---- Nettle: three CBC passes from its DES; reference Blowfish-CBC between byte reversals.

struct NettleTripleDes {
    des_ctx keys[3];
    std::uint8_t ivs[3][8] = {};
    explicit NettleTripleDes(const std::uint8_t* key) {
        for (int i = 0; i < 3; ++i) des_set_key(&keys[i], key + 8 * i);
    }
};

void BM_TripleDesSsh1Encrypt_Nettle(benchmark::State& state) {
    Fixture f;
    NettleTripleDes c(f.key);
    auto* p = f.buffer.data();
    for (auto _ : state) {
        cbc_encrypt(&c.keys[0], (nettle_cipher_func*)des_encrypt, 8, c.ivs[0], kBufferSize, p, p);
        cbc_decrypt(&c.keys[1], (nettle_cipher_func*)des_decrypt, 8, c.ivs[1], kBufferSize, p, p);
        cbc_encrypt(&c.keys[2], (nettle_cipher_func*)des_encrypt, 8, c.ivs[2], kBufferSize, p, p);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_TripleDesSsh1Decrypt_Nettle(benchmark::State& state) {
    Fixture f;
    NettleTripleDes c(f.key);
    auto* p = f.buffer.data();
    for (auto _ : state) {
        cbc_decrypt(&c.keys[2], (nettle_cipher_func*)des_decrypt, 8, c.ivs[2], kBufferSize, p, p);
        cbc_encrypt(&c.keys[1], (nettle_cipher_func*)des_encrypt, 8, c.ivs[1], kBufferSize, p, p);
        cbc_decrypt(&c.keys[0], (nettle_cipher_func*)des_decrypt, 8, c.ivs[0], kBufferSize, p, p);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void reverseHalves(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 4) {
        std::uint32_t w;
        std::memcpy(&w, p + i, 4);
        w = __builtin_bswap32(w);
        std::memcpy(p + i, &w, 4);
    }
}

void BM_BlowfishSsh1Encrypt_Nettle(benchmark::State& state) {
    Fixture f;
    blowfish_ctx key;
    blowfish_set_key(&key, sizeof f.key, f.key);
    std::uint8_t iv[8] = {};
    auto* p = f.buffer.data();
    for (auto _ : state) {
        reverseHalves(p, kBufferSize);
        cbc_encrypt(&key, (nettle_cipher_func*)blowfish_encrypt, 8, iv, kBufferSize, p, p);
        reverseHalves(p, kBufferSize);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_BlowfishSsh1Decrypt_Nettle(benchmark::State& state) {
    Fixture f;
    blowfish_ctx key;
    blowfish_set_key(&key, sizeof f.key, f.key);
    std::uint8_t iv[8] = {};
    auto* p = f.buffer.data();
    for (auto _ : state) {
        reverseHalves(p, kBufferSize);
        cbc_decrypt(&key, (nettle_cipher_func*)blowfish_decrypt, 8, iv, kBufferSize, p, p);
        reverseHalves(p, kBufferSize);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_Md5_Nettle(benchmark::State& state) {
    Fixture f;
    std::uint8_t digest[16];
    for (auto _ : state) {
        md5_ctx context;
        md5_init(&context);
        md5_update(&context, f.buffer.size(), f.buffer.data());
        md5_digest(&context, sizeof digest, digest);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

// ---- OpenSSL: three DES_ncbc_encrypt passes; Blowfish-CBC from BF_encrypt/BF_decrypt, which
// take host-order words, so the SSH-1 little-endian halves need no byte reversal at all.

struct OpenSslTripleDes {
    DES_key_schedule keys[3];
    DES_cblock ivs[3] = {};
    explicit OpenSslTripleDes(const std::uint8_t* key) {
        for (int i = 0; i < 3; ++i) {
            DES_cblock k;
            std::memcpy(k, key + 8 * i, 8);
            DES_set_key_unchecked(&k, &keys[i]);
        }
    }
};

void BM_TripleDesSsh1Encrypt_OpenSSL(benchmark::State& state) {
    Fixture f;
    OpenSslTripleDes c(f.key);
    auto* p = f.buffer.data();
    const long n = long(kBufferSize);
    for (auto _ : state) {
        DES_ncbc_encrypt(p, p, n, &c.keys[0], &c.ivs[0], DES_ENCRYPT);
        DES_ncbc_encrypt(p, p, n, &c.keys[1], &c.ivs[1], DES_DECRYPT);
        DES_ncbc_encrypt(p, p, n, &c.keys[2], &c.ivs[2], DES_ENCRYPT);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_TripleDesSsh1Decrypt_OpenSSL(benchmark::State& state) {
    Fixture f;
    OpenSslTripleDes c(f.key);
    auto* p = f.buffer.data();
    const long n = long(kBufferSize);
    for (auto _ : state) {
        DES_ncbc_encrypt(p, p, n, &c.keys[2], &c.ivs[2], DES_DECRYPT);
        DES_ncbc_encrypt(p, p, n, &c.keys[1], &c.ivs[1], DES_ENCRYPT);
        DES_ncbc_encrypt(p, p, n, &c.keys[0], &c.ivs[0], DES_DECRYPT);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

inline BF_LONG loadLittle(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline void storeLittle(std::uint8_t* p, BF_LONG v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

void BM_BlowfishSsh1Encrypt_OpenSSL(benchmark::State& state) {
    Fixture f;
    BF_KEY key;
    BF_set_key(&key, sizeof f.key, f.key);
    BF_LONG iv[2] = {};
    auto* p = f.buffer.data();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBufferSize; i += 8) {
            BF_LONG block[2] = {loadLittle(p + i) ^ iv[0], loadLittle(p + i + 4) ^ iv[1]};
            BF_encrypt(block, &key);
            storeLittle(p + i, block[0]);
            storeLittle(p + i + 4, block[1]);
            iv[0] = block[0];
            iv[1] = block[1];
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_BlowfishSsh1Decrypt_OpenSSL(benchmark::State& state) {
    Fixture f;
    BF_KEY key;
    BF_set_key(&key, sizeof f.key, f.key);
    BF_LONG iv[2] = {};
    auto* p = f.buffer.data();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBufferSize; i += 8) {
            BF_LONG c0 = loadLittle(p + i), c1 = loadLittle(p + i + 4);
            BF_LONG block[2] = {c0, c1};
            BF_decrypt(block, &key);
            storeLittle(p + i, block[0] ^ iv[0]);
            storeLittle(p + i + 4, block[1] ^ iv[1]);
            iv[0] = c0;
            iv[1] = c1;
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void BM_Md5_OpenSSL(benchmark::State& state) {
    Fixture f;
    unsigned char digest[16];
    for (auto _ : state) {
        MD5_CTX context;
        MD5_Init(&context);
        MD5_Update(&context, f.buffer.data(), f.buffer.size());
        MD5_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

}  // namespace

BENCHMARK(BM_TripleDesSsh1Encrypt_Corvid1);
BENCHMARK(BM_TripleDesSsh1Encrypt_Nettle);
BENCHMARK(BM_TripleDesSsh1Encrypt_OpenSSL);
BENCHMARK(BM_TripleDesSsh1Decrypt_Corvid1);
BENCHMARK(BM_TripleDesSsh1Decrypt_Nettle);
BENCHMARK(BM_TripleDesSsh1Decrypt_OpenSSL);
BENCHMARK(BM_BlowfishSsh1Encrypt_Corvid1);
BENCHMARK(BM_BlowfishSsh1Encrypt_Nettle);
BENCHMARK(BM_BlowfishSsh1Encrypt_OpenSSL);
BENCHMARK(BM_BlowfishSsh1Decrypt_Corvid1);
BENCHMARK(BM_BlowfishSsh1Decrypt_Nettle);
BENCHMARK(BM_BlowfishSsh1Decrypt_OpenSSL);
BENCHMARK(BM_Md5_Corvid1);
BENCHMARK(BM_Md5_Nettle);
BENCHMARK(BM_Md5_OpenSSL);

BENCHMARK_MAIN();
