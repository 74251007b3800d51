#include "session/deattack.h"

#include <algorithm>
#include <array>
#include <bit>
#include <random>

namespace corvid1 {

namespace {

// CRC-32 generator without its x^32 term, most significant coefficient first.
constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;

// Multiplying by x modulo P, most significant coefficient first.
constexpr std::uint32_t timesX(std::uint32_t r) {
    return (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : r << 1;
}

// kTimesX64[i][b] = (b * x^(8i) * x^64) mod P: each byte of a remainder moved on by 64 bits
// separately, so that the four lookups of timesX64 do not wait for one another.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeTimesX64Tables() {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (int i = 0; i < 4; ++i) {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t r = b << (8 * i);
            for (int bit = 0; bit < 64; ++bit) r = timesX(r);
            tables[i][b] = r;
        }
    }
    return tables;
}
constexpr auto kTimesX64 = makeTimesX64Tables();

// r * x^64 mod P: the weight of a block one position further from the end of the packet.
inline std::uint32_t timesX64(std::uint32_t r) {
    return kTimesX64[0][r & 0xff] ^ kTimesX64[1][(r >> 8) & 0xff] ^ kTimesX64[2][(r >> 16) & 0xff] ^
           kTimesX64[3][r >> 24];
}

inline std::uint64_t loadBlock(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < kDeattackBlockSize; ++i) v = (v << 8) | p[i];
    return v;
}

// Up to this many positions (IV included) a search through the few distinct blocks seen so far
// is cheaper than preparing a hash table.
constexpr std::size_t kLinearLimit = 16;
constexpr std::size_t kMinSlots = 64;

std::uint64_t drawHashKey() {
    // A multiplier the sender cannot predict keeps crafted packets from piling all their blocks
    // into one probe chain. A fixed odd constant is the fallback if no entropy is available.
    std::uint64_t key = 0x9E3779B97F4A7C15ull;
    try {
        std::random_device device;
        key = (std::uint64_t(device()) << 32) ^ device();
    } catch (...) {
    }
    return key | 1;
}

}  // namespace

DeattackDetector::DeattackDetector() : hashKey_(drawHashKey()) {}

std::uint32_t DeattackDetector::findOrAddLinear(std::uint64_t block) {
    for (std::uint32_t i = 0; i < groups_.size(); ++i)
        if (groups_[i].block == block) return i;
    groups_.push_back({block, 0, 0});
    return std::uint32_t(groups_.size() - 1);
}

std::uint32_t DeattackDetector::findOrAddHashed(std::uint64_t block) {
    const int shift = 64 - std::countr_zero(std::uint64_t(slotMask_) + 1);
    std::uint32_t slot = std::uint32_t((block * hashKey_) >> shift) & slotMask_;
    // The table holds at least twice as many slots as positions, so a free slot always exists.
    while (slots_[slot] != 0) {
        const std::uint32_t index = slots_[slot] - 1;
        if (groups_[index].block == block) return index;
        slot = (slot + 1) & slotMask_;
    }
    groups_.push_back({block, 0, 0});
    slots_[slot] = std::uint32_t(groups_.size());
    return std::uint32_t(groups_.size() - 1);
}

DeattackResult DeattackDetector::check(const std::uint8_t* ciphertext, std::size_t length,
                                       const std::uint8_t* iv) {
    if (ciphertext == nullptr || length == 0 || length % kDeattackBlockSize != 0 ||
        length > kDeattackMaxBytes)
        return DeattackResult::BadLength;

    const std::size_t blocks = length / kDeattackBlockSize;
    const std::size_t positions = blocks + (iv != nullptr ? 1 : 0);
    const bool hashed = positions > kLinearLimit;
    groups_.clear();
    groups_.reserve(positions);
    if (hashed) {
        // Sized in size_t from a bounded count: at most 2 * 32770 rounded up to 131072 slots.
        const std::size_t slotCount = std::max(kMinSlots, std::bit_ceil(2 * positions));
        if (slots_.size() < slotCount) slots_.resize(slotCount);
        std::fill(slots_.begin(), slots_.begin() + std::ptrdiff_t(slotCount), 0u);
        slotMask_ = std::uint32_t(slotCount - 1);
    }

    // A plaintext change D at block k moves the packet's CRC by D * x^(64 * (blocks - k)) (up to
    // a common factor), so the same change at every position of a repeated block cancels out
    // exactly when the sum of those weights is zero modulo P. Walking backwards, the weight of
    // each block is the previous one times x^64; the IV stands just before the first block.
    std::uint32_t weight = 1;
    auto account = [&](const std::uint8_t* bytes) {
        const std::uint64_t block = loadBlock(bytes);
        Group& group = groups_[hashed ? findOrAddHashed(block) : findOrAddLinear(block)];
        group.sum ^= weight;
        ++group.count;
        weight = timesX64(weight);
    };
    for (std::size_t k = blocks; k-- > 0;) account(ciphertext + k * kDeattackBlockSize);
    if (iv != nullptr) account(iv);

    for (const Group& group : groups_)
        if (group.count >= 2 && group.sum == 0) return DeattackResult::AttackDetected;
    return DeattackResult::Fine;
}

DeattackResult detectCrcAttack(const std::uint8_t* ciphertext, std::size_t length,
                               const std::uint8_t* iv) {
    DeattackDetector detector;
    return detector.check(ciphertext, length, iv);
}

}  // namespace corvid1
