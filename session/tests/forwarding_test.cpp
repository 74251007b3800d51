// Port forwarding: the channel table's checks on what the server sends, and real channels
// through the project's SSH-1 test server. The threads test label runs it under ThreadSanitizer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/channels/channel_messages.h"
#include "session/channels/forwarder.h"
#include "session/channels/x11.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using namespace std::chrono_literals;
using test::RecordingFrontEnd;
using test::TestServer;

// --- The table's checks, with no sockets: what a message from the server leads to. ---

struct Sent {
    int type;
    std::uint32_t id;
};

struct TableCase {
    const char* name;
    std::uint8_t type;
    std::vector<std::uint32_t> ids;
    std::string text;        // a string field after the ids (data, host)
    bool withPort;           // a port after the string
    bool wellFormed;         // what handleMessage returns
    std::vector<Sent> sent;  // packets sent in reply
    const char* warning;     // part of the status line, or nullptr
};

// clang-format off
const TableCase tableCases[] = {
    {"data for a channel never opened", SSH_MSG_CHANNEL_DATA, {5}, "x", false, true, {},
     "sent data for channel 5, which is not open"},
    {"close for a channel never opened", SSH_MSG_CHANNEL_CLOSE, {9}, "", false, true, {},
     "sent a close for channel 9"},
    {"confirmation nobody asked for", SSH_MSG_CHANNEL_OPEN_CONFIRMATION, {0, 77}, "", false, true,
     {}, "open confirmation for channel 0"},
    {"open of a target not forwarded", SSH_MSG_PORT_OPEN, {31}, "10.0.0.1", true, true,
     {{SSH_MSG_CHANNEL_OPEN_FAILURE, 31}}, "10.0.0.1:22, which is not forwarded"},
    {"open of a forwarded host on another port", SSH_MSG_PORT_OPEN, {32}, "127.0.0.1", true, true,
     {{SSH_MSG_CHANNEL_OPEN_FAILURE, 32}}, "not forwarded"},
    {"X11 open without X11 forwarding", SSH_SMSG_X11_OPEN, {4}, "", false, true,
     {{SSH_MSG_CHANNEL_OPEN_FAILURE, 4}}, "X11"},
    {"data without its string", SSH_MSG_CHANNEL_DATA, {5}, "", false, false, {}, nullptr},
    {"open without its port", SSH_MSG_PORT_OPEN, {3}, "127.0.0.1", false, false, {}, nullptr},
};
// clang-format on

TEST(ForwarderTable, MessagesForChannelsThatAreNotOpenTouchNothing) {
    for (const TableCase& c : tableCases) {
        SCOPED_TRACE(c.name);
        std::vector<Sent> sent;
        std::vector<std::string> lines;
        Forwarder forwarder(
            [&](MessageBuffer& packet) {
                // Unframed: the type behind the header room, then the first id.
                sent.push_back({packet.data()[MessageBuffer::packetHeaderSize],
                                (std::uint32_t{packet.data()[13]} << 24) |
                                    (std::uint32_t{packet.data()[14]} << 16) |
                                    (std::uint32_t{packet.data()[15]} << 8) | packet.data()[16]});
            },
            [&](const char* text) { lines.emplace_back(text); });
        forwarder.allowRemote(*parsePortForward("2222:127.0.0.1:80", true));
        MessageBuffer message;
        for (std::uint32_t id : c.ids) message.putUint32(id);
        if (!c.text.empty() || c.type == SSH_MSG_CHANNEL_DATA) {
            if (c.wellFormed || !c.text.empty()) message.putString(c.text.c_str());
        }
        if (c.withPort) message.putUint32(22);
        message.skip(-static_cast<std::ptrdiff_t>(message.length()));
        EXPECT_EQ(forwarder.handleMessage(c.type, message), c.wellFormed);
        ASSERT_EQ(sent.size(), c.sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].type, c.sent[i].type);
            EXPECT_EQ(sent[i].id, c.sent[i].id);
        }
        if (c.warning == nullptr) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(c.warning), std::string::npos) << lines[0];
            EXPECT_EQ(lines[0].rfind("Warning - ", 0), 0u);
        }
        EXPECT_EQ(forwarder.channelCount(), 0u);
    }
}

TEST(ForwarderTable, AChannelStillConnectingTakesNoMessages) {
    int sent = 0;
    std::vector<std::string> lines;
    Forwarder forwarder([&](MessageBuffer&) { ++sent; },
                        [&](const char* text) { lines.emplace_back(text); });
    forwarder.allowRemote(*parsePortForward("2222:127.0.0.1:80", true));
    MessageBuffer open;
    open.putUint32(40);
    open.putString("127.0.0.1");
    open.putUint32(80);
    open.skip(-static_cast<std::ptrdiff_t>(open.length()));
    ASSERT_TRUE(forwarder.handleMessage(SSH_MSG_PORT_OPEN, open));
    EXPECT_EQ(forwarder.channelCount(), 1u);  // channel 0, connecting (the thread is not running)
    for (const std::uint8_t type :
         {SSH_MSG_CHANNEL_OPEN_CONFIRMATION, SSH_MSG_CHANNEL_OPEN_FAILURE, SSH_MSG_CHANNEL_DATA,
          SSH_MSG_CHANNEL_CLOSE, SSH_MSG_CHANNEL_CLOSE_CONFIRMATION}) {
        MessageBuffer message;
        message.putUint32(0);
        message.putUint32(0);  // the second id, or the data's length
        message.skip(-8);
        EXPECT_TRUE(forwarder.handleMessage(type, message));
    }
    EXPECT_EQ(sent, 0);
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string& line : lines)
        EXPECT_NE(line.find("for channel 0, which is not open"), std::string::npos);
}

TEST(PortForward, ParsesWhatSshTakes) {
    struct Row {
        const char* text;
        bool remote;
        bool ok;
        const char* bind;
        int listen;
        const char* host;
        int port;
    };
    const Row rows[] = {
        {"8080:db.example:5432", false, true, "", 8080, "db.example", 5432},
        {"0.0.0.0:8080:localhost:80", false, true, "0.0.0.0", 8080, "localhost", 80},
        {"[::1]:8080:[fe80::1]:80", false, true, "::1", 8080, "fe80::1", 80},
        {"9000:127.0.0.1:22", true, true, "", 9000, "127.0.0.1", 22},
        {"1.2.3.4:9000:127.0.0.1:22", true, false, "", 0, "", 0},  // -R takes no bind address
        {"8080:host", false, false, "", 0, "", 0},
        {"0:host:80", false, false, "", 0, "", 0},
        {"8080:host:65536", false, false, "", 0, "", 0},
        {"8080::80", false, false, "", 0, "", 0},
        {"a:b:8080:host:80", false, false, "", 0, "", 0},
        {"[::1:8080:host:80", false, false, "", 0, "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        const auto rule = parsePortForward(r.text, r.remote);
        ASSERT_EQ(rule.has_value(), r.ok);
        if (!r.ok) continue;
        EXPECT_EQ(rule->bindAddress, r.bind);
        EXPECT_EQ(rule->listenPort, r.listen);
        EXPECT_EQ(rule->host, r.host);
        EXPECT_EQ(rule->hostPort, r.port);
        EXPECT_EQ(parsePortForward(portForwardText(*rule), r.remote), rule);
    }
}

// --- Real channels through the test server. ---

int listenOn(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
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
    close(listenOn(port));
    return port;
}

int connectTo(std::uint16_t port, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A target on the far side: each connection gets `behaviour` on a thread of its own.
class Target {
  public:
    enum Behaviour { Echo, GreetAndClose, Flood };
    explicit Target(Behaviour behaviour, std::uint16_t port = 0)
        : behaviour_(behaviour), port_(port) {
        fd_ = listenOn(port_);
        thread_ = std::thread([this] { acceptLoop(); });
    }
    ~Target() {
        stop_ = true;
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        thread_.join();
        for (std::thread& t : served_) t.join();
        if (fd_ >= 0) close(fd_);
    }
    std::uint16_t port() const { return port_; }
    bool listening() const { return fd_ >= 0; }

  private:
    void acceptLoop() {
        for (;;) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0 || stop_) {
                if (c >= 0) close(c);
                return;
            }
            served_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c) {
        char buffer[65536];
        if (behaviour_ == GreetAndClose) {
            send(c, "bye", 3, MSG_NOSIGNAL);
        } else if (behaviour_ == Flood) {
            std::memset(buffer, 'F', sizeof buffer);
            while (!stop_ && send(c, buffer, sizeof buffer, MSG_NOSIGNAL) > 0) {
            }
        } else {
            for (ssize_t n; (n = read(c, buffer, sizeof buffer)) > 0;)
                if (send(c, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        close(c);
    }
    Behaviour behaviour_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> served_;
};

// Sends `data` (then the end of it) while reading what comes back until the far end closes.
std::string roundTrip(int fd, const std::string& data) {
    std::thread writer([&] {
        send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
    });
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

// A session against the test server in shell mode, running `command` without a pty.
class Running {
  public:
    Running(const TestServer& server, std::vector<PortForward> forwards,
            const std::string& command = "cat", int cipher = 3,
            const std::function<void(LoginParameters&)>& adjust = {}) {
        LoginParameters login;
        login.user = "test";
        login.password = "secret";
        login.seedFilePath = ::testing::TempDir() + "corvid1_forwarding_seed";
        login.requestPty = false;
        login.cipherPreference = static_cast<std::uint32_t>(cipher);
        login.command = command;
        login.forwards = std::move(forwards);
        if (adjust) adjust(login);
        auto connection = std::make_unique<Connection>();
        EXPECT_EQ(connection->socket().openConnection("127.0.0.1", server.port()), 1);
        session = std::make_shared<Session>(std::move(connection), std::move(login), frontEnd);
        thread_ = std::thread([s = session] { runSession(*s); });
    }
    ~Running() {
        session->abort();
        thread_.join();
    }
    // Waits (bounded) for a status line that holds `part`.
    bool awaitLine(const std::string& part) const {
        for (int i = 0; i < 1000; ++i) {
            for (const std::string& line : frontEnd.lines())
                if (line.find(part) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    bool awaitOutput(const std::string& part, int seconds = 10) const {
        for (int i = 0; i < seconds * 100; ++i) {
            if (frontEnd.output().find(part) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    RecordingFrontEnd frontEnd;
    std::shared_ptr<Session> session;

  private:
    std::thread thread_;
};

PortForward local(std::uint16_t listen, std::uint16_t to) {
    return *parsePortForward(std::to_string(listen) + ":127.0.0.1:" + std::to_string(to), false);
}

TEST(Forwarding, SeveralChannelsCarryEveryByteBothWays) {
    TestServer server({"--mode", "shell"}, "fwd_bytes");
    Target echo(Target::Echo);
    const std::uint16_t first = freePort(), second = freePort();
    Running run(server, {local(first, echo.port()), local(second, echo.port())});
    ASSERT_TRUE(run.awaitLine("Forwarding 127.0.0.1:" + std::to_string(second)));
    std::vector<std::thread> clients;
    std::atomic<int> exact{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            const std::string data = everyByte(i == 0 ? 4096 : 64, static_cast<std::uint8_t>(i));
            if (roundTrip(connectTo(i % 2 ? first : second), data) == data) ++exact;
        });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(exact.load(), 6);
    // The terminal's own data still flows beside the channels.
    sendInput(*run.session, "after\n", -1);
    EXPECT_TRUE(run.awaitOutput("after\n"));
    EXPECT_TRUE(server.awaitRecord("PORT_OPEN 127.0.0.1:" + std::to_string(echo.port()) + " open"));
}

// A local reader slower than the server: the channel's queue is written in pieces and drops its
// written part as it goes, and not a byte is lost or repeated. The test plays the session thread.
TEST(ForwarderQueue, SlowLocalReaderGetsEveryByteInOrder) {
    std::mutex lock;
    std::vector<std::uint32_t> opened;  // our channel ids in the PORT_OPENs sent
    Forwarder forwarder(
        [&](MessageBuffer& packet) {
            std::lock_guard<std::mutex> hold(lock);
            const std::uint8_t* p = packet.data();
            if (p[MessageBuffer::packetHeaderSize] == SSH_MSG_PORT_OPEN)
                opened.push_back((std::uint32_t{p[13]} << 24) | (p[14] << 16) | (p[15] << 8) |
                                 p[16]);
        },
        [](const char*) {}, 64 * 1024 * 1024);
    const std::uint16_t port = freePort();
    ASSERT_TRUE(forwarder.listen(local(port, 9)));
    forwarder.start();
    const int fd = connectTo(port, 4096);
    std::uint32_t id = 0;
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(5ms)) {
        std::lock_guard<std::mutex> hold(lock);
        if (!opened.empty()) {
            id = opened[0];
            break;
        }
    }
    MessageBuffer message;
    message.putUint32(id);
    message.putUint32(1000);
    message.skip(-8);
    ASSERT_TRUE(forwarder.handleMessage(SSH_MSG_CHANNEL_OPEN_CONFIRMATION, message));

    // Fed while nobody reads: the socket's buffers (at most 4 MiB each way) fill, the rest waits
    // in the queue. Then most is read, so that what is written of the queue passes half of it,
    // and one more message makes the queue drop its written part.
    const std::string data = everyByte(64 * 1024 + 64, 3);  // 16 MiB and 16 KiB
    const std::size_t piece = 16 * 1024, firstPart = 16 * 1024 * 1024;
    const auto feed = [&](std::size_t from, std::size_t to) {
        for (std::size_t at = from; at < to; at += piece) {
            message.reset();
            message.putUint32(id);
            message.putString(data.data() + at, piece);
            message.skip(-static_cast<std::ptrdiff_t>(message.length()));
            ASSERT_TRUE(forwarder.handleMessage(SSH_MSG_CHANNEL_DATA, message));
        }
    };
    std::string back;
    const auto readUpTo = [&](std::size_t total) {
        char chunk[4096];
        pollfd wait{fd, POLLIN, 0};
        while (back.size() < total && poll(&wait, 1, 5000) == 1) {
            const ssize_t n = read(fd, chunk, std::min(sizeof chunk, total - back.size()));
            if (n <= 0) break;
            back.append(chunk, static_cast<std::size_t>(n));
        }
    };
    feed(0, firstPart);
    readUpTo(11 * 1024 * 1024);
    feed(firstPart, data.size());
    readUpTo(data.size());
    close(fd);
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
}

TEST(Forwarding, TargetThatClosesFirstEndsTheLocalConnection) {
    TestServer server({"--mode", "shell"}, "fwd_close");
    Target greeter(Target::GreetAndClose);
    const std::uint16_t port = freePort();
    Running run(server, {local(port, greeter.port())});
    ASSERT_TRUE(run.awaitLine("Forwarding"));
    const int fd = connectTo(port);
    EXPECT_EQ(test::drain(fd), "bye");  // then the end, though we never closed our side
    close(fd);
}

TEST(Forwarding, RefusedOpenAndFailedBindLeaveTheSessionRunning) {
    TestServer server({"--mode", "shell"}, "fwd_refused");
    std::uint16_t taken = 0;
    const int holder = listenOn(taken);
    const std::uint16_t nowhere = freePort(), port = freePort();
    Running run(server, {local(taken, 80), local(port, nowhere)});
    ASSERT_TRUE(run.awaitLine("Warning - Cannot listen on 127.0.0.1:" + std::to_string(taken)));
    ASSERT_TRUE(run.awaitLine("Forwarding 127.0.0.1:" + std::to_string(port)));
    const int fd = connectTo(port);
    EXPECT_EQ(test::drain(fd), "");
    close(fd);
    EXPECT_TRUE(run.awaitLine("the server could not open it"));
    sendInput(*run.session, "still\n", -1);
    EXPECT_TRUE(run.awaitOutput("still\n"));
    close(holder);
}

TEST(Forwarding, RemoteForwardReachesTheTargetNamedInTheRequest) {
    TestServer server({"--mode", "shell"}, "fwd_remote");
    Target echo(Target::Echo);
    const std::uint16_t port = freePort();
    Running run(server,
                {*parsePortForward(
                    std::to_string(port) + ":127.0.0.1:" + std::to_string(echo.port()), true)});
    ASSERT_TRUE(run.awaitLine("Forwarding the server's port"));
    const std::string data = everyByte(256, 7);
    EXPECT_EQ(roundTrip(connectTo(port), data), data);
    EXPECT_TRUE(server.recorded("REMOTE_FORWARD " + std::to_string(port) + " granted"));
}

TEST(Forwarding, FloodIntoASocketThatDoesNotReadClosesOnlyThatChannel) {
    TestServer server({"--mode", "shell"}, "fwd_flood");
    Target flood(Target::Flood);
    Target echo(Target::Echo);
    const std::uint16_t floodPort = freePort(), echoPort = freePort();
    // Without a cipher: what is measured is the channel code, not how fast 3DES runs under a
    // sanitizer. The terminal's output waits behind the flood already on the wire, however.
    Running run(server, {local(floodPort, flood.port()), local(echoPort, echo.port())}, "cat", 0);
    ASSERT_TRUE(run.awaitLine("Forwarding 127.0.0.1:" + std::to_string(echoPort)));
    const int stuck = connectTo(floodPort, 4096);  // never read
    // While the flood fills the queue, the terminal and the other channel answer.
    for (int i = 0; i < 3; ++i) {
        const std::string word = "ping" + std::to_string(i) + "\n";
        sendInput(*run.session, word.c_str(), -1);
        EXPECT_TRUE(run.awaitOutput(word, 60));
        EXPECT_EQ(roundTrip(connectTo(echoPort), word), word);
    }
    EXPECT_TRUE(run.awaitLine("KiB waiting for the local socket; channel closed"));
    sendInput(*run.session, "alive\n", -1);
    EXPECT_TRUE(run.awaitOutput("alive\n"));
    close(stuck);
}

TEST(Forwarding, DataForAChannelThatDoesNotExistIsReportedAndDropped) {
    TestServer server({"--scenario", "bogus-channel"}, "fwd_bogus");
    Running run(server, {});
    ASSERT_TRUE(run.awaitOutput("still here\r\n"));
    EXPECT_TRUE(run.awaitLine("sent data for channel 4242, which is not open; ignored"));
    EXPECT_TRUE(run.awaitLine("sent a close for channel 7, which is not open; ignored"));
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
    struct Row {
        const char* name;
        std::string in;
        X11Auth real;
        X11Setup result;
        std::string out;
    };
    const std::string whole = x11Setup('B', cookie, fake);
    const Row rows[] = {
        {"big-endian", whole + "rest", real, X11Setup::Accepted,
         x11Setup('B', cookie, real.data) + "rest"},
        {"little-endian", x11Setup('l', cookie, fake), real, X11Setup::Accepted,
         x11Setup('l', cookie, real.data)},
        {"display without authorization", whole, {}, X11Setup::Accepted, x11Setup('B', "", "")},
        {"wrong cookie", x11Setup('B', cookie, "0123456789abcdeF"), real, X11Setup::Refused, ""},
        {"no cookie", x11Setup('l', "", ""), real, X11Setup::Refused, ""},
        {"another protocol", x11Setup('B', "XDM-AUTHORIZATION-1", fake), real, X11Setup::Refused,
         ""},
        {"bad byte order", "X" + whole.substr(1), real, X11Setup::Refused, ""},
        {"huge field", x11Setup('B', std::string(2000, 'M'), fake), real, X11Setup::Refused, ""},
        {"header cut", whole.substr(0, 11), real, X11Setup::NeedMore, whole.substr(0, 11)},
        {"cookie cut", whole.substr(0, whole.size() - 1), real, X11Setup::NeedMore,
         whole.substr(0, whole.size() - 1)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string setup = r.in;
        EXPECT_EQ(rewriteX11Setup(setup, fake, r.real), r.result);
        if (r.result != X11Setup::Refused) {
            EXPECT_EQ(setup, r.out);
        }
    }
}

TEST(X11Display, ParsesWhatDisplayHolds) {
    EXPECT_TRUE(parseX11Display(":0")->local);
    EXPECT_EQ(parseX11Display("unix:12.0")->number, 12);
    EXPECT_EQ(parseX11Display("localhost:10.0")->host, "localhost");
    EXPECT_FALSE(parseX11Display("localhost"));
    EXPECT_FALSE(parseX11Display(":x"));
    EXPECT_FALSE(parseX11Display(":99999"));
    EXPECT_EQ(fromHex("00ff7A"), std::string("\x00\xffz", 3));
    EXPECT_FALSE(fromHex("0g"));
}

// The test server's X11 display relays to a fake local display that echoes what it is sent:
// what comes back is what the display saw.
TEST(Forwarding, X11ChannelsCarryTheRealCookieAndRefuseAWrongOne) {
    TestServer server({"--mode", "shell"}, "fwd_x11");
    std::unique_ptr<Target> display;
    int number = 60;
    for (; number < 200; ++number) {
        display = std::make_unique<Target>(Target::Echo, static_cast<std::uint16_t>(6000 + number));
        if (display->listening()) break;
    }
    const std::string realCookie = "REAL-COOKIE-16by";
    Running run(server, {}, "cat", 3, [&](LoginParameters& login) {
        login.forwardX11 = true;
        login.x11Display = "127.0.0.1:" + std::to_string(number) + ".0";
        login.x11AuthProtocol = "MIT-MAGIC-COOKIE-1";
        login.x11AuthData = realCookie;
    });
    ASSERT_TRUE(run.awaitLine("X11 forwarding to display 127.0.0.1:"));
    std::string fake;
    int serverDisplay = 0;
    for (const std::string& line : server.record()) {
        char hex[64];
        if (std::sscanf(line.c_str(), "X11_REQUEST MIT-MAGIC-COOKIE-1 %32s display=%d", hex,
                        &serverDisplay) == 2)
            fake = fromHex(hex).value_or("");
    }
    ASSERT_EQ(fake.size(), 16u);
    const std::uint16_t port = static_cast<std::uint16_t>(6000 + serverDisplay);
    const std::string request = x11Setup('l', "MIT-MAGIC-COOKIE-1", fake) + "first request";
    EXPECT_EQ(roundTrip(connectTo(port), request),
              x11Setup('l', "MIT-MAGIC-COOKIE-1", realCookie) + "first request");
    std::string wrong = fake;
    wrong[0] ^= 1;
    EXPECT_EQ(roundTrip(connectTo(port), x11Setup('l', "MIT-MAGIC-COOKIE-1", wrong)), "");
    EXPECT_TRUE(run.awaitLine("An X11 connection without the right cookie was refused"));
}

}  // namespace
}  // namespace corvid1
