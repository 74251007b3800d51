#include "session/key_exchange.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

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

std::string seedPath(const char* name) {
    return ::testing::TempDir() + "corvid1_kex_" + name;
}

std::string fixedBytes(std::size_t n, const char* hex) {
    mpz_t z;
    mpz_init_set_str(z, hex, 16);
    std::string out(n, '\x55');
    writeFixedBigEndian(reinterpret_cast<std::uint8_t*>(out.data()), n, z);
    mpz_clear(z);
    return out;
}

TEST(WriteFixedBigEndian, PadsOrCutsToTheGivenLength) {
    EXPECT_EQ(fixedBytes(4, "102"), std::string("\0\0\1\2", 4));
    EXPECT_EQ(fixedBytes(2, "10203"), std::string("\2\3", 2));
    EXPECT_EQ(fixedBytes(3, "0"), std::string(3, '\0'));
}

// What the user reads while the client looks for a cipher the server offers, and what it takes.
TEST(ChooseCipher, FallsBackThroughTheCandidatesAndNeverSilentlyToNone) {
    const std::string bf = "'BLOWFISH'", bfc = "'BLOWFISHCBC'", des = "'3DES'", desc = "'3DESCBC'";
    const auto tried = [](const std::string& name, bool taken) {
        return std::vector<std::string>{
            "Attempting cipher type " + name + "...\n",
            taken ? "Cipher " + name + " selected.\n"
                  : "Cipher type " + name + " not supported by server.\n"};
    };
    const auto join = [](std::vector<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const struct {
        std::uint32_t preference, mask;
        int chosen;
        std::vector<std::string> lines;
    } cases[] = {
        {0, 0x49, 0, {}},
        {3, 1u << 3, 3, tried(des, true)},
        {6, 0x49, 6, tried(bf, true)},
        {5, 0x49, 3, tried(des, true)},  // an unknown preference counts as triple DES
        {6, 1u << 3, 3, join({tried(bf, false), tried(bfc, false), tried(des, true)})},
        {3, 1u << 6, 6, join({tried(des, false), tried(desc, false), tried(bf, true)})},
        {6, 1u << 0, 0,
         join({tried(bf, false), tried(bfc, false), tried(des, false), tried(desc, false)})},
    };
    for (const auto& c : cases) {
        RecordingFrontEnd frontEnd;
        EXPECT_EQ(chooseCipher(c.preference, c.mask, frontEnd), c.chosen) << c.preference << c.mask;
        EXPECT_EQ(frontEnd.lines(), c.lines) << c.preference << " " << c.mask;
    }
}

// The padded block decrypts (with the oracle's key) to type-2 padding around the data; a
// leading zero byte of the data is one more padding byte; the output may be the input.
TEST(RsaPadding, BlockIsTypeTwoPaddingAroundTheDataOrRefused) {
    RsaKeyPair pair(768, 7);
    RsaPublicKey key;
    mpz_set(key.modulus, pair.n);
    mpz_set(key.exponent, pair.e);
    RandomPool pool{};
    pool.initialize(seedPath("rsa"));
    mpz_t in, out, back;
    mpz_inits(in, out, back, nullptr);
    const struct {
        const char* hex;
        std::uint32_t bits;
        long padding;  // -1: refused, the output untouched
    } cases[] = {
        {"c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 768, 96 - 32 - 3},
        {"00c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 768, 96 - 31 - 3},
        {"ff", 8 * 12, 8},
        {"ff", 8 * 11, -1},  // seven padding bytes are too few
    };
    for (const auto& c : cases) {
        key.bits = c.bits;
        mpz_set_str(in, c.hex, 16);
        mpz_set(out, in);
        EXPECT_EQ(rsaEncryptPkcs1(out, out, key, pool), c.padding >= 0) << c.hex;
        if (c.padding < 0) {
            EXPECT_EQ(mpz_cmp(out, in), 0);
            continue;
        }
        if (c.bits != 768) continue;  // the oracle's key decrypts only its own size
        std::size_t padding = 0;
        ASSERT_TRUE(pair.decrypt(back, out, &padding)) << c.hex;
        EXPECT_EQ(mpz_cmp(back, in), 0) << c.hex;
        EXPECT_EQ(padding, std::size_t(c.padding)) << c.hex;
    }
    key.bits = 768;
    mpz_set_ui(key.modulus, 0);  // a zero modulus would divide by zero
    EXPECT_FALSE(rsaEncryptPkcs1(out, in, key, pool));
    mpz_clears(in, out, back, nullptr);
}

TEST(SessionId, Md5OverFixedLengthModuliAndCookie) {
    mpz_t host, server;
    mpz_init_set_str(host, "c0ffee", 16);
    mpz_init_set_str(server, "abcdef12", 16);
    const std::uint8_t cookie[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t id[16];
    // Announced sizes differ from the values: 5 bytes for the host, 3 for the server.
    computeSessionId(id, cookie, 33, host, 17, server);
    const std::string block = std::string("\0\0\xc0\xff\xee", 5) + "\xcd\xef\x12" +
                              std::string(reinterpret_cast<const char*>(cookie), 8);
    unsigned char expected[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(block.data(), block.size(), expected, &size, EVP_md5(), nullptr);
    ASSERT_EQ(size, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id), 16),
              std::string(reinterpret_cast<char*>(expected), 16));
    mpz_clears(host, server, nullptr);
}

// The server side of one key exchange: a public-key packet from two real key pairs, and the
// session-key message taken apart again.
class KeyExchangeTest : public ::testing::Test {
  protected:
    KeyExchangeTest() : serverPair(768, 11), hostPair(1024, 12) {}

    std::unique_ptr<Session> makeSession(std::uint32_t preference) {
        LoginParameters login;
        login.cipherPreference = preference;
        login.seedFilePath = seedPath("exchange");
        return std::make_unique<Session>(std::make_unique<Connection>(pair.releaseClient()),
                                         std::move(login), frontEnd);
    }

    void publicKeyPayload(MessageBuffer& buffer, std::uint32_t mask, unsigned hostBits = 1024) {
        buffer.reset();
        buffer.append(cookie, 8);
        buffer.putUint32(768);
        buffer.putMpint(serverPair.e);
        buffer.putMpint(serverPair.n);
        buffer.putUint32(hostBits);
        buffer.putMpint(hostPair.e);
        buffer.putMpint(hostPair.n);
        buffer.putUint32(0);
        buffer.putUint32(mask);
        buffer.putUint32(1u << 3);
        buffer.skip(-static_cast<std::ptrdiff_t>(buffer.length()));
    }

    RsaKeyPair serverPair;
    RsaKeyPair hostPair;
    SocketPair pair;
    RecordingFrontEnd frontEnd;
    const std::uint8_t cookie[8] = {9, 8, 7, 6, 5, 4, 3, 2};
};

TEST_F(KeyExchangeTest, SessionKeyMessageCarriesTheDoublyEncryptedKey) {
    auto session = makeSession(3);
    MessageBuffer packet;
    publicKeyPayload(packet, 0x49);
    auto serverKey = readServerKey(*session, packet);
    ASSERT_TRUE(serverKey);
    EXPECT_EQ(serverKey->bits, 768u);
    ASSERT_TRUE(exchangeKeys(*session, packet, *serverKey));

    EXPECT_EQ(frontEnd.lines(),
              (std::vector<std::string>{
                  "Getting host key bits\n", "Getting host key E\n", "Getting host key N\n",
                  "Getting flags/ciphers/auth\n", "Computing session id\n", "Session id computed\n",
                  "Opening seedfile\n", "Creating session key\n", "Encrypting key\n",
                  "Key encrypted\n", "Attempting cipher type '3DES'...\n",
                  "Cipher '3DES' selected.\n", "Sending cipher/key\n"}));
    ASSERT_NE(session->encryptedConnection(), nullptr);
    EXPECT_NE(dynamic_cast<TripleDesConnection*>(session->encryptedConnection()), nullptr);

    Connection peer(pair.server);
    MessageBuffer message;
    ASSERT_EQ(peer.readPacket(message), SSH_CMSG_SESSION_KEY);
    EXPECT_EQ(message.getByte(), 3);
    std::uint8_t echoed[8];
    message.read(echoed, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(echoed), 8),
              std::string(reinterpret_cast<const char*>(cookie), 8));
    mpz_t k, inner, key;
    mpz_inits(k, inner, key, nullptr);
    message.getMpint(k);
    EXPECT_EQ(message.getUint32(), 0u);
    EXPECT_EQ(message.remaining(), 0u);
    EXPECT_FALSE(message.broken());
    // The server key (the smaller) went first, so the host key comes off first.
    ASSERT_TRUE(hostPair.decrypt(inner, k));
    ASSERT_TRUE(serverPair.decrypt(key, inner));

    std::uint8_t recovered[32];
    writeFixedBigEndian(recovered, 32, key);
    for (int i = 0; i < 16; ++i) recovered[i] ^= session->sessionId[i];
    std::uint8_t expectedId[16];
    computeSessionId(expectedId, cookie, 1024, hostPair.n, 768, serverPair.n);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(session->sessionId), 16),
              std::string(reinterpret_cast<char*>(expectedId), 16));
    mpz_clears(k, inner, key, nullptr);

    // The published connection is keyed with that raw key: what it sends decrypts with it.
    MessageBuffer probe(16);
    probe.putString("probe");
    session->sendPacket(*session->encryptedConnection(), probe);
    std::string wire(4 + 16, '\0');
    ASSERT_EQ(TcpSocket(pair.server).receiveExactly(wire.data(), wire.size()), 20);
    test::NettleTripleDes oracle(recovered);
    oracle.decrypt(reinterpret_cast<std::uint8_t*>(wire.data() + 4), 16);
    EXPECT_EQ(wire.substr(6, 10), std::string("\x10\0\0\0\5probe", 10));
}

TEST_F(KeyExchangeTest, SeedFileIsRewrittenAtEveryExchange) {
    std::remove(seedPath("exchange").c_str());
    auto session = makeSession(0);
    MessageBuffer packet;
    publicKeyPayload(packet, 0x49);
    auto serverKey = readServerKey(*session, packet);
    ASSERT_TRUE(exchangeKeys(*session, packet, *serverKey));
    FILE* seed = std::fopen(seedPath("exchange").c_str(), "rb");
    ASSERT_NE(seed, nullptr);
    std::fseek(seed, 0, SEEK_END);
    EXPECT_EQ(std::ftell(seed), 512);
    std::fclose(seed);
    EXPECT_NE(dynamic_cast<NullCipherConnection*>(session->encryptedConnection()), nullptr);
}

// Counts the questions: a damaged key must never reach the user as a host-key question.
class CountingVerifier : public HostKeyVerifier {
  public:
    bool verifyHostKey(const RsaPublicKey& hostKey) override {
        ++asked;
        seenBits = hostKey.bits;
        return false;
    }
    int asked = 0;
    std::uint32_t seenBits = 0;
};

enum class Damage {
    None,
    ZeroModulus,
    ZeroModulusOfEightBits,  // no shorter than its announced size
    ZeroExponent,
    ModulusShorterThanAnnounced,
    AbsurdBits,
    CutShort
};

TEST_F(KeyExchangeTest, DamagedKeysAreMalformedAndNeverAskedAbout) {
    const struct {
        bool hostKey;  // which of the two keys is damaged
        Damage damage;
    } cases[] = {
        {true, Damage::None},
        {false, Damage::ZeroModulus},
        {true, Damage::ZeroModulus},
        {false, Damage::ZeroModulusOfEightBits},
        {true, Damage::ZeroModulusOfEightBits},
        {false, Damage::ZeroExponent},
        {true, Damage::ZeroExponent},
        {false, Damage::ModulusShorterThanAnnounced},
        {true, Damage::ModulusShorterThanAnnounced},
        {false, Damage::AbsurdBits},
        {true, Damage::AbsurdBits},
        {false, Damage::CutShort},
        {true, Damage::CutShort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hostKey ? "host" : "server") + " key, damage " +
                     std::to_string(int(c.damage)));
        SocketPair local;
        RecordingFrontEnd lines;
        LoginParameters login;
        login.seedFilePath = seedPath("exchange");
        Session session(std::make_unique<Connection>(local.releaseClient()), login, lines);
        auto verifier = std::make_shared<CountingVerifier>();
        session.setHostKeyVerifier(verifier);

        MessageBuffer packet;
        packet.append(cookie, 8);
        std::size_t cut = 0;
        for (const RsaKeyPair* pair : {&serverPair, &hostPair}) {
            const bool damaged = c.hostKey == (pair == &hostPair);
            const Damage d = damaged ? c.damage : Damage::None;
            mpz_t e, n;
            mpz_init_set(e, pair->e);
            mpz_init_set(n, pair->n);
            std::uint32_t bits = pair->bits;
            if (d == Damage::ZeroModulus || d == Damage::ZeroModulusOfEightBits) mpz_set_ui(n, 0);
            if (d == Damage::ZeroModulusOfEightBits) bits = 8;
            if (d == Damage::ZeroExponent) mpz_set_ui(e, 0);
            if (d == Damage::ModulusShorterThanAnnounced) bits += 8;
            if (d == Damage::AbsurdBits) bits = 0xFFFFFFF0u;
            packet.putUint32(bits);
            packet.putMpint(e);
            packet.putMpint(n);
            if (d == Damage::CutShort) cut = packet.length() - 20;
            mpz_clears(e, n, nullptr);
        }
        packet.putUint32(0);
        packet.putUint32(0x49);
        packet.putUint32(1u << 3);
        MessageBuffer in;  // the packet as received, cut short where the case says
        in.append(packet.data(), cut != 0 ? cut : packet.length());
        in.skip(-static_cast<std::ptrdiff_t>(in.length()));

        auto serverKey = readServerKey(session, in);
        if (!c.hostKey && c.damage != Damage::None) {
            EXPECT_EQ(serverKey, nullptr);
            continue;
        }
        ASSERT_TRUE(serverKey);
        EXPECT_FALSE(exchangeKeys(session, in, *serverKey));
        EXPECT_FALSE(lines.saw("Computing session id\n"));
        EXPECT_EQ(session.encryptedConnection(), nullptr);
        if (c.damage == Damage::None) {
            EXPECT_EQ(verifier->asked, 1);  // a sound key is asked about, and may be refused
            EXPECT_EQ(verifier->seenBits, 1024u);
            EXPECT_EQ(lines.lines().back(), "ERROR - Host key not accepted\n");
        } else {
            EXPECT_EQ(verifier->asked, 0);
            EXPECT_EQ(lines.lines().back(), "ERROR - Server public key packet is malformed\n");
        }
    }
}

TEST_F(KeyExchangeTest, KeyTooSmallForTheSessionKeyEndsTheExchange) {
    RsaKeyPair tiny(256, 5);
    auto session = makeSession(3);
    MessageBuffer packet;
    packet.append(cookie, 8);
    packet.putUint32(256);
    packet.putMpint(tiny.e);
    packet.putMpint(tiny.n);
    packet.putUint32(1024);
    packet.putMpint(hostPair.e);
    packet.putMpint(hostPair.n);
    packet.putUint32(0);
    packet.putUint32(0x49);
    packet.putUint32(8);
    packet.skip(-static_cast<std::ptrdiff_t>(packet.length()));
    auto serverKey = readServerKey(*session, packet);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(exchangeKeys(*session, packet, *serverKey));
    EXPECT_EQ(frontEnd.lines().back(), "ERROR - Server key too small for the session key\n");
    EXPECT_FALSE(frontEnd.saw("Key encrypted\n"));
    EXPECT_EQ(session->encryptedConnection(), nullptr);
}

}  // namespace
}  // namespace corvid1
