#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid1 {

// The keyed Blowfish tables, in the order the cipher context stores them.
struct BlowfishKeySchedule {
    std::uint32_t sBoxes[4][256];
    std::uint32_t pArray[18];
};

// The standard key schedule over `length` key bytes, used cyclically (only the first 72 can
// matter). An empty key leaves the initial tables unmixed by key bytes rather than reading
// past an empty buffer.
void blowfishSetKey(BlowfishKeySchedule& schedule, const std::uint8_t* key, std::size_t length);

// The 16-round block function on the two 32-bit halves.
void blowfishEncryptBlock(const BlowfishKeySchedule& schedule, std::uint32_t& left,
                          std::uint32_t& right);
void blowfishDecryptBlock(const BlowfishKeySchedule& schedule, std::uint32_t& left,
                          std::uint32_t& right);

}  // namespace corvid1
