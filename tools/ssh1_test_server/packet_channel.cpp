#include "packet_channel.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "crc32.h"

namespace corvid1::testserver {

struct ZlibStreams {
    z_stream out{};
    z_stream in{};
    bool outReady = false;
    bool inReady = false;
    Bytes plain;
    Bytes packed;
    ~ZlibStreams() {
        if (outReady) deflateEnd(&out);
        if (inReady) inflateEnd(&in);
    }
};

PacketChannel::PacketChannel(int fd, int timeoutMs) : fd_(fd), timeoutMs_(timeoutMs) {}

PacketChannel::~PacketChannel() = default;

bool PacketChannel::startCompression(int level) {
    auto streams = std::make_unique<ZlibStreams>();
    streams->outReady = deflateInit(&streams->out, level) == Z_OK;
    streams->inReady = inflateInit(&streams->in) == Z_OK;
    if (!streams->outReady || !streams->inReady) return false;
    zlib_ = std::move(streams);
    return true;
}

namespace {

// Runs all of `data` through `z` with the flush SSH-1 asks for; the output replaces `out`.
// `limit` bounds inflated output; false on a zlib error or output past the limit.
bool runZlib(z_stream& z, bool deflating, const std::uint8_t* data, std::size_t length, Bytes& out,
             std::size_t limit) {
    out.clear();
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(length);
    for (;;) {
        const std::size_t used = out.size();
        const std::size_t room = std::max<std::size_t>(length + 64, 16384);
        out.resize(used + room);
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(room);
        const int status = deflating ? deflate(&z, Z_PARTIAL_FLUSH) : inflate(&z, Z_SYNC_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status != Z_OK && status != Z_BUF_ERROR) return false;
        if (out.size() > limit) return false;
        if (z.avail_in == 0 && z.avail_out != 0) return true;
    }
}

}  // namespace

void randomBytes(std::uint8_t* out, std::size_t length) {
    while (length > 0) {
        ssize_t n = getrandom(out, length, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        out += n;
        length -= static_cast<std::size_t>(n);
    }
}

void PacketChannel::setCiphers(std::unique_ptr<PacketCipher> send,
                               std::unique_ptr<PacketCipher> receive) {
    send_ = std::move(send);
    receive_ = std::move(receive);
}

bool PacketChannel::readExactly(std::uint8_t* out, std::size_t length) {
    while (length > 0) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, timeoutMs_);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            error_ = "timeout";
            return false;
        }
        ssize_t n = recv(fd_, out, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            peerClosed_ = true;
            error_ = "client-closed";
            return false;
        }
        if (n < 0) {
            error_ = std::string("receive failed: ") + std::strerror(errno);
            return false;
        }
        out += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool PacketChannel::readLine(std::string& line, std::size_t max) {
    line.clear();
    for (;;) {
        std::uint8_t c;
        if (!readExactly(&c, 1)) return false;
        if (c == '\n') break;
        if (line.size() >= max) {
            error_ = "version line too long";
            return false;
        }
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool PacketChannel::readPacket(Packet& packet) {
    for (;;) {
        std::uint8_t head[4];
        if (!readExactly(head, 4)) return false;
        std::uint32_t length = loadBigEndian32(head);
        if (length < 5 || length > kMaxPacketLength) {
            error_ = "packet length " + std::to_string(length) + " out of bounds";
            return false;
        }
        std::size_t padding = 8 - length % 8;
        Bytes body(length + padding);
        if (!readExactly(body.data(), body.size())) return false;
        if (receive_) receive_->decrypt(body.data(), body.size());
        std::uint32_t sent = loadBigEndian32(body.data() + body.size() - 4);
        if (ssh1Crc32(body.data(), body.size() - 4) != sent) {
            error_ = "bad check value";
            return false;
        }
        const std::uint8_t* content = body.data() + padding;
        std::size_t contentLength = body.size() - padding - 4;
        if (zlib_) {
            if (!runZlib(zlib_->in, false, content, contentLength, zlib_->plain,
                         kMaxPacketLength) ||
                zlib_->plain.empty()) {
                error_ = "bad compressed packet";
                return false;
            }
            content = zlib_->plain.data();
            contentLength = zlib_->plain.size();
        }
        int type = content[0];
        if (type == SSH_MSG_IGNORE || type == SSH_MSG_DEBUG) {
            if (onSkipped_) onSkipped_(type, contentLength - 1);
            if (!deliverIgnored_) continue;
        }
        packet.type = type;
        packet.payload.assign(content + 1, content + contentLength);
        return true;
    }
}

void PacketChannel::frameContent(Bytes& out, const std::uint8_t* content, std::size_t length,
                                 std::uint32_t crcDelta) {
    const std::size_t packetLength = length + 4;
    const std::size_t padding = 8 - packetLength % 8;
    const std::size_t start = out.size();
    out.resize(start + 4 + padding + packetLength);
    std::uint8_t* const frame = out.data() + start;
    storeBigEndian32(frame, static_cast<std::uint32_t>(packetLength));
    randomBytes(frame + 4, padding);
    std::memcpy(frame + 4 + padding, content, length);
    storeBigEndian32(frame + 4 + padding + length,
                     ssh1Crc32(frame + 4, padding + length) + crcDelta);
    if (send_) send_->encrypt(frame + 4, padding + packetLength);
}

void PacketChannel::frameInto(Bytes& out, int type, const std::uint8_t* head,
                              std::size_t headLength, const std::uint8_t* body,
                              std::size_t bodyLength, std::uint32_t crcDelta) {
    if (zlib_) {
        Bytes& plain = zlib_->plain;
        plain.assign(1, static_cast<std::uint8_t>(type));
        plain.insert(plain.end(), head, head + headLength);
        plain.insert(plain.end(), body, body + bodyLength);
        runZlib(zlib_->out, true, plain.data(), plain.size(), zlib_->packed, SIZE_MAX);
        frameContent(out, zlib_->packed.data(), zlib_->packed.size(), crcDelta);
        return;
    }
    std::size_t length = 1 + headLength + bodyLength + 4;
    std::size_t padding = 8 - length % 8;
    const std::size_t start = out.size();
    out.resize(start + 4 + padding + length);
    std::uint8_t* const frame = out.data() + start;
    std::uint8_t* p = frame;
    storeBigEndian32(p, static_cast<std::uint32_t>(length));
    // Random padding, so a client that reads it as data shows up in the tests.
    randomBytes(p + 4, padding);
    p += 4 + padding;
    *p++ = static_cast<std::uint8_t>(type);
    if (headLength > 0) std::memcpy(p, head, headLength);
    p += headLength;
    if (bodyLength > 0) std::memcpy(p, body, bodyLength);
    p += bodyLength;
    std::uint32_t crc = ssh1Crc32(frame + 4, padding + 1 + headLength + bodyLength) + crcDelta;
    storeBigEndian32(p, crc);
    if (send_) send_->encrypt(frame + 4, padding + length);
}

Bytes PacketChannel::framePacket(int type, const Bytes& payload, std::uint32_t crcDelta) {
    Bytes out;
    frameInto(out, type, nullptr, 0, payload.data(), payload.size(), crcDelta);
    return out;
}

bool PacketChannel::writePacket(int type, const Bytes& payload, std::uint32_t crcDelta) {
    frame_.clear();
    frameInto(frame_, type, nullptr, 0, payload.data(), payload.size(), crcDelta);
    return writeRaw(frame_);
}

// Appends a packet whose payload is the one string `text`.
void PacketChannel::frameString(Bytes& out, int type, std::string_view text) {
    std::uint8_t length[4];
    storeBigEndian32(length, static_cast<std::uint32_t>(text.size()));
    frameInto(out, type, length, sizeof length, reinterpret_cast<const std::uint8_t*>(text.data()),
              text.size(), 0);
}

bool PacketChannel::writeStringPacket(int type, std::string_view text) {
    frame_.clear();
    frameString(frame_, type, text);
    return writeRaw(frame_);
}

bool PacketChannel::writeStringStream(int type,
                                      const std::function<bool(std::string_view&)>& next) {
    constexpr std::size_t kBatch = 256 * 1024;
    std::string_view text;
    bool more = true;
    while (more) {
        frame_.clear();
        while (frame_.size() < kBatch && (more = next(text))) frameString(frame_, type, text);
        if (!frame_.empty() && !writeRaw(frame_)) return false;
    }
    return true;
}

bool PacketChannel::writeRaw(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        pollfd p{fd_, POLLOUT, 0};
        int ready = poll(&p, 1, timeoutMs_);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            error_ = "timeout while sending";
            return false;
        }
        ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace corvid1::testserver
