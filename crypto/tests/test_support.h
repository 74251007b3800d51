#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace corvid1::test {

using Bytes = std::vector<std::uint8_t>;

// Hex digits to bytes; "HEX*N" repeats HEX N times, "-" is nothing.
inline Bytes fromHex(const std::string& text) {
    const std::size_t star = text.find('*');
    const std::string hex = text == "-" ? "" : text.substr(0, star);
    Bytes once;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        once.push_back(std::uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    Bytes bytes;
    const int times = star == std::string::npos ? 1 : std::stoi(text.substr(star + 1));
    for (int k = 0; k < times; ++k) bytes.insert(bytes.end(), once.begin(), once.end());
    return bytes;
}

inline std::string toHex(const Bytes& bytes) {
    std::string hex;
    for (std::uint8_t b : bytes) hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    return hex;
}

inline Bytes randomBytes(std::mt19937& random, std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = std::uint8_t(random());
    return bytes;
}

}  // namespace corvid1::test
