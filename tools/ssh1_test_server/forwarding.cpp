#include "forwarding.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "server_connection.h"

namespace corvid1::testserver {

namespace {

constexpr std::size_t kReadChunk = 16384;
// Queued for slow targets beyond this, the client is not read until they drain.
constexpr std::size_t kMaxQueued = 4 * 1024 * 1024;

// A blocking connect to the first address of `host` that takes it; -1 when none does.
int connectTo(const std::string& host, std::uint32_t port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (port == 0 || port > 65535 ||
        getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Listens on 127.0.0.1:port; -1 when it cannot.
int listenLocal(std::uint32_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ServerForwarding::~ServerForwarding() {
    if (!xauthFile_.empty()) unlink(xauthFile_.c_str());
    for (auto& [id, ch] : channels_)
        if (ch.fd >= 0) close(ch.fd);
    for (Listener& l : listeners_) close(l.fd);
}

bool ServerForwarding::isChannelMessage(int type) {
    return (type >= SSH_MSG_CHANNEL_OPEN_CONFIRMATION &&
            type <= SSH_MSG_CHANNEL_CLOSE_CONFIRMATION) ||
           type == SSH_MSG_PORT_OPEN;
}

bool ServerForwarding::requestRemote(const Packet& packet) {
    Reader r(packet.payload);
    const std::uint32_t listenPort = r.u32();
    Listener l{-1, r.string(), r.u32()};
    if (!r.failed() && listenPort > 0 && listenPort < 65536) l.fd = listenLocal(listenPort);
    c_.record(std::string("REMOTE_FORWARD ") + std::to_string(listenPort) + " " +
              (l.fd >= 0 ? "granted" : "refused"));
    if (l.fd >= 0) listeners_.push_back(l);
    return c_.send(l.fd >= 0 ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE, {});
}

bool ServerForwarding::requestX11(const Packet& packet) {
    Reader r(packet.payload);
    const std::string protocol = r.string();
    const std::string cookie = r.string();
    // A screen number may follow, from clients that were told they may send one; never here.
    // Both texts go to xauth through a shell: only a protocol name and hex digits pass.
    const bool sane =
        std::all_of(
            protocol.begin(), protocol.end(),
            [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-'; }) &&
        std::all_of(cookie.begin(), cookie.end(),
                    [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)) != 0; });
    int fd = -1;
    for (int n = 10; sane && !r.failed() && x11Display_ < 0 && fd < 0 && n < 200; ++n) {
        fd = listenLocal(6000 + static_cast<std::uint32_t>(n));
        if (fd >= 0) x11Display_ = n;
    }
    if (fd >= 0) {
        listeners_.push_back({fd, "", 0, true});
        char path[] = "/tmp/corvid1-xauth-XXXXXX";
        const int file = mkstemp(path);
        if (file >= 0) {
            close(file);
            xauthFile_ = path;
            const std::string command =
                "xauth -f " + xauthFile_ + " add unix:" + std::to_string(x11Display_) + " '" +
                escapeText(protocol) + "' '" + escapeText(cookie) + "' >/dev/null 2>&1";
            if (system(command.c_str()) != 0) logLine("xauth could not store the X11 cookie");
        }
    }
    c_.record("X11_REQUEST " + escapeText(protocol) + " " + escapeText(cookie) + " " +
              (fd >= 0 ? "display=" + std::to_string(x11Display_) : "refused"));
    return c_.send(fd >= 0 ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE, {});
}

void ServerForwarding::exportEnvironment() const {
    if (x11Display_ < 0) return;
    setenv("DISPLAY", ("localhost:" + std::to_string(x11Display_) + ".0").c_str(), 1);
    if (!xauthFile_.empty()) setenv("XAUTHORITY", xauthFile_.c_str(), 1);
}

bool ServerForwarding::sendIds(int type, std::uint32_t first) {
    Writer w;
    w.u32(first);
    return c_.send(type, w.bytes());
}

bool ServerForwarding::sendIds(int type, std::uint32_t first, std::uint32_t second) {
    Writer w;
    w.u32(first);
    w.u32(second);
    return c_.send(type, w.bytes());
}

bool ServerForwarding::portOpen(Reader& r) {
    const std::uint32_t clientId = r.u32();
    const std::string host = r.string();
    const std::uint32_t port = r.u32();
    // An originator string may follow; this server announced no use for it.
    if (r.failed()) return false;
    const int fd = connectTo(host, port);
    c_.record("PORT_OPEN " + host + ":" + std::to_string(port) + (fd >= 0 ? " open" : " refused"));
    if (fd < 0) return sendIds(SSH_MSG_CHANNEL_OPEN_FAILURE, clientId);
    const std::uint32_t id = nextId_++;
    Channel& ch = channels_[id];
    ch.clientId = clientId;
    ch.fd = fd;
    ch.open = true;
    return sendIds(SSH_MSG_CHANNEL_OPEN_CONFIRMATION, clientId, id);
}

bool ServerForwarding::clientMessage(const Packet& packet) {
    Reader r(packet.payload);
    if (packet.type == SSH_MSG_PORT_OPEN) return portOpen(r);
    const std::uint32_t id = r.u32();
    auto found = channels_.find(id);
    if (r.failed() || found == channels_.end()) {
        c_.record("BAD_CHANNEL " + std::to_string(packet.type) + " " + std::to_string(id));
        return true;
    }
    Channel& ch = found->second;
    switch (packet.type) {
        case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
            ch.clientId = r.u32();
            ch.open = true;
            break;
        case SSH_MSG_CHANNEL_OPEN_FAILURE:
            close(ch.fd);
            channels_.erase(found);
            return true;
        case SSH_MSG_CHANNEL_DATA:
            if (!ch.sentConfirm) ch.queue += r.string();
            break;
        case SSH_MSG_CHANNEL_CLOSE:
            ch.receivedClose = true;
            break;
        case SSH_MSG_CHANNEL_CLOSE_CONFIRMATION:
            ch.receivedConfirm = true;
            if (!ch.sentClose && !sendClose(ch)) return false;
            break;
        default:
            break;
    }
    return settle();
}

void ServerForwarding::addPollFds(std::vector<pollfd>& fds) const {
    for (const Listener& l : listeners_) fds.push_back({l.fd, POLLIN, 0});
    for (const auto& [id, ch] : channels_) {
        short events = 0;
        if (ch.open && !ch.readDone) events |= POLLIN;
        if (ch.fd >= 0 && !ch.queue.empty()) events |= POLLOUT;
        fds.push_back({events != 0 ? ch.fd : -1, events, 0});
    }
}

bool ServerForwarding::onPoll(const std::vector<pollfd>& fds, std::size_t slot) {
    // The table only grows inside this pass (accepts); the slots match what addPollFds saw.
    std::vector<std::uint32_t> ids;
    for (const auto& [id, ch] : channels_) ids.push_back(id);
    const std::vector<Listener> listeners = listeners_;
    for (const Listener& l : listeners) {
        if (slot < fds.size() && fds[slot].revents != 0 && !accept(l)) return false;
        ++slot;
    }
    for (std::uint32_t id : ids) {
        if (slot >= fds.size()) break;
        const pollfd& p = fds[slot++];
        if (p.revents == 0) continue;
        Channel& ch = channels_[id];
        if ((p.events & POLLOUT) && !writeTarget(ch)) return false;
        if ((p.events & POLLIN) && !ch.readDone && !readTarget(id, ch)) return false;
    }
    return settle();
}

bool ServerForwarding::accept(const Listener& l) {
    const int fd = accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return true;
    const std::uint32_t id = nextId_++;
    channels_[id].fd = fd;
    Writer w;
    w.u32(id);
    if (l.x11) return c_.send(SSH_SMSG_X11_OPEN, w.bytes());
    w.string(l.host);
    w.u32(l.port);
    return c_.send(SSH_MSG_PORT_OPEN, w.bytes());
}

bool ServerForwarding::readTarget(std::uint32_t id, Channel& ch) {
    (void)id;
    char buffer[kReadChunk];
    const ssize_t n = read(ch.fd, buffer, sizeof buffer);
    if (n > 0) {
        Writer w;
        w.u32(ch.clientId);
        w.string(buffer, static_cast<std::size_t>(n));
        return c_.send(SSH_MSG_CHANNEL_DATA, w.bytes());
    }
    if (n == 0) return sendClose(ch);
    if (errno == EAGAIN || errno == EINTR) return true;
    return abandon(ch);
}

bool ServerForwarding::writeTarget(Channel& ch) {
    while (!ch.queue.empty()) {
        const ssize_t n = send(ch.fd, ch.queue.data(), ch.queue.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return abandon(ch);
        ch.queue.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

bool ServerForwarding::sendClose(Channel& ch) {
    ch.sentClose = ch.readDone = true;
    return sendIds(SSH_MSG_CHANNEL_CLOSE, ch.clientId);
}

bool ServerForwarding::abandon(Channel& ch) {
    if (ch.fd >= 0) close(ch.fd);
    ch.fd = -1;
    ch.queue.clear();
    ch.readDone = ch.writeShut = true;
    if (!ch.sentClose && !sendClose(ch)) return false;
    if (ch.sentConfirm) return true;
    ch.sentConfirm = true;
    return sendIds(SSH_MSG_CHANNEL_CLOSE_CONFIRMATION, ch.clientId);
}

bool ServerForwarding::settle() {
    for (auto it = channels_.begin(); it != channels_.end();) {
        Channel& ch = it->second;
        if (ch.receivedClose && !ch.writeShut && ch.queue.empty()) {
            shutdown(ch.fd, SHUT_WR);
            ch.writeShut = ch.sentConfirm = true;
            if (!sendIds(SSH_MSG_CHANNEL_CLOSE_CONFIRMATION, ch.clientId)) return false;
        }
        if (ch.sentClose && ch.receivedClose && ch.sentConfirm && ch.receivedConfirm) {
            if (ch.fd >= 0) close(ch.fd);
            it = channels_.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

bool ServerForwarding::paused() const {
    std::size_t queued = 0;
    for (const auto& [id, ch] : channels_) queued += ch.queue.size();
    return queued > kMaxQueued;
}

}  // namespace corvid1::testserver
