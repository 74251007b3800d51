#include "session/deattack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "session/connection.h"

namespace corvid1 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Positions = std::set<std::size_t>;
const auto Attack = DeattackResult::AttackDetected, Fine = DeattackResult::Fine;

// The check value bit by bit (reflected CRC-32, initial 0, no final xor): the tests judge by it,
// not by the detector's algebra, whether repeated blocks leave the check value unchanged.
std::uint32_t crcOracle(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

// Blocks following the generator polynomial from `start`, highest degree first unless mirrored.
Positions generatorPattern(std::size_t start, bool mirrored = false) {
    Positions positions;
    for (int degree = 0; degree <= 32; ++degree)
        if ((0x104C11DB7ull >> degree) & 1)
            positions.insert(start + (mirrored ? degree : 32 - degree));
    return positions;
}

class Packets : public ::testing::Test {
  protected:
    Bytes randomBytes(std::size_t n) {
        Bytes bytes(n);
        for (auto& b : bytes) b = std::uint8_t(rng());
        return bytes;
    }
    // Whether one change made to the plaintext blocks at `positions` leaves the CRC unchanged.
    bool crcNeutral(const Positions& positions, std::size_t blocks) {
        Bytes message = randomBytes(blocks * 8);
        const std::uint32_t original = crcOracle(message.data(), message.size());
        const Bytes difference = randomBytes(8);
        for (std::size_t p : positions)
            for (int i = 0; i < 8; ++i) message[p * 8 + i] ^= difference[i] | 1;
        return crcOracle(message.data(), message.size()) == original;
    }
    // Random ciphertext (no two blocks equal) with `repeated` written at `positions`.
    Bytes packet(std::size_t blocks, const Positions& positions, const Bytes& repeated) {
        Bytes data = randomBytes(blocks * 8);
        for (std::size_t p : positions) std::memcpy(&data[p * 8], repeated.data(), 8);
        return data;
    }
    DeattackResult check(const Bytes& data, const std::uint8_t* iv = nullptr) {
        return detector.check(data.data(), data.size(), iv);
    }

    std::mt19937_64 rng{7};
    DeattackDetector detector;  // shared by each test's packets, as on a connection
};

// The check value takes eight bytes a step, then one by one: every length and alignment agrees.
TEST_F(Packets, CheckValueAgreesWithTheBitwiseCrcForEveryLengthAndAlignment) {
    EXPECT_EQ(crcOracle(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x2DFD2D88u);
    const Bytes data = randomBytes(300);
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t length = 0; start + length <= data.size(); ++length)
            ASSERT_EQ(packetCrc(&data[start], length), crcOracle(&data[start], length))
                << "start " << start << " length " << length;
}

// The shortest CRC-neutral pattern trips it anywhere, only in the orientation that cancels the
// CRC; split over two packets, or missing any one copy, it is harmless.
TEST_F(Packets, GeneratorPatternTripsTheDetectorAnywhereInAnySizeAndOtherRepeatsPass) {
    for (std::size_t blocks : {33, 34, 100, 4097, int(kDeattackMaxBlocks)})
        for (std::size_t start : {std::size_t(0), (blocks - 33) / 2, blocks - 33})
            for (bool mirrored : {false, true}) {
                const auto positions = generatorPattern(start, mirrored);
                ASSERT_EQ(crcNeutral(positions, blocks), !mirrored);
                EXPECT_EQ(check(packet(blocks, positions, randomBytes(8))),
                          mirrored ? Fine : Attack)
                    << blocks << " blocks, start " << start << ", mirrored " << mirrored;
            }
    const auto full = generatorPattern(10);
    for (std::size_t dropped : full) {
        auto positions = full;
        positions.erase(dropped);
        EXPECT_EQ(check(packet(60, positions, randomBytes(8))), Fine) << dropped;
    }
    Positions firstHalf, secondHalf;
    for (std::size_t p : full) (p < 26 ? firstHalf : secondHalf).insert(p);
    const Bytes repeated = randomBytes(8);
    EXPECT_EQ(check(packet(26, firstHalf, repeated)), Fine);
    EXPECT_EQ(check(packet(100, secondHalf, repeated)), Fine);
    // A run of one value, the heaviest repetition there is, never cancels the CRC in a packet.
    for (std::size_t blocks : {1, 16, 17, 33, 1000, int(kDeattackMaxBlocks)}) {
        const Bytes zeros(blocks * 8, 0);  // the IV (zeros too) and every block alike
        EXPECT_EQ(check(zeros, zeros.data()), Fine) << blocks;
        EXPECT_EQ(check(randomBytes(blocks * 8), zeros.data()), Fine) << blocks;
    }
}

// The IV takes part as block -1; the tables kept between packets carry nothing over.
TEST_F(Packets, IvTakesPartAsTheBlockBeforeThePacket) {
    const Bytes repeated = randomBytes(8), otherIv = randomBytes(8);
    Positions inPacket;  // the pattern over blocks -1 .. 31
    for (std::size_t p : generatorPattern(0))
        if (p > 0) inPacket.insert(p - 1);
    for (std::size_t blocks : {40, 30000}) {
        const auto data = packet(blocks, inPacket, repeated);
        EXPECT_EQ(check(data, repeated.data()), Attack);
        EXPECT_EQ(check(data, nullptr), Fine);
        EXPECT_EQ(check(data, otherIv.data()), Fine);
        EXPECT_EQ(detectCrcAttack(data.data(), data.size(), repeated.data()), Attack);
    }
    EXPECT_EQ(check(packet(100, {50}, repeated), repeated.data()), Fine);  // one repeat only
}

TEST_F(Packets, LengthsThatNoPacketHasAreRejected) {
    const Bytes data(kDeattackMaxBytes + 16, 0x5a);
    for (std::size_t length :
         {0ul, 1ul, 7ul, 9ul, 12ul, kDeattackMaxBytes - 4, kDeattackMaxBytes + 8})
        EXPECT_EQ(detector.check(data.data(), length, nullptr), DeattackResult::BadLength)
            << length;
    EXPECT_EQ(detector.check(nullptr, 8, nullptr), DeattackResult::BadLength);
    EXPECT_EQ(detector.check(data.data(), kDeattackMaxBytes, nullptr), Fine);
}

}  // namespace
}  // namespace corvid1
