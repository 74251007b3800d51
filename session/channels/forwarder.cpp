#include "session/channels/forwarder.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "session/channels/channel_messages.h"

namespace corvid1 {
namespace {

// One read from a local socket; one data packet to the server.
constexpr std::size_t readChunk = 32768;

std::string errorText(int error) {
    return std::strerror(error);
}

const char* messageName(int type) {
    switch (type) {
        case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
            return "an open confirmation";
        case SSH_MSG_CHANNEL_OPEN_FAILURE:
            return "an open failure";
        case SSH_MSG_CHANNEL_DATA:
            return "data";
        case SSH_MSG_CHANNEL_CLOSE:
            return "a close";
        default:
            return "a close confirmation";
    }
}

std::string targetText(const std::string& host, std::uint16_t port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

}  // namespace

struct Forwarder::Channel {
    enum class State {
        Opening,     // we sent SSH_MSG_PORT_OPEN and wait for the server's answer
        Connecting,  // the server opened it; we connect to the local target
        Open,
    };
    State state = State::Opening;
    std::uint32_t id = 0;
    std::uint32_t remoteId = 0;
    int fd = -1;
    std::string target;  // host:port, for the status lines
    // Where a channel the server opened connects: the addresses still to try.
    std::string host;
    std::uint16_t port = 0;
    bool resolved = false;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> addressLengths;
    std::size_t nextAddress = 0;
    // Data from the server on its way to the local socket.
    std::string queue;
    std::size_t head = 0;
    bool readDone = false;    // the local socket's input has ended (or is no longer wanted)
    bool writeShut = false;   // the local socket's output has been shut
    bool abandoned = false;   // the local socket is dead or given up: close it, refuse the rest
    bool x11Pending = false;  // an X11 channel whose setup request has not been checked yet
    bool dead = false;        // never opened: goes without a word to the server
    bool sentClose = false, receivedClose = false;
    bool sentConfirm = false, receivedConfirm = false;

    std::size_t queued() const { return queue.size() - head; }
    bool finished() const {
        return dead || (sentClose && receivedClose && sentConfirm && receivedConfirm);
    }
};

Forwarder::Forwarder(PacketSink send, StatusSink status, std::size_t queueLimit)
    : send_(std::move(send)), status_(std::move(status)), queueLimit_(queueLimit) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = pipeFds[0];
        wakeWrite_ = pipeFds[1];
    }
}

Forwarder::~Forwarder() {
    stop();
    for (auto& [id, channel] : channels_)
        if (channel->fd >= 0) close(channel->fd);
    for (Listener& listener : listeners_) close(listener.fd);
    if (wakeRead_ >= 0) close(wakeRead_);
    if (wakeWrite_ >= 0) close(wakeWrite_);
}

bool Forwarder::listen(const PortForward& rule) {
    const std::string bind = rule.bindAddress.empty() ? "127.0.0.1" : rule.bindAddress;
    const std::string where = targetText(bind, rule.listenPort);
    const std::string to = targetText(rule.host, rule.hostPort);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(bind == "*" ? nullptr : bind.c_str(),
                                   std::to_string(rule.listenPort).c_str(), &hints, &found);
    std::string why = lookup != 0 ? gai_strerror(lookup) : "no address";
    int fd = -1;
    for (addrinfo* a = lookup == 0 ? found : nullptr; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
            why = errorText(errno);
            close(fd);
            fd = -1;
        }
    }
    if (found != nullptr) freeaddrinfo(found);
    if (fd < 0) {
        status_(("Warning - Cannot listen on " + where + " for the forward to " + to + ": " + why +
                 "\n")
                    .c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        listeners_.push_back({fd, rule});
    }
    status_(("Forwarding " + where + " to " + to + " through the server\n").c_str());
    return true;
}

void Forwarder::allowRemote(const PortForward& rule) {
    std::lock_guard<std::mutex> hold(lock_);
    remotes_.push_back(rule);
}

void Forwarder::allowX11(const X11Display& display, std::string fakeCookie, X11Auth real) {
    std::lock_guard<std::mutex> hold(lock_);
    x11Display_ = display;
    x11FakeCookie_ = std::move(fakeCookie);
    x11Real_ = std::move(real);
}

void Forwarder::start() {
    std::lock_guard<std::mutex> hold(lock_);
    const bool needed = !listeners_.empty() || !remotes_.empty() || x11Display_.has_value();
    if (running_ || !needed || wakeRead_ < 0) return;
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void Forwarder::stop() {
    stopping_.store(true);
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> hold(lock_);
    running_ = false;
}

void Forwarder::wake() {
    const char byte = 1;
    if (wakeWrite_ >= 0) {
        ssize_t ignored = write(wakeWrite_, &byte, 1);  // a full pipe wakes the thread as well
        (void)ignored;
    }
}

std::size_t Forwarder::channelCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return channels_.size();
}

void Forwarder::queuePacket(std::uint8_t type, std::uint32_t id) {
    auto packet = std::make_unique<MessageBuffer>(type);
    packet->putUint32(id);
    pending_.push_back(std::move(packet));
}

void Forwarder::queuePacket(std::uint8_t type, std::uint32_t id, std::uint32_t second) {
    queuePacket(type, id);
    pending_.back()->putUint32(second);
}

void Forwarder::flush(Packets& packets, std::vector<std::string>& notes) {
    for (auto& packet : packets) send_(*packet);
    for (const std::string& note : notes) status_(note.c_str());
    packets.clear();
    notes.clear();
}

std::uint32_t Forwarder::newChannelId() {
    while (channels_.count(nextId_) != 0) ++nextId_;
    return nextId_++;
}

bool Forwarder::handles(int type) {
    return (type >= SSH_MSG_CHANNEL_OPEN_CONFIRMATION &&
            type <= SSH_MSG_CHANNEL_CLOSE_CONFIRMATION) ||
           type == SSH_MSG_PORT_OPEN || type == SSH_SMSG_X11_OPEN;
}

Forwarder::Channel* Forwarder::openChannel(std::uint32_t id, int type,
                                           std::vector<std::string>& notes) {
    const auto found = channels_.find(id);
    Channel* channel = found == channels_.end() ? nullptr : found->second.get();
    // Each message is legal only in some states of the channel it names; anything else is the
    // server's mistake, and touches nothing.
    bool fits = channel != nullptr && !channel->dead;
    if (fits) {
        const bool opening = channel->state == Channel::State::Opening;
        switch (type) {
            case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
            case SSH_MSG_CHANNEL_OPEN_FAILURE:
                fits = opening;
                break;
            case SSH_MSG_CHANNEL_DATA:
                fits = channel->state == Channel::State::Open && !channel->receivedClose;
                break;
            case SSH_MSG_CHANNEL_CLOSE:
                fits = channel->state == Channel::State::Open && !channel->receivedClose;
                break;
            default:
                fits = channel->state == Channel::State::Open && !channel->receivedConfirm;
                break;
        }
    }
    if (fits) return channel;
    notes.push_back("Warning - The server sent " + std::string(messageName(type)) +
                    " for channel " + std::to_string(id) + ", which is not open; ignored\n");
    return nullptr;
}

bool Forwarder::handleMessage(int type, MessageBuffer& message) {
    Packets packets;
    std::vector<std::string> notes;
    bool running = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (type == SSH_MSG_PORT_OPEN || type == SSH_SMSG_X11_OPEN) {
            const std::size_t before = pending_.size();
            if (type == SSH_MSG_PORT_OPEN) {
                portOpen(message, notes);
            } else {
                x11Open(message, notes);
            }
            if (message.broken()) {
                pending_.resize(before);
                return false;
            }
        } else {
            const std::uint32_t id = message.getUint32();
            std::uint32_t second = 0;
            std::string data;
            if (type == SSH_MSG_CHANNEL_OPEN_CONFIRMATION) second = message.getUint32();
            if (type == SSH_MSG_CHANNEL_DATA) data = message.getString();
            if (message.broken()) return false;
            if (Channel* channel = openChannel(id, type, notes)) {
                switch (type) {
                    case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
                        channel->remoteId = second;
                        channel->state = Channel::State::Open;
                        break;
                    case SSH_MSG_CHANNEL_OPEN_FAILURE:
                        notes.push_back("Warning - Forward to " + channel->target +
                                        ": the server could not open it\n");
                        channel->dead = true;
                        break;
                    case SSH_MSG_CHANNEL_DATA:
                        channelData(*channel, data, notes);
                        break;
                    case SSH_MSG_CHANNEL_CLOSE:
                        channel->receivedClose = true;
                        break;
                    default:
                        channel->receivedConfirm = true;
                        // The server takes no more: our side's input is of no use now.
                        if (!channel->sentClose) sendClose(*channel);
                        break;
                }
            }
        }
        running = running_;
        if (!running) packets.swap(pending_);
    }
    if (running) wake();
    flush(packets, notes);
    return true;
}

void Forwarder::portOpen(MessageBuffer& message, std::vector<std::string>& notes) {
    const std::uint32_t serverId = message.getUint32();
    const std::string host = message.getString();
    const std::uint32_t port = message.getUint32();
    // An originator string may follow, when the server announced it; nothing here needs it.
    if (message.broken()) return;
    bool requested = false;
    for (const PortForward& rule : remotes_)
        requested = requested || (rule.host == host && rule.hostPort == port);
    const std::string target = targetText(host, static_cast<std::uint16_t>(port & 0xffff));
    if (!requested || channels_.size() >= maxChannels) {
        queuePacket(SSH_MSG_CHANNEL_OPEN_FAILURE, serverId);
        notes.push_back(requested ? "Warning - Too many forwarded connections; one to " + target +
                                        " turned away\n"
                                  : "Warning - The server asked to open " + target +
                                        ", which is not forwarded; refused\n");
        return;
    }
    auto channel = std::make_unique<Channel>();
    channel->state = Channel::State::Connecting;
    channel->id = newChannelId();
    channel->remoteId = serverId;
    channel->target = target;
    channel->host = host;
    channel->port = static_cast<std::uint16_t>(port);
    channels_[channel->id] = std::move(channel);
}

void Forwarder::x11Open(MessageBuffer& message, std::vector<std::string>& notes) {
    const std::uint32_t serverId = message.getUint32();
    // An originator string may follow, when the server announced it; nothing here needs it.
    if (message.broken()) return;
    if (!x11Display_ || channels_.size() >= maxChannels) {
        queuePacket(SSH_MSG_CHANNEL_OPEN_FAILURE, serverId);
        notes.push_back(x11Display_ ? "Warning - Too many forwarded connections; an X11 one "
                                      "turned away\n"
                                    : "Warning - The server opened an X11 channel, which was not "
                                      "asked for; refused\n");
        return;
    }
    auto channel = std::make_unique<Channel>();
    channel->state = Channel::State::Connecting;
    channel->id = newChannelId();
    channel->remoteId = serverId;
    channel->x11Pending = true;
    if (x11Display_->local) {
        sockaddr_storage storage{};
        auto* address = reinterpret_cast<sockaddr_un*>(&storage);
        address->sun_family = AF_UNIX;
        std::snprintf(address->sun_path, sizeof address->sun_path, "/tmp/.X11-unix/X%d",
                      x11Display_->number);
        channel->target = address->sun_path;
        channel->addresses.push_back(storage);
        channel->addressLengths.push_back(sizeof(sockaddr_un));
        channel->resolved = true;
    } else {
        channel->host = x11Display_->host;
        channel->port = static_cast<std::uint16_t>(6000 + x11Display_->number);
        channel->target = targetText(channel->host, channel->port);
    }
    Channel& added = *channel;
    channels_[channel->id] = std::move(channel);
    if (added.resolved) finishConnect(added, notes);
}

void Forwarder::channelData(Channel& channel, const std::string& data,
                            std::vector<std::string>& notes) {
    if (channel.abandoned || channel.sentConfirm) return;  // we said we take no more; in flight
    // What has been written goes once it is half the string, so the string stays within twice
    // what waits.
    if (channel.head > 0 && channel.head * 2 >= channel.queue.size()) {
        channel.queue.erase(0, channel.head);
        channel.head = 0;
    }
    channel.queue += data;
    if (channel.x11Pending) {
        switch (rewriteX11Setup(channel.queue, x11FakeCookie_, x11Real_)) {
            case X11Setup::NeedMore:
                return;
            case X11Setup::Accepted:
                channel.x11Pending = false;
                break;
            case X11Setup::Refused:
                notes.push_back(
                    "Warning - An X11 connection without the right cookie was refused\n");
                channel.abandoned = true;
                return;
        }
    }
    // Written at once when the local socket takes it: the forwarding thread may be held up in
    // a send to the server, and the queue is only for a local reader slower than the server.
    if (channel.fd >= 0) writeLocal(channel);
    if (channel.queued() > queueLimit_) {
        notes.push_back("Warning - Forward to " + channel.target + ": more than " +
                        std::to_string(queueLimit_ / 1024) +
                        " KiB waiting for the local socket; channel closed\n");
        channel.abandoned = true;
    }
}

void Forwarder::sendClose(Channel& channel) {
    queuePacket(SSH_MSG_CHANNEL_CLOSE, channel.remoteId);
    channel.sentClose = true;
    channel.readDone = true;
}

void Forwarder::abandon(Channel& channel) {
    if (channel.fd >= 0) close(channel.fd);
    channel.fd = -1;
    channel.queue.clear();
    channel.head = 0;
    channel.readDone = channel.writeShut = true;
    if (channel.state != Channel::State::Open) {
        channel.dead = true;  // the server has not been told of it yet, or will not be
        return;
    }
    if (!channel.sentClose) sendClose(channel);
    if (!channel.sentConfirm) {
        queuePacket(SSH_MSG_CHANNEL_CLOSE_CONFIRMATION, channel.remoteId);
        channel.sentConfirm = true;
    }
}

void Forwarder::accept(const Listener& listener, std::vector<std::string>& notes) {
    const int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::string target = targetText(listener.rule.host, listener.rule.hostPort);
    if (channels_.size() >= maxChannels) {
        close(fd);
        notes.push_back("Warning - Too many forwarded connections; one to " + target +
                        " turned away\n");
        return;
    }
    auto channel = std::make_unique<Channel>();
    channel->id = newChannelId();
    channel->fd = fd;
    channel->target = target;
    auto open = std::make_unique<MessageBuffer>(SSH_MSG_PORT_OPEN);
    open->putUint32(channel->id);
    open->putString(listener.rule.host.c_str());
    open->putUint32(listener.rule.hostPort);
    pending_.push_back(std::move(open));
    channels_[channel->id] = std::move(channel);
}

void Forwarder::startConnects(std::vector<std::string>& notes) {
    // Names are looked up outside the lock: a slow resolver must not hold up the session thread.
    std::vector<std::pair<std::uint32_t, std::pair<std::string, std::uint16_t>>> lookups;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& [id, channel] : channels_)
            if (channel->state == Channel::State::Connecting && !channel->resolved)
                lookups.push_back({id, {channel->host, channel->port}});
    }
    for (auto& [id, where] : lookups) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int lookup =
            getaddrinfo(where.first.c_str(), std::to_string(where.second).c_str(), &hints, &found);
        std::lock_guard<std::mutex> hold(lock_);
        Channel& channel = *channels_[id];  // only this thread removes channels
        channel.resolved = true;
        for (addrinfo* a = lookup == 0 ? found : nullptr; a != nullptr; a = a->ai_next) {
            sockaddr_storage address{};
            std::memcpy(&address, a->ai_addr, a->ai_addrlen);
            channel.addresses.push_back(address);
            channel.addressLengths.push_back(a->ai_addrlen);
        }
        if (found != nullptr) freeaddrinfo(found);
        if (lookup != 0) {
            notes.push_back("Warning - Forward from the server to " + channel.target +
                            ": cannot resolve it: " + gai_strerror(lookup) + "\n");
        }
        finishConnect(channel, notes);
    }
}

// Tries the channel's addresses in turn until one connects or starts to; a channel that has
// run out of them is refused to the server.
void Forwarder::finishConnect(Channel& channel, std::vector<std::string>& notes) {
    int error = 0;
    if (channel.fd >= 0) {
        socklen_t length = sizeof error;
        getsockopt(channel.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            channel.state = Channel::State::Open;
            queuePacket(SSH_MSG_CHANNEL_OPEN_CONFIRMATION, channel.remoteId, channel.id);
            return;
        }
        close(channel.fd);
        channel.fd = -1;
    }
    while (channel.nextAddress < channel.addresses.size()) {
        const std::size_t i = channel.nextAddress++;
        const auto* address = reinterpret_cast<const sockaddr*>(&channel.addresses[i]);
        channel.fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (channel.fd < 0) continue;
        if (connect(channel.fd, address, channel.addressLengths[i]) == 0 || errno == EINPROGRESS)
            return;  // the poll tells when it is done
        error = errno;
        close(channel.fd);
        channel.fd = -1;
    }
    queuePacket(SSH_MSG_CHANNEL_OPEN_FAILURE, channel.remoteId);
    if (!channel.addresses.empty())
        notes.push_back("Warning - Forward from the server to " + channel.target +
                        ": cannot connect: " + errorText(error) + "\n");
    channel.dead = true;
}

void Forwarder::readLocal(Channel& channel) {
    char bytes[readChunk];
    const ssize_t n = read(channel.fd, bytes, sizeof bytes);
    if (n > 0) {
        auto packet = std::make_unique<MessageBuffer>(SSH_MSG_CHANNEL_DATA);
        packet->putUint32(channel.remoteId);
        packet->putString(bytes, static_cast<std::size_t>(n));
        pending_.push_back(std::move(packet));
    } else if (n == 0) {
        sendClose(channel);  // half closed: what the server still sends is written
    } else if (errno != EAGAIN && errno != EINTR) {
        abandon(channel);
    }
}

void Forwarder::writeLocal(Channel& channel) {
    while (channel.queued() > 0) {
        const ssize_t n = ::send(channel.fd, channel.queue.data() + channel.head, channel.queued(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            channel.abandoned = true;  // closed by the forwarding thread, which polls the fd
            return;
        }
        channel.head += static_cast<std::size_t>(n);
    }
    channel.queue.clear();
    channel.head = 0;
}

void Forwarder::reap() {
    for (auto it = channels_.begin(); it != channels_.end();) {
        Channel& channel = *it->second;
        if (channel.abandoned && !channel.dead && (channel.fd >= 0 || !channel.sentConfirm))
            abandon(channel);
        if (channel.state == Channel::State::Open && channel.receivedClose && !channel.writeShut &&
            channel.queued() == 0) {
            // Everything the server sent has been written: the local peer sees the end.
            shutdown(channel.fd, SHUT_WR);
            channel.writeShut = true;
            queuePacket(SSH_MSG_CHANNEL_CLOSE_CONFIRMATION, channel.remoteId);
            channel.sentConfirm = true;
        }
        if (channel.finished()) {
            if (channel.fd >= 0) close(channel.fd);
            it = channels_.erase(it);
        } else {
            ++it;
        }
    }
}

void Forwarder::run() {
    std::vector<pollfd> fds;
    std::vector<std::int64_t> owners;  // a channel id, or -1 - the listener's index
    Packets packets;
    std::vector<std::string> notes;
    while (!stopping_.load()) {
        startConnects(notes);
        fds.assign(1, {wakeRead_, POLLIN, 0});
        owners.assign(1, 0);
        {
            std::lock_guard<std::mutex> hold(lock_);
            reap();
            packets.swap(pending_);
            for (std::size_t i = 0; i < listeners_.size(); ++i) {
                fds.push_back({listeners_[i].fd, POLLIN, 0});
                owners.push_back(-1 - static_cast<std::int64_t>(i));
            }
            for (auto& [id, channel] : channels_) {
                short events = 0;
                if (channel->fd < 0 || channel->dead) continue;
                if (channel->state == Channel::State::Connecting) events = POLLOUT;
                if (channel->state == Channel::State::Open) {
                    if (!channel->readDone) events |= POLLIN;
                    if (channel->queued() > 0 && !channel->x11Pending) events |= POLLOUT;
                }
                if (events == 0) continue;
                fds.push_back({channel->fd, events, 0});
                owners.push_back(id);
            }
        }
        // Sent before the wait: they are what the server is to hear next.
        flush(packets, notes);
        if (stopping_.load()) break;
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) {
            char drain[256];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (owners[i] < 0) {
                accept(listeners_[static_cast<std::size_t>(-1 - owners[i])], notes);
                continue;
            }
            Channel& channel = *channels_[static_cast<std::uint32_t>(owners[i])];
            if (channel.state == Channel::State::Connecting) {
                finishConnect(channel, notes);
                continue;
            }
            if ((fds[i].events & POLLOUT) && channel.fd >= 0) writeLocal(channel);
            if ((fds[i].events & POLLIN) && channel.fd >= 0 && !channel.readDone)
                readLocal(channel);
        }
    }
}

}  // namespace corvid1
