#include "rsa_key.h"

#include <nettle/md5.h>

#include <cstring>
#include <memory>

namespace corvid1::testserver {

RsaPrivateKey::RsaPrivateKey() {
    mpz_inits(n_, e_, d_, nullptr);
}

RsaPrivateKey::~RsaPrivateKey() {
    mpz_set_ui(d_, 0);
    mpz_clears(n_, e_, d_, nullptr);
}

namespace {

// A prime of exactly `bits` bits whose two top bits are set, so that the product of two such
// primes has exactly the sum of their sizes; p - 1 must be prime to e.
void randomPrime(mpz_t p, unsigned bits, gmp_randstate_t state, const mpz_t e) {
    mpz_t g, pm1;
    mpz_inits(g, pm1, nullptr);
    for (;;) {
        mpz_urandomb(p, state, bits);
        mpz_setbit(p, bits - 1);
        mpz_setbit(p, bits - 2);
        mpz_nextprime(p, p);
        if (mpz_sizeinbase(p, 2) != bits) continue;
        mpz_sub_ui(pm1, p, 1);
        mpz_gcd(g, pm1, e);
        if (mpz_cmp_ui(g, 1) == 0) break;
    }
    mpz_clears(g, pm1, nullptr);
}

}  // namespace

std::unique_ptr<RsaPrivateKey> RsaPrivateKey::generate(unsigned bits, std::uint64_t seed) {
    auto key = std::make_unique<RsaPrivateKey>();
    gmp_randstate_t state;
    gmp_randinit_mt(state);
    mpz_t s, p, q, phi, t;
    mpz_inits(s, p, q, phi, t, nullptr);
    mpz_import(s, 1, 1, sizeof(seed), 0, 0, &seed);
    mpz_mul_2exp(s, s, 16);
    mpz_add_ui(s, s, bits);  // another size from the same seed is another key, not a prefix
    gmp_randseed(state, s);
    mpz_set_ui(key->e_, 65537);
    do {
        randomPrime(p, bits / 2, state, key->e_);
        randomPrime(q, bits - bits / 2, state, key->e_);
    } while (mpz_cmp(p, q) == 0);
    mpz_mul(key->n_, p, q);
    mpz_sub_ui(p, p, 1);
    mpz_sub_ui(q, q, 1);
    mpz_mul(phi, p, q);
    mpz_invert(key->d_, key->e_, phi);
    key->bits_ = static_cast<unsigned>(mpz_sizeinbase(key->n_, 2));
    mpz_set_ui(p, 0);
    mpz_set_ui(q, 0);
    mpz_clears(s, p, q, phi, t, nullptr);
    gmp_randclear(state);
    return key;
}

std::optional<Bytes> RsaPrivateKey::decryptPkcs1(const mpz_t c) const {
    if (mpz_sgn(c) <= 0 || mpz_cmp(c, n_) >= 0) return std::nullopt;
    mpz_t m;
    mpz_init(m);
    mpz_powm_sec(m, c, d_, n_);
    Bytes block = fixedBytes(m, byteLength());
    mpz_set_ui(m, 0);
    mpz_clear(m);
    if (block.size() < 11 || block[0] != 0 || block[1] != 2) return std::nullopt;
    std::size_t zero = 2;
    while (zero < block.size() && block[zero] != 0) ++zero;
    if (zero == block.size() || zero < 10) return std::nullopt;
    return Bytes(block.begin() + static_cast<std::ptrdiff_t>(zero) + 1, block.end());
}

std::string RsaPrivateKey::md5Fingerprint() const {
    Bytes n = integerBytes(n_);
    Bytes e = integerBytes(e_);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, n.size(), n.data());
    md5_update(&ctx, e.size(), e.data());
    std::uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof(digest), digest);
    std::string hex = hexText(digest, sizeof(digest));
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i) out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

std::string RsaPrivateKey::knownHostsKey() const {
    char* e = mpz_get_str(nullptr, 10, e_);
    char* n = mpz_get_str(nullptr, 10, n_);
    std::string out = std::to_string(bits_) + " " + e + " " + n;
    void (*freeFn)(void*, std::size_t);
    mp_get_memory_functions(nullptr, nullptr, &freeFn);
    freeFn(e, std::strlen(e) + 1);
    freeFn(n, std::strlen(n) + 1);
    return out;
}

}  // namespace corvid1::testserver
