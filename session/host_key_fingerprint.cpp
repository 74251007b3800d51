#include "session/host_key_fingerprint.h"

#include <algorithm>

#include "crypto/md5.h"

namespace corvid1 {

namespace {

constexpr std::uint32_t kChunk = 1000000000;  // 10^9: nine decimal digits per 32-bit limb
constexpr int kChunkDigits = 9;

std::span<const std::uint8_t> withoutLeadingZeros(std::span<const std::uint8_t> bytes) {
    std::size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) ++first;
    return bytes.subspan(first);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

HostKey makeHostKey(std::uint32_t bits, std::span<const std::uint8_t> exponent,
                    std::span<const std::uint8_t> modulus) {
    HostKey key;
    key.bits = bits;
    const auto e = withoutLeadingZeros(exponent);
    const auto n = withoutLeadingZeros(modulus);
    key.exponent.assign(e.begin(), e.end());
    key.modulus.assign(n.begin(), n.end());
    return key;
}

std::optional<std::vector<std::uint8_t>> decimalToBytes(std::string_view digits) {
    if (digits.empty() || digits.size() > kMaxDecimalDigits ||
        !std::all_of(digits.begin(), digits.end(), isDigit))
        return std::nullopt;

    // Little-endian limbs of base 2^32; each step multiplies by 10^k and adds the next k digits.
    std::vector<std::uint32_t> limbs;
    std::size_t pos = 0;
    while (pos < digits.size()) {
        const std::size_t take = std::min<std::size_t>(kChunkDigits, digits.size() - pos);
        std::uint32_t scale = 1, value = 0;
        for (std::size_t i = 0; i < take; ++i) {
            scale *= 10;
            value = value * 10 + std::uint32_t(digits[pos + i] - '0');
        }
        pos += take;
        std::uint64_t carry = value;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t product = std::uint64_t(limb) * scale + carry;
            limb = std::uint32_t(product);
            carry = product >> 32;
        }
        if (carry != 0) limbs.push_back(std::uint32_t(carry));
    }

    std::vector<std::uint8_t> bytes;
    bytes.reserve(limbs.size() * 4);
    for (std::size_t i = limbs.size(); i-- > 0;)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(std::uint8_t(limbs[i] >> shift));
    const auto trimmed = withoutLeadingZeros(bytes);
    return std::vector<std::uint8_t>(trimmed.begin(), trimmed.end());
}

std::string bytesToDecimal(std::span<const std::uint8_t> bytes) {
    bytes = withoutLeadingZeros(bytes);
    // Big-endian limbs of base 2^32, divided by 10^9 until nothing is left.
    std::vector<std::uint32_t> limbs((bytes.size() + 3) / 4, 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t fromEnd = bytes.size() - 1 - i;
        limbs[limbs.size() - 1 - fromEnd / 4] |= std::uint32_t(bytes[i]) << (8 * (fromEnd % 4));
    }
    std::vector<std::uint32_t> chunks;  // groups of nine digits, least significant first
    std::size_t first = 0;
    while (first < limbs.size()) {
        std::uint64_t remainder = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            const std::uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = std::uint32_t(current / kChunk);
            remainder = current % kChunk;
        }
        chunks.push_back(std::uint32_t(remainder));
        while (first < limbs.size() && limbs[first] == 0) ++first;
    }
    if (chunks.empty()) return "0";

    std::string text = std::to_string(chunks.back());
    for (std::size_t i = chunks.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(chunks[i]);
        text.append(kChunkDigits - part.size(), '0');
        text += part;
    }
    return text;
}

std::array<std::uint8_t, 16> hostKeyMd5(const HostKey& key) {
    const auto n = withoutLeadingZeros(key.modulus);
    const auto e = withoutLeadingZeros(key.exponent);
    Md5Context context;
    md5Init(context);
    md5Update(context, n.data(), n.size());
    md5Update(context, e.data(), e.size());
    std::array<std::uint8_t, 16> digest{};
    md5Final(digest.data(), context);
    return digest;
}

std::string hostKeyFingerprint(const HostKey& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text = std::to_string(key.bits);
    text += ' ';
    const auto digest = hostKeyMd5(key);
    for (std::size_t i = 0; i < digest.size(); ++i) {
        if (i != 0) text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::optional<ParsedFingerprint> parseHostKeyFingerprint(std::string_view text) {
    text = trimBlanks(text);
    ParsedFingerprint parsed;

    const std::size_t blank = text.find_first_of(" \t");
    if (blank != std::string_view::npos) {
        const std::string_view bits = text.substr(0, blank);
        if (bits.empty() || bits.size() > 5 || !std::all_of(bits.begin(), bits.end(), isDigit))
            return std::nullopt;
        std::uint32_t value = 0;
        for (char c : bits) value = value * 10 + std::uint32_t(c - '0');
        parsed.bits = value;
        text = trimBlanks(text.substr(blank));
    }
    if (text.size() >= 4 && (text[0] == 'M' || text[0] == 'm') &&
        (text[1] == 'D' || text[1] == 'd') && text[2] == '5' && text[3] == ':')
        text.remove_prefix(4);

    // Exactly sixteen pairs of hex digits with a colon between each two.
    if (text.size() != 16 * 3 - 1) return std::nullopt;
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = hexValue(text[3 * i]);
        const int low = hexValue(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i < 15 && text[3 * i + 2] != ':')) return std::nullopt;
        parsed.md5[i] = std::uint8_t(high << 4 | low);
    }
    return parsed;
}

bool fingerprintMatches(const ParsedFingerprint& fingerprint, const HostKey& key) {
    if (fingerprint.bits && *fingerprint.bits != key.bits) return false;
    return fingerprint.md5 == hostKeyMd5(key);
}

}  // namespace corvid1
