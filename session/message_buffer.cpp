#include "session/message_buffer.h"

#include <cstdio>
#include <cstring>

#include "crypto/wipe.h"

namespace corvid1 {
namespace {

constexpr std::size_t initialCapacity = 64;

int hexDigitValue(char digit) {
    return digit <= '9' ? digit - '0' : digit - 87;
}

}  // namespace

MessageBuffer::MessageBuffer() {
    ensureCapacity(initialCapacity);
}

MessageBuffer::MessageBuffer(std::uint8_t type) : MessageBuffer() {
    beginPacket(type);
}

MessageBuffer::~MessageBuffer() {
    wipe();
}

void MessageBuffer::ensureCapacity(std::size_t needed) {
    if (needed <= capacity_) return;
    std::size_t grown = capacity_ < initialCapacity ? initialCapacity : capacity_;
    while (grown < needed) grown = grown > SIZE_MAX / 2 ? needed : grown * 2;
    auto larger = std::make_unique<std::uint8_t[]>(grown);  // zero-filled
    if (block_) {
        std::memcpy(larger.get(), block_.get(), size_);
        secureWipe(block_.get(), capacity_);
    }
    block_ = std::move(larger);
    capacity_ = grown;
}

void MessageBuffer::reset() {
    // The old content may be a plaintext password packet; wipe only what was used.
    secureWipe(block_.get(), size_);
    size_ = 0;
    cursor_ = 0;
    broken_ = false;
}

void MessageBuffer::beginPacket(std::uint8_t type) {
    reset();
    ensureCapacity(packetHeaderSize + 1);
    std::memset(block_.get(), 0, packetHeaderSize);
    block_[packetHeaderSize] = type;
    size_ = cursor_ = packetHeaderSize + 1;
}

void MessageBuffer::append(const void* bytes, std::size_t n) {
    ensureCapacity(cursor_ + n);
    if (n > 0) std::memcpy(block_.get() + cursor_, bytes, n);
    cursor_ += n;
    size_ = cursor_;
}

bool MessageBuffer::read(void* out, std::size_t n) {
    if (n > remaining()) {
        if (n > 0) std::memset(out, 0, n);
        cursor_ = size_;
        broken_ = true;
        return false;
    }
    if (n > 0) std::memcpy(out, block_.get() + cursor_, n);
    cursor_ += n;
    return true;
}

void MessageBuffer::reserve(std::ptrdiff_t n) {
    if (n <= 0) {
        skip(n);
        return;
    }
    const std::size_t end = cursor_ + static_cast<std::size_t>(n);
    ensureCapacity(end);
    // Room that is about to be received into must not show stale bytes of an older packet.
    if (end > size_) std::memset(block_.get() + size_, 0, end - size_);
    size_ = end;
}

void MessageBuffer::skip(std::ptrdiff_t n) {
    if (n < 0 && static_cast<std::size_t>(-n) > cursor_) {
        cursor_ = 0;
        broken_ = true;
    } else if (n > 0 && static_cast<std::size_t>(n) > remaining()) {
        cursor_ = size_;
        broken_ = true;
    } else {
        cursor_ = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(cursor_) + n);
    }
}

void MessageBuffer::truncate(std::size_t newSize) {
    if (newSize >= size_) return;
    size_ = newSize;
    if (cursor_ > size_) cursor_ = size_;
}

std::uint8_t MessageBuffer::getByte() {
    std::uint8_t value = 0;
    read(&value, 1);
    return value;
}

void MessageBuffer::putUint32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    append(bytes, 4);
}

std::uint32_t MessageBuffer::getUint32() {
    std::uint8_t bytes[4];
    read(bytes, 4);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

void MessageBuffer::putString(const char* text) {
    putString(text, std::strlen(text));
}

void MessageBuffer::putString(const char* bytes, std::size_t length) {
    putUint32(static_cast<std::uint32_t>(length));
    append(bytes, length);
}

std::string MessageBuffer::getString() {
    const std::uint32_t n = getUint32();
    if (broken_ || n > remaining()) {
        cursor_ = size_;
        broken_ = true;
        return {};
    }
    std::string text(reinterpret_cast<const char*>(block_.get() + cursor_), n);
    cursor_ += n;
    return text;
}

void MessageBuffer::putMpint(const mpz_t z) {
    const std::size_t bits = mpz_sizeinbase(z, 2);
    const std::size_t hexDigits = mpz_sizeinbase(z, 16);
    auto text = std::make_unique<char[]>(hexDigits + 2);
    mpz_get_str(text.get(), 16, z);

    // Hexadecimal text to bytes in place; an odd digit count gives a one-digit first byte.
    std::size_t in = 0;
    std::size_t out = 0;
    if (hexDigits % 2 == 1) text[out++] = static_cast<char>(hexDigitValue(text[in++]));
    while (in < hexDigits) {
        text[out++] = static_cast<char>(hexDigitValue(text[in]) * 16 + hexDigitValue(text[in + 1]));
        in += 2;
    }
    const std::uint8_t header[2] = {static_cast<std::uint8_t>(bits >> 8),
                                    static_cast<std::uint8_t>(bits)};
    append(header, 2);
    append(text.get(), (hexDigits + 1) / 2);
    secureWipe(text.get(), hexDigits + 2);  // it held key material
}

void MessageBuffer::getMpint(mpz_t z) {
    std::uint8_t header[2];
    read(header, 2);
    const std::size_t n = (std::size_t{header[0]} * 256 + header[1] + 7) / 8;
    if (broken_ || n > remaining()) {
        cursor_ = size_;
        broken_ = true;
        mpz_set_ui(z, 0);
        return;
    }
    if (n == 0) {
        mpz_set_ui(z, 0);
        return;
    }
    auto text = std::make_unique<char[]>(2 * n + 1);
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(&text[2 * i], 3, "%02x", block_[cursor_ + i]);
    }
    cursor_ += n;
    mpz_set_str(z, text.get(), 16);
    secureWipe(text.get(), 2 * n + 1);
}

void MessageBuffer::wipe() {
    secureWipe(block_.get(), capacity_);
}

}  // namespace corvid1
