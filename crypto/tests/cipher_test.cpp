// The block ciphers and the SSH-1 cipher constructions against Nettle, and the packet
// transforms' behaviour across calls, buffers and lengths.
#include "crypto/cipher.h"

#include <gtest/gtest.h>
#include <nettle/blowfish.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include <algorithm>
#include <cstring>

#include "crypto/blowfish_core.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::Bytes;
using test::randomBytes;

// The classic variable-plaintext (unit blocks under key 01..01) and variable-key (unit keys on a
// zero block) tables, then random keys and blocks in both directions.
TEST(BlockCiphers, DesAgreesWithNettle) {
    std::mt19937 random(5);
    for (int i = 0; i < 628; ++i) {
        Bytes key(8, 1), block(8, 0);
        if (i < 64) block[i / 8] = std::uint8_t(0x80 >> (i % 8));
        if (i >= 64 && i < 128) key[(i - 64) / 8] |= std::uint8_t(0x80 >> (i % 8));
        if (i >= 128) key = randomBytes(random, 8), block = randomBytes(random, 8);
        des_ctx reference;
        des_set_key(&reference, key.data());  // reports weak keys but schedules them alike
        Bytes expected(8), ours = block;
        des_encrypt(&reference, 8, expected.data(), block.data());
        DesKeySchedule schedule;
        desSetKey(schedule, key.data());
        desEncryptBlock(schedule, ours.data());
        ASSERT_EQ(ours, expected) << i;
        desDecryptBlock(schedule, ours.data());
        ASSERT_EQ(ours, block) << i;
    }
}

// Random keys of every length Nettle accepts, both directions; an empty key is the same as a
// key the P-array XOR leaves unchanged, and reads no key bytes.
TEST(BlockCiphers, BlowfishAgreesWithNettle) {
    std::mt19937 random(9);
    for (std::size_t length = BLOWFISH_MIN_KEY_SIZE; length <= BLOWFISH_MAX_KEY_SIZE; ++length) {
        const Bytes key = randomBytes(random, length);
        blowfish_ctx reference;
        blowfish_set_key(&reference, key.size(), key.data());
        BlowfishKeySchedule schedule;
        blowfishSetKey(schedule, key.data(), key.size());
        for (int i = 0; i < 20; ++i) {
            const Bytes block = randomBytes(random, 8);
            Bytes expected(8);
            blowfish_encrypt(&reference, 8, expected.data(), block.data());
            auto word = [](const Bytes& b, int at) {
                return std::uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
            };
            std::uint32_t left = word(block, 0), right = word(block, 4);
            blowfishEncryptBlock(schedule, left, right);
            ASSERT_EQ(left, word(expected, 0)) << length;
            ASSERT_EQ(right, word(expected, 4)) << length;
            blowfishDecryptBlock(schedule, left, right);
            ASSERT_EQ(left, word(block, 0));
            ASSERT_EQ(right, word(block, 4));
        }
    }
    BlowfishKeySchedule empty, zeros;
    blowfishSetKey(empty, nullptr, 0);
    const std::uint8_t zeroKey[4] = {};
    blowfishSetKey(zeros, zeroKey, sizeof zeroKey);
    EXPECT_EQ(0, std::memcmp(&empty, &zeros, sizeof empty));
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

using Transform = void (*)(CipherContext&, std::uint8_t*, std::size_t);
using TransformCopy = void (*)(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t);
const struct {
    const char* name;
    void (*init)(CipherContext&, const std::uint8_t*, std::size_t, int);
    Transform inPlace;
    TransformCopy copy;
} kTransforms[] = {
    {"3des encrypt", tripleDesInitContext, tripleDesCbcEncrypt, tripleDesCbcEncrypt},
    {"3des decrypt", tripleDesInitContext, tripleDesCbcDecrypt, tripleDesCbcDecrypt},
    {"blowfish encrypt", blowfishInitContext, blowfishCbcEncrypt, blowfishCbcEncrypt},
    {"blowfish decrypt", blowfishInitContext, blowfishCbcDecrypt, blowfishCbcDecrypt},
};

// For every transform: a stream in pieces equals it in one call (the chains carry across calls
// through the IVs alone); a separate output equals the in-place result and leaves the input
// alone; no bytes change nothing; bytes past the last whole block are neither read nor written.
TEST(CipherModes, PiecesCopiesEmptyAndPartialBlocks) {
    std::mt19937 random(11);
    const Bytes key = randomBytes(random, 32);
    const auto same = [](const CipherContext& a, const CipherContext& b) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    };
    for (const auto& t : kTransforms) {
        CipherContext whole, pieces, copy;
        for (CipherContext* c : {&whole, &pieces, &copy}) t.init(*c, key.data(), key.size(), 1);
        const Bytes data = randomBytes(random, 8 * 50 + 5);
        Bytes once = data, split = data, input = data, output(data.size());
        t.inPlace(whole, once.data(), once.size());
        EXPECT_TRUE(std::equal(once.begin() + 400, once.end(), data.begin() + 400)) << t.name;
        const std::size_t cuts[] = {0, 8, 16, 16, 104, data.size()};
        for (std::size_t i = 0; i + 1 < std::size(cuts); ++i)
            t.inPlace(pieces, split.data() + cuts[i], cuts[i + 1] - cuts[i]);
        EXPECT_EQ(split, once) << t.name;
        EXPECT_TRUE(same(whole, pieces)) << t.name;
        t.copy(copy, output.data(), input.data(), input.size());
        EXPECT_TRUE(std::equal(output.begin(), output.begin() + 400, once.begin())) << t.name;
        EXPECT_EQ(output[400], 0) << t.name;
        EXPECT_EQ(input, data) << t.name;
        EXPECT_TRUE(same(whole, copy)) << t.name;
        // Nothing, then less than a block in a buffer of just that size (ASan sees any overrun).
        Bytes tail = randomBytes(random, 5);
        const Bytes tailBefore = tail;
        t.inPlace(whole, tail.data(), 0);
        t.inPlace(whole, tail.data(), tail.size());
        EXPECT_EQ(tail, tailBefore) << t.name;
        EXPECT_TRUE(same(whole, pieces)) << t.name;
    }
}

// Key setup starts from a cleared context, whichever layout the last key used: nothing of an
// earlier key survives behind the new one, and the chains start from zero.
TEST(CipherModes, KeySetupClearsTheWholeContext) {
    const std::uint8_t key[32] = {1, 2, 3};
    const auto zero = [](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        return std::all_of(b, b + n, [](std::uint8_t x) { return x == 0; });
    };
    const struct {
        void (*init)(CipherContext&, const std::uint8_t*, std::size_t, int);
        std::uint32_t number;
        std::size_t used;  // bytes of the layout; the rest must be zero
    } cases[] = {{tripleDesInitContext, 3, sizeof(TripleDesCipherState)},
                 {blowfishInitContext, 6, sizeof(BlowfishCipherState)},
                 {nullCipherInitContext, 0, 0}};
    for (const auto& c : cases) {
        CipherContext context;
        std::memset(&context, 0xAB, sizeof context);
        c.init(context, key, sizeof key, 0);
        EXPECT_EQ(context.cipherNumber, c.number);
        const auto* layout = reinterpret_cast<const std::uint8_t*>(&context.tripleDes);
        const std::size_t size = sizeof context - std::size_t(layout - (std::uint8_t*)&context);
        EXPECT_TRUE(zero(layout + c.used, size - c.used)) << c.number;
        if (c.number == 3) {
            for (auto* iv : {context.tripleDes.iv1, context.tripleDes.iv2, context.tripleDes.iv3})
                EXPECT_TRUE(zero(iv, 8));
        }
        if (c.number == 6) {
            EXPECT_TRUE(zero(context.blowfish.iv, 8));
        }
    }
}

}  // namespace
}  // namespace corvid1
