// Runs the CRC compensation attack detector on arbitrary ciphertext and compares its verdict
// with a plain reference: group equal blocks by comparing every pair, and call a group an attack
// when the CRC-32 of a message carrying the same change at each of its positions is zero (the
// CRC is linear with initial value 0, so that is exactly when the change goes unnoticed).
//
// Input layout: byte 0 flags (bit 0: use bytes 1-8 as the IV; bit 1: plant a CRC-neutral
// pattern), bytes 1-8 the IV, then, with bit 1, two bytes of start block and four bytes of a
// factor polynomial; the rest, cut to whole blocks, is the ciphertext.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "session/deattack.h"

namespace {

using namespace corvid1;

// The reference is quadratic; beyond this many blocks only the detector's own safety is checked.
constexpr std::size_t kReferenceBlocks = 1024;

std::uint32_t packetCrc(const std::vector<std::uint8_t>& data) {
    std::uint32_t crc = 0;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

bool referenceDetects(const std::vector<const std::uint8_t*>& positions) {
    const std::size_t count = positions.size();
    std::vector<bool> seen(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        if (seen[i]) continue;
        std::vector<std::size_t> copies;
        for (std::size_t j = i; j < count; ++j)
            if (std::memcmp(positions[i], positions[j], 8) == 0) copies.push_back(j);
        for (std::size_t j : copies) seen[j] = true;
        if (copies.size() < 2) continue;
        std::vector<std::uint8_t> change(count * 8, 0);
        for (std::size_t j : copies) change[j * 8] = 1;
        if (packetCrc(change) == 0) return true;
    }
    return false;
}

// Places (the old) block 0 of `data` at the positions given by (CRC generator x factor), highest
// degree first from `start`, wherever that fits.
void plantPattern(std::vector<std::uint8_t>& data, std::size_t start, std::uint32_t factor) {
    const std::uint64_t generator = 0x104C11DB7ull;
    unsigned __int128 product = 0;
    for (int i = 0; i < 32; ++i)
        if ((factor >> i) & 1) product ^= static_cast<unsigned __int128>(generator) << i;
    if (product == 0) return;
    int degree = 127;
    while (((product >> degree) & 1) == 0) --degree;
    const std::size_t blocks = data.size() / 8;
    if (blocks == 0 || start + std::size_t(degree) >= blocks) return;
    std::uint8_t block[8];
    std::memcpy(block, &data[0], 8);
    data[0] ^= 0xff;  // the source block is no extra copy unless the pattern covers it
    for (int i = 0; i <= degree; ++i)
        if ((product >> i) & 1) std::memcpy(&data[(start + std::size_t(degree - i)) * 8], block, 8);
}

void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    static DeattackDetector detector;  // kept across inputs, as across the packets of a session
    if (size < 9) {
        // Exactly one block is a valid packet body; anything shorter is not.
        const bool rejected = detector.check(input, size, nullptr) == DeattackResult::BadLength;
        if (rejected != (size != 8)) fail("length check wrong for a short input");
        return 0;
    }
    const bool withIv = input[0] & 1;
    const bool plant = input[0] & 2;
    const std::uint8_t* iv = withIv ? input + 1 : nullptr;
    std::size_t offset = 9;
    std::size_t start = 0;
    std::uint32_t factor = 0;
    if (plant && size >= offset + 6) {
        start = std::size_t(input[offset]) << 8 | input[offset + 1];
        factor = std::uint32_t(input[offset + 2]) << 24 | std::uint32_t(input[offset + 3]) << 16 |
                 std::uint32_t(input[offset + 4]) << 8 | input[offset + 5];
        offset += 6;
    }
    std::vector<std::uint8_t> data(input + offset, input + size);
    data.resize(std::min(data.size() - data.size() % 8, kDeattackMaxBytes));
    if (plant) plantPattern(data, start, factor);
    if (data.empty()) return 0;

    const DeattackResult result = detector.check(data.data(), data.size(), iv);
    if (result == DeattackResult::BadLength) fail("whole blocks rejected");
    if (data.size() / 8 > kReferenceBlocks) return 0;

    std::vector<const std::uint8_t*> positions;
    if (iv != nullptr) positions.push_back(iv);
    for (std::size_t k = 0; k < data.size(); k += 8) positions.push_back(&data[k]);
    if (referenceDetects(positions) != (result == DeattackResult::AttackDetected))
        fail("detector and reference disagree");
    return 0;
}
