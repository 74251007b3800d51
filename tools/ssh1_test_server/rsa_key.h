// RSA keys of the test server: generation (deterministic from a seed, so tests can present a
// known or a changed host key), PKCS#1 v1.5 type-2 decryption, and the forms in which clients
// pin a host key.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "wire.h"

namespace corvid1::testserver {

class RsaPrivateKey {
  public:
    RsaPrivateKey();
    ~RsaPrivateKey();
    RsaPrivateKey(const RsaPrivateKey&) = delete;
    RsaPrivateKey& operator=(const RsaPrivateKey&) = delete;

    // A key whose modulus has exactly `bits` bits, from a random generator seeded with `seed`.
    static std::unique_ptr<RsaPrivateKey> generate(unsigned bits, std::uint64_t seed);

    unsigned bits() const { return bits_; }
    std::size_t byteLength() const { return (bits_ + 7) / 8; }
    const __mpz_struct* modulus() const { return n_; }
    const __mpz_struct* exponent() const { return e_; }

    // Undoes one layer of the client's encryption: c^d mod n, taken as a byteLength() block that
    // must read 00 02, at least 8 nonzero padding bytes, 00, data. Returns the data bytes, or
    // nothing when c is out of range or the padding is wrong.
    std::optional<Bytes> decryptPkcs1(const mpz_t c) const;

    // MD5 of the modulus bytes followed by the exponent bytes, as colon-separated hex: the SSH-1
    // fingerprint that PuTTY and OpenSSH show.
    std::string md5Fingerprint() const;
    // "BITS EXPONENT MODULUS" in decimal, the key part of an SSH-1 known-hosts line.
    std::string knownHostsKey() const;

  private:
    unsigned bits_ = 0;
    mpz_t n_, e_, d_;
};

}  // namespace corvid1::testserver
