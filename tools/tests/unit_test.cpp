// The test server's building blocks against published vectors, with OpenSSL as the oracle for
// its Nettle triple DES and Nettle as the oracle for its libcrypto Blowfish.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <nettle/blowfish.h>
#include <nettle/cbc.h>
#include <openssl/des.h>

#include <cstring>
#include <set>

#include "crc32.h"
#include "options.h"
#include "rsa_key.h"
#include "server_connection.h"
#include "ssh1_cipher.h"
#include "wire.h"

namespace corvid1::testserver {
namespace {

std::uint32_t crcOf(const char* text) {
    return ssh1Crc32(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

TEST(Crc32, PublishedValuesWithZeroStartAndNoFinalInversion) {
    EXPECT_EQ(crcOf("123456789"), 0x2DFD2D88u);
    EXPECT_EQ(crcOf("abc"), 0xCA6598D0u);
    EXPECT_EQ(crcOf(""), 0u);
}

Bytes randomBuffer(std::size_t n);

// Through zlib's inverted CRC, the value must still be the plain bit-at-a-time CRC from 0 for
// every length and every alignment of the start.
TEST(Crc32, EveryLengthAndAlignmentMatchesBitwiseCrc) {
    Bytes data = randomBuffer(200);
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t length = 0; start + length <= data.size(); ++length) {
            std::uint32_t crc = 0;
            for (std::size_t i = start; i < start + length; ++i) {
                crc ^= data[i];
                for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
            }
            ASSERT_EQ(ssh1Crc32(data.data() + start, length), crc)
                << "start " << start << " length " << length;
        }
    }
}

Bytes randomBuffer(std::size_t n) {
    Bytes b(n);
    randomBytes(b.data(), n);
    return b;
}

// Three CBC passes with OpenSSL's DES, each with its own IV carried across calls.
struct OracleTripleDes {
    DES_key_schedule k[3];
    DES_cblock iv[3] = {};
    explicit OracleTripleDes(const std::uint8_t* key) {
        for (int i = 0; i < 3; ++i) {
            DES_cblock block;
            std::memcpy(block, key + 8 * i, 8);
            DES_set_key_unchecked(&block, &k[i]);
        }
    }
    void encrypt(std::uint8_t* d, std::size_t n) {
        DES_ncbc_encrypt(d, d, static_cast<long>(n), &k[0], &iv[0], DES_ENCRYPT);
        DES_ncbc_encrypt(d, d, static_cast<long>(n), &k[1], &iv[1], DES_DECRYPT);
        DES_ncbc_encrypt(d, d, static_cast<long>(n), &k[2], &iv[2], DES_ENCRYPT);
    }
};

// Blowfish CBC with each 32-bit half of a block read and written little-endian: Nettle's
// big-endian CBC between two byte swaps of every word.
struct OracleBlowfish {
    blowfish_ctx key;
    std::uint8_t iv[BLOWFISH_BLOCK_SIZE] = {};
    explicit OracleBlowfish(const std::uint8_t* k) { blowfish_set_key(&key, 32, k); }
    static void swapWords(std::uint8_t* d, std::size_t n) {
        for (std::size_t i = 0; i < n; i += 4) {
            std::swap(d[i], d[i + 3]);
            std::swap(d[i + 1], d[i + 2]);
        }
    }
    void encrypt(std::uint8_t* d, std::size_t n) {
        swapWords(d, n);
        cbc_encrypt(&key, reinterpret_cast<nettle_cipher_func*>(&blowfish_encrypt),
                    BLOWFISH_BLOCK_SIZE, iv, n, d, d);
        swapWords(d, n);
    }
};

template <typename Oracle>
void expectSameAsOracle(int number) {
    Bytes key = randomBuffer(32);
    auto ours = makePacketCipher(number, key.data());
    auto back = makePacketCipher(number, key.data());
    Oracle oracle(key.data());
    // Several packets in a row: the chaining state must run on from one packet to the next.
    for (std::size_t length : {8u, 64u, 24u, 4096u}) {
        Bytes plain = randomBuffer(length);
        Bytes a = plain, b = plain;
        ours->encrypt(a.data(), a.size());
        oracle.encrypt(b.data(), b.size());
        ASSERT_EQ(a, b) << "packet of " << length;
        back->decrypt(a.data(), a.size());
        ASSERT_EQ(a, plain) << "packet of " << length;
    }
}

TEST(PacketCipher, TripleDesIsThreeCbcPassesWithOwnIvs) {
    expectSameAsOracle<OracleTripleDes>(CipherTripleDes);
}

TEST(PacketCipher, BlowfishReadsHalvesLittleEndian) {
    expectSameAsOracle<OracleBlowfish>(CipherBlowfish);
}

TEST(PacketCipher, NoneLeavesBytesAndUnknownNumbersHaveNoCipher) {
    std::uint8_t key[32] = {};
    Bytes data = randomBuffer(16), copy = data;
    makePacketCipher(CipherNone, key)->encrypt(data.data(), data.size());
    EXPECT_EQ(data, copy);
    EXPECT_EQ(makePacketCipher(1, key), nullptr);  // IDEA is not offered
    EXPECT_EQ(makePacketCipher(2, key), nullptr);
}

TEST(RsaKey, SeedSelectsAKeyOfExactSize) {
    auto a = RsaPrivateKey::generate(1024, 7);
    auto b = RsaPrivateKey::generate(1024, 7);
    auto c = RsaPrivateKey::generate(1024, 8);
    EXPECT_EQ(a->bits(), 1024u);
    EXPECT_EQ(mpz_cmp(a->modulus(), b->modulus()), 0);
    EXPECT_NE(mpz_cmp(a->modulus(), c->modulus()), 0);
    EXPECT_EQ(a->md5Fingerprint(), b->md5Fingerprint());
    EXPECT_NE(a->md5Fingerprint(), c->md5Fingerprint());
    for (unsigned bits : {256u, 511u, 768u, 1025u})
        EXPECT_EQ(RsaPrivateKey::generate(bits, 1)->bits(), bits);
}

class Pkcs1 : public ::testing::Test {
  protected:
    void SetUp() override {
        key = RsaPrivateKey::generate(512, 11);
        mpz_init(c);
    }
    void TearDown() override { mpz_clear(c); }
    // Encrypts a block given as bytes with the public key.
    void encryptBlock(const Bytes& block) {
        bytesToInteger(c, block.data(), block.size());
        mpz_powm(c, c, key->exponent(), key->modulus());
    }
    Bytes block(std::size_t padding, std::uint8_t type, const Bytes& data) {
        Bytes b{0, type};
        for (std::size_t i = 0; i < padding; ++i) b.push_back(static_cast<std::uint8_t>(0x11 + i));
        b.push_back(0);
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
    std::unique_ptr<RsaPrivateKey> key;
    mpz_t c;
};

TEST_F(Pkcs1, RecoversDataBehindType2Padding) {
    Bytes data = {0x00, 0x01, 0x02, 0xff};  // a leading zero byte of the data stays
    encryptBlock(block(64 - 3 - data.size(), 2, data));
    auto out = key->decryptPkcs1(c);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, data);
}

TEST_F(Pkcs1, RefusesWrongTypeShortPaddingMissingSeparatorAndOutOfRange) {
    Bytes data(20, 0x42);
    encryptBlock(block(64 - 3 - 20, 1, data));
    EXPECT_FALSE(key->decryptPkcs1(c));
    encryptBlock(block(7, 2, Bytes(64 - 3 - 7, 0x42)));
    EXPECT_FALSE(key->decryptPkcs1(c));
    Bytes noSeparator{0, 2};
    noSeparator.resize(64, 0x33);
    encryptBlock(noSeparator);
    EXPECT_FALSE(key->decryptPkcs1(c));
    mpz_set(c, key->modulus());
    EXPECT_FALSE(key->decryptPkcs1(c));
    mpz_set_ui(c, 0);
    EXPECT_FALSE(key->decryptPkcs1(c));
}

TEST(WireReader, FieldsLongerThanTheRestFailWithoutReading) {
    const std::uint8_t lying[] = {0, 0, 0x03, 0xe8, 'a', 'b', 'c'};  // says 1000 bytes
    Reader r(lying, sizeof(lying));
    EXPECT_EQ(r.string(), "");
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(r.u32(), 0u);  // stays failed

    const std::uint8_t hugeString[] = {0xff, 0xff, 0xff, 0xff, 'x'};
    Reader h(hugeString, sizeof(hugeString));
    h.string();
    EXPECT_TRUE(h.failed());

    const std::uint8_t shortMpint[] = {0x04, 0x00, 1, 2, 3};  // 1024 bits, 3 bytes
    Reader m(shortMpint, sizeof(shortMpint));
    mpz_t v;
    mpz_init_set_ui(v, 5);
    EXPECT_FALSE(m.mpint(v));
    EXPECT_EQ(mpz_sgn(v), 0);
    mpz_clear(v);
}

TEST(WireWriter, MpintCarriesBitCountAndMinimalBytes) {
    mpz_t v;
    mpz_init_set_ui(v, 0x10203);
    Writer w;
    w.mpint(v);
    EXPECT_EQ(w.bytes(), (Bytes{0x00, 0x11, 0x01, 0x02, 0x03}));
    mpz_set_ui(v, 0);
    Writer z;
    z.mpint(v);
    EXPECT_EQ(z.bytes(), (Bytes{0, 0}));
    mpz_clear(v);
}

TEST(BulkPattern, EveryAlignedRunHoldsEachByteOnceAndRunsDiffer) {
    std::set<std::vector<std::uint8_t>> runs;
    for (std::uint64_t start = 0; start < 65536 * 2; start += 256) {
        std::vector<std::uint8_t> run;
        std::set<std::uint8_t> values;
        for (std::uint64_t i = start; i < start + 256; ++i) {
            run.push_back(bulkPatternByte(i));
            values.insert(bulkPatternByte(i));
        }
        ASSERT_EQ(values.size(), 256u) << "run at " << start;
        runs.insert(run);
    }
    EXPECT_EQ(runs.size(), 256u);  // period 65536: 256 different runs
}

std::optional<Options> parse(std::vector<const char*> args, std::string& error) {
    args.insert(args.begin(), "corvid1-test-server");
    return parseOptions(static_cast<int>(args.size()), args.data(), error);
}

TEST(Options, ParsesValuesAndRejectsBadOnes) {
    std::string error;
    auto o = parse({"--ciphers", "0x08", "--port", "2222", "--mode", "shell", "--at", "key-ack",
                    "--scenario", "bad-crc", "--once"},
                   error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->cipherMask, 8u);
    EXPECT_EQ(o->port, 2222);
    EXPECT_EQ(o->mode, Mode::Shell);
    EXPECT_EQ(o->stage, Stage::KeyAck);
    EXPECT_TRUE(o->once);
    for (auto bad : std::vector<std::vector<const char*>>{{"--port", "65536"},
                                                          {"--port", "12x"},
                                                          {"--server-bits", "100"},
                                                          {"--scenario", "nonsense"},
                                                          {"--at", "later"},
                                                          {"--mode", "batch"},
                                                          {"--user"},
                                                          {"--frobnicate", "1"}}) {
        EXPECT_FALSE(parse(bad, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace corvid1::testserver
