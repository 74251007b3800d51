// The server's side of port forwarding: channels to the targets clients ask for, and listeners
// for the remote forwards they request. Everything runs on the connection's one thread, inside
// the shell relay's poll.
#pragma once

#include <poll.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packet_channel.h"

namespace corvid1::testserver {

class ServerConnection;

enum ChannelMessage : int {
    SSH_MSG_CHANNEL_OPEN_CONFIRMATION = 21,
    SSH_MSG_CHANNEL_OPEN_FAILURE = 22,
    SSH_MSG_CHANNEL_DATA = 23,
    SSH_MSG_CHANNEL_CLOSE = 24,
    SSH_MSG_CHANNEL_CLOSE_CONFIRMATION = 25,
    SSH_SMSG_X11_OPEN = 27,
    SSH_CMSG_PORT_FORWARD_REQUEST = 28,
    SSH_MSG_PORT_OPEN = 29,
    SSH_CMSG_X11_REQUEST_FORWARDING = 34,
};

class ServerForwarding {
  public:
    explicit ServerForwarding(ServerConnection& connection) : c_(connection) {}
    ~ServerForwarding();
    ServerForwarding(const ServerForwarding&) = delete;
    ServerForwarding& operator=(const ServerForwarding&) = delete;

    static bool isChannelMessage(int type);
    // SSH_CMSG_PORT_FORWARD_REQUEST: listens on 127.0.0.1 and answers; false when the client
    // has gone.
    bool requestRemote(const Packet& packet);
    // SSH_CMSG_X11_REQUEST_FORWARDING: listens on a display of its own (TCP 6000 + N on
    // 127.0.0.1) with the client's cookie in an Xauthority file of its own, as sshd does.
    bool requestX11(const Packet& packet);
    // DISPLAY and XAUTHORITY for the shell, when X11 forwarding was granted.
    void exportEnvironment() const;
    // One channel message in the data phase; false when the client has gone.
    bool clientMessage(const Packet& packet);
    // The relay's poll: what to watch, and what came of it (from slot `first` on).
    void addPollFds(std::vector<pollfd>& fds) const;
    bool onPoll(const std::vector<pollfd>& fds, std::size_t first);
    // Data queued for slow targets beyond a bound: the relay stops reading the client.
    bool paused() const;
    // Channels not yet closed both ways: the exit status waits for them, as sshd's does, since
    // a client may wait for its channels before it confirms the exit.
    bool hasChannels() const { return !channels_.empty(); }

  private:
    struct Channel {
        std::uint32_t clientId = 0;
        int fd = -1;
        bool open = false;  // confirmed by the client (opens we started) or at once (theirs)
        std::string queue;
        bool readDone = false, writeShut = false;
        bool sentClose = false, receivedClose = false;
        bool sentConfirm = false, receivedConfirm = false;
    };
    struct Listener {
        int fd;
        std::string host;
        std::uint32_t port;
        bool x11 = false;
    };

    bool portOpen(Reader& r);
    bool accept(const Listener& listener);
    bool readTarget(std::uint32_t id, Channel& ch);
    bool writeTarget(Channel& ch);
    bool sendIds(int type, std::uint32_t first);
    bool sendIds(int type, std::uint32_t first, std::uint32_t second);
    bool sendClose(Channel& ch);
    bool abandon(Channel& ch);
    bool settle();

    ServerConnection& c_;
    std::map<std::uint32_t, Channel> channels_;
    std::vector<Listener> listeners_;
    std::uint32_t nextId_ = 100;
    int x11Display_ = -1;
    std::string xauthFile_;  // unlike the client's, so a mixed-up id shows
};

}  // namespace corvid1::testserver
