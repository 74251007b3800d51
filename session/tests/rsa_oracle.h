#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>

namespace corvid1::test {

// A real RSA key pair made with GMP, so that what the client encrypts can be checked.
struct RsaKeyPair {
    mpz_t n, e, d;
    unsigned bits;

    RsaKeyPair(unsigned bitCount, unsigned long seed) : bits(bitCount) {
        mpz_t p, q, phi;
        mpz_inits(n, d, p, q, phi, nullptr);
        mpz_init_set_ui(e, 65537);
        gmp_randstate_t random;
        gmp_randinit_default(random);
        gmp_randseed_ui(random, seed);
        do {
            for (auto [prime, size] : {std::pair{p, bits - bits / 2}, std::pair{q, bits / 2}}) {
                mpz_urandomb(prime, random, size);
                mpz_setbit(prime, size - 1);
                mpz_setbit(prime, size - 2);  // the product then has exactly the wanted size
                mpz_nextprime(prime, prime);
            }
            mpz_mul(n, p, q);
            mpz_sub_ui(p, p, 1), mpz_sub_ui(q, q, 1), mpz_mul(phi, p, q);
        } while (mpz_sizeinbase(n, 2) != bits || mpz_invert(d, e, phi) == 0);
        mpz_clears(p, q, phi, nullptr);
        gmp_randclear(random);
    }
    ~RsaKeyPair() { mpz_clears(n, e, d, nullptr); }

    // Strips PKCS#1 type-2 padding, counting its random bytes; false when not well formed.
    bool decrypt(mpz_t out, const mpz_t in, std::size_t* paddingLength = nullptr) const {
        mpz_t m;
        mpz_init(m);
        mpz_powm(m, in, d, n);
        std::string block((bits + 7) / 8, '\0');
        const std::size_t size = mpz_sizeinbase(m, 256);
        if (size <= block.size()) mpz_export(&block[block.size() - size], nullptr, 1, 1, 1, 0, m);
        mpz_clear(m);
        const std::size_t zero = block.find('\0', 2);
        if (size > block.size() || block[0] != 0 || block[1] != 2 || zero == std::string::npos)
            return false;
        if (paddingLength) *paddingLength = zero - 2;
        mpz_import(out, block.size() - zero - 1, 1, 1, 1, 0, block.data() + zero + 1);
        return true;
    }
};

}  // namespace corvid1::test
