#include "session/auth/user_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "crypto/cipher.h"
#include "crypto/md5.h"
#include "crypto/wipe.h"
#include "session/key_exchange.h"
#include "session/message_buffer.h"

namespace corvid1 {
namespace {

// The signature with its line feed and terminating NUL, as both puttygen and ssh-keygen write it.
constexpr char signature[] = "SSH PRIVATE KEY FILE FORMAT 1.1\n";
constexpr std::size_t signatureSize = sizeof signature;  // the NUL belongs to it
constexpr std::uint8_t fileCipherNone = 0;
constexpr std::uint8_t fileCipherTripleDes = 3;

void wipeInteger(mpz_t z) {
    const std::size_t limbs = mpz_size(z);
    if (limbs > 0) secureWipe(mpz_limbs_modify(z, limbs), limbs * sizeof(mp_limb_t));
    mpz_set_ui(z, 0);
}

bool publicPartSound(const UserKey& key) {
    const std::size_t size = mpz_sizeinbase(key.modulus, 2);
    return mpz_sgn(key.modulus) > 0 && key.bits == size && size >= minUserKeyBits &&
           size <= maxUserKeyBits && mpz_odd_p(key.modulus) && mpz_cmp_ui(key.exponent, 1) > 0 &&
           mpz_cmp(key.exponent, key.modulus) < 0 && key.comment.size() <= maxKeyCommentLength;
}

// The private values must make the modulus and invert the exponent; anything else is a file
// that decrypted by luck or was damaged behind its check bytes.
bool privatePartSound(const UserKey& key) {
    if (mpz_cmp_ui(key.p, 1) <= 0 || mpz_cmp_ui(key.q, 1) <= 0 || mpz_sgn(key.privateExponent) <= 0)
        return false;
    mpz_t t, u;
    mpz_inits(t, u, nullptr);
    mpz_mul(t, key.p, key.q);
    bool sound = mpz_cmp(t, key.modulus) == 0;
    if (sound) {
        // e * d = 1 modulo p - 1 and q - 1 is what decryption needs.
        mpz_mul(t, key.exponent, key.privateExponent);
        mpz_sub_ui(u, key.p, 1);
        mpz_mod(u, t, u);
        sound = mpz_cmp_ui(u, 1) == 0;
        mpz_sub_ui(u, key.q, 1);
        mpz_mod(u, t, u);
        sound = sound && mpz_cmp_ui(u, 1) == 0;
    }
    wipeInteger(t);
    wipeInteger(u);
    mpz_clears(t, u, nullptr);
    return sound;
}

void decryptPrivatePart(std::uint8_t* data, std::size_t length, const std::string& passphrase) {
    std::uint8_t digest[16];
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, passphrase.data(), passphrase.size());
    md5Final(digest, md5);
    // Sixteen bytes of key: the third DES key is the first, as SSH-1 key files have it.
    CipherContext context;
    tripleDesInitContext(context, digest, sizeof digest, 0);
    tripleDesCbcDecrypt(context, data, length);
    secureWipe(&context, sizeof context);
    secureWipe(digest, sizeof digest);
}

KeyFileStatus readPrivatePart(MessageBuffer& buffer, UserKey& key) {
    std::uint8_t check[4];
    buffer.read(check, sizeof check);
    const bool checkMatches = check[0] == check[2] && check[1] == check[3];
    secureWipe(check, sizeof check);
    if (buffer.broken()) return KeyFileStatus::Damaged;
    if (!checkMatches)
        return key.encrypted ? KeyFileStatus::WrongPassphrase : KeyFileStatus::Damaged;
    buffer.getMpint(key.privateExponent);
    buffer.getMpint(key.iqmp);
    buffer.getMpint(key.q);
    buffer.getMpint(key.p);
    if (buffer.broken() || !privatePartSound(key)) {
        key.wipePrivate();
        return KeyFileStatus::Damaged;
    }
    key.hasPrivate = true;
    return KeyFileStatus::Ok;
}

}  // namespace

UserKey::UserKey() {
    mpz_inits(modulus, exponent, privateExponent, p, q, iqmp, nullptr);
}

UserKey::~UserKey() {
    wipePrivate();
    mpz_clears(modulus, exponent, privateExponent, p, q, iqmp, nullptr);
}

void UserKey::wipePrivate() {
    wipeInteger(privateExponent);
    wipeInteger(p);
    wipeInteger(q);
    wipeInteger(iqmp);
    hasPrivate = false;
}

const char* keyFileStatusText(KeyFileStatus status) {
    switch (status) {
        case KeyFileStatus::Ok:
            return "key loaded";
        case KeyFileStatus::CannotRead:
            return "cannot read the key file";
        case KeyFileStatus::Unprotected:
            return "key file refused: it may be read by others (chmod 600 it)";
        case KeyFileStatus::NotAKeyFile:
            return "not an SSH-1 private key file (make one with puttygen -t rsa1)";
        case KeyFileStatus::Damaged:
            return "the key file is damaged";
        case KeyFileStatus::UnknownCipher:
            return "the key file is encrypted with a cipher other than triple DES";
        case KeyFileStatus::WrongPassphrase:
            return "wrong passphrase";
    }
    return "";
}

KeyFileStatus readKeyFile(const std::string& path, std::string& contents) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return KeyFileStatus::CannotRead;
    struct stat info {};
    KeyFileStatus status = KeyFileStatus::Ok;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > maxKeyFileSize) {
        status = KeyFileStatus::CannotRead;
    } else if ((info.st_mode & 077) != 0 || (info.st_uid != getuid() && info.st_uid != 0)) {
        status = KeyFileStatus::Unprotected;
    }
    if (status == KeyFileStatus::Ok) {
        // One more byte than allowed is asked for, so a file that grew since fstat is caught.
        contents.assign(maxKeyFileSize + 1, '\0');
        std::size_t have = 0;
        for (;;) {
            const ssize_t n = read(fd, contents.data() + have, contents.size() - have);
            if (n < 0) {
                status = KeyFileStatus::CannotRead;
                break;
            }
            if (n == 0) break;
            have += static_cast<std::size_t>(n);
            if (have == contents.size()) break;
        }
        if (have > maxKeyFileSize) status = KeyFileStatus::CannotRead;
        // The tail held no file bytes, so shortening leaves nothing secret behind.
        contents.resize(have);
    }
    close(fd);
    return status;
}

KeyFileStatus parseKeyFile(const std::string& contents, const std::string* passphrase,
                           UserKey& key) {
    key.wipePrivate();
    if (contents.size() < signatureSize || contents.size() > maxKeyFileSize ||
        std::memcmp(contents.data(), signature, signatureSize) != 0)
        return KeyFileStatus::NotAKeyFile;
    MessageBuffer buffer;
    buffer.append(contents.data() + signatureSize, contents.size() - signatureSize);
    buffer.skip(-static_cast<std::ptrdiff_t>(buffer.length()));

    const std::uint8_t cipher = buffer.getByte();
    buffer.getUint32();  // reserved
    key.bits = buffer.getUint32();
    buffer.getMpint(key.modulus);
    buffer.getMpint(key.exponent);
    const std::uint32_t commentLength = buffer.getUint32();
    if (buffer.broken() || commentLength > maxKeyCommentLength ||
        commentLength > buffer.remaining())
        return KeyFileStatus::Damaged;
    key.comment.assign(reinterpret_cast<const char*>(buffer.cursor()), commentLength);
    buffer.skip(static_cast<std::ptrdiff_t>(commentLength));
    if (!publicPartSound(key)) return KeyFileStatus::Damaged;
    if (cipher != fileCipherNone && cipher != fileCipherTripleDes)
        return KeyFileStatus::UnknownCipher;
    key.encrypted = cipher == fileCipherTripleDes;
    if (passphrase == nullptr) return KeyFileStatus::Ok;

    if (key.encrypted) {
        // The encrypted part is whole cipher blocks; anything else was cut or padded wrongly.
        if (buffer.remaining() % 8 != 0) return KeyFileStatus::Damaged;
        decryptPrivatePart(buffer.cursor(), buffer.remaining(), *passphrase);
    }
    return readPrivatePart(buffer, key);
}

bool decryptChallenge(const UserKey& key, const mpz_t challenge, std::uint8_t out[32]) {
    if (!key.hasPrivate || mpz_sgn(challenge) <= 0 || mpz_cmp(challenge, key.modulus) >= 0)
        return false;
    const std::size_t k = (mpz_sizeinbase(key.modulus, 2) + 7) / 8;
    mpz_t m;
    mpz_init(m);
    mpz_powm_sec(m, challenge, key.privateExponent, key.modulus);
    std::string block(k, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(block.data());
    writeFixedBigEndian(bytes, k, m);
    wipeInteger(m);
    mpz_clear(m);
    // 00 02, at least eight nonzero padding bytes, 00, then the data.
    std::size_t zero = 2;
    while (zero < k && bytes[zero] != 0) ++zero;
    const std::size_t dataLength = zero < k ? k - zero - 1 : 0;
    const bool sound = k >= minimumPkcs1Overhead && bytes[0] == 0 && bytes[1] == 2 && zero < k &&
                       zero >= 10 && dataLength >= 1 && dataLength <= 32;
    if (sound) {
        std::memset(out, 0, 32);
        std::memcpy(out + 32 - dataLength, bytes + zero + 1, dataLength);
    }
    secureWipe(block.data(), block.size());
    return sound;
}

void challengeResponse(const std::uint8_t challenge[32], const std::uint8_t sessionId[16],
                       std::uint8_t out[16]) {
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, challenge, 32);
    md5Update(md5, sessionId, 16);
    md5Final(out, md5);
}

}  // namespace corvid1
