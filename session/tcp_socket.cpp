#include "session/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace corvid1 {
namespace {

// A text that starts with a digit 1-9 is an address and is never looked up; anything else is a
// host name. A digit-led text that is not a valid address fails instead of becoming the
// broadcast address, which is what a bare inet_addr error value would silently turn into.
bool resolveHost(const char* host, in_addr& address) {
    if (host == nullptr || host[0] == '\0') return false;
    if (host[0] >= '1' && host[0] <= '9') return inet_aton(host, &address) != 0;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Waits for a non-blocking connect to finish; true when it succeeded in time.
bool awaitConnect(int fd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
        return error == 0;
    }
}

}  // namespace

int TcpSocket::openConnection(const char* host, std::uint16_t port, int timeoutMs) {
    in_addr address{};
    if (!resolveHost(host, address)) return -1;

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr = address;

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        connected = awaitConnect(fd, timeoutMs);
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
    handle_ = fd;
    return 1;
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

int TcpSocket::receiveExactly(void* buffer, std::size_t length) const {
    if (handle_ < 0) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t received = 0;
    while (received < length) {
        const ssize_t got = recv(handle_, bytes + received, length - received, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        received += static_cast<std::size_t>(got);
    }
    return static_cast<int>(received);
}

std::string TcpSocket::readLine() const {
    char line[lineBufferSize];
    for (std::size_t stored = 0; stored < lineBufferSize; ++stored) {
        if (receiveExactly(&line[stored], 1) != 1) return {};
        if (line[stored] == '\n') return std::string(line, stored + 1);
    }
    return {};
}

}  // namespace corvid1
