#include "session/auth/user_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <iterator>

namespace corvid1 {
namespace {

std::string dataFile(const std::string& name) {
    std::ifstream file(std::string(KEY_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::string decimal(const mpz_t value) {
    std::unique_ptr<char, void (*)(void*)> text(mpz_get_str(nullptr, 10, value), std::free);
    return text.get();
}

// Loaded over a key with private values: none survive a load without one, nor wipePrivate.
TEST(UserKey, KeyFilesLoadAsExpected) {
    using S = KeyFileStatus;
    const char* const none = nullptr;  // no passphrase: the public part only
    const struct {
        const char* file;
        const char* passphrase;
        KeyFileStatus expected;
    } cases[] = {
        // clang-format off
        {"plain.key", "", S::Ok}, {"plain.key", "ignored for a plain key", S::Ok},
        {"secret.key", none, S::Ok}, {"secret.key", "correct horse", S::Ok},
        {"secret.key", "correct hors", S::WrongPassphrase}, {"secret.key", "", S::WrongPassphrase},
        {"plain.pub", "", S::NotAKeyFile}, {"damaged-signature.key", "", S::NotAKeyFile},
        {"damaged-empty.key", "", S::NotAKeyFile}, {"damaged-cut-in-header.key", "", S::Damaged},
        {"damaged-cut-in-modulus.key", "", S::Damaged}, {"damaged-bits-field.key", none, S::Damaged},
        {"damaged-cut-in-private-part.key", "", S::Damaged}, {"damaged-cut-in-private-part.key", none, S::Ok},
        {"damaged-modulus-length.key", none, S::Damaged}, {"damaged-comment-length.key", none, S::Damaged},
        {"damaged-cipher.key", none, S::UnknownCipher}, {"damaged-encrypted-length.key", "correct horse", S::Damaged},
        {"damaged-check-bytes.key", "", S::Damaged}, {"damaged-prime.key", "", S::Damaged},
        {"damaged-encrypted-prime.key", "correct horse", S::Damaged},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " with " + (c.passphrase ? c.passphrase : "nothing"));
        UserKey key;
        const std::string empty, passphrase = c.passphrase ? c.passphrase : "";
        ASSERT_EQ(parseKeyFile(dataFile("plain.key"), &empty, key), S::Ok);
        const KeyFileStatus status =
            parseKeyFile(dataFile(c.file), c.passphrase ? &passphrase : nullptr, key);
        EXPECT_EQ(status, c.expected);
        const bool loaded = status == S::Ok && c.passphrase != nullptr;
        const auto privateValues = [&key] {
            return std::to_string(key.hasPrivate) + std::to_string(mpz_sgn(key.privateExponent)) +
                   std::to_string(mpz_sgn(key.p)) + std::to_string(mpz_sgn(key.q)) +
                   std::to_string(mpz_sgn(key.iqmp));
        };
        EXPECT_EQ(privateValues(), loaded ? "11111" : "00000");
        key.wipePrivate();
        EXPECT_EQ(privateValues(), "00000");
    }
}

// The .pub files hold the line puttygen wrote for the same keys.
TEST(UserKey, PublicPartsMatchWhatPuttygenPrints) {
    const std::string passphrase = "correct horse";
    for (const std::string name : {"plain", "secret"}) {
        UserKey key;
        ASSERT_EQ(parseKeyFile(dataFile(name + ".key"), &passphrase, key), KeyFileStatus::Ok);
        EXPECT_EQ(key.encrypted, name == "secret");
        EXPECT_EQ(std::to_string(key.bits) + " " + decimal(key.exponent) + " " +
                      decimal(key.modulus) + " " + key.comment + "\n",
                  dataFile(name + ".pub"));
    }
}

TEST(UserKey, OnlyAFileTheOwnerAloneMayReadIsLoaded) {
    const std::string path = ::testing::TempDir() + "user_key_" + std::to_string(getpid());
    using S = KeyFileStatus;
    const std::pair<mode_t, S> cases[] = {
        {0600, S::Ok}, {0400, S::Ok}, {0640, S::Unprotected}, {0604, S::Unprotected}, {0620, S::Unprotected}};
    for (const auto& [mode, expected] : cases) {
        std::remove(path.c_str());
        std::ofstream(path, std::ios::binary) << dataFile("plain.key");
        chmod(path.c_str(), mode);
        std::string contents;
        EXPECT_EQ(readKeyFile(path, contents), expected) << mode;
        EXPECT_EQ(contents, expected == S::Ok ? dataFile("plain.key") : "") << mode;
    }
    std::remove(path.c_str());
    std::string contents;
    EXPECT_EQ(readKeyFile(path, contents), S::CannotRead);
    EXPECT_EQ(readKeyFile("/dev/zero", contents), S::CannotRead);
}

// Only sound PKCS#1 type 2 blocks (8+ padding bytes, at most 32 of challenge) decrypt.
TEST(UserKey, ChallengeDecryptsOnlyWithSoundPadding) {
    UserKey key;
    const std::string none;
    ASSERT_EQ(parseKeyFile(dataFile("plain.key"), &none, key), KeyFileStatus::Ok);
    const std::size_t k = 128;
    std::string challenge(32, '\0');
    for (int i = 0; i < 32; ++i) challenge[i] = static_cast<char>(i * 7 + 1);
    const struct {
        std::string data;
        std::size_t padding;
        char type;
        bool decrypts;
    } cases[] = {
        {challenge, k - 3 - 32, 2, true}, {challenge.substr(1), k - 3 - 31, 2, true},  // top byte 0
        {challenge, k - 3 - 32, 1, false}, {std::string(33, 'x'), k - 3 - 33, 2, false},
        {std::string(100, 'x'), 7, 2, false}};
    mpz_t encrypted;
    mpz_init(encrypted);
    for (const auto& c : cases) {
        const std::string block =
            std::string{0, c.type} + std::string(c.padding, '\x5a') + std::string(1, '\0') + c.data;
        mpz_import(encrypted, block.size(), 1, 1, 1, 0, block.data());
        mpz_powm(encrypted, encrypted, key.exponent, key.modulus);
        std::uint8_t out[32] = {};
        EXPECT_EQ(decryptChallenge(key, encrypted, out), c.decrypts) << c.data.size();
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 32),
                  c.decrypts ? std::string(32 - c.data.size(), '\0') + c.data : std::string(32, 0));
    }
    std::uint8_t out[32];
    EXPECT_FALSE(decryptChallenge(key, key.modulus, out));
    mpz_clear(encrypted);
}

}  // namespace
}  // namespace corvid1
