#pragma once

#include <gmp.h>
#include <nettle/des.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace corvid1::test {

// A real RSA key pair made with GMP, so that what the client encrypts can be decrypted and
// checked byte by byte.
struct RsaKeyPair {
    mpz_t n, e, d;
    unsigned bits;

    RsaKeyPair(unsigned bitCount, unsigned long seed) : bits(bitCount) {
        mpz_inits(n, e, d, nullptr);
        gmp_randstate_t random;
        gmp_randinit_default(random);
        gmp_randseed_ui(random, seed);
        mpz_t p, q, phi, t;
        mpz_inits(p, q, phi, t, nullptr);
        mpz_set_ui(e, 65537);
        do {
            makePrime(p, bits - bits / 2, random);
            makePrime(q, bits / 2, random);
            mpz_mul(n, p, q);
            mpz_sub_ui(p, p, 1);
            mpz_sub_ui(q, q, 1);
            mpz_mul(phi, p, q);
            mpz_gcd(t, e, phi);
        } while (mpz_sizeinbase(n, 2) != bits || mpz_cmp_ui(t, 1) != 0);
        mpz_invert(d, e, phi);
        mpz_clears(p, q, phi, t, nullptr);
        gmp_randclear(random);
    }
    ~RsaKeyPair() { mpz_clears(n, e, d, nullptr); }

    // Decrypts and strips PKCS#1 type-2 padding; false when the block is not well formed.
    // `paddingLength` receives the number of random bytes.
    bool decrypt(mpz_t out, const mpz_t in, std::size_t* paddingLength = nullptr) const {
        mpz_t m;
        mpz_init(m);
        mpz_powm(m, in, d, n);
        const std::size_t k = (bits + 7) / 8;
        std::string block(k, '\0');
        std::size_t count = 0;
        std::string raw(k + 8, '\0');
        mpz_export(raw.data(), &count, 1, 1, 1, 0, m);
        mpz_clear(m);
        if (count > k) return false;
        block.replace(k - count, count, raw.substr(0, count));
        if (block[0] != 0 || block[1] != 2) return false;
        const std::size_t zero = block.find('\0', 2);
        if (zero == std::string::npos) return false;
        if (paddingLength) *paddingLength = zero - 2;
        const std::string data = block.substr(zero + 1);
        mpz_import(out, data.size(), 1, 1, 1, 0, data.data());
        return true;
    }

  private:
    static void makePrime(mpz_t p, unsigned size, gmp_randstate_t random) {
        mpz_urandomb(p, random, size);
        mpz_setbit(p, size - 1);
        mpz_setbit(p, size - 2);  // the product then has exactly the wanted size
        mpz_nextprime(p, p);
    }
};

// The SSH-1 triple-DES construction rebuilt from Nettle's DES: three CBC passes, each with its
// own key and chaining block, the chains running on from packet to packet.
class NettleTripleDes {
  public:
    explicit NettleTripleDes(const std::uint8_t key[24]) {
        for (int i = 0; i < 3; ++i) des_set_key(&keys_[i], key + 8 * i);
    }
    void decrypt(std::uint8_t* data, std::size_t length) {
        cbcDecrypt(2, data, length);
        cbcEncrypt(1, data, length);
        cbcDecrypt(0, data, length);
    }
    void encrypt(std::uint8_t* data, std::size_t length) {
        cbcEncrypt(0, data, length);
        cbcDecrypt(1, data, length);
        cbcEncrypt(2, data, length);
    }

  private:
    void cbcEncrypt(int pass, std::uint8_t* data, std::size_t length) {
        for (std::size_t at = 0; at < length; at += 8) {
            for (int i = 0; i < 8; ++i) data[at + i] ^= iv_[pass][i];
            des_encrypt(&keys_[pass], 8, data + at, data + at);
            std::memcpy(iv_[pass], data + at, 8);
        }
    }
    void cbcDecrypt(int pass, std::uint8_t* data, std::size_t length) {
        for (std::size_t at = 0; at < length; at += 8) {
            std::uint8_t kept[8];
            std::memcpy(kept, data + at, 8);
            des_decrypt(&keys_[pass], 8, data + at, data + at);
            for (int i = 0; i < 8; ++i) data[at + i] ^= iv_[pass][i];
            std::memcpy(iv_[pass], kept, 8);
        }
    }
    des_ctx keys_[3];
    std::uint8_t iv_[3][8] = {};
};

}  // namespace corvid1::test
