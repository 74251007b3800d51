// The published vectors of every algorithm (vectors/known_answers.txt), and the digests against
// Nettle for every length around the block boundaries.
#include <gtest/gtest.h>
#include <nettle/hmac.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "crypto/blowfish.h"
#include "crypto/des.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::Bytes;
using test::fromHex;
using test::toHex;

// Runs `algorithm` forwards (or, for the ciphers, backwards) over `in`; Blowfish takes the block
// as two big-endian words.
Bytes run(const std::string& algorithm, const Bytes& key, Bytes iv, Bytes in, bool backwards) {
    std::uint8_t* p = in.data();
    if (algorithm == "des" || algorithm == "des-cbc") {
        DesKeySchedule schedule;
        desSetKey(schedule, key.data());
        if (algorithm == "des") {
            (backwards ? desDecryptBlock : desEncryptBlock)(schedule, p);
        } else {
            (backwards ? desCbcDecrypt : desCbcEncrypt)(schedule, iv.data(), p, p, in.size());
        }
    } else if (algorithm == "blowfish") {
        BlowfishKeySchedule schedule;
        blowfishSetKey(schedule, key.data(), key.size());
        std::uint32_t half[2] = {};
        for (int k = 0; k < 8; ++k) half[k / 4] = half[k / 4] << 8 | p[k];
        (backwards ? blowfishDecryptBlock : blowfishEncryptBlock)(schedule, half[0], half[1]);
        for (int k = 0; k < 8; ++k) p[k] = std::uint8_t(half[k / 4] >> (24 - 8 * (k % 4)));
    } else if (algorithm == "md5") {
        Md5Context context;
        md5Init(context);
        md5Update(context, p, in.size());
        in.resize(16);
        md5Final(in.data(), context);
    } else {
        const Sha1Digest digest = algorithm == "sha1"
                                      ? sha1(p, in.size())
                                      : hmacSha1(key.data(), key.size(), p, in.size());
        in.assign(digest.begin(), digest.end());
    }
    return in;
}

TEST(KnownAnswers, EveryPublishedVector) {
    std::ifstream file(CORVID1_VECTORS_DIR "/known_answers.txt");
    ASSERT_TRUE(file.good());
    int count = 0;
    for (std::string text; std::getline(file, text);) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream fields(text);
        std::string algorithm, key, iv, input, expected;
        ASSERT_TRUE(fields >> algorithm >> key >> iv >> input >> expected) << text;
        EXPECT_EQ(toHex(run(algorithm, fromHex(key), fromHex(iv), fromHex(input), false)), expected)
            << text;
        if (algorithm == "des" || algorithm == "des-cbc" || algorithm == "blowfish") {
            EXPECT_EQ(run(algorithm, fromHex(key), fromHex(iv), fromHex(expected), true),
                      fromHex(input))
                << text;
        }
        ++count;
    }
    EXPECT_GE(count, 35);  // a file cut short fails too
}

// Every length up to three blocks and more, fed in pieces of a size that changes with the
// length (one piece below 67 bytes), and HMAC keys on both sides of the block size, against
// Nettle. The final steps must leave no message bytes or state behind.
TEST(Digests, AgreeWithNettleForEveryLengthAndSplitAndLeaveNothingBehind) {
    std::mt19937 random(7);
    const Bytes data = test::randomBytes(random, 300);
    const Md5Context md5Zero{};
    const Sha1Context sha1Zero{};
    for (std::size_t length = 0; length <= 200; ++length) {
        Bytes md5Expected(16), sha1Expected(20), md5Ours(16), sha1Ours(20);
        md5_ctx md5Reference;
        md5_init(&md5Reference);
        md5_update(&md5Reference, length, data.data());
        md5_digest(&md5Reference, 16, md5Expected.data());
        sha1_ctx sha1Reference;
        sha1_init(&sha1Reference);
        sha1_update(&sha1Reference, length, data.data());
        sha1_digest(&sha1Reference, 20, sha1Expected.data());
        const std::size_t piece = 1 + length % 67;
        Md5Context md5;
        md5Init(md5);
        Sha1Context sha;
        sha1Init(sha);
        for (std::size_t at = 0; at < length; at += piece) {
            md5Update(md5, data.data() + at, std::min(piece, length - at));
            sha1Update(sha, data.data() + at, std::min(piece, length - at));
        }
        md5Final(md5Ours.data(), md5);
        sha1Final(sha1Ours.data(), sha);
        ASSERT_EQ(md5Ours, md5Expected) << length << " in " << piece;
        ASSERT_EQ(sha1Ours, sha1Expected) << length << " in " << piece;
        const Sha1Digest whole = sha1(data.data(), length);
        ASSERT_TRUE(std::equal(whole.begin(), whole.end(), sha1Expected.begin())) << length;
        ASSERT_EQ(0, std::memcmp(&md5, &md5Zero, sizeof md5)) << length;
        ASSERT_EQ(0, std::memcmp(&sha, &sha1Zero, sizeof sha)) << length;
    }
    for (std::size_t keyLength : {0u, 1u, 20u, 63u, 64u, 65u, 130u}) {
        for (std::size_t length : {0u, 1u, 55u, 56u, 64u, 119u, 120u, 200u}) {
            hmac_sha1_ctx reference;
            hmac_sha1_set_key(&reference, keyLength, data.data() + 100);
            hmac_sha1_update(&reference, length, data.data());
            Bytes expected(20);
            hmac_sha1_digest(&reference, 20, expected.data());
            const Sha1Digest mac = hmacSha1(data.data() + 100, keyLength, data.data(), length);
            EXPECT_EQ(Bytes(mac.begin(), mac.end()), expected) << keyLength << " " << length;
        }
    }
}

// The 64-bit bit count carries from the low word into the high word (2^29 bytes otherwise).
TEST(Digests, Md5BitCountCarriesIntoTheHighWord) {
    Md5Context context;
    md5Init(context);
    context.bitCount[0] = 0xfffffff8u;
    md5Update(context, "x", 1);
    EXPECT_EQ(context.bitCount[0], 0u);
    EXPECT_EQ(context.bitCount[1], 1u);
}

}  // namespace
}  // namespace corvid1
