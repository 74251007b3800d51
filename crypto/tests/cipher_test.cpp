#include "crypto/cipher.h"

#include <gtest/gtest.h>
#include <nettle/blowfish.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/blowfish_core.h"

namespace corvid1 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::mt19937& random, std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = std::uint8_t(random());
    return bytes;
}

// The SSH-1 triple-DES construction assembled from Nettle's DES block functions and its CBC
// helper: three complete passes, each chaining on its own IV.
struct NettleTripleDesSsh1 {
    des_ctx keys[3];
    std::uint8_t ivs[3][8] = {};

    explicit NettleTripleDesSsh1(const Bytes& key) {
        std::uint8_t buffer[32] = {};
        std::copy_n(key.begin(), std::min<std::size_t>(key.size(), 32), buffer);
        des_set_key(&keys[0], buffer);
        des_set_key(&keys[1], buffer + 8);
        des_set_key(&keys[2], key.size() > 16 ? buffer + 16 : buffer);
    }
    void encrypt(Bytes& data) {
        auto* p = data.data();
        std::size_t n = data.size();
        cbc_encrypt(&keys[0], (nettle_cipher_func*)des_encrypt, 8, ivs[0], n, p, p);
        cbc_decrypt(&keys[1], (nettle_cipher_func*)des_decrypt, 8, ivs[1], n, p, p);
        cbc_encrypt(&keys[2], (nettle_cipher_func*)des_encrypt, 8, ivs[2], n, p, p);
    }
    void decrypt(Bytes& data) {
        auto* p = data.data();
        std::size_t n = data.size();
        cbc_decrypt(&keys[2], (nettle_cipher_func*)des_decrypt, 8, ivs[2], n, p, p);
        cbc_encrypt(&keys[1], (nettle_cipher_func*)des_encrypt, 8, ivs[1], n, p, p);
        cbc_decrypt(&keys[0], (nettle_cipher_func*)des_decrypt, 8, ivs[0], n, p, p);
    }
};

// Blowfish-CBC in the SSH-1 byte order from Nettle's reference (big-endian) Blowfish: reverse
// each 4-byte half, run reference CBC, reverse back.
struct NettleBlowfishSsh1 {
    blowfish_ctx key;
    std::uint8_t iv[8] = {};

    explicit NettleBlowfishSsh1(const Bytes& k) { blowfish_set_key(&key, k.size(), k.data()); }
    static void swapHalves(Bytes& data) {
        for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
            std::reverse(data.begin() + i, data.begin() + i + 4);
        }
    }
    void encrypt(Bytes& data) {
        swapHalves(data);
        cbc_encrypt(&key, (nettle_cipher_func*)blowfish_encrypt, 8, iv, data.size(), data.data(),
                    data.data());
        swapHalves(data);
    }
    void decrypt(Bytes& data) {
        swapHalves(data);
        cbc_decrypt(&key, (nettle_cipher_func*)blowfish_decrypt, 8, iv, data.size(), data.data(),
                    data.data());
        swapHalves(data);
    }
};

// Packet lengths as the packet layer produces them (multiples of 8, from 8 up): one to five
// blocks (the edges of the block pipelines), random ones, and a large run; the sequence is
// fixed by the seed.
std::vector<std::size_t> packetLengths(std::mt19937& random, int count) {
    std::vector<std::size_t> lengths = {8, 16, 24, 32, 40};
    for (int i = 0; i < count; ++i) lengths.push_back(8 * (1 + random() % 40));
    lengths.push_back(8);
    lengths.push_back(4096);
    return lengths;
}

template <typename Oracle>
void expectMatchesOracle(void (*init)(CipherContext&, const std::uint8_t*, std::size_t, int),
                         void (*encrypt)(CipherContext&, std::uint8_t*, std::size_t),
                         void (*decrypt)(CipherContext&, std::uint8_t*, std::size_t),
                         std::size_t keyLength, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes key = randomBytes(random, keyLength);
    init(sendContext, key.data(), key.size(), 1);
    init(receiveContext, key.data(), key.size(), 0);
    Oracle peerSend(key), peerReceive(key);
    for (std::size_t length : packetLengths(random, 30)) {
        // Our side sends: the peer's receiving side must get the plaintext back, and our bytes
        // must equal the peer's construction of the same packet.
        Bytes plain = randomBytes(random, length);
        Bytes ours = plain;
        encrypt(sendContext, ours.data(), ours.size());
        Bytes theirs = ours;
        peerReceive.decrypt(theirs);
        ASSERT_EQ(theirs, plain) << "send, key length " << keyLength << ", packet " << length;

        // The peer sends: we must decrypt what its sending side produced.
        Bytes incoming = randomBytes(random, length);
        Bytes wire = incoming;
        peerSend.encrypt(wire);
        decrypt(receiveContext, wire.data(), wire.size());
        ASSERT_EQ(wire, incoming) << "receive, key length " << keyLength << ", packet " << length;
    }
}

TEST(TripleDesSsh1, MatchesNettleConstructionForAllKeyLengths) {
    for (std::size_t keyLength : {1, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 40}) {
        expectMatchesOracle<NettleTripleDesSsh1>(tripleDesInitContext, tripleDesCbcEncrypt,
                                                 tripleDesCbcDecrypt, keyLength,
                                                 std::uint32_t(keyLength));
    }
}

// Both ways of extracting S-box indices are checked: the one this processor uses and the
// portable one.
TEST(BlowfishSsh1, MatchesNettleReferenceWithReversedHalves) {
    const bool detected = blowfish_core::useBitFieldExtract;
    for (bool bitFieldExtract : {false, detected}) {
        blowfish_core::useBitFieldExtract = bitFieldExtract;
        for (std::size_t keyLength : {8, 16, 24, 32, 56}) {
            expectMatchesOracle<NettleBlowfishSsh1>(blowfishInitContext, blowfishCbcEncrypt,
                                                    blowfishCbcDecrypt, keyLength,
                                                    std::uint32_t(100 + keyLength));
        }
    }
    blowfish_core::useBitFieldExtract = detected;
}

// The pieces of one stream transformed in several calls equal the whole in one call, in both
// directions and for both ciphers: the chains carry across calls through the IVs alone.
struct CipherCase {
    const char* name;
    void (*init)(CipherContext&, const std::uint8_t*, std::size_t, int);
    void (*encrypt)(CipherContext&, std::uint8_t*, std::size_t);
    void (*decrypt)(CipherContext&, std::uint8_t*, std::size_t);
    void (*encryptCopy)(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t);
    void (*decryptCopy)(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t);
};

const CipherCase kCiphers[] = {
    {"3des", tripleDesInitContext, tripleDesCbcEncrypt, tripleDesCbcDecrypt, tripleDesCbcEncrypt,
     tripleDesCbcDecrypt},
    {"blowfish", blowfishInitContext, blowfishCbcEncrypt, blowfishCbcDecrypt, blowfishCbcEncrypt,
     blowfishCbcDecrypt},
};

TEST(CipherModes, SplitCallsEqualOneCall) {
    std::mt19937 random(11);
    Bytes key = randomBytes(random, 32);
    for (const auto& c : kCiphers) {
        for (auto transform : {c.encrypt, c.decrypt}) {
            Bytes data = randomBytes(random, 8 * 50);
            CipherContext whole, pieces;
            c.init(whole, key.data(), key.size(), 1);
            c.init(pieces, key.data(), key.size(), 1);
            Bytes once = data;
            transform(whole, once.data(), once.size());
            Bytes split = data;
            std::size_t cuts[] = {0, 8, 16, 16, 104, 400};
            for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
                transform(pieces, split.data() + cuts[i], cuts[i + 1] - cuts[i]);
            }
            EXPECT_EQ(split, once) << c.name;
            EXPECT_EQ(0, std::memcmp(&whole, &pieces, sizeof whole)) << c.name;
        }
    }
}

TEST(CipherModes, SeparateOutputEqualsInPlaceAndLeavesInputAlone) {
    std::mt19937 random(12);
    Bytes key = randomBytes(random, 32);
    for (const auto& c : kCiphers) {
        Bytes data = randomBytes(random, 96);
        for (int direction = 0; direction < 2; ++direction) {
            CipherContext a, b;
            c.init(a, key.data(), key.size(), 0);
            c.init(b, key.data(), key.size(), 0);
            Bytes inPlace = data, input = data, output(data.size());
            (direction ? c.decrypt : c.encrypt)(a, inPlace.data(), inPlace.size());
            (direction ? c.decryptCopy : c.encryptCopy)(b, output.data(), input.data(),
                                                        input.size());
            EXPECT_EQ(output, inPlace) << c.name;
            EXPECT_EQ(input, data) << c.name;
        }
    }
}

TEST(CipherModes, ZeroLengthChangesNothing) {
    std::mt19937 random(13);
    Bytes key = randomBytes(random, 32);
    for (const auto& c : kCiphers) {
        CipherContext context;
        c.init(context, key.data(), key.size(), 1);
        Bytes warmUp = randomBytes(random, 24);  // IVs no longer zero
        c.encrypt(context, warmUp.data(), warmUp.size());
        CipherContext before = context;
        std::uint8_t byte = 0x5A;
        c.encrypt(context, &byte, 0);
        c.decrypt(context, &byte, 0);
        EXPECT_EQ(byte, 0x5A);
        EXPECT_EQ(0, std::memcmp(&before, &context, sizeof context)) << c.name;
    }
}

// Lengths that are not a multiple of 8 never come from the packet layer. The whole blocks are
// transformed as usual and the tail is neither read nor written.
TEST(CipherModes, TrailingPartialBlockIsLeftAlone) {
    std::mt19937 random(14);
    Bytes key = randomBytes(random, 32);
    for (const auto& c : kCiphers) {
        for (auto transform : {c.encrypt, c.decrypt}) {
            CipherContext a, b;
            c.init(a, key.data(), key.size(), 1);
            c.init(b, key.data(), key.size(), 1);
            Bytes data = randomBytes(random, 29);
            Bytes prefix(data.begin(), data.begin() + 24);
            transform(a, data.data(), data.size());
            transform(b, prefix.data(), prefix.size());
            EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), data.begin())) << c.name;
            // A short buffer of exactly the given length: ASan would flag any access past it.
            Bytes tail = randomBytes(random, 5);
            Bytes tailBefore = tail;
            transform(a, tail.data(), tail.size());
            EXPECT_EQ(tail, tailBefore) << c.name;
            EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << c.name;
        }
    }
}

// With keys 1, 2 and 3 equal the first two passes cancel (iv1 and iv2 always hold the same
// block), so the construction is single DES-CBC chained from the zero IV, packet after packet.
TEST(TripleDesSsh1, EqualKeysReduceToSingleDesCbc) {
    std::mt19937 random(15);
    Bytes single = randomBytes(random, 8);
    Bytes key;
    for (int i = 0; i < 3; ++i) key.insert(key.end(), single.begin(), single.end());
    CipherContext context;
    tripleDesInitContext(context, key.data(), key.size(), 1);
    DesKeySchedule schedule;
    desSetKey(schedule, single.data());
    std::uint8_t iv[8] = {};
    for (int packet = 0; packet < 5; ++packet) {
        Bytes data = randomBytes(random, 8 * (1 + packet * 3));
        Bytes expected = data;
        desCbcEncrypt(schedule, iv, expected.data(), expected.data(), expected.size());
        tripleDesCbcEncrypt(context, data.data(), data.size());
        EXPECT_EQ(data, expected) << "packet " << packet;
    }
}

// Key setup: the key layout, and the whole context (both layouts) cleared first.
TEST(TripleDesSsh1, KeyLayout) {
    std::mt19937 random(16);
    Bytes key = randomBytes(random, 32);
    DesKeySchedule k1, k2, k3;
    desSetKey(k1, key.data());
    desSetKey(k2, key.data() + 8);
    desSetKey(k3, key.data() + 16);
    CipherContext context;
    tripleDesInitContext(context, key.data(), 32, 0);
    EXPECT_EQ(context.cipherNumber, 3u);
    EXPECT_EQ(0, std::memcmp(&context.tripleDes.keySchedule1, &k1, sizeof k1));
    EXPECT_EQ(0, std::memcmp(&context.tripleDes.keySchedule2, &k2, sizeof k2));
    EXPECT_EQ(0, std::memcmp(&context.tripleDes.keySchedule3, &k3, sizeof k3));

    // 16 bytes or fewer: two-key triple DES, key 3 = key 1; bytes 24-31 never matter.
    tripleDesInitContext(context, key.data(), 16, 0);
    EXPECT_EQ(0, std::memcmp(&context.tripleDes.keySchedule3, &k1, sizeof k1));
    Bytes changedTail = key;
    changedTail[24] ^= 0xFF;
    CipherContext a, b;
    tripleDesInitContext(a, key.data(), 32, 0);
    tripleDesInitContext(b, changedTail.data(), 32, 1);  // direction does not matter either
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
}

TEST(CipherModes, KeySetupClearsTheWholeContext) {
    std::mt19937 random(17);
    Bytes key = randomBytes(random, 32);
    CipherContext context;
    std::memset(&context, 0xAB, sizeof context);
    tripleDesInitContext(context, key.data(), key.size(), 0);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&context.tripleDes);
    for (std::size_t i = sizeof(TripleDesCipherState); i < sizeof(BlowfishCipherState); ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i << " behind the triple-DES layout";
    }
    for (auto* iv : {context.tripleDes.iv1, context.tripleDes.iv2, context.tripleDes.iv3}) {
        EXPECT_TRUE(std::all_of(iv, iv + 8, [](std::uint8_t b) { return b == 0; }));
    }

    std::memset(&context, 0xAB, sizeof context);
    blowfishInitContext(context, key.data(), key.size(), 0);
    EXPECT_EQ(context.cipherNumber, 6u);
    EXPECT_TRUE(std::all_of(context.blowfish.iv, context.blowfish.iv + 8,
                            [](std::uint8_t b) { return b == 0; }));

    std::memset(&context, 0xAB, sizeof context);
    nullCipherInitContext(context, key.data(), key.size(), 0);
    const auto* all = reinterpret_cast<const std::uint8_t*>(&context);
    EXPECT_TRUE(std::all_of(all, all + sizeof context, [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace corvid1
