#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid1 {

// A DES key schedule: 16 round keys, each held as two words whose 6-bit groups line up with
// the eight S-box inputs of the table-driven round function.
struct DesKeySchedule {
    std::uint32_t roundKeys[32];
};

// Builds the schedule from 8 key bytes (byte 0 first, most significant bits first). Parity
// bits are ignored and weak keys are accepted.
void desSetKey(DesKeySchedule& schedule, const std::uint8_t key[8]);

// One block, in place; byte 0 carries the most significant eight bits of the 64-bit block.
void desEncryptBlock(const DesKeySchedule& schedule, std::uint8_t block[8]);
void desDecryptBlock(const DesKeySchedule& schedule, std::uint8_t block[8]);

// DES-CBC over `length` bytes; `output` may equal `input`. Afterwards `iv` holds the last
// ciphertext block, ready for the next call. Only whole 8-byte blocks are transformed: the
// trailing length % 8 bytes are neither read nor written, and the IV does not see them.
void desCbcEncrypt(const DesKeySchedule& schedule, std::uint8_t iv[8], std::uint8_t* output,
                   const std::uint8_t* input, std::size_t length);
void desCbcDecrypt(const DesKeySchedule& schedule, std::uint8_t iv[8], std::uint8_t* output,
                   const std::uint8_t* input, std::size_t length);

}  // namespace corvid1
