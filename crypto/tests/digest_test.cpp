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

std::uint32_t bigEndianWord(const std::uint8_t* b) {
    return std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
}
void putBigEndianWord(std::uint8_t* b, std::uint32_t w) {
    for (int k = 0; k < 4; ++k) b[k] = std::uint8_t(w >> (24 - 8 * k));
}

Bytes md5Of(const Bytes& message) {
    Md5Context context;
    md5Init(context);
    md5Update(context, message.data(), message.size());
    Bytes digest(16);
    md5Final(digest.data(), context);
    return digest;
}

// Runs `algorithm` forwards (or, for the ciphers, backwards) over `input`.
Bytes run(const std::string& algorithm, const Bytes& key, Bytes iv, Bytes input, bool backwards) {
    if (algorithm == "des" || algorithm == "des-cbc") {
        DesKeySchedule schedule;
        desSetKey(schedule, key.data());
        if (algorithm == "des") {
            backwards ? desDecryptBlock(schedule, input.data())
                      : desEncryptBlock(schedule, input.data());
        } else {
            (backwards ? desCbcDecrypt : desCbcEncrypt)(schedule, iv.data(), input.data(),
                                                        input.data(), input.size());
        }
        return input;
    }
    if (algorithm == "blowfish") {
        BlowfishKeySchedule schedule;
        blowfishSetKey(schedule, key.data(), key.size());
        std::uint32_t left = bigEndianWord(input.data()), right = bigEndianWord(input.data() + 4);
        (backwards ? blowfishDecryptBlock : blowfishEncryptBlock)(schedule, left, right);
        putBigEndianWord(input.data(), left);
        putBigEndianWord(input.data() + 4, right);
        return input;
    }
    if (algorithm == "md5") return md5Of(input);
    const Sha1Digest digest = algorithm == "sha1"
                                  ? sha1(input.data(), input.size())
                                  : hmacSha1(key.data(), key.size(), input.data(), input.size());
    return Bytes(digest.begin(), digest.end());
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
        EXPECT_EQ(toHex(run(algorithm, fromHex(key), fromHex(iv), fromHex(input), false)),
                  expected)
            << text;
        if (algorithm == "des" || algorithm == "des-cbc" || algorithm == "blowfish") {
            EXPECT_EQ(run(algorithm, fromHex(key), fromHex(iv), fromHex(expected), true),
                      fromHex(input))
                << text;
        }
        ++count;
    }
    EXPECT_GE(count, 40);
}

// Every length up to three blocks and more, in one update and in uneven pieces, and HMAC keys
// on both sides of the block size, against Nettle.
TEST(Digests, AgreeWithNettleForEveryLengthAndEverySplit) {
    std::mt19937 random(7);
    const Bytes data = test::randomBytes(random, 300);
    for (std::size_t length = 0; length <= 200; ++length) {
        std::uint8_t md5Expected[MD5_DIGEST_SIZE], sha1Expected[SHA1_DIGEST_SIZE];
        md5_ctx md5Reference;
        md5_init(&md5Reference);
        md5_update(&md5Reference, length, data.data());
        md5_digest(&md5Reference, sizeof md5Expected, md5Expected);
        sha1_ctx sha1Reference;
        sha1_init(&sha1Reference);
        sha1_update(&sha1Reference, length, data.data());
        sha1_digest(&sha1Reference, sizeof sha1Expected, sha1Expected);
        ASSERT_EQ(toHex(md5Of(Bytes(data.begin(), data.begin() + length))),
                  toHex(md5Expected, sizeof md5Expected))
            << length;
        ASSERT_EQ(toHex(sha1(data.data(), length).data(), 20), toHex(sha1Expected, 20)) << length;
        // The same bytes in pieces of 1..length bytes, each size cut in turn.
        const std::size_t piece = 1 + length % 67;
        Md5Context md5Pieces;
        md5Init(md5Pieces);
        Sha1Context sha1Pieces;
        sha1Init(sha1Pieces);
        for (std::size_t at = 0; at < length; at += piece) {
            md5Update(md5Pieces, data.data() + at, std::min(piece, length - at));
            sha1Update(sha1Pieces, data.data() + at, std::min(piece, length - at));
        }
        std::uint8_t digest[20];
        md5Final(digest, md5Pieces);
        ASSERT_EQ(toHex(digest, 16), toHex(md5Expected, 16)) << length << " in " << piece;
        sha1Final(digest, sha1Pieces);
        ASSERT_EQ(toHex(digest, 20), toHex(sha1Expected, 20)) << length << " in " << piece;
    }
    for (std::size_t keyLength : {0u, 1u, 20u, 63u, 64u, 65u, 130u}) {
        for (std::size_t length : {0u, 1u, 55u, 56u, 64u, 119u, 120u, 200u}) {
            hmac_sha1_ctx reference;
            hmac_sha1_set_key(&reference, keyLength, data.data() + 100);
            hmac_sha1_update(&reference, length, data.data());
            std::uint8_t expected[SHA1_DIGEST_SIZE];
            hmac_sha1_digest(&reference, sizeof expected, expected);
            EXPECT_EQ(toHex(hmacSha1(data.data() + 100, keyLength, data.data(), length).data(), 20),
                      toHex(expected, sizeof expected))
                << keyLength << " " << length;
        }
    }
}

// Both final steps promise to leave no message bytes or state behind.
TEST(Digests, FinalZeroesTheWholeContext) {
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, "some secret bytes", 17);
    Sha1Context sha;
    sha1Init(sha);
    sha1Update(sha, "some secret bytes", 17);
    std::uint8_t digest[20];
    md5Final(digest, md5);
    sha1Final(digest, sha);
    const auto zero = [](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        return std::all_of(b, b + n, [](std::uint8_t x) { return x == 0; });
    };
    EXPECT_TRUE(zero(&md5, sizeof md5));
    EXPECT_TRUE(zero(&sha, sizeof sha));
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
