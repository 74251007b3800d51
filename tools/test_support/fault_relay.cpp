#include "fault_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace corvid1::testserver {
namespace {

constexpr std::size_t keptForDuplicate = 64;
// Every wait polls this often for the owner's stop.
constexpr int pollMs = 50;

const char* kindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::None:
            return "none";
        case FaultKind::FlipBit:
            return "flip bit";
        case FaultKind::Truncate:
            return "truncate";
        case FaultKind::Junk:
            return "junk";
        case FaultKind::Duplicate:
            return "duplicate";
        case FaultKind::Stall:
            return "stall";
    }
    return "?";
}

bool sendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

void closeFd(int& fd) {
    if (fd < 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
    fd = -1;
}

}  // namespace

std::string describe(const Fault& fault) {
    std::string text = kindName(fault.kind);
    if (fault.kind == FaultKind::FlipBit) text += " " + std::to_string(fault.bit);
    if (fault.kind == FaultKind::Junk || fault.kind == FaultKind::Duplicate)
        text += " of " + std::to_string(fault.length);
    if (fault.kind == FaultKind::Stall)
        text += " for " + std::to_string(fault.stall.count()) + " ms";
    text += " at byte " + std::to_string(fault.offset);
    text += fault.direction == Direction::ToClient ? " to the client" : " to the server";
    return text;
}

FaultRelay::FaultRelay(int targetPort, Fault fault, std::uint64_t seed)
    : targetPort_(targetPort), fault_(fault), random_(seed | 1) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        closeFd(listener_);
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

FaultRelay::~FaultRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeFd(listener_);
}

void FaultRelay::run() {
    pollfd waiting{listener_, POLLIN, 0};
    while (!stop_ && poll(&waiting, 1, pollMs) <= 0) {
    }
    if (!stop_) client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ >= 0) {
        server_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(static_cast<std::uint16_t>(targetPort_));
        if (connect(server_, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0)
            closeFd(server_);
    }
    // A peer that stops reading must not hold the relay (and the test) for ever.
    const timeval sendLimit{5, 0};
    for (int fd : {client_, server_})
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    while (!stop_ && client_ >= 0 && server_ >= 0) {
        pollfd fds[2] = {{server_, POLLIN, 0}, {client_, POLLIN, 0}};
        if (poll(fds, 2, pollMs) <= 0) continue;
        if (fds[0].revents != 0 && !relay(server_, client_, Direction::ToClient)) break;
        if (fds[1].revents != 0 && !relay(client_, server_, Direction::ToServer)) break;
    }
    closeFd(client_);
    closeFd(server_);
}

bool FaultRelay::relay(int from, int to, Direction direction) {
    char buffer[16384];
    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) return false;
    const std::size_t n = static_cast<std::size_t>(got);
    const int way = direction == Direction::ToClient ? 0 : 1;
    std::string& recent = recent_[way];
    const std::size_t start = counted_[way];
    counted_[way] += n;
    auto remember = [&recent](const char* data, std::size_t count) {
        recent.append(data, count);
        if (recent.size() > keptForDuplicate) recent.erase(0, recent.size() - keptForDuplicate);
    };

    const bool strikesHere = fault_.kind != FaultKind::None && !struck_ &&
                             fault_.direction == direction && fault_.offset >= start &&
                             fault_.offset < start + n;
    if (!strikesHere) {
        remember(buffer, n);
        return sendAll(to, buffer, n);
    }
    struck_ = true;
    const std::size_t before = fault_.offset - start;
    switch (fault_.kind) {
        case FaultKind::FlipBit:
            buffer[before] = static_cast<char>(buffer[before] ^ (1 << (fault_.bit & 7)));
            remember(buffer, n);
            return sendAll(to, buffer, n);
        case FaultKind::Truncate:
            sendAll(to, buffer, before);
            return false;
        case FaultKind::Junk: {
            std::string junk(std::min(fault_.length, keptForDuplicate), '\0');
            for (char& c : junk) {
                random_ ^= random_ << 13;
                random_ ^= random_ >> 7;
                random_ ^= random_ << 17;
                c = static_cast<char>(random_);
            }
            return sendAll(to, buffer, before) && sendAll(to, junk.data(), junk.size()) &&
                   sendAll(to, buffer + before, n - before);
        }
        case FaultKind::Duplicate: {
            remember(buffer, before);
            const std::string again =
                recent.substr(recent.size() - std::min(recent.size(), fault_.length));
            remember(buffer + before, n - before);
            return sendAll(to, buffer, before) && sendAll(to, again.data(), again.size()) &&
                   sendAll(to, buffer + before, n - before);
        }
        case FaultKind::Stall: {
            sendAll(to, buffer, before);
            const auto until = std::chrono::steady_clock::now() + fault_.stall;
            while (!stop_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
            return false;
        }
        case FaultKind::None:
            break;
    }
    return sendAll(to, buffer, n);
}

}  // namespace corvid1::testserver
