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
    EXPECT_EQ(fixedBytes(0, "ff"), "");
}

std::vector<std::string> negotiate(std::uint32_t preference, std::uint32_t mask, int* chosen) {
    RecordingFrontEnd frontEnd;
    *chosen = chooseCipher(preference, mask, frontEnd);
    return frontEnd.lines();
}

TEST(ChooseCipher, PreferenceNoneChoosesNoCipherSilently) {
    int chosen = -1;
    EXPECT_TRUE(negotiate(0, 0x49, &chosen).empty());
    EXPECT_EQ(chosen, 0);
}

TEST(ChooseCipher, AcceptedFirstCandidate) {
    int chosen = -1;
    EXPECT_EQ(negotiate(3, 1u << 3, &chosen),
              (std::vector<std::string>{"Attempting cipher type '3DES'...\n",
                                        "Cipher '3DES' selected.\n"}));
    EXPECT_EQ(chosen, 3);
    EXPECT_EQ(negotiate(6, 0x49, &chosen),
              (std::vector<std::string>{"Attempting cipher type 'BLOWFISH'...\n",
                                        "Cipher 'BLOWFISH' selected.\n"}));
    EXPECT_EQ(chosen, 6);
}

TEST(ChooseCipher, UnknownPreferenceNeverTurnsEncryptionOff) {
    int chosen = -1;
    EXPECT_EQ(negotiate(5, 0x49, &chosen).front(), "Attempting cipher type '3DES'...\n");
    EXPECT_EQ(chosen, 3);
}

TEST(ChooseCipher, BlowfishRefusedFallsBackToTripleDes) {
    int chosen = -1;
    EXPECT_EQ(negotiate(6, 1u << 3, &chosen),
              (std::vector<std::string>{"Attempting cipher type 'BLOWFISH'...\n",
                                        "Cipher type 'BLOWFISH' not supported by server.\n",
                                        "Attempting cipher type 'BLOWFISHCBC'...\n",
                                        "Cipher type 'BLOWFISHCBC' not supported by server.\n",
                                        "Attempting cipher type '3DES'...\n",
                                        "Cipher '3DES' selected.\n"}));
    EXPECT_EQ(chosen, 3);
}

TEST(ChooseCipher, TripleDesRefusedFallsBackToBlowfish) {
    int chosen = -1;
    const auto lines = negotiate(3, 1u << 6, &chosen);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "Attempting cipher type '3DESCBC'...\n");
    EXPECT_EQ(lines[4], "Attempting cipher type 'BLOWFISH'...\n");
    EXPECT_EQ(chosen, 6);
}

TEST(ChooseCipher, NothingAcceptedEndsWithNoCipherAfterFourAttempts) {
    int chosen = -1;
    const auto lines = negotiate(6, 1u << 0, &chosen);
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.back(), "Cipher type '3DESCBC' not supported by server.\n");
    EXPECT_EQ(chosen, 0);
}

TEST(ChooseCipher, NextUntriedFollowsTheCandidateOrder) {
    EXPECT_EQ(nextUntriedCipher(0), Candidate3Des);
    EXPECT_EQ(nextUntriedCipher(0b0011), CandidateBlowfish);
    EXPECT_EQ(nextUntriedCipher(0b1101), Candidate3DesCbc);
    EXPECT_EQ(nextUntriedCipher(0b1111), NoCandidate);
}

class RsaPadding : public ::testing::Test {
  protected:
    RsaPadding() : pair(768, 7) {
        mpz_set(key.modulus, pair.n);
        mpz_set(key.exponent, pair.e);
        key.bits = 768;
        pool.initialize(seedPath("rsa"));
        mpz_inits(in, out, back, nullptr);
    }
    ~RsaPadding() override { mpz_clears(in, out, back, nullptr); }
    RsaKeyPair pair;
    RsaPublicKey key;
    RandomPool pool{};
    mpz_t in, out, back;
};

TEST_F(RsaPadding, BlockDecryptsToTypeTwoPaddingAroundTheData) {
    mpz_set_str(in, "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 16);
    ASSERT_TRUE(rsaEncryptPkcs1(out, in, key, pool));
    std::size_t padding = 0;
    ASSERT_TRUE(pair.decrypt(back, out, &padding));
    EXPECT_EQ(mpz_cmp(back, in), 0);
    EXPECT_EQ(padding, 96u - 32u - 3u);
}

TEST_F(RsaPadding, LeadingZeroByteOfTheDataGivesOneMorePaddingByte) {
    mpz_set_str(in, "00c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0", 16);
    ASSERT_TRUE(rsaEncryptPkcs1(out, in, key, pool));
    std::size_t padding = 0;
    ASSERT_TRUE(pair.decrypt(back, out, &padding));
    EXPECT_EQ(mpz_cmp(back, in), 0);
    EXPECT_EQ(padding, 96u - 31u - 3u);
}

TEST_F(RsaPadding, OutputMayBeTheInput) {
    mpz_set_str(in, "1234567890abcdef", 16);
    mpz_set(out, in);
    ASSERT_TRUE(rsaEncryptPkcs1(out, out, key, pool));
    ASSERT_TRUE(pair.decrypt(back, out));
    EXPECT_EQ(mpz_cmp(back, in), 0);
}

TEST_F(RsaPadding, KeyWithoutRoomForPaddingIsRefused) {
    mpz_set_str(in, "ff", 16);
    mpz_set_ui(out, 77);
    key.bits = 8 * 11;  // exactly 11 bytes: one data byte leaves 7 padding bytes
    EXPECT_FALSE(rsaEncryptPkcs1(out, in, key, pool));
    EXPECT_EQ(mpz_get_ui(out), 77u);
    key.bits = 8 * 12;
    EXPECT_TRUE(rsaEncryptPkcs1(out, in, key, pool));
    key.bits = 768;
    mpz_set_ui(key.modulus, 0);  // a zero modulus would divide by zero
    EXPECT_FALSE(rsaEncryptPkcs1(out, in, key, pool));
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

TEST_F(KeyExchangeTest, PacketCutShortInTheHostKeyStopsTheExchange) {
    auto session = makeSession(3);
    MessageBuffer full;
    publicKeyPayload(full, 0x49);
    MessageBuffer packet;
    packet.append(full.data(), 8 + 4 + 2 + 3 + 2 + 96 + 4 + 2 + 3 + 2 + 50);
    packet.skip(-static_cast<std::ptrdiff_t>(packet.length()));
    auto serverKey = readServerKey(*session, packet);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(exchangeKeys(*session, packet, *serverKey));
    EXPECT_TRUE(frontEnd.saw("ERROR - Server public key packet is malformed\n"));
    EXPECT_FALSE(frontEnd.saw("Computing session id\n"));
    EXPECT_EQ(session->encryptedConnection(), nullptr);
}

TEST_F(KeyExchangeTest, ServerKeyCutShortIsNoKey) {
    auto session = makeSession(3);
    MessageBuffer full;
    publicKeyPayload(full, 0x49);
    MessageBuffer packet;
    packet.append(full.data(), 40);
    packet.skip(-40);
    EXPECT_EQ(readServerKey(*session, packet), nullptr);
}

TEST_F(KeyExchangeTest, AbsurdAnnouncedKeySizeIsRefusedBeforeAnythingIsDerived) {
    auto session = makeSession(3);
    MessageBuffer packet;
    publicKeyPayload(packet, 0x49, 0xFFFFFFF0u);
    auto serverKey = readServerKey(*session, packet);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(exchangeKeys(*session, packet, *serverKey));
    EXPECT_TRUE(frontEnd.saw("ERROR - Server public key packet is malformed\n"));
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

class RejectAll : public HostKeyVerifier {
  public:
    bool verifyHostKey(const RsaPublicKey& hostKey) override {
        seenBits = hostKey.bits;
        return false;
    }
    std::uint32_t seenBits = 0;
};

TEST_F(KeyExchangeTest, HostKeyVerifierSeesTheHostKeyAndMayStopTheExchange) {
    auto session = makeSession(3);
    auto verifier = std::make_shared<RejectAll>();
    session->setHostKeyVerifier(verifier);
    MessageBuffer packet;
    publicKeyPayload(packet, 0x49);
    auto serverKey = readServerKey(*session, packet);
    EXPECT_FALSE(exchangeKeys(*session, packet, *serverKey));
    EXPECT_EQ(verifier->seenBits, 1024u);
    EXPECT_FALSE(frontEnd.saw("Computing session id\n"));
    EXPECT_EQ(session->encryptedConnection(), nullptr);
}

}  // namespace
}  // namespace corvid1
