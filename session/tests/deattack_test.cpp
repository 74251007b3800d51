#include "session/deattack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "session/connection.h"

namespace corvid1 {
namespace {

// The packet check value, written out bit by bit: reflected CRC-32 of IEEE 802.3, initial value
// 0, no final exclusive-or. The tests decide from it, not from the detector's algebra, whether a
// pattern of repeated blocks really leaves the check value unchanged.
std::uint32_t packetCrcOracle(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

using Block = std::array<std::uint8_t, 8>;

// Whether the same change made to the plaintext blocks at `positions` (of a message of `blocks`
// blocks) always leaves the CRC unchanged: what the attacker needs.
bool crcNeutral(const std::set<std::size_t>& positions, std::size_t blocks, std::mt19937_64& rng) {
    std::vector<std::uint8_t> message(blocks * 8);
    for (auto& b : message) b = std::uint8_t(rng());
    const std::uint32_t original = packetCrcOracle(message.data(), message.size());
    for (int trial = 0; trial < 2; ++trial) {
        std::vector<std::uint8_t> changed = message;
        Block difference;
        for (auto& b : difference) b = std::uint8_t(rng() | 1);
        for (std::size_t p : positions)
            for (int i = 0; i < 8; ++i) changed[p * 8 + i] ^= difference[i];
        if (packetCrcOracle(changed.data(), changed.size()) != original) return false;
    }
    return true;
}

// Polynomials over GF(2) as coefficient lists, lowest degree first.
using Poly = std::vector<std::uint8_t>;

Poly crcGenerator() {
    Poly p(33, 0);
    const std::uint64_t bits = 0x104C11DB7ull;
    for (int i = 0; i <= 32; ++i) p[i] = (bits >> i) & 1;
    return p;
}

// The block positions at which a repeated block follows `q`: its terms placed from `start`,
// either in order of rising degree or mirrored.
std::set<std::size_t> positionsOf(const Poly& q, std::size_t start, bool mirrored) {
    std::set<std::size_t> positions;
    const std::size_t degree = q.size() - 1;
    for (std::size_t i = 0; i <= degree; ++i)
        if (q[i]) positions.insert(start + (mirrored ? degree - i : i));
    return positions;
}

class Packets : public ::testing::Test {
  protected:
    Block randomBlock() {
        Block b;
        for (auto& x : b) x = std::uint8_t(rng());
        return b;
    }
    // Random ciphertext (no two blocks equal) with `repeated` written at `positions`.
    std::vector<std::uint8_t> packet(std::size_t blocks, const std::set<std::size_t>& positions,
                                     const Block& repeated) {
        std::vector<std::uint8_t> data(blocks * 8);
        for (auto& b : data) b = std::uint8_t(rng());
        for (std::size_t p : positions) std::memcpy(&data[p * 8], repeated.data(), 8);
        return data;
    }
    DeattackResult check(const std::vector<std::uint8_t>& data, const std::uint8_t* iv = nullptr) {
        return detector.check(data.data(), data.size(), iv);
    }

    std::mt19937_64 rng{7};
    DeattackDetector detector;  // shared by each test's packets, as on a connection
};

TEST(PacketCrcOracle, MatchesTheKnownValues) {
    EXPECT_EQ(packetCrcOracle(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x2DFD2D88u);
    EXPECT_EQ(packetCrcOracle(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0xCA6598D0u);
}

// The receiver's check value takes eight bytes a step and the rest one by one; it must agree
// with the bitwise CRC for every length and every alignment of the start.
TEST(PacketCrc, AgreesWithTheBitwiseCrcForEveryLengthAndAlignment) {
    std::mt19937_64 rng{11};
    std::vector<std::uint8_t> data(300);
    for (auto& b : data) b = std::uint8_t(rng());
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t length = 0; start + length <= data.size(); ++length)
            ASSERT_EQ(packetCrc(data.data() + start, length),
                      packetCrcOracle(data.data() + start, length))
                << "start " << start << " length " << length;
}

// The shortest CRC-neutral pattern follows the generator itself: 15 copies spread over 33
// blocks. It must trip the detector wherever it stands, in short packets and in the longest one,
// and only in the orientation in which it really cancels the CRC.
TEST_F(Packets, GeneratorPatternTripsTheDetectorAnywhereInAnySize) {
    const Poly generator = crcGenerator();
    for (std::size_t blocks : {33, 34, 40, 100, 1000, 4097, 32768, int(kDeattackMaxBlocks)}) {
        for (std::size_t start : {std::size_t(0), (blocks - 33) / 2, blocks - 33}) {
            int neutralOrientations = 0;
            for (bool mirrored : {false, true}) {
                const auto positions = positionsOf(generator, start, mirrored);
                const bool neutral = crcNeutral(positions, blocks, rng);
                neutralOrientations += neutral;
                EXPECT_EQ(check(packet(blocks, positions, randomBlock())),
                          neutral ? DeattackResult::AttackDetected : DeattackResult::Fine)
                    << blocks << " blocks, start " << start << ", mirrored " << mirrored;
            }
            EXPECT_EQ(neutralOrientations, 1);
        }
    }
}

// Repeats that do not cancel the CRC are no attack: a neutral pattern missing any one copy, a
// pair, and heavy repetition of a few values.
TEST_F(Packets, RepeatsThatDoNotCancelTheCrcPass) {
    const auto full = positionsOf(crcGenerator(), 10, true);
    for (std::size_t dropped : full) {
        auto positions = full;
        positions.erase(dropped);
        ASSERT_FALSE(crcNeutral(positions, 60, rng));
        EXPECT_EQ(check(packet(60, positions, randomBlock())), DeattackResult::Fine);
    }
    EXPECT_EQ(check(packet(5000, {3, 4000}, randomBlock())), DeattackResult::Fine);

    for (std::size_t blocks : {2, 16, 17, 200, 3000}) {
        std::vector<Block> alphabet = {randomBlock(), randomBlock(), randomBlock()};
        std::vector<std::set<std::size_t>> where(alphabet.size());
        std::vector<std::uint8_t> data(blocks * 8);
        for (std::size_t k = 0; k < blocks; ++k) {
            const std::size_t v = rng() % alphabet.size();
            where[v].insert(k);
            std::memcpy(&data[k * 8], alphabet[v].data(), 8);
        }
        bool anyNeutral = false;
        for (const auto& positions : where)
            anyNeutral |= positions.size() >= 2 && crcNeutral(positions, blocks, rng);
        EXPECT_EQ(check(data), anyNeutral ? DeattackResult::AttackDetected : DeattackResult::Fine);
    }
}

// The IV is the ciphertext block just before the packet, so it takes part as block -1.
TEST_F(Packets, IvTakesPartAsTheBlockBeforeThePacket) {
    const Block repeated = randomBlock();
    for (std::size_t blocks : {40, 30000}) {
        // The pattern spans blocks -1 .. 31 of the packet; in oracle terms 0 .. 32 of blocks + 1.
        const auto withIv = positionsOf(crcGenerator(), 0, true);
        ASSERT_TRUE(crcNeutral(withIv, blocks + 1, rng));
        ASSERT_TRUE(withIv.count(0));
        std::set<std::size_t> inPacket;
        for (std::size_t p : withIv)
            if (p > 0) inPacket.insert(p - 1);
        const auto data = packet(blocks, inPacket, repeated);
        EXPECT_EQ(check(data, repeated.data()), DeattackResult::AttackDetected);
        EXPECT_EQ(check(data, nullptr), DeattackResult::Fine);
        const Block otherIv = randomBlock();
        EXPECT_EQ(check(data, otherIv.data()), DeattackResult::Fine);
    }
    // A single block equal to the IV is a repeat, but no CRC-neutral one.
    const auto data = packet(100, {50}, repeated);
    EXPECT_EQ(check(data, repeated.data()), DeattackResult::Fine);
}

TEST_F(Packets, OrdinaryTrafficPassesUpToTheLargestPacket) {
    for (int round = 0; round < 200; ++round) {
        const std::size_t blocks = 1 + rng() % (round < 100 ? 64 : kDeattackMaxBlocks);
        const Block iv = randomBlock();
        EXPECT_EQ(check(packet(blocks, {}, iv), iv.data()), DeattackResult::Fine);
    }
    for (int round = 0; round < 4; ++round) {
        const Block iv = randomBlock();
        EXPECT_EQ(check(packet(kDeattackMaxBlocks, {}, iv), iv.data()), DeattackResult::Fine);
    }
    // Every block alike (a run of one value) is the heaviest repetition there is, yet it never
    // cancels the CRC within a packet's length.
    for (std::size_t blocks : {1, 2, 15, 16, 17, 33, 1000, int(kDeattackMaxBlocks)}) {
        const std::vector<std::uint8_t> zeros(blocks * 8, 0);
        std::set<std::size_t> all;  // the IV (zeros too) and every block
        for (std::size_t k = 0; k <= blocks; ++k) all.insert(k);
        ASSERT_FALSE(crcNeutral(all, blocks + 1, rng));
        EXPECT_EQ(check(zeros, zeros.data()), DeattackResult::Fine) << blocks;
    }
}

TEST_F(Packets, LengthsThatNoPacketHasAreRejected) {
    const std::vector<std::uint8_t> data(kDeattackMaxBytes + 16, 0x5a);
    for (std::size_t length : {std::size_t(0), std::size_t(1), std::size_t(7), std::size_t(9),
                               std::size_t(12), kDeattackMaxBytes - 4, kDeattackMaxBytes + 8})
        EXPECT_EQ(detector.check(data.data(), length, nullptr), DeattackResult::BadLength)
            << length;
    EXPECT_EQ(detector.check(nullptr, 8, nullptr), DeattackResult::BadLength);
    EXPECT_EQ(detector.check(data.data(), kDeattackMaxBytes, nullptr), DeattackResult::Fine);
    EXPECT_EQ(kDeattackMaxBytes, 262152u);
}

// The tables kept between packets must not carry anything over.
TEST_F(Packets, ResultsDoNotDependOnEarlierPackets) {
    const auto pattern = positionsOf(crcGenerator(), 100, true);
    const Block repeated = randomBlock();
    const auto attack = packet(kDeattackMaxBlocks, pattern, repeated);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(check(attack), DeattackResult::AttackDetected);
        EXPECT_EQ(check(packet(4, {}, repeated)), DeattackResult::Fine);
        EXPECT_EQ(check(packet(2000, {}, repeated)), DeattackResult::Fine);
        // The pattern split over two packets is two harmless halves.
        std::set<std::size_t> firstHalf, secondHalf;
        for (std::size_t p : pattern) (p < 116 ? firstHalf : secondHalf).insert(p);
        EXPECT_EQ(check(packet(116, firstHalf, repeated)), DeattackResult::Fine);
        EXPECT_EQ(detectCrcAttack(attack.data(), attack.size(), nullptr),
                  DeattackResult::AttackDetected);
    }
}

}  // namespace
}  // namespace corvid1
