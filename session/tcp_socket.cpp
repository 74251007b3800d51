#include "session/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace corvid1 {
namespace {

using Clock = std::chrono::steady_clock;

// One address to try, in a form connect takes.
struct Target {
    sockaddr_storage address{};
    socklen_t size = 0;
    int family = AF_INET;
};

// The addresses getaddrinfo gives for a name, both families.
std::vector<Target> lookUpName(const std::string& host, std::uint16_t port) {
    std::vector<Target> targets;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return targets;
    for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
        if (each->ai_family != AF_INET && each->ai_family != AF_INET6) continue;
        if (each->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Target target;
        std::memcpy(&target.address, each->ai_addr, each->ai_addrlen);
        target.size = each->ai_addrlen;
        target.family = each->ai_family;
        targets.push_back(target);
    }
    freeaddrinfo(found);
    return targets;
}

// getaddrinfo has no timeout of its own, and a resolver that never answers would hold the
// connect (and the window, whose thread connects) for as long as the system's resolver retries.
// The lookup runs on a thread of its own that shares its result through a reference-counted
// state, so giving up at the deadline simply leaves the thread to finish into a state nobody
// reads any more.
struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::vector<Target> targets;
};

bool lookUpNameBy(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                  std::vector<Target>& targets) {
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port] {
            std::vector<Target> found = lookUpName(host, port);
            const std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->targets = std::move(found);
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: look up here, unbounded, rather than not at all.
        targets = lookUpName(host, port);
        return true;
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    if (!lookup->finished.wait_until(hold, deadline, [&] { return lookup->done; })) return false;
    targets = std::move(lookup->targets);
    return true;
}

// A text that starts with a digit 1-9 is an address and is never looked up: a dotted IPv4
// address, or else a numeric IPv6 address (most of those start with a digit too, and no host
// name would be tried for them anyway). A digit-led text that is neither fails instead of
// becoming the broadcast address, which a bare inet_addr error value would silently turn into.
// Anything else ("::1", names) goes to getaddrinfo for both families, within the deadline.
std::vector<Target> resolveHost(const char* host, std::uint16_t port, Clock::time_point deadline,
                                std::string& failure) {
    std::vector<Target> targets;
    if (host == nullptr || host[0] == '\0') {
        failure = "no host name";
        return targets;
    }
    if (host[0] >= '1' && host[0] <= '9') {
        Target target;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&target.address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&target.address);
        if (inet_aton(host, &v4->sin_addr) != 0) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            target.size = sizeof *v4;
        } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            target.size = sizeof *v6;
            target.family = AF_INET6;
        } else {
            failure = "not a valid address";
            return targets;
        }
        targets.push_back(target);
        return targets;
    }
    if (!lookUpNameBy(host, port, deadline, targets)) {
        failure = "the name lookup timed out";
    } else if (targets.empty()) {
        failure = "the name could not be resolved";
    }
    return targets;
}

// Waits for a non-blocking connect to finish; true when it succeeded before the deadline,
// else false with the reason in `error`.
bool awaitConnect(int fd, Clock::time_point deadline, int& error) {
    for (;;) {
        error = ETIMEDOUT;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        if (ready < 0) {
            error = errno;
            return false;
        }
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        return error == 0;
    }
}

// One attempt; the connected blocking socket, or -1 with nothing left open and the reason in
// `error`.
int connectTo(const Target& target, Clock::time_point deadline, int& error) {
    const int fd = socket(target.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&target.address), target.size) == 0;
    error = connected ? 0 : errno;
    if (!connected && (error == EINPROGRESS || error == EINTR)) {
        connected = awaitConnect(fd, deadline, error);
    }
    // Back to blocking: the session thread's reads wait for the server.
    if (connected) {
        const int flags = fcntl(fd, F_GETFL);
        connected = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    if (!connected) {
        close(fd);
        return -1;
    }
    // Every write is a whole packet: a keystroke, a window size, the end of the login. Nagle's
    // algorithm would hold each small one until the last is acknowledged, and with delayed
    // acknowledgements that is tens of milliseconds of echo lag. Failure only costs that delay.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

int TcpSocket::openConnection(const char* host, std::uint16_t port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    failure_.clear();
    const std::vector<Target> targets = resolveHost(host, port, deadline, failure_);
    if (targets.empty()) return -1;
    // The addresses share the one bounded time. Each gets an equal part of what is left, so an
    // address that never answers cannot use up the time of the ones after it; one that fails
    // at once hands its part on.
    int error = ETIMEDOUT;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto share = (deadline - now) / static_cast<long>(targets.size() - i);
        const int fd = connectTo(targets[i], now + share, error);
        if (fd >= 0) {
            handle_ = fd;
            return 1;
        }
    }
    failure_ = error == ETIMEDOUT ? "the connection timed out"
                                : std::system_category().message(error);
    return -1;
}

void TcpSocket::shutdownAndClose() {
    if (handle_ < 0) return;
    shutdown(handle_, SHUT_RDWR);
    close(handle_);
    handle_ = -1;
}

void TcpSocket::shutdownOnly() const {
    if (handle_ >= 0) shutdown(handle_, SHUT_RDWR);
}

int TcpSocket::sendBytes(const void* data, std::size_t length) const {
    if (handle_ < 0) return -1;
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = send(handle_, bytes, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return 0;
}

int TcpSocket::sendText(const char* text) const {
    return sendBytes(text, std::strlen(text));
}

void TcpSocket::readAhead() {
    if (!ahead_) ahead_ = std::make_unique<std::uint8_t[]>(readAheadSize);
}

int TcpSocket::receiveExactly(void* buffer, std::size_t length) const {
    if (handle_ < 0) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t received = 0;
    if (ahead_) {
        for (;;) {
            const std::size_t take = std::min(length - received, aheadEnd_ - aheadStart_);
            std::memcpy(bytes + received, ahead_.get() + aheadStart_, take);
            aheadStart_ += take;
            received += take;
            // A large remainder goes straight to its place; a small one refills the buffer.
            if (received == length || length - received >= readAheadSize) break;
            const ssize_t got = recv(handle_, ahead_.get(), readAheadSize, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return -1;
            aheadStart_ = 0;
            aheadEnd_ = static_cast<std::size_t>(got);
        }
    }
    while (received < length) {
        const ssize_t got = recv(handle_, bytes + received, length - received, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        received += static_cast<std::size_t>(got);
    }
    return static_cast<int>(received);
}

std::string TcpSocket::readLine(bool* streamFailed) const {
    char line[lineBufferSize];
    if (streamFailed) *streamFailed = false;
    for (std::size_t stored = 0; stored < lineBufferSize; ++stored) {
        if (receiveExactly(&line[stored], 1) != 1) {
            if (streamFailed) *streamFailed = true;
            return {};
        }
        if (line[stored] == '\n') return std::string(line, stored + 1);
    }
    return {};
}

}  // namespace corvid1
