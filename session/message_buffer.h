#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvid1 {

// One SSH-1 packet while it is built or taken apart, with the protocol's data types (uint32,
// string, mpint; integers big-endian). A single cursor serves both directions: appending writes
// at the cursor and moves it on, reading copies from it and moves it on; length() is the
// cursor's offset. Bytes behind the cursor up to size() are what a received packet still holds.
//
// Reads never leave the block. A read that asks for more than is left yields zeros (an empty
// string, the integer 0), moves the cursor to the end and marks the buffer broken(), which
// stays set until the next reset or beginPacket; callers check it once after taking a packet
// apart. The block is wiped before it is released or moved, because it carries passwords and
// key material on their way to the cipher.
class MessageBuffer {
  public:
    // Room for the length field and the largest padding, in front of the message type.
    static constexpr std::size_t packetHeaderSize = 12;

    MessageBuffer();
    explicit MessageBuffer(std::uint8_t type);  // beginPacket(type)
    ~MessageBuffer();
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;

    // Empty: length and size 0, not broken.
    void reset();
    // reset, then 12 zero bytes (length field and padding area) and the type byte.
    void beginPacket(std::uint8_t type);

    // Writes n bytes at the cursor and moves it on; the content now ends behind them.
    void append(const void* bytes, std::size_t n);
    // Copies n bytes from the cursor and moves it on; false (zeros in `out`, broken set) when
    // fewer than n bytes are left.
    bool read(void* out, std::size_t n);
    // n > 0: the content now ends n bytes behind the cursor (room to receive into), the cursor
    // stays. n <= 0: the cursor moves back by -n.
    void reserve(std::ptrdiff_t n);
    // Moves the cursor by n either way, kept within the content.
    void skip(std::ptrdiff_t n);

    std::uint8_t* data() { return block_.get(); }
    const std::uint8_t* data() const { return block_.get(); }
    std::uint8_t* cursor() { return block_.get() + cursor_; }
    std::size_t length() const { return cursor_; }
    std::size_t size() const { return size_; }
    std::size_t remaining() const { return size_ - cursor_; }
    bool broken() const { return broken_; }
    // Drops content behind `newSize` (used by the framing, which shortens the padding area).
    void truncate(std::size_t newSize);

    void putByte(std::uint8_t value) { append(&value, 1); }
    std::uint8_t getByte();
    void putUint32(std::uint32_t value);
    std::uint32_t getUint32();
    // A NUL-terminated text: length, then the characters without the terminator.
    void putString(const char* text);
    // Exactly `length` bytes, NULs included.
    void putString(const char* bytes, std::size_t length);
    // The string's bytes, NULs included; empty (and broken set) when the length runs past the
    // content.
    std::string getString();
    void putMpint(const mpz_t z);
    // `z` must have been initialised. A bit count of 0, or a value that runs past the content,
    // leaves 0 (the latter also sets broken).
    void getMpint(mpz_t z);

    // Overwrites every byte the block holds.
    void wipe();

  private:
    void ensureCapacity(std::size_t needed);

    std::unique_ptr<std::uint8_t[]> block_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t cursor_ = 0;
    bool broken_ = false;
};

}  // namespace corvid1
