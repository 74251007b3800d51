// SSH-1 binary packets over one socket: framing, check value, cipher, and bounded reads with
// a timeout. Used by the server's protocol code; also by its tests as a minimal client side.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ssh1_cipher.h"
#include "wire.h"

namespace corvid1::testserver {

// SSH-1 message numbers.
enum MessageType : int {
    SSH_MSG_DISCONNECT = 1,
    SSH_SMSG_PUBLIC_KEY = 2,
    SSH_CMSG_SESSION_KEY = 3,
    SSH_CMSG_USER = 4,
    SSH_CMSG_AUTH_PASSWORD = 9,
    SSH_CMSG_REQUEST_PTY = 10,
    SSH_CMSG_WINDOW_SIZE = 11,
    SSH_CMSG_EXEC_SHELL = 12,
    SSH_CMSG_EXEC_CMD = 13,
    SSH_SMSG_SUCCESS = 14,
    SSH_SMSG_FAILURE = 15,
    SSH_CMSG_STDIN_DATA = 16,
    SSH_SMSG_STDOUT_DATA = 17,
    SSH_SMSG_STDERR_DATA = 18,
    SSH_CMSG_EOF = 19,
    SSH_SMSG_EXITSTATUS = 20,
    SSH_MSG_IGNORE = 32,
    SSH_CMSG_EXIT_CONFIRMATION = 33,
    SSH_MSG_DEBUG = 36,
    SSH_CMSG_REQUEST_COMPRESSION = 37,
};

// The largest length field accepted (type, payload and check value).
constexpr std::uint32_t kMaxPacketLength = 256 * 1024;

struct Packet {
    int type = -1;
    Bytes payload;
};

struct ZlibStreams;

class PacketChannel {
  public:
    // Does not own `fd`. `timeoutMs` bounds every wait for the peer.
    PacketChannel(int fd, int timeoutMs);
    ~PacketChannel();
    PacketChannel(const PacketChannel&) = delete;
    PacketChannel& operator=(const PacketChannel&) = delete;

    // SSH-1 compression from the next packet on, both ways: each packet's type and payload
    // through one zlib stream per direction, flushed with Z_PARTIAL_FLUSH. False if zlib
    // would not start.
    bool startCompression(int level);
    // Called with the type and payload length of every IGNORE and DEBUG packet passed over.
    void onSkipped(std::function<void(int, std::size_t)> hook) { onSkipped_ = std::move(hook); }

    int fd() const { return fd_; }
    void setTimeout(int ms) { timeoutMs_ = ms; }
    // Tests that check the interleaving want IGNORE and DEBUG packets too.
    void setDeliverIgnored(bool on) { deliverIgnored_ = on; }
    void setCiphers(std::unique_ptr<PacketCipher> send, std::unique_ptr<PacketCipher> receive);

    // Reads the next packet that is neither IGNORE nor DEBUG. Returns false when the stream
    // ends, times out or carries a malformed packet; `error()` then says which.
    bool readPacket(Packet& packet);
    // Framed, encrypted and sent. `crcDelta` is added to the check value (0 for a sound one).
    bool writePacket(int type, const Bytes& payload, std::uint32_t crcDelta = 0);
    Bytes framePacket(int type, const Bytes& payload, std::uint32_t crcDelta = 0);
    // A packet whose payload is the one string `text`, framed straight from it: bulk output
    // goes through here without copies of its own.
    bool writeStringPacket(int type, std::string_view text);
    // String packets of `type` with the texts `next` gives, until it returns false. They go out
    // a quarter of a megabyte per send: one system call per 16 KiB packet cost bulk output a
    // tenth of its speed.
    bool writeStringStream(int type, const std::function<bool(std::string_view&)>& next);
    bool writeRaw(const std::uint8_t* data, std::size_t length);
    bool writeRaw(const Bytes& b) { return writeRaw(b.data(), b.size()); }

    // Reads one line (through "\n", at most `max` bytes) byte by byte, so nothing after it is
    // consumed. The line end ("\n" or "\r\n") is removed.
    bool readLine(std::string& line, std::size_t max);
    // Exactly `length` bytes, waiting at most the timeout for each part.
    bool readExactly(std::uint8_t* out, std::size_t length);

    const std::string& error() const { return error_; }
    bool peerClosed() const { return peerClosed_; }

  private:
    // Appends one framed and (once keyed) encrypted packet to `out`: the payload is `head`
    // followed by `body`.
    void frameInto(Bytes& out, int type, const std::uint8_t* head, std::size_t headLength,
                   const std::uint8_t* body, std::size_t bodyLength, std::uint32_t crcDelta);
    void frameString(Bytes& out, int type, std::string_view text);
    // Frames `length` bytes as they are (already compressed) behind the length and padding.
    void frameContent(Bytes& out, const std::uint8_t* content, std::size_t length,
                      std::uint32_t crcDelta);

    int fd_;
    int timeoutMs_;
    std::unique_ptr<PacketCipher> send_;
    std::unique_ptr<PacketCipher> receive_;
    std::string error_;
    bool peerClosed_ = false;
    bool deliverIgnored_ = false;
    Bytes frame_;  // reused by every write, so a stream of packets allocates once
    std::unique_ptr<ZlibStreams> zlib_;
    std::function<void(int, std::size_t)> onSkipped_;
};

void randomBytes(std::uint8_t* out, std::size_t length);

}  // namespace corvid1::testserver
