// The SSH-1 packet check value: CRC-32 with the reflected IEEE 802.3 polynomial, initial value
// 0 and no final inversion (unlike the zlib CRC, which starts and ends with all ones).
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid1::testserver {

std::uint32_t ssh1Crc32(const std::uint8_t* data, std::size_t length);

}  // namespace corvid1::testserver
