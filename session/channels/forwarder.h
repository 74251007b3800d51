#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/channels/port_forward.h"
#include "session/channels/x11.h"
#include "session/message_buffer.h"

namespace corvid1 {

// The table of forwarded channels and the thread that serves their local sockets.
//
// Two threads use it. The session thread hands every channel message from the server to
// handleMessage, which checks the channel id against the table, queues the data for the local
// socket and returns at once: it never waits on a socket. The forwarding thread polls the
// listeners, the channel sockets and a wake pipe; it accepts and connects, writes the queued
// data without blocking, reads the local sockets and sends everything bound for the server,
// control messages included, through the one packet sink. The table lock is never held while
// a packet is sent or a status line printed, so neither thread can stall the other behind the
// server's flow control or the front end.
class Forwarder {
  public:
    using PacketSink = std::function<void(MessageBuffer&)>;
    using StatusSink = std::function<void(const char*)>;

    // Data from the server waiting for one local socket beyond this closes that channel.
    static constexpr std::size_t defaultQueueLimit = 1024 * 1024;
    // Channels open at once; a connection beyond them is turned away.
    static constexpr std::size_t maxChannels = 256;

    Forwarder(PacketSink send, StatusSink status, std::size_t queueLimit = defaultQueueLimit);
    // Stops the thread and closes every socket.
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // A local forward: listens on its address (a status line either way). False when it cannot;
    // the session goes on without it.
    bool listen(const PortForward& rule);
    // A remote forward the server granted: its opens for rule.host:rule.hostPort are honoured,
    // and no others.
    void allowRemote(const PortForward& rule);
    // X11 forwarding the server granted: its X11 opens reach `display`, each only after its
    // setup request has shown `fakeCookie`, which is then replaced by `real`.
    void allowX11(const X11Display& display, std::string fakeCookie, X11Auth real);
    // Starts the forwarding thread when something is forwarded (a listener, a granted remote
    // forward or X11); until then, and without it, replies go out from handleMessage itself.
    void start();
    // Stops and joins the forwarding thread. Idempotent.
    void stop();

    // Whether `type` is a channel message for handleMessage.
    static bool handles(int type);
    // One channel message from the server, on the session thread. False only when the message
    // is malformed (the caller ends the session as for any broken packet); a message for a
    // channel that is not open is reported in a status line and dropped.
    bool handleMessage(int type, MessageBuffer& message);

    // Channels in the table (tests).
    std::size_t channelCount() const;

  private:
    struct Channel;
    struct Listener {
        int fd = -1;
        PortForward rule;
    };
    using Packets = std::vector<std::unique_ptr<MessageBuffer>>;

    void run();
    void wake();
    // Under lock_: queues a packet of `type` with the given leading ids.
    void queuePacket(std::uint8_t type, std::uint32_t id);
    void queuePacket(std::uint8_t type, std::uint32_t id, std::uint32_t second);
    // Sends what is queued (outside the lock) and prints the notes.
    void flush(Packets& packets, std::vector<std::string>& notes);
    std::uint32_t newChannelId();
    Channel* openChannel(std::uint32_t id, int type, std::vector<std::string>& notes);
    void portOpen(MessageBuffer& message, std::vector<std::string>& notes);
    void x11Open(MessageBuffer& message, std::vector<std::string>& notes);
    void channelData(Channel& channel, const std::string& data, std::vector<std::string>& notes);
    void accept(const Listener& listener, std::vector<std::string>& notes);
    void startConnects(std::vector<std::string>& notes);
    void finishConnect(Channel& channel, std::vector<std::string>& notes);
    void readLocal(Channel& channel);
    void writeLocal(Channel& channel);
    // Local socket dead or given up: no more data either way.
    void abandon(Channel& channel);
    void sendClose(Channel& channel);
    void reap();

    PacketSink send_;
    StatusSink status_;
    const std::size_t queueLimit_;
    mutable std::mutex lock_;
    std::map<std::uint32_t, std::unique_ptr<Channel>> channels_;
    std::vector<Listener> listeners_;
    std::vector<PortForward> remotes_;
    std::optional<X11Display> x11Display_;
    std::string x11FakeCookie_;
    X11Auth x11Real_;
    Packets pending_;
    std::uint32_t nextId_ = 0;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    bool running_ = false;
    std::thread thread_;
};

}  // namespace corvid1
