#include "session/connection.h"

#include <array>
#include <cstring>

#include "crypto/wipe.h"

namespace corvid1 {
namespace {

// Slicing by eight: table k holds the CRC of a byte followed by k zero bytes, so eight bytes
// fold in through eight independent lookups instead of a chain of eight. Every received byte
// is checked, and one byte at a time made the check a third of the client's work on bulk output.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            tables[k][n] = tables[0][tables[k - 1][n] & 0xFF] ^ (tables[k - 1][n] >> 8);
    return tables;
}

constexpr CrcTables crcTables = makeCrcTables();

constexpr std::size_t lengthFieldSize = 4;
constexpr std::size_t checkSize = 4;

std::uint32_t loadBigEndian(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

void storeBigEndian(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::uint32_t packetCrc(const std::uint8_t* data, std::size_t length) {
    const CrcTables& t = crcTables;
    std::uint32_t crc = 0;
    for (; length >= 8; data += 8, length -= 8) {
        const std::uint32_t low =
            crc ^ (std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 |
                   std::uint32_t{data[2]} << 16 | std::uint32_t{data[3]} << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    for (; length > 0; ++data, --length) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return crc;
}

int Connection::receivePacket(MessageBuffer& buffer, EncryptedConnection* decrypt) {
    for (;;) {
        buffer.reset();
        buffer.reserve(lengthFieldSize);
        if (socket_.receiveExactly(buffer.cursor(), lengthFieldSize) < 0) {
            lastError_ = PacketError::StreamClosed;
            return -1;
        }
        const std::uint32_t length = buffer.getUint32();
        // Checked before anything is allocated for the packet.
        if (length > maxPacketLength) {
            lastError_ = PacketError::TooLong;
            return -1;
        }
        if (length < 1 + checkSize) {
            lastError_ = PacketError::TooShort;
            return -1;
        }
        const std::size_t padding = 8 - length % 8;
        const std::size_t total = length + padding;
        buffer.reserve(static_cast<std::ptrdiff_t>(total));
        if (socket_.receiveExactly(buffer.cursor(), total) < 0) {
            lastError_ = PacketError::StreamClosed;
            return -1;
        }
        if (decrypt != nullptr) {
            if (decrypt->inspector_ != nullptr &&
                !decrypt->inspector_->inspect(buffer.cursor(), total)) {
                lastError_ = PacketError::Refused;
                return -1;
            }
            buffer.skip(static_cast<std::ptrdiff_t>(total));
            decrypt->decryptPacket(buffer);
            buffer.skip(-static_cast<std::ptrdiff_t>(total));
        }
        // Unencrypted SSH-1 has no other integrity check, and a wrong key shows up here too.
        const std::uint8_t* body = buffer.cursor();
        if (packetCrc(body, total - checkSize) != loadBigEndian(body + total - checkSize)) {
            lastError_ = PacketError::BadCheck;
            return -1;
        }
        buffer.truncate(buffer.size() - checkSize);
        buffer.skip(static_cast<std::ptrdiff_t>(padding));
        if (decompressor_ && !decompressMessage(buffer)) return -1;
        const std::uint8_t type = buffer.getByte();
        if (type == SSH_MSG_IGNORE || type == SSH_MSG_DEBUG) continue;
        lastError_ = PacketError::None;
        return type;
    }
}

bool Connection::startCompression(int level) {
    auto compressor = std::make_unique<PacketCompressor>(level);
    auto decompressor = std::make_unique<PacketDecompressor>();
    if (!compressor->ok() || !decompressor->ok()) return false;
    compressor_ = std::move(compressor);
    decompressor_ = std::move(decompressor);
    return true;
}

bool Connection::compressMessage(MessageBuffer& buffer) {
    const std::size_t start = MessageBuffer::packetHeaderSize;
    const std::size_t length = buffer.length() - start;
    const bool done = compressor_->compress(buffer.data() + start, length, sendScratch_);
    if (done) {
        buffer.skip(-static_cast<std::ptrdiff_t>(length));
        buffer.append(sendScratch_.data(), sendScratch_.size());
    }
    // What the user typed does not linger in a buffer that outlives the packet.
    secureWipe(sendScratch_.data(), sendScratch_.size());
    return done;
}

bool Connection::decompressMessage(MessageBuffer& buffer) {
    const auto result = decompressor_->decompress(buffer.cursor(), buffer.remaining(),
                                                  receiveScratch_, maxPacketLength);
    if (result != PacketDecompressor::Result::Ok) {
        lastError_ = result == PacketDecompressor::Result::TooLong
                         ? PacketError::DecompressedTooLong
                         : PacketError::BadCompression;
        return false;
    }
    if (receiveScratch_.empty()) {
        lastError_ = PacketError::TooShort;  // not even a type byte
        return false;
    }
    buffer.reset();
    buffer.append(receiveScratch_.data(), receiveScratch_.size());
    buffer.skip(-static_cast<std::ptrdiff_t>(receiveScratch_.size()));
    return true;
}

void Connection::framePacket(MessageBuffer& buffer) {
    const std::size_t n = buffer.length();
    const std::uint32_t length = static_cast<std::uint32_t>(n - 8);
    const std::size_t r = length % 8;
    std::uint8_t* data = buffer.data();
    // The 8 reserved bytes become the padding; a packet needs 8 - r of them.
    if (r != 0) {
        std::memmove(data + lengthFieldSize, data + lengthFieldSize + r, n - lengthFieldSize - r);
        buffer.truncate(n - r);
    }
    storeBigEndian(buffer.data(), length);
    const std::uint32_t crc =
        packetCrc(buffer.data() + lengthFieldSize, buffer.length() - lengthFieldSize);
    buffer.putUint32(crc);
}

int Connection::readPacket(MessageBuffer& buffer) {
    return receivePacket(buffer, nullptr);
}

int Connection::writePacket(MessageBuffer& buffer) {
    if (buffer.length() <= MessageBuffer::packetHeaderSize) return -1;
    if (compressor_ && !compressMessage(buffer)) return -1;
    framePacket(buffer);
    socket_.sendBytes(buffer.data(), buffer.length());
    return 0;
}

int EncryptedConnection::readPacket(MessageBuffer& buffer) {
    return receivePacket(buffer, this);
}

int EncryptedConnection::writePacket(MessageBuffer& buffer) {
    if (buffer.length() <= MessageBuffer::packetHeaderSize) return -1;
    if (compressor_ && !compressMessage(buffer)) return -1;
    framePacket(buffer);
    encryptPacket(buffer);
    socket_.sendBytes(buffer.data(), buffer.length());
    return 0;
}

namespace {

// The part of the buffer that the cipher transforms: behind the length field, up to the cursor.
std::uint8_t* cipherStart(MessageBuffer& buffer) {
    return buffer.data() + lengthFieldSize;
}
std::size_t cipherLength(const MessageBuffer& buffer) {
    return buffer.length() > lengthFieldSize ? buffer.length() - lengthFieldSize : 0;
}

}  // namespace

void TripleDesConnection::initCipherContext(CipherContext& context, const std::uint8_t* key,
                                            std::size_t keyLength, int direction) {
    tripleDesInitContext(context, key, keyLength, direction);
}

void TripleDesConnection::setSessionKey(const std::uint8_t* key, std::size_t keyLength) {
    initCipherContext(receiveContext, key, keyLength, 0);
    initCipherContext(sendContext, key, keyLength, 1);
}

void TripleDesConnection::encryptPacket(MessageBuffer& buffer) {
    tripleDesCbcEncrypt(sendContext, cipherStart(buffer), cipherLength(buffer));
}

void TripleDesConnection::decryptPacket(MessageBuffer& buffer) {
    tripleDesCbcDecrypt(receiveContext, cipherStart(buffer), cipherLength(buffer));
}

void BlowfishConnection::initCipherContext(CipherContext& context, const std::uint8_t* key,
                                           std::size_t keyLength, int direction) {
    blowfishInitContext(context, key, keyLength, direction);
}

void BlowfishConnection::setSessionKey(const std::uint8_t* key, std::size_t keyLength) {
    initCipherContext(receiveContext, key, keyLength, 0);
    initCipherContext(sendContext, key, keyLength, 1);
}

void BlowfishConnection::encryptPacket(MessageBuffer& buffer) {
    blowfishCbcEncrypt(sendContext, cipherStart(buffer), cipherLength(buffer));
}

void BlowfishConnection::decryptPacket(MessageBuffer& buffer) {
    blowfishCbcDecrypt(receiveContext, cipherStart(buffer), cipherLength(buffer));
}

void NullCipherConnection::initCipherContext(CipherContext& context, const std::uint8_t* key,
                                             std::size_t keyLength, int direction) {
    nullCipherInitContext(context, key, keyLength, direction);
}

}  // namespace corvid1
