#include "session/auth/user_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace corvid1 {
namespace {

std::string dataFile(const std::string& name) {
    std::ifstream file(std::string(KEY_DATA_DIR) + "/" + name, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    return all.str();
}

// Copies a data file into the test's own folder with the given mode: the repository does not
// keep modes, and the loader cares about them.
std::string copyWithMode(const std::string& name, mode_t mode) {
    const std::string path =
        ::testing::TempDir() + "user_key_" + std::to_string(getpid()) + "_" + name;
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary) << dataFile(name);
    chmod(path.c_str(), mode);
    return path;
}

// The public line puttygen wrote for the same key ("BITS EXPONENT MODULUS COMMENT").
void expectPuttygenPublicPart(const UserKey& key, const std::string& publicFile) {
    std::istringstream line(dataFile(publicFile));
    std::string bits, exponent, modulus;
    line >> bits >> exponent >> modulus;
    EXPECT_EQ(std::to_string(key.bits), bits);
    EXPECT_EQ(mpz_cmp_ui(key.exponent, std::stoul(exponent)), 0);
    mpz_t n;
    mpz_init_set_str(n, modulus.c_str(), 10);
    EXPECT_EQ(mpz_cmp(n, key.modulus), 0);
    mpz_clear(n);
}

struct Case {
    const char* file;
    const char* passphrase;  // null: the public part only
    KeyFileStatus expected;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.file << " with " << (c.passphrase ? c.passphrase : "(public part only)");
}

class KeyFiles : public ::testing::TestWithParam<Case> {};

TEST_P(KeyFiles, LoadAsExpected) {
    const Case& c = GetParam();
    // The key object held another key's private values before: none of them may survive a
    // load that does not end with a private part, and none survive wipePrivate after one.
    UserKey key;
    const std::string none;
    ASSERT_EQ(parseKeyFile(dataFile("plain.key"), &none, key), KeyFileStatus::Ok);
    const std::string passphrase = c.passphrase ? c.passphrase : "";
    const KeyFileStatus status =
        parseKeyFile(dataFile(c.file), c.passphrase ? &passphrase : nullptr, key);
    EXPECT_EQ(status, c.expected);
    const bool loaded = status == KeyFileStatus::Ok && c.passphrase != nullptr;
    EXPECT_EQ(key.hasPrivate, loaded);
    const auto privateValues = [&key] {
        return mpz_sgn(key.privateExponent) != 0 || mpz_sgn(key.p) != 0 || mpz_sgn(key.q) != 0 ||
               mpz_sgn(key.iqmp) != 0;
    };
    EXPECT_EQ(privateValues(), loaded);
    key.wipePrivate();
    EXPECT_FALSE(privateValues());
    EXPECT_FALSE(key.hasPrivate);
}

INSTANTIATE_TEST_SUITE_P(
    UserKey, KeyFiles,
    ::testing::Values(Case{"plain.key", "", KeyFileStatus::Ok},
                      Case{"plain.key", "ignored for a plain key", KeyFileStatus::Ok},
                      Case{"secret.key", nullptr, KeyFileStatus::Ok},
                      Case{"secret.key", "correct horse", KeyFileStatus::Ok},
                      Case{"secret.key", "correct hors", KeyFileStatus::WrongPassphrase},
                      Case{"secret.key", "", KeyFileStatus::WrongPassphrase},
                      Case{"plain.pub", "", KeyFileStatus::NotAKeyFile},
                      Case{"damaged-signature.key", "", KeyFileStatus::NotAKeyFile},
                      Case{"damaged-empty.key", "", KeyFileStatus::NotAKeyFile},
                      Case{"damaged-cut-in-header.key", "", KeyFileStatus::Damaged},
                      Case{"damaged-cut-in-modulus.key", "", KeyFileStatus::Damaged},
                      Case{"damaged-cut-in-private-part.key", "", KeyFileStatus::Damaged},
                      Case{"damaged-cut-in-private-part.key", nullptr, KeyFileStatus::Ok},
                      Case{"damaged-bits-field.key", nullptr, KeyFileStatus::Damaged},
                      Case{"damaged-modulus-length.key", nullptr, KeyFileStatus::Damaged},
                      Case{"damaged-comment-length.key", nullptr, KeyFileStatus::Damaged},
                      Case{"damaged-cipher.key", nullptr, KeyFileStatus::UnknownCipher},
                      Case{"damaged-encrypted-length.key", "correct horse", KeyFileStatus::Damaged},
                      Case{"damaged-check-bytes.key", "", KeyFileStatus::Damaged},
                      Case{"damaged-prime.key", "", KeyFileStatus::Damaged},
                      Case{"damaged-encrypted-prime.key", "correct horse",
                           KeyFileStatus::Damaged}));

TEST(UserKey, PublicPartsMatchWhatPuttygenPrints) {
    const std::string passphrase = "correct horse";
    for (const char* name : {"plain", "secret"}) {
        SCOPED_TRACE(name);
        UserKey key;
        ASSERT_EQ(parseKeyFile(dataFile(std::string(name) + ".key"), &passphrase, key),
                  KeyFileStatus::Ok);
        EXPECT_EQ(key.encrypted, std::string(name) == "secret");
        EXPECT_EQ(key.comment, std::string(name) + " test key");
        expectPuttygenPublicPart(key, std::string(name) + ".pub");
    }
}

TEST(UserKey, OnlyAFileTheOwnerAloneMayReadIsLoaded) {
    const struct {
        mode_t mode;
        KeyFileStatus expected;
    } cases[] = {{0600, KeyFileStatus::Ok},
                 {0400, KeyFileStatus::Ok},
                 {0640, KeyFileStatus::Unprotected},
                 {0604, KeyFileStatus::Unprotected},
                 {0620, KeyFileStatus::Unprotected}};
    for (const auto& c : cases) {
        std::string contents;
        EXPECT_EQ(readKeyFile(copyWithMode("plain.key", c.mode), contents), c.expected) << c.mode;
        if (c.expected == KeyFileStatus::Ok) {
            EXPECT_EQ(contents, dataFile("plain.key"));
        }
    }
    std::string contents;
    EXPECT_EQ(readKeyFile(::testing::TempDir() + "no such key", contents),
              KeyFileStatus::CannotRead);
    EXPECT_EQ(readKeyFile("/dev/zero", contents), KeyFileStatus::CannotRead);
}

// Encrypts `data` for the key with PKCS#1 type 2 padding built here, with `padding` bytes of
// padding (the rule asks for at least eight).
void encryptFor(const UserKey& key, const std::string& data, std::size_t padding, mpz_t out,
                std::uint8_t second = 2) {
    std::string block(1, '\0');
    block += static_cast<char>(second);
    block += std::string(padding, '\x5a');
    block += '\0';
    block += data;
    mpz_import(out, block.size(), 1, 1, 1, 0, block.data());
    mpz_powm(out, out, key.exponent, key.modulus);
}

TEST(UserKey, ChallengeDecryptsOnlyWithSoundPadding) {
    UserKey key;
    const std::string none;
    ASSERT_EQ(parseKeyFile(dataFile("plain.key"), &none, key), KeyFileStatus::Ok);
    const std::size_t k = 128;
    std::string challenge(32, '\0');
    for (int i = 0; i < 32; ++i) challenge[i] = static_cast<char>(i * 7 + 1);
    const std::string shortChallenge = challenge.substr(1);  // its top byte was zero
    const struct {
        std::string data;
        std::size_t padding;
        std::uint8_t second;
        bool decrypts;
    } cases[] = {{challenge, k - 3 - 32, 2, true},
                 {shortChallenge, k - 3 - 31, 2, true},
                 {challenge, k - 3 - 32, 1, false},
                 {std::string(33, 'x'), k - 3 - 33, 2, false},
                 {std::string(100, 'x'), 7, 2, false}};
    for (const auto& c : cases) {
        mpz_t encrypted;
        mpz_init(encrypted);
        encryptFor(key, c.data, c.padding, encrypted, c.second);
        std::uint8_t out[32] = {};
        EXPECT_EQ(decryptChallenge(key, encrypted, out), c.decrypts) << c.data.size();
        if (c.decrypts) {
            const std::string expected = std::string(32 - c.data.size(), '\0') + c.data;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 32), expected);
        }
        mpz_clear(encrypted);
    }
    mpz_t outOfRange;
    mpz_init_set(outOfRange, key.modulus);
    std::uint8_t out[32];
    EXPECT_FALSE(decryptChallenge(key, outOfRange, out));
    mpz_clear(outOfRange);
}

}  // namespace
}  // namespace corvid1
