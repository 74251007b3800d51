#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/cipher.h"
#include "session/compression.h"
#include "session/message_buffer.h"
#include "session/tcp_socket.h"

namespace corvid1 {

// SSH-1 message types the packet layer itself knows about.
enum : std::uint8_t { SSH_MSG_IGNORE = 32, SSH_MSG_DEBUG = 36 };

// CRC-32 over the plaintext of padding, type and payload: the IEEE 802.3 polynomial in
// reflected form, initial value 0 and no final exclusive-or.
std::uint32_t packetCrc(const std::uint8_t* data, std::size_t length);

class EncryptedConnection;

// Why the last readPacket returned -1.
enum class PacketError {
    None,
    StreamClosed,         // the peer closed, the stream failed, or the socket was shut down
    TooLong,              // length field above Connection::maxPacketLength; nothing was allocated
    TooShort,             // length field below 5, no room for the type and the check value
    BadCheck,             // the received check value does not match the packet
    Refused,              // the ciphertext inspector refused the packet
    Malformed,            // set by the reader of the fields: they ran past the packet's end
    DecompressedTooLong,  // a compressed packet would unpack to more than maxPacketLength
    BadCompression,       // the compressed data does not decompress
};

// A hook that sees every received ciphertext before it is decrypted: the place for a detector
// of attacks on the CRC-32 check. Runs on the session thread only.
class CiphertextInspector {
  public:
    virtual ~CiphertextInspector() = default;
    // `ciphertext` is everything behind the length field (padding, type, payload, check).
    // Returns false to refuse the packet, which then ends the stream like a failure.
    virtual bool inspect(const std::uint8_t* ciphertext, std::size_t length) = 0;
};

// The plain packet connection: frames and unframes SSH-1 binary packets on its socket, without
// a cipher. Used only until the session key has been sent.
class Connection {
  public:
    // The largest length field accepted (type, payload and check value): SSH-1's own limit.
    static constexpr std::uint32_t maxPacketLength = 256 * 1024;

    Connection() = default;
    // Takes an already-connected socket.
    explicit Connection(int socketHandle) : socket_(socketHandle) {}
    virtual ~Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The type of the next packet that is neither SSH_MSG_IGNORE nor SSH_MSG_DEBUG (0-255: a
    // type above 127, which no SSH-1 message has, is the caller's to ignore, never a failure), or
    // -1 when the stream fails or the packet is refused (see lastError). On success the cursor
    // stands at the first payload byte and the content ends with the payload: the verified check
    // value is no longer part of it.
    virtual int readPacket(MessageBuffer& buffer);
    // Frames (length, zero padding, check value) the message the buffer holds since
    // beginPacket, and sends it; afterwards the buffer holds the framed packet. Returns 0, or
    // -1 for a buffer that was not started with beginPacket. A failed send shows itself at the
    // next receive. Calls from two threads must be serialised by the caller.
    virtual int writePacket(MessageBuffer& buffer);

    TcpSocket& socket() { return socket_; }
    const TcpSocket& socket() const { return socket_; }
    PacketError lastError() const { return lastError_; }

    // From the next packet on, each packet's type and payload are compressed on the way out
    // and decompressed on the way in (`level` 1..9). Call it with writes held off, between
    // the server's consent and the next packet. False if zlib could not start.
    bool startCompression(int level);
    bool compressing() const { return compressor_ != nullptr; }

  protected:
    // Steps shared by both variants. `decrypt` transforms the received bytes in place (padding
    // onwards) before they are checked; null for the plain connection.
    int receivePacket(MessageBuffer& buffer, EncryptedConnection* decrypt);
    void framePacket(MessageBuffer& buffer);
    // Replaces the message behind the header with its compressed form, when compressing.
    bool compressMessage(MessageBuffer& buffer);
    // Replaces the received type and payload with their decompressed form, when compressing.
    bool decompressMessage(MessageBuffer& buffer);

    TcpSocket socket_;
    PacketError lastError_ = PacketError::None;
    // Writes (any thread, serialised by the caller) and reads (the session thread) each have
    // their own stream and scratch.
    std::unique_ptr<PacketCompressor> compressor_;
    std::unique_ptr<PacketDecompressor> decompressor_;
    std::vector<std::uint8_t> sendScratch_;
    std::vector<std::uint8_t> receiveScratch_;
};

// A connection whose packets are encrypted behind the length field. Constructed from the plain
// connection, it names the same socket; it never closes it (the Session does, once).
class EncryptedConnection : public Connection {
  public:
    // It does all the reading from the key exchange on, so it may read ahead.
    explicit EncryptedConnection(const Connection& plain)
        : Connection(plain.socket().socketHandle()) {
        socket_.readAhead();
    }

    int readPacket(MessageBuffer& buffer) override;
    int writePacket(MessageBuffer& buffer) override;

    // Keys one context; direction 0 is the receive side, 1 the send side.
    virtual void initCipherContext(CipherContext& context, const std::uint8_t* key,
                                   std::size_t keyLength, int direction) = 0;
    // Keys both contexts with the session key.
    virtual void setSessionKey(const std::uint8_t* key, std::size_t keyLength) = 0;
    // Transform, in place, the bytes from offset 4 of the buffer up to its cursor.
    virtual void encryptPacket(MessageBuffer& buffer) = 0;
    virtual void decryptPacket(MessageBuffer& buffer) = 0;

    // Installs the hook that sees each ciphertext before decryption (not owned; null for none).
    void setInspector(CiphertextInspector* inspector) { inspector_ = inspector; }

  private:
    friend class Connection;
    CiphertextInspector* inspector_ = nullptr;
};

// SSH-1 cipher 3: three-key triple DES, each pass its own CBC chain.
class TripleDesConnection : public EncryptedConnection {
  public:
    using EncryptedConnection::EncryptedConnection;
    void initCipherContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                           int direction) override;
    void setSessionKey(const std::uint8_t* key, std::size_t keyLength) override;
    void encryptPacket(MessageBuffer& buffer) override;
    void decryptPacket(MessageBuffer& buffer) override;
};

// SSH-1 cipher 6: Blowfish-CBC with SSH-1's byte order.
class BlowfishConnection : public EncryptedConnection {
  public:
    using EncryptedConnection::EncryptedConnection;
    void initCipherContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                           int direction) override;
    void setSessionKey(const std::uint8_t* key, std::size_t keyLength) override;
    void encryptPacket(MessageBuffer& buffer) override;
    void decryptPacket(MessageBuffer& buffer) override;
};

// SSH-1 cipher 0: the packets go out as the plain connection would send them.
class NullCipherConnection : public EncryptedConnection {
  public:
    using EncryptedConnection::EncryptedConnection;
    void initCipherContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                           int direction) override;
    void setSessionKey(const std::uint8_t*, std::size_t) override {}
    void encryptPacket(MessageBuffer&) override {}
    void decryptPacket(MessageBuffer&) override {}
};

}  // namespace corvid1
