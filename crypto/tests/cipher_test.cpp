// The SSH-1 triple-DES and Blowfish constructions against Nettle packet after packet; then the
// packet transforms across calls, buffers and lengths, and the key setup that clears what an
// earlier key left.
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
using Transform = void (*)(CipherContext&, std::uint8_t*, std::size_t);

// The SSH-1 constructions from Nettle's parts. Triple DES: three complete CBC passes (encrypt,
// decrypt, encrypt), each chaining on its own IV; key 3 is key 1 for keys of 16 bytes or fewer.
// Blowfish: Nettle's big-endian CBC with each 4-byte half reversed before and after.
struct NettlePeer {
    bool blowfish;
    des_ctx keys[3];
    blowfish_ctx blowfishKey;
    std::uint8_t ivs[3][8] = {};

    NettlePeer(bool isBlowfish, const Bytes& key) : blowfish(isBlowfish) {
        std::uint8_t buffer[32] = {};
        std::copy_n(key.begin(), std::min<std::size_t>(key.size(), 32), buffer);
        for (int k = 0; k < 3; ++k)
            des_set_key(&keys[k], buffer + (k == 2 && key.size() <= 16 ? 0 : 8 * k));
        if (blowfish) blowfish_set_key(&blowfishKey, key.size(), key.data());
    }
    void transform(Bytes& data, bool encrypt) {
        auto* p = data.data();
        const std::size_t n = data.size();
        const auto pass = [&](int k, bool forward) {
            (forward ? cbc_encrypt : cbc_decrypt)(
                &keys[k], (nettle_cipher_func*)(forward ? des_encrypt : des_decrypt), 8, ivs[k], n,
                p, p);
        };
        if (!blowfish) {
            for (int k : {0, 1, 2}) pass(encrypt ? k : 2 - k, encrypt == (k != 1));
            return;
        }
        for (std::size_t i = 0; i + 4 <= n; i += 4) std::reverse(p + i, p + i + 4);
        (encrypt ? cbc_encrypt : cbc_decrypt)(
            &blowfishKey, (nettle_cipher_func*)(encrypt ? blowfish_encrypt : blowfish_decrypt), 8,
            ivs[0], n, p, p);
        for (std::size_t i = 0; i + 4 <= n; i += 4) std::reverse(p + i, p + i + 4);
    }
};

// Our side sends and the peer receives, the peer sends and we receive, packet after packet, in
// the lengths the packet layer produces: one to five blocks (the edges of the block pipelines),
// random ones and a large one. Blowfish runs with both ways of extracting S-box indices.
TEST(Ciphers, Ssh1ConstructionsMatchNettlePacketAfterPacket) {
    const bool detected = blowfish_core::useBitFieldExtract;
    const struct {
        bool blowfish, bitFieldExtract;
        std::vector<std::size_t> keyLengths;
    } cases[] = {{false, detected, {1, 5, 8, 9, 16, 17, 24, 25, 32, 40}},
                 {true, false, {8, 16, 32, 56}},
                 {true, detected, {8, 16, 24, 32, 56}}};
    std::mt19937 random(3);
    for (const auto& c : cases) {
        blowfish_core::useBitFieldExtract = c.bitFieldExtract;
        for (std::size_t keyLength : c.keyLengths) {
            const Bytes key = randomBytes(random, keyLength);
            const auto init = c.blowfish ? blowfishInitContext : tripleDesInitContext;
            const Transform encrypt =
                c.blowfish ? Transform(blowfishCbcEncrypt) : Transform(tripleDesCbcEncrypt);
            const Transform decrypt =
                c.blowfish ? Transform(blowfishCbcDecrypt) : Transform(tripleDesCbcDecrypt);
            init(sendContext, key.data(), key.size(), 1);
            init(receiveContext, key.data(), key.size(), 0);
            NettlePeer peerSend(c.blowfish, key), peerReceive(c.blowfish, key);
            std::vector<std::size_t> lengths = {8, 16, 24, 32, 40, 4096};
            for (int i = 0; i < 30; ++i) lengths.push_back(8 * (1 + random() % 40));
            for (std::size_t length : lengths) {
                const Bytes plain = randomBytes(random, length);
                Bytes wire = plain;
                encrypt(sendContext, wire.data(), length);
                peerReceive.transform(wire, false);
                ASSERT_EQ(wire, plain)
                    << "send " << c.blowfish << " " << keyLength << " " << length;
                peerSend.transform(wire, true);
                decrypt(receiveContext, wire.data(), length);
                ASSERT_EQ(wire, plain)
                    << "receive " << c.blowfish << " " << keyLength << " " << length;
            }
        }
    }
    blowfish_core::useBitFieldExtract = detected;
    // An empty key reads no key bytes: it is the key the P-array XOR leaves unchanged.
    BlowfishKeySchedule empty, zeros;
    blowfishSetKey(empty, nullptr, 0);
    const std::uint8_t zeroKey[4] = {};
    blowfishSetKey(zeros, zeroKey, sizeof zeroKey);
    EXPECT_EQ(0, std::memcmp(&empty, &zeros, sizeof empty));
}

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

bool same(const CipherContext& a, const CipherContext& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// For every transform: a stream in pieces equals it in one call (the chains carry across calls
// through the IVs alone); a separate output equals the in-place result and leaves the input
// alone; no bytes change nothing; bytes past the last whole block are neither read nor written.
TEST(Ciphers, PiecesCopiesEmptyAndPartialBlocks) {
    std::mt19937 random(11);
    const Bytes key = randomBytes(random, 32);
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
// earlier key survives behind the new one, and every chain starts from zero.
TEST(Ciphers, KeySetupClearsTheWholeContext) {
    const std::uint8_t key[32] = {1, 2, 3};
    const struct {
        void (*init)(CipherContext&, const std::uint8_t*, std::size_t, int);
        std::uint32_t number;
        std::size_t keyBytes;  // where the key schedules end; zeros from there on except the IVs
    } cases[] = {{tripleDesInitContext, 3, 0},
                 {blowfishInitContext, 6, sizeof(BlowfishKeySchedule)},
                 {nullCipherInitContext, 0, 0}};
    for (const auto& c : cases) {
        CipherContext context, expected;
        std::memset(&context, 0xAB, sizeof context);
        c.init(context, key, sizeof key, 0);
        std::memset(&expected, 0, sizeof expected);
        expected.cipherNumber = c.number;
        if (c.number == 3) {
            expected.tripleDes = context.tripleDes;
            for (auto* iv :
                 {expected.tripleDes.iv1, expected.tripleDes.iv2, expected.tripleDes.iv3})
                std::memset(iv, 0, 8);
        }
        std::memcpy(&expected.blowfish, &context.blowfish, c.keyBytes);
        EXPECT_TRUE(same(context, expected)) << c.number;
    }
}

}  // namespace
}  // namespace corvid1
