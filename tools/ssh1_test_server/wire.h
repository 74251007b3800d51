// Byte layouts of SSH-1 messages: big-endian integers, strings and multiple-precision integers.
// The reader never reads past its end: a field that does not fit marks the reader as failed
// and yields an empty value, so a hostile payload can only make a message count as broken.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvid1::testserver {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t loadBigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void storeBigEndian32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// The minimal big-endian bytes of a non-negative integer (none for 0).
Bytes integerBytes(const mpz_t value);
// Exactly `length` bytes, most significant first; higher bytes are dropped, missing ones zero.
Bytes fixedBytes(const mpz_t value, std::size_t length);
void bytesToInteger(mpz_t out, const std::uint8_t* data, std::size_t length);

class Writer {
  public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u32(std::uint32_t v);
    void raw(const void* data, std::size_t length);
    void string(const void* data, std::size_t length);
    void string(const std::string& s) { string(s.data(), s.size()); }
    void mpint(const mpz_t value);
    const Bytes& bytes() const { return bytes_; }
    Bytes take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
};

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t length) : data_(data), left_(length) {}
    explicit Reader(const Bytes& b) : Reader(b.data(), b.size()) {}

    std::uint8_t u8();
    std::uint32_t u32();
    bool raw(void* out, std::size_t length);
    std::string string();
    // Reads an mpint (16-bit bit count, then the bytes) into `out`.
    bool mpint(mpz_t out);
    std::size_t left() const { return left_; }
    bool failed() const { return failed_; }
    const std::uint8_t* rest() const { return data_; }

  private:
    bool take(std::size_t n);
    const std::uint8_t* data_;
    std::size_t left_;
    bool failed_ = false;
};

// Printable form for logs and the record file: `\` as `\\`, bytes outside 0x20..0x7e as \xNN.
std::string escapeText(const std::uint8_t* data, std::size_t length);
inline std::string escapeText(const std::string& s) {
    return escapeText(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
std::string hexText(const std::uint8_t* data, std::size_t length);

}  // namespace corvid1::testserver
