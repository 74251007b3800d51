#include "wire.h"

#include <cstring>

namespace corvid1::testserver {

Bytes integerBytes(const mpz_t value) {
    if (mpz_sgn(value) == 0) return {};
    std::size_t count = (mpz_sizeinbase(value, 2) + 7) / 8;
    Bytes out(count);
    std::size_t written = 0;
    mpz_export(out.data(), &written, 1, 1, 1, 0, value);
    out.resize(written);
    return out;
}

Bytes fixedBytes(const mpz_t value, std::size_t length) {
    Bytes all = integerBytes(value);
    Bytes out(length, 0);
    std::size_t n = all.size() < length ? all.size() : length;
    std::memcpy(out.data() + (length - n), all.data() + (all.size() - n), n);
    return out;
}

void bytesToInteger(mpz_t out, const std::uint8_t* data, std::size_t length) {
    if (length == 0) {
        mpz_set_ui(out, 0);
        return;
    }
    mpz_import(out, length, 1, 1, 1, 0, data);
}

void Writer::u32(std::uint32_t v) {
    std::uint8_t b[4];
    storeBigEndian32(b, v);
    raw(b, 4);
}

void Writer::raw(const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + length);
}

void Writer::string(const void* data, std::size_t length) {
    u32(static_cast<std::uint32_t>(length));
    raw(data, length);
}

void Writer::mpint(const mpz_t value) {
    Bytes b = integerBytes(value);
    std::size_t bits = mpz_sgn(value) == 0 ? 0 : mpz_sizeinbase(value, 2);
    u8(static_cast<std::uint8_t>(bits >> 8));
    u8(static_cast<std::uint8_t>(bits));
    raw(b.data(), b.size());
}

bool Reader::take(std::size_t n) {
    if (failed_ || n > left_) {
        failed_ = true;
        return false;
    }
    return true;
}

std::uint8_t Reader::u8() {
    if (!take(1)) return 0;
    std::uint8_t v = *data_;
    ++data_;
    --left_;
    return v;
}

std::uint32_t Reader::u32() {
    if (!take(4)) return 0;
    std::uint32_t v = loadBigEndian32(data_);
    data_ += 4;
    left_ -= 4;
    return v;
}

bool Reader::raw(void* out, std::size_t length) {
    if (!take(length)) return false;
    std::memcpy(out, data_, length);
    data_ += length;
    left_ -= length;
    return true;
}

std::string Reader::string() {
    std::uint32_t length = u32();
    if (!take(length)) return {};
    std::string s(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    left_ -= length;
    return s;
}

bool Reader::mpint(mpz_t out) {
    std::uint8_t hi = u8();
    std::uint8_t lo = u8();
    std::size_t bytes = ((std::size_t{hi} << 8 | lo) + 7) / 8;
    if (failed_ || !take(bytes)) {
        mpz_set_ui(out, 0);
        return false;
    }
    bytesToInteger(out, data_, bytes);
    data_ += bytes;
    left_ -= bytes;
    return true;
}

std::string escapeText(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t c = data[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string hexText(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

}  // namespace corvid1::testserver
