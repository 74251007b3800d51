#include "packet_channel.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crc32.h"

namespace corvid1::testserver {

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
        int type = body[padding];
        if (!deliverIgnored_ && (type == SSH_MSG_IGNORE || type == SSH_MSG_DEBUG)) continue;
        packet.type = type;
        packet.payload.assign(body.begin() + static_cast<std::ptrdiff_t>(padding) + 1,
                              body.end() - 4);
        return true;
    }
}

Bytes PacketChannel::framePacket(int type, const Bytes& payload, std::uint32_t crcDelta) {
    std::size_t length = 1 + payload.size() + 4;
    std::size_t padding = 8 - length % 8;
    Bytes out(4 + padding);
    storeBigEndian32(out.data(), static_cast<std::uint32_t>(length));
    // Random padding, so a client that reads it as data shows up in the tests.
    randomBytes(out.data() + 4, padding);
    out.push_back(static_cast<std::uint8_t>(type));
    out.insert(out.end(), payload.begin(), payload.end());
    std::uint32_t crc = ssh1Crc32(out.data() + 4, out.size() - 4) + crcDelta;
    out.resize(out.size() + 4);
    storeBigEndian32(out.data() + out.size() - 4, crc);
    if (send_) send_->encrypt(out.data() + 4, out.size() - 4);
    return out;
}

bool PacketChannel::writePacket(int type, const Bytes& payload, std::uint32_t crcDelta) {
    return writeRaw(framePacket(type, payload, crcDelta));
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
