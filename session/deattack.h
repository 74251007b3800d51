#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvid1 {

// Detector for the CRC-32 compensation attack on SSH-1 (CORE-SDI, 1998).
//
// SSH-1 protects a packet only with a CRC-32 of its plaintext. CRC-32 is linear, so an attacker
// who repeats one 8-byte ciphertext block at positions whose pattern is a multiple of the CRC
// generator polynomial (one position per 64-bit step) changes the plaintext without changing the
// check value, and can steer the decryption into revealing or forging data. Honest ciphertext
// almost never repeats a 64-bit block inside one packet, so the detector looks for repeats and,
// for every repeated block, asks whether its positions form such a CRC-neutral pattern.
//
// Run it on every received encrypted packet, on the ciphertext after the length field (padding,
// type, payload and check: a multiple of 8 bytes), before decrypting it. Anything but Fine ends
// the session.

inline constexpr std::size_t kDeattackBlockSize = 8;
// The largest SSH-1 packet has a length field of 256 KiB; with up to 8 bytes of padding the
// encrypted part is at most this long.
inline constexpr std::size_t kDeattackMaxBytes = 256 * 1024 + 8;
inline constexpr std::size_t kDeattackMaxBlocks = kDeattackMaxBytes / kDeattackBlockSize;

enum class DeattackResult {
    Fine,            // no CRC-neutral repetition
    AttackDetected,  // a repeated block sits in a CRC-neutral pattern
    BadLength,       // empty, not a multiple of 8, or longer than kDeattackMaxBytes
};

// One detector per receiving direction of a connection; it keeps its tables between packets so
// that large packets cost no allocation. Not safe for concurrent use.
class DeattackDetector {
  public:
    DeattackDetector();

    // `ciphertext`/`length`: the encrypted bytes of one packet after its length field.
    // `iv`: the 8 bytes that precede the packet in the cipher's chain (the last ciphertext block
    // of the previous packet, or the initial vector), or nullptr when there is none; a block that
    // equals it counts as a repeat.
    DeattackResult check(const std::uint8_t* ciphertext, std::size_t length,
                         const std::uint8_t* iv);

  private:
    struct Group {
        std::uint64_t block;  // the repeated block's value
        std::uint32_t sum;    // CRC syndrome of its positions; zero means CRC-neutral
        std::uint32_t count;  // how often it occurs
    };

    std::uint32_t findOrAddLinear(std::uint64_t block);
    std::uint32_t findOrAddHashed(std::uint64_t block);

    std::uint64_t hashKey_;             // odd multiplier, drawn per detector
    std::vector<std::uint32_t> slots_;  // open-addressed table: group index + 1, 0 = free
    std::uint32_t slotMask_ = 0;
    std::vector<Group> groups_;  // one per distinct block value of the packet
};

// Convenience for a single packet; allocates its own tables.
DeattackResult detectCrcAttack(const std::uint8_t* ciphertext, std::size_t length,
                               const std::uint8_t* iv);

}  // namespace corvid1
