#include "session/key_exchange.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <string>
#include <vector>

#include "rsa_oracle.h"
#include "session/session.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::RecordingFrontEnd;
using test::RsaKeyPair;
using test::SocketPair;

const std::string seedPath = ::testing::TempDir() + "corvid1_kex_seed";

std::string fixedBytes(std::size_t n, const mpz_t z) {
    std::string out(n, '\x55');
    writeFixedBigEndian(reinterpret_cast<std::uint8_t*>(out.data()), n, z);
    return out;
}

// What the user reads while the client looks for a cipher the server offers, and what it takes.
TEST(ChooseCipher, FallsBackThroughTheCandidatesAndNeverSilentlyToNone) {
    const auto tried = [](std::vector<std::string> names) {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string name = "'" + names[i] + "'";
            lines.push_back("Attempting cipher type " + name + "...\n");
            lines.push_back(i + 1 == names.size() && names.size() != 4
                                ? "Cipher " + name + " selected.\n"
                                : "Cipher type " + name + " not supported by server.\n");
        }
        return lines;
    };
    // clang-format off
    const struct { std::uint32_t preference, mask; int chosen; std::vector<std::string> lines; } cases[] = {
        {0, 0x49, 0, {}}, {3, 1u << 3, 3, tried({"3DES"})}, {6, 0x49, 6, tried({"BLOWFISH"})},
        {5, 0x49, 3, tried({"3DES"})},  // an unknown preference counts as triple DES
        {6, 1u << 3, 3, tried({"BLOWFISH", "BLOWFISHCBC", "3DES"})},
        {3, 1u << 6, 6, tried({"3DES", "3DESCBC", "BLOWFISH"})},
        {6, 1u << 0, 0, tried({"BLOWFISH", "BLOWFISHCBC", "3DES", "3DESCBC"})}};
    // clang-format on
    for (const auto& c : cases) {
        RecordingFrontEnd frontEnd;
        EXPECT_EQ(chooseCipher(c.preference, c.mask, frontEnd), c.chosen) << c.preference << c.mask;
        EXPECT_EQ(frontEnd.lines(), c.lines) << c.preference << " " << c.mask;
    }
}

// Type-2 padding around the data; a leading zero byte of the data is one more padding byte.
TEST(RsaPadding, BlockIsTypeTwoPaddingAroundTheDataOrRefused) {
    RsaKeyPair pair(768, 7);
    RsaPublicKey key;
    mpz_set(key.modulus, pair.n);
    mpz_set(key.exponent, pair.e);
    RandomPool pool{};
    pool.initialize(seedPath);
    mpz_t in, out, back;
    mpz_inits(in, out, back, nullptr);
    // clang-format off
    const struct { const char* hex; std::uint32_t bits; long padding; /* -1: refused */ } cases[] = {
        {"c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 768, 96 - 32 - 3},
        {"00c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 768, 96 - 31 - 3},
        {"ff", 8 * 12, 8}, {"ff", 8 * 11, -1},  // seven padding bytes are too few
        {"ff", 0, -1}};  // a zero modulus would divide by zero
    // clang-format on
    for (const auto& c : cases) {
        key.bits = c.bits == 0 ? 768 : c.bits;
        if (c.bits == 0) mpz_set_ui(key.modulus, 0);
        mpz_set_str(in, c.hex, 16);
        mpz_set(out, in);
        EXPECT_EQ(rsaEncryptPkcs1(out, out, key, pool), c.padding >= 0) << c.hex;
        EXPECT_TRUE(c.padding >= 0 || mpz_cmp(out, in) == 0);
        if (c.padding < 0 || c.bits != 768) continue;  // the oracle decrypts only its own size
        std::size_t padding = 0;
        ASSERT_TRUE(pair.decrypt(back, out, &padding)) << c.hex;
        EXPECT_EQ(mpz_cmp(back, in), 0) << c.hex;
        EXPECT_EQ(padding, std::size_t(c.padding)) << c.hex;
    }
    mpz_clears(in, out, back, nullptr);
}

// The moduli are hashed at their announced sizes, padded or cut on the left, then the cookie.
TEST(SessionId, Md5OverFixedLengthModuliAndCookie) {
    mpz_t host, server;
    mpz_init_set_str(host, "c0ffee", 16);
    mpz_init_set_str(server, "abcdef12", 16);
    const std::uint8_t cookie[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t id[16];
    computeSessionId(id, cookie, 33, host, 17, server);
    const std::string block =
        fixedBytes(5, host) + fixedBytes(3, server) + test::bytesOf(cookie, 8);
    EXPECT_EQ(block.substr(0, 8), std::string("\0\0\xc0\xff\xee\xcd\xef\x12", 8));
    unsigned char expected[EVP_MAX_MD_SIZE];
    EVP_Digest(block.data(), block.size(), expected, nullptr, EVP_md5(), nullptr);
    EXPECT_EQ(test::bytesOf(id, 16), test::bytesOf(expected, 16));
    mpz_clears(host, server, nullptr);
}

// Gives the test's answer and counts the questions: a damaged key must never reach the user.
struct CountingVerifier : HostKeyVerifier {
    bool verifyHostKey(const RsaPublicKey& hostKey) override {
        return ++asked, seenBits = hostKey.bits, answer;
    }
    bool answer = false;
    int asked = 0;
    std::uint32_t seenBits = 0;
};

enum class Damage { None, ZeroN, ZeroNOf8Bits, ZeroE, ShortN, AbsurdBits, CutShort, TooSmall };
using enum Damage;

// A public-key packet from two real key pairs, one damaged. (A sound exchange end to end is
// tested against the test server.)
void publicKeyPacket(MessageBuffer& in, bool hostKeyDamaged, Damage damage) {
    static const RsaKeyPair serverPair(768, 11), hostPair(1024, 12), tiny(256, 5);
    mpz_t zero;
    mpz_init(zero);
    MessageBuffer packet;
    packet.append("cookie!!", 8);
    std::size_t cut = 0;
    for (const RsaKeyPair* key : {&serverPair, &hostPair}) {
        const Damage d = hostKeyDamaged == (key == &hostPair) ? damage : None;
        if (d == TooSmall) key = &tiny;
        std::uint32_t bits = d == ZeroNOf8Bits ? 8 : key->bits;  // 8: no shorter than announced
        if (d == ShortN) bits += 8;
        if (d == AbsurdBits) bits = 0xFFFFFFF0u;
        packet.putUint32(bits);
        packet.putMpint(d == ZeroE ? zero : key->e);
        packet.putMpint(d == ZeroN || d == ZeroNOf8Bits ? zero : key->n);
        if (d == CutShort) cut = packet.length() - 20;
    }
    mpz_clear(zero);
    for (const std::uint32_t word : {0u, 0x49u, 1u << 3}) packet.putUint32(word);
    in.append(packet.data(), cut != 0 ? cut : packet.length());
    in.skip(-static_cast<std::ptrdiff_t>(in.length()));
}

TEST(KeyExchangeTest, DamagedKeysAreMalformedAndNeverAskedAbout) {
    for (int d = 0; d <= int(TooSmall); ++d) {
        const Damage damage = Damage(d);
        for (const bool hostKey : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "host key " << hostKey << ", damage " << d);
            SocketPair local;
            RecordingFrontEnd lines;
            LoginParameters login;
            login.seedFilePath = seedPath;
            login.cipherPreference = 3;
            Session session(std::make_unique<Connection>(local.releaseClient()), login, lines);
            auto verifier = std::make_shared<CountingVerifier>();
            session.setHostKeyVerifier(verifier);
            MessageBuffer in;
            publicKeyPacket(in, hostKey, damage);
            std::ofstream(seedPath) << std::string(512, 'x');
            auto serverKey = readServerKey(session, in);
            const bool sound = damage == None || damage == TooSmall;
            if (hostKey && damage == TooSmall) continue;
            EXPECT_EQ(serverKey == nullptr, !hostKey && !sound);
            if (!serverKey) continue;
            verifier->answer = damage == TooSmall;
            EXPECT_FALSE(exchangeKeys(session, in, *serverKey));
            EXPECT_EQ(session.encryptedConnection(), nullptr);
            EXPECT_FALSE(lines.saw("Key encrypted\n"));
            EXPECT_EQ(lines.saw("Computing session id\n"), damage == TooSmall);
            // The seed file is rewritten once the session key is drawn.
            std::ifstream seed(seedPath);
            EXPECT_EQ(
                std::string(std::istreambuf_iterator<char>(seed), {}) != std::string(512, 'x'),
                damage == TooSmall);
            EXPECT_EQ(verifier->asked, sound ? 1 : 0);  // a sound key is asked about
            EXPECT_EQ(verifier->seenBits, sound ? 1024u : 0u);
            EXPECT_EQ(lines.lines().back(),
                      damage == None       ? "ERROR - Host key not accepted\n"
                      : damage == TooSmall ? "ERROR - Server key too small for the session key\n"
                                           : "ERROR - Server public key packet is malformed\n");
        }
    }
}

}  // namespace
}  // namespace corvid1
