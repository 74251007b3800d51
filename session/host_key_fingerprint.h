#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvid1 {

// A server's SSH-1 host key as the key exchange reads it: the announced bit count and the RSA
// public exponent and modulus as big-endian bytes without leading zero bytes. Kept free of GMP
// so that front ends can hold and show it.
struct HostKey {
    std::uint32_t bits = 0;
    std::vector<std::uint8_t> exponent;
    std::vector<std::uint8_t> modulus;

    bool operator==(const HostKey&) const = default;
};

// Builds a HostKey from big-endian bytes (as mpz_export with order 1 and endian 1 gives them);
// leading zero bytes are dropped.
HostKey makeHostKey(std::uint32_t bits, std::span<const std::uint8_t> exponent,
                    std::span<const std::uint8_t> modulus);

// Decimal digits (nothing else, at most kMaxDecimalDigits) to big-endian bytes without leading
// zeros; "0" gives no bytes. std::nullopt for anything that is not a plain decimal number.
inline constexpr std::size_t kMaxDecimalDigits =
    19729;  // a 65535-bit modulus, the most SSH-1 carries
std::optional<std::vector<std::uint8_t>> decimalToBytes(std::string_view digits);
// Big-endian bytes to decimal digits; no bytes (or only zeros) give "0".
std::string bytesToDecimal(std::span<const std::uint8_t> bytes);

// MD5 over the modulus bytes followed by the exponent bytes, as OpenSSH and PuTTY compute the
// fingerprint of an SSH-1 key.
std::array<std::uint8_t, 16> hostKeyMd5(const HostKey& key);
// "1024 a4:24:50:...:c5": the bit count, a space, the MD5 as colon-separated lowercase hex.
std::string hostKeyFingerprint(const HostKey& key);

// A fingerprint the user typed: "1024 a4:24:...", "a4:24:..." or "MD5:a4:24:..." (as
// ssh-keygen -E md5 prints it), hex in either case, surrounding blanks ignored.
struct ParsedFingerprint {
    std::optional<std::uint32_t> bits;  // only when the user gave one
    std::array<std::uint8_t, 16> md5{};
};
std::optional<ParsedFingerprint> parseHostKeyFingerprint(std::string_view text);
// True when the MD5 equals the key's and, if a bit count was given, that equals the key's too.
bool fingerprintMatches(const ParsedFingerprint& fingerprint, const HostKey& key);

}  // namespace corvid1
