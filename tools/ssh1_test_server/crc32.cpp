#include "crc32.h"

#include <array>

namespace corvid1::testserver {

namespace {

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr auto kTable = makeTable();

}  // namespace

std::uint32_t ssh1Crc32(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) crc = kTable[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

}  // namespace corvid1::testserver
