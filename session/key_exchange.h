#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/random_pool.h"
#include "session/message_buffer.h"
#include "session/terminal_front_end.h"

namespace corvid1 {

class Session;

// An RSA public key as the server announces it. `bits` is the announced size; every byte length
// of the key comes from it, and it is not compared with the modulus.
struct RsaPublicKey {
    mpz_t exponent;
    mpz_t modulus;
    std::uint32_t bits = 0;

    RsaPublicKey() {
        mpz_init(exponent);
        mpz_init(modulus);
    }
    ~RsaPublicKey() {
        mpz_clear(exponent);
        mpz_clear(modulus);
    }
    RsaPublicKey(const RsaPublicKey&) = delete;
    RsaPublicKey& operator=(const RsaPublicKey&) = delete;
};

// Decides whether the server's host key is the one expected for the host. Called on the session
// thread right after the host key has been read, before anything is derived from it; false ends
// the key exchange (the verifier prints its own explanation through the front end it knows).
class HostKeyVerifier {
  public:
    virtual ~HostKeyVerifier() = default;
    virtual bool verifyHostKey(const RsaPublicKey& hostKey) = 0;
};

// Largest announced key size accepted: an mpint cannot hold more bits, and every byte length of
// the exchange is derived from this number.
inline constexpr std::uint32_t maxKeyBits = 65535;
// PKCS#1 version 1.5 needs at least 8 padding bytes besides 00 02 ... 00.
inline constexpr std::size_t minimumPkcs1Overhead = 11;

// Takes the cookie (into the Session) and the server key from the public-key packet. Returns
// null when the fields run past the packet or do not form a usable key.
std::unique_ptr<RsaPublicKey> readServerKey(Session& session, MessageBuffer& buffer);

// The rest of the exchange: host key, flags and masks, session identifier, session key, RSA,
// cipher choice, SSH_CMSG_SESSION_KEY, and the keyed EncryptedConnection published in the
// Session. Every step prints its status line. Returns false after printing why it stopped.
bool exchangeKeys(Session& session, MessageBuffer& buffer, const RsaPublicKey& serverKey);

// MD5 over the host modulus in (hostBits + 7) / 8 bytes, the server modulus in
// (serverBits + 7) / 8 bytes and the cookie.
void computeSessionId(std::uint8_t out[16], const std::uint8_t cookie[8], std::uint32_t hostBits,
                      const mpz_t hostModulus, std::uint32_t serverBits, const mpz_t serverModulus);

// The n least significant bytes of z, most significant first; missing high bytes are zero.
void writeFixedBigEndian(std::uint8_t* out, std::size_t n, const mpz_t z);

// PKCS#1 v1.5 type-2 encryption of `in` under `key`; `out` may be `in`. Returns false, without
// touching `out` or drawing from the pool, when the key cannot hold the data with proper
// padding or its modulus is zero.
bool rsaEncryptPkcs1(mpz_t out, const mpz_t in, const RsaPublicKey& key, RandomPool& pool);

// The bulk-cipher candidates, tried in this order by nextUntriedCipher.
enum CipherCandidate : int {
    Candidate3Des,
    Candidate3DesCbc,
    CandidateBlowfish,
    CandidateBlowfishCbc,
    CandidateCount,
    NoCandidate = -1
};

// The first candidate whose bit (1 << candidate) is not in `triedSet`, or NoCandidate.
int nextUntriedCipher(unsigned triedSet);

// Picks 0, 3 or 6 from the preference and the server's supported-ciphers mask (bit 1 << n for
// cipher n), printing the negotiation lines. A candidate is accepted when the mask has its
// cipher's bit. Preference 0 gives 0 silently; any preference other than 0 or 6 starts at 3DES.
int chooseCipher(std::uint32_t preference, std::uint32_t supportedCiphers,
                 SessionFrontEnd& frontEnd);

}  // namespace corvid1
