// Port forwarding: the channel table alone, then real channels through the test server (TSan).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session/channels/channel_messages.h"
#include "session/channels/forwarder.h"
#include "session/channels/x11.h"
#include "test_server.h"

namespace corvid1 {
namespace {

using namespace std::chrono_literals;
using test::TestServer;

// The type and first id of a packet the forwarder sends, unframed behind the header room.
std::pair<int, std::uint32_t> typeAndId(const MessageBuffer& packet) {
    const std::uint8_t* p = packet.data() + MessageBuffer::packetHeaderSize;
    return {p[0], (std::uint32_t{p[1]} << 24) | (p[2] << 16) | (p[3] << 8) | p[4]};
}

// A message as the server would send it, ready to be read: the ids, then a string, then a port.
MessageBuffer& message(MessageBuffer& m, std::vector<std::uint32_t> ids, const char* text = nullptr,
                       int port = -1, std::size_t length = 0) {
    m.reset();
    for (std::uint32_t id : ids) m.putUint32(id);
    if (text != nullptr) m.putString(text, length ? length : std::strlen(text));
    if (port >= 0) m.putUint32(static_cast<std::uint32_t>(port));
    m.skip(-static_cast<std::ptrdiff_t>(m.length()));
    return m;
}

// --- The table's checks, with no sockets: what a message from the server leads to. ---

TEST(ForwarderTable, MessagesForChannelsThatAreNotOpenTouchNothing) {
    const int openFailure = SSH_MSG_CHANNEL_OPEN_FAILURE;
    const char* const notOpen = "for channel 0, which is not open";
    const struct {
        bool connecting;  // a granted open (channel 0) is still connecting: no thread runs
        std::uint8_t type;
        std::vector<std::uint32_t> ids;
        const char* text;  // a string field after the ids (data, host); null: none
        int port;          // a port after the string; -1: none
        bool wellFormed;   // what handleMessage returns
        int reply;         // the type of the one reply, to the first id; 0: none
        const char* warning;
    } cases[] = {
        // clang-format off
        {false, SSH_MSG_CHANNEL_DATA, {5}, "x", -1, true, 0, "sent data for channel 5, which is not open"},
        {false, SSH_MSG_CHANNEL_CLOSE, {9}, nullptr, -1, true, 0, "sent a close for channel 9"},
        {false, SSH_MSG_CHANNEL_OPEN_CONFIRMATION, {0, 77}, nullptr, -1, true, 0, "open confirmation for channel 0"},
        {false, SSH_MSG_PORT_OPEN, {31}, "10.0.0.1", 22, true, openFailure, "10.0.0.1:22, which is not forwarded"},
        {false, SSH_MSG_PORT_OPEN, {32}, "127.0.0.1", 22, true, openFailure, "not forwarded"},
        {false, SSH_SMSG_X11_OPEN, {4}, nullptr, -1, true, openFailure, "X11"},
        {false, SSH_MSG_CHANNEL_DATA, {5}, nullptr, -1, false, 0, nullptr},
        {false, SSH_MSG_PORT_OPEN, {3}, "127.0.0.1", -1, false, 0, nullptr},
        {true, SSH_MSG_CHANNEL_OPEN_CONFIRMATION, {0, 0}, nullptr, -1, true, 0, notOpen},
        {true, SSH_MSG_CHANNEL_OPEN_FAILURE, {0, 0}, nullptr, -1, true, 0, notOpen},
        {true, SSH_MSG_CHANNEL_DATA, {0}, "", -1, true, 0, notOpen},
        {true, SSH_MSG_CHANNEL_CLOSE, {0}, nullptr, -1, true, 0, notOpen},
        {true, SSH_MSG_CHANNEL_CLOSE_CONFIRMATION, {0}, nullptr, -1, true, 0, notOpen},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + (c.connecting ? " while connecting" : ""));
        std::vector<std::pair<int, std::uint32_t>> sent;
        std::vector<std::string> lines;
        Forwarder forwarder([&](MessageBuffer& packet) { sent.push_back(typeAndId(packet)); },
                            [&](const char* text) { lines.emplace_back(text); });
        forwarder.allowRemote(*parsePortForward("2222:127.0.0.1:80", true));
        MessageBuffer m;
        ASSERT_TRUE(!c.connecting ||
                    forwarder.handleMessage(SSH_MSG_PORT_OPEN, message(m, {40}, "127.0.0.1", 80)));
        EXPECT_EQ(forwarder.handleMessage(c.type, message(m, c.ids, c.text, c.port)), c.wellFormed);
        using Sent = std::vector<std::pair<int, std::uint32_t>>;
        EXPECT_EQ(sent, (c.reply ? Sent{{c.reply, c.ids[0]}} : Sent{}));
        EXPECT_EQ(lines.size(), c.warning ? 1u : 0u);
        for (const std::string& line : lines)
            EXPECT_TRUE(line.rfind("Warning - ", 0) == 0 && c.warning && line.find(c.warning) != line.npos) << line;
        EXPECT_EQ(forwarder.channelCount(), c.connecting ? 1u : 0u);
    }
}

TEST(PortForward, ParsesWhatSshTakes) {
    const struct {
        const char* text;
        bool remote;
        const char* parsed;  // bind|port|host|port; "": refused
    } rows[] = {
        // clang-format off
        {"8080:db.example:5432", false, "|8080|db.example|5432"}, {"9000:127.0.0.1:22", true, "|9000|127.0.0.1|22"},
        {"0.0.0.0:8080:localhost:80", false, "0.0.0.0|8080|localhost|80"}, {"[::1]:8080:[fe80::1]:80", false, "::1|8080|fe80::1|80"},
        {"1.2.3.4:9000:127.0.0.1:22", true, ""},  // -R takes no bind address
        {"8080:host", false, ""}, {"0:host:80", false, ""}, {"8080:host:65536", false, ""},
        {"8080::80", false, ""}, {"a:b:8080:host:80", false, ""}, {"[::1:8080:host:80", false, ""},
    };  // clang-format on
    for (const auto& r : rows) {
        const auto rule = parsePortForward(r.text, r.remote);
        const std::string shown = rule ? rule->bindAddress + "|" + std::to_string(rule->listenPort) +
                                             "|" + rule->host + "|" + std::to_string(rule->hostPort) : "";
        EXPECT_EQ(shown, r.parsed) << r.text;
        EXPECT_TRUE(!rule || parsePortForward(portForwardText(*rule), r.remote) == rule) << r.text;
    }
}

// --- Real channels through the test server. ---

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int listenOn(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    socklen_t length = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

std::uint16_t freePort() {
    std::uint16_t port = 0;
    return close(listenOn(port)), port;
}

int connectTo(std::uint16_t port, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a = loopback(port);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}

// A target on the far side: each connection gets `behaviour` on a thread of its own.
class Target {
  public:
    enum Behaviour { Echo, GreetAndClose, Flood };
    explicit Target(Behaviour behaviour, std::uint16_t port = 0)
        : behaviour_(behaviour), port_(port), fd_(listenOn(port_)) {
        thread_ = std::thread([this] {
            for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 && !stop_;)
                served_.emplace_back([this, c] { serve(c); });
        });
    }
    ~Target() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);  // harmless on -1
        thread_.join();
        for (std::thread& t : served_) t.join();
        close(fd_);
    }
    const Behaviour behaviour_;
    std::uint16_t port_;
    const int fd_;

  private:
    void serve(int c) {
        static thread_local char buffer[65536];
        if (behaviour_ == GreetAndClose) send(c, "bye", 3, MSG_NOSIGNAL);
        std::memset(buffer, 'F', sizeof buffer);
        while (behaviour_ == Flood && !stop_ && send(c, buffer, sizeof buffer, MSG_NOSIGNAL) > 0) {}
        for (ssize_t n; behaviour_ == Echo && (n = read(c, buffer, sizeof buffer)) > 0;)
            if (send(c, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        close(c);
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> served_;
};

// Sends `data` (then the end of it) while reading what comes back until the far end closes.
std::string roundTrip(int fd, const std::string& data) {
    std::thread writer([&] { send(fd, data.data(), data.size(), MSG_NOSIGNAL), shutdown(fd, SHUT_WR); });
    std::string back = test::drain(fd);
    writer.join();
    close(fd);
    return back;
}

std::string everyByte(std::size_t copies, std::uint8_t salt) {
    std::string s;
    for (std::size_t i = 0; i < copies * 256; ++i) s += static_cast<char>((i + salt) & 0xff);
    return s;
}

// A session against the test server in shell mode, running cat without a pty.
struct Running : test::TestClient {
    Running(const TestServer& server, std::vector<PortForward> forwards, int cipher = 3,
            const Adjust& adjust = {})
        : TestClient(server, cipher, [&](LoginParameters& login) {
              login.requestPty = false;
              login.command = "cat";
              login.forwards = std::move(forwards);
              if (adjust) adjust(login);
          }) {}
};

PortForward forward(std::uint16_t listen, std::uint16_t to, bool remote = false) {
    return *parsePortForward(std::to_string(listen) + ":127.0.0.1:" + std::to_string(to), remote);
}

// Several channels at once, a target closing first, a taken port, a refused open: it runs on.
TEST(Forwarding, EveryKindOfChannelInOneSession) {
    TestServer server({"--mode", "shell"}, "fwd_kinds");
    Target echo(Target::Echo), greeter(Target::GreetAndClose);
    std::uint16_t taken = 0;
    const int holder = listenOn(taken);
    const std::uint16_t first = freePort(), second = freePort(), closer = freePort(),
                        refused = freePort(), remote = freePort();
    Running run(server, {forward(first, echo.port_), forward(second, echo.port_),
                         forward(closer, greeter.port_), forward(taken, 80),
                         forward(refused, freePort()), forward(remote, echo.port_, true)});
    ASSERT_TRUE(run.await("Warning - Cannot listen on 127.0.0.1:" + std::to_string(taken)));
    ASSERT_TRUE(run.await("Forwarding 127.0.0.1:" + std::to_string(refused)));
    ASSERT_TRUE(run.await("Forwarding the server's port"));

    std::vector<std::thread> clients;
    std::atomic<int> exact{0};
    for (int i = 0; i < 7; ++i)
        clients.emplace_back([&, i] {
            const std::string data = everyByte(i == 0 ? 4096 : 64, static_cast<std::uint8_t>(i));
            exact += roundTrip(connectTo(i == 6 ? remote : i % 2 ? first : second), data) == data;
        });
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(exact.load(), 7);
    EXPECT_TRUE(server.awaitRecord("PORT_OPEN 127.0.0.1:" + std::to_string(echo.port_) + " open"));
    EXPECT_TRUE(server.recorded("REMOTE_FORWARD " + std::to_string(remote) + " granted"));

    const int fd = connectTo(closer);
    EXPECT_EQ(test::drain(fd), "bye");  // then the end, though we never closed our side
    close(fd), close(holder);
    EXPECT_EQ(roundTrip(connectTo(refused), "x"), "");
    EXPECT_TRUE(run.await("the server could not open it"));
    EXPECT_TRUE(run.echoes("after\n"));
}

// The queue for a slow local reader drops its written part as it goes, losing and repeating nothing.
TEST(ForwarderQueue, SlowLocalReaderGetsEveryByteInOrder) {
    std::atomic<std::int64_t> opened{-1};  // our channel id in the PORT_OPEN sent
    std::atomic<bool> closed{false};
    const std::size_t limit = 64 * 1024 * 1024;
    Forwarder forwarder(
        [&](MessageBuffer& packet) {
            if (typeAndId(packet).first == SSH_MSG_PORT_OPEN) opened = typeAndId(packet).second;
        },
        [&](const char* text) { closed = closed || std::strstr(text, "channel closed"); }, limit);
    const std::uint16_t port = freePort();
    ASSERT_TRUE(forwarder.listen(forward(port, 9)));
    forwarder.start();
    const int fd = connectTo(port, 4096);
    for (int i = 0; i < 1000 && opened < 0; ++i) std::this_thread::sleep_for(5ms);
    const auto id = static_cast<std::uint32_t>(opened.load());
    MessageBuffer m;
    ASSERT_TRUE(forwarder.handleMessage(SSH_MSG_CHANNEL_OPEN_CONFIRMATION, message(m, {id, 1000})));

    // Unread, the socket's buffers (4 MiB each way at most) fill and the rest queues; most is then
    // read, so the written part passes half the queue, and one more message drops it.
    const std::string data = everyByte(64 * 1024 + 64, 3);  // 16 MiB and 16 KiB
    const std::size_t piece = 16 * 1024, firstPart = 16 * 1024 * 1024;
    const auto feed = [&](std::size_t from, std::size_t to) {
        for (std::size_t at = from; at < to; at += piece)
            ASSERT_TRUE(forwarder.handleMessage(SSH_MSG_CHANNEL_DATA,
                                                message(m, {id}, data.data() + at, -1, piece)));
    };
    std::string back;
    const auto readUpTo = [&](std::size_t total) {
        char chunk[4096];
        pollfd wait{fd, POLLIN, 0};
        for (ssize_t n = 1; n > 0 && back.size() < total && poll(&wait, 1, 5000) == 1;) {
            n = read(fd, chunk, std::min(sizeof chunk, total - back.size()));
            if (n > 0) back.append(chunk, static_cast<std::size_t>(n));
        }
    };
    feed(0, firstPart);
    readUpTo(11 * 1024 * 1024);
    feed(firstPart, data.size());
    readUpTo(data.size());
    EXPECT_TRUE(back == data) << back.size();
    // Nobody reads any more: once the limit and the socket's buffers are full, it closes.
    for (std::size_t fed = 0; fed < limit + 9 * 1024 * 1024 && !closed; fed += piece)
        feed(0, piece);
    EXPECT_TRUE(closed);
    close(fd);
}

TEST(Forwarding, FloodIntoASocketThatDoesNotReadClosesOnlyThatChannel) {
    TestServer server({"--mode", "shell"}, "fwd_flood");
    Target flood(Target::Flood), echo(Target::Echo);
    const std::uint16_t floodPort = freePort(), echoPort = freePort();
    // No cipher: it measures the channels, not 3DES; the terminal waits behind the flood.
    Running run(server, {forward(floodPort, flood.port_), forward(echoPort, echo.port_)}, 0);
    ASSERT_TRUE(run.await("Forwarding 127.0.0.1:" + std::to_string(echoPort)));
    const int stuck = connectTo(floodPort, 4096);  // never read
    // While the flood fills the queue, the terminal and the other channel answer.
    for (int i = 0; i < 3; ++i) {
        const std::string word = "ping" + std::to_string(i) + "\n";
        EXPECT_TRUE(run.echoes(word, 60));
        EXPECT_EQ(roundTrip(connectTo(echoPort), word), word);
    }
    EXPECT_TRUE(run.await("more than 1024 KiB waiting for the local socket; channel closed"));
    EXPECT_TRUE(run.echoes("alive\n"));
    close(stuck);
}

TEST(Forwarding, DataForAChannelThatDoesNotExistIsReportedAndDropped) {
    TestServer server({"--scenario", "bogus-channel"}, "fwd_bogus");
    Running run(server, {});
    ASSERT_TRUE(run.await("still here\r\n", true));
    EXPECT_TRUE(run.await("sent data for channel 4242, which is not open; ignored"));
    EXPECT_TRUE(run.await("sent a close for channel 7, which is not open; ignored"));
}

// An X11 connection setup request: byte order, protocol 11.0, then the authorization.
std::string x11Setup(char order, const std::string& name, const std::string& data) {
    auto field16 = [order](std::size_t v) {
        std::string two = {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
        return order == 'B' ? two : std::string{two[1], two[0]};
    };
    std::string s = std::string{order, 0} + field16(11) + field16(0) + field16(name.size()) +
                    field16(data.size()) + std::string(2, '\0') + name;
    s.resize((s.size() + 3) & ~std::size_t{3}, '\0');
    s += data;
    s.resize((s.size() + 3) & ~std::size_t{3}, '\0');
    return s;
}

TEST(X11Setup, OnlyTheFakeCookiePassesAndLeavesWithTheRealOne) {
    const std::string fake = "0123456789abcdef", cookie = "MIT-MAGIC-COOKIE-1";
    const X11Auth real{cookie, "REAL-COOKIE-16by"};
    const std::string whole = x11Setup('B', cookie, fake);
    const struct {
        const char* name;
        std::string in;
        X11Auth real;
        X11Setup result;
        std::string out;  // unchecked when refused
    } rows[] = {
        // clang-format off
        {"big-endian", whole + "rest", real, X11Setup::Accepted, x11Setup('B', cookie, real.data) + "rest"},
        {"little-endian", x11Setup('l', cookie, fake), real, X11Setup::Accepted, x11Setup('l', cookie, real.data)},
        {"display without authorization", whole, {}, X11Setup::Accepted, x11Setup('B', "", "")},
        {"a real cookie of 300 bytes", whole, {cookie, std::string(300, 'R')}, X11Setup::Accepted,
         x11Setup('B', cookie, std::string(300, 'R'))},
        {"wrong cookie", x11Setup('B', cookie, "0123456789abcdeF"), real, X11Setup::Refused, ""},
        {"no cookie", x11Setup('l', "", ""), real, X11Setup::Refused, ""},
        {"another protocol", x11Setup('B', "XDM-AUTHORIZATION-1", fake), real, X11Setup::Refused, ""},
        {"bad byte order", "X" + whole.substr(1), real, X11Setup::Refused, ""},
        {"huge field", x11Setup('B', std::string(2000, 'M'), fake), real, X11Setup::Refused, ""},
        {"header cut", whole.substr(0, 11), real, X11Setup::NeedMore, whole.substr(0, 11)},
        {"cookie cut", whole.substr(0, whole.size() - 1), real, X11Setup::NeedMore, whole.substr(0, whole.size() - 1)},
    };  // clang-format on
    for (const auto& r : rows) {
        std::string setup = r.in;
        EXPECT_EQ(rewriteX11Setup(setup, fake, r.real), r.result) << r.name;
        EXPECT_EQ(r.result == X11Setup::Refused ? r.out : setup, r.out) << r.name;
    }
}

TEST(X11Display, ParsesWhatDisplayHolds) {
    EXPECT_TRUE(parseX11Display(":0")->local);
    EXPECT_EQ(parseX11Display("unix:12.0")->number, 12);
    EXPECT_EQ(parseX11Display("localhost:10.0")->host, "localhost");
    EXPECT_FALSE(parseX11Display("localhost") || parseX11Display(":x") || parseX11Display(":99999"));
    EXPECT_TRUE(fromHex("00ff7A") == std::string("\x00\xffz", 3) && !fromHex("0g"));
}

// The server's display relays to a local one that echoes: what comes back is what it saw.
TEST(Forwarding, X11ChannelsCarryTheRealCookieAndRefuseAWrongOne) {
    TestServer server({"--mode", "shell"}, "fwd_x11");
    std::unique_ptr<Target> display;
    int number = 59;  // the first free display from 60 on
    do display = std::make_unique<Target>(Target::Echo, static_cast<std::uint16_t>(6000 + ++number));
    while (display->fd_ < 0 && number < 200);
    const std::string cookie = "MIT-MAGIC-COOKIE-1", realCookie = "REAL-COOKIE-16by";
    Running run(server, {}, 3, [&](LoginParameters& login) {
        login.forwardX11 = true;
        login.x11Display = "127.0.0.1:" + std::to_string(number) + ".0";
        login.x11AuthProtocol = cookie;
        login.x11AuthData = realCookie;
    });
    ASSERT_TRUE(run.await("X11 forwarding to display 127.0.0.1:"));
    char hex[64] = {};
    int serverDisplay = 0;
    for (const std::string& line : server.record())
        std::sscanf(line.c_str(), "X11_REQUEST MIT-MAGIC-COOKIE-1 %32s display=%d", hex, &serverDisplay);
    std::string fake = fromHex(hex).value_or("");
    ASSERT_EQ(fake.size(), 16u);
    const std::uint16_t port = static_cast<std::uint16_t>(6000 + serverDisplay);
    EXPECT_EQ(roundTrip(connectTo(port), x11Setup('l', cookie, fake) + "first request"),
              x11Setup('l', cookie, realCookie) + "first request");
    fake[0] ^= 1;
    EXPECT_EQ(roundTrip(connectTo(port), x11Setup('l', cookie, fake)), "");
    EXPECT_TRUE(run.await("An X11 connection without the right cookie was refused"));
}

}  // namespace
}  // namespace corvid1
