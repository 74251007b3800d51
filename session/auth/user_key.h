#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>

namespace corvid1 {

// Largest key file read: a 16384-bit key with a long comment takes well under this.
inline constexpr std::size_t maxKeyFileSize = 64 * 1024;
// The user key sizes taken: smaller ones are broken, larger ones no SSH-1 server accepts.
inline constexpr std::uint32_t minUserKeyBits = 512;
inline constexpr std::uint32_t maxUserKeyBits = 16384;
inline constexpr std::size_t maxKeyCommentLength = 1024;

// An SSH-1 RSA user key as a key file holds it. The private values are filled only once the
// file has been decrypted, and every value is wiped when the key goes.
struct UserKey {
    std::uint32_t bits = 0;  // as the file announces it
    mpz_t modulus, exponent;
    mpz_t privateExponent, p, q, iqmp;
    std::string comment;
    bool encrypted = false;   // the private part needs a passphrase
    bool hasPrivate = false;  // the private values below are present and checked

    UserKey();
    ~UserKey();
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    void wipePrivate();
};

enum class KeyFileStatus {
    Ok,
    CannotRead,       // missing, not a regular file, unreadable or too large
    Unprotected,      // group or others may read it, or it belongs to someone else
    NotAKeyFile,      // no SSH-1 key file signature
    Damaged,          // a field runs past the file, a length is out of bounds, or p*q != n
    UnknownCipher,    // encrypted with a cipher other than none or triple DES
    WrongPassphrase,  // the check bytes do not match after decryption
};

// The line a front end shows for a failed key file, without the file name or a line feed.
const char* keyFileStatusText(KeyFileStatus status);

// Reads the whole file into `contents` after checking that only its owner (the user or root)
// can read it, as ssh does for private keys.
KeyFileStatus readKeyFile(const std::string& path, std::string& contents);

// Takes the file apart. With `passphrase` null only the public part is read (and `encrypted`
// tells whether a passphrase will be needed); otherwise the private part too, decrypted with
// the passphrase when the file is encrypted. Every length is checked against the file once.
KeyFileStatus parseKeyFile(const std::string& contents, const std::string* passphrase,
                           UserKey& key);

// The 32 challenge bytes from an SSH_SMSG_AUTH_RSA_CHALLENGE value: c^d mod n, which must hold
// PKCS#1 type-2 padding around at most 32 bytes (right-aligned in `out`). False on any mismatch.
bool decryptChallenge(const UserKey& key, const mpz_t challenge, std::uint8_t out[32]);

// MD5 of the 32 challenge bytes followed by the session id: the SSH_CMSG_AUTH_RSA_RESPONSE.
void challengeResponse(const std::uint8_t challenge[32], const std::uint8_t sessionId[16],
                       std::uint8_t out[16]);

}  // namespace corvid1
