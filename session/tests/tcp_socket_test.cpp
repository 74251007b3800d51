#include "session/tcp_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "test_support.h"

namespace corvid1 {
namespace {

using test::SocketPair;

void sendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    explicit Listener(int backlog = 4) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, backlog);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
};

// A listening socket on the IPv6 loopback, or none (fd -1) where there is no IPv6.
struct Listener6 {
    int fd = -1;
    std::uint16_t port = 0;
    Listener6() {
        fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0) close(fd);
            fd = -1;
            return;
        }
        listen(fd, 4);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin6_port);
    }
    ~Listener6() {
        if (fd >= 0) close(fd);
    }
};

// Names and addresses of both families, reached or not; a connection sends at once (no
// waiting for the previous packet's acknowledgement) and a failure leaves no handle behind.
TEST(OpenConnection, EachHostFormReachesItsFamilyOnly) {
    Listener v4;
    Listener6 v6;
    std::uint16_t closedPort;
    {
        Listener closed;
        closedPort = closed.port;
    }
    enum Where { V4, V6, Closed };
    const struct {
        const char* host;
        Where where;
        bool connects;
    } cases[] = {
        {"127.0.0.1", V4, true},
        {"localhost", V4, true},
        {"::ffff:127.0.0.1", V4, true},
        {"::1", V6, true},
        {"0:0:0:0:0:0:0:1", V6, true},
        {"0::1", V6, true},
        {"127.0.0.1", V6, false},
        {"::1", V4, false},
        {"127.0.0.1", Closed, false},
        {"no-such-host.invalid", V4, false},
        {"1.2.3.4.5", V4, false},
        {"[::1]", V4, false},
        {"", V4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " on " + std::to_string(int(c.where)));
        if (c.where == V6 && v6.fd < 0) continue;  // no IPv6 loopback here
        const std::uint16_t port = c.where == V4 ? v4.port : c.where == V6 ? v6.port : closedPort;
        TcpSocket socket;
        EXPECT_EQ(socket.openConnection(c.host, port), c.connects ? 1 : -1);
        if (!c.connects) {
            EXPECT_EQ(socket.socketHandle(), -1);
            continue;
        }
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        ASSERT_EQ(getsockopt(socket.socketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
        EXPECT_NE(noDelay, 0);
        const int accepted = accept(c.where == V4 ? v4.fd : v6.fd, nullptr, nullptr);
        ASSERT_GE(accepted, 0);
        socket.sendText("hello\n");
        char received[6];
        ASSERT_EQ(read(accepted, received, 6), 6);
        EXPECT_EQ(std::string(received, 6), "hello\n");
        close(accepted);
        socket.shutdownAndClose();
        EXPECT_EQ(socket.socketHandle(), -1);
        socket.shutdownAndClose();  // a second close does nothing
    }
}

TEST(OpenConnection, UnansweredConnectGivesUpAfterTheTimeout) {
    // A listener whose queue is full and never accepted drops further handshakes, so the
    // connect neither succeeds nor fails by itself.
    Listener listener(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(listener.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", listener.port, 300), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
    for (int fd : fillers) close(fd);
}

TEST(ReceiveExactly, ZeroLengthReceivesNothing) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    sendAll(pair.server, "x");
    char byte = 0;
    EXPECT_EQ(socket.receiveExactly(&byte, 0), 0);
    EXPECT_EQ(socket.receiveExactly(&byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}

TEST(ReceiveExactly, GathersPiecesAndFailsWhenTheStreamClosesFirst) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    std::thread server([&] {
        sendAll(pair.server, "ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sendAll(pair.server, "cd");
    });
    char four[4];
    EXPECT_EQ(socket.receiveExactly(four, 4), 4);
    EXPECT_EQ(std::string(four, 4), "abcd");
    server.join();
    sendAll(pair.server, "ef");
    pair.closeServer();
    EXPECT_EQ(socket.receiveExactly(four, 4), -1);
}

TEST(ReceiveExactly, NoSocketFails) {
    TcpSocket socket;
    char byte;
    EXPECT_EQ(socket.receiveExactly(&byte, 1), -1);
    EXPECT_EQ(socket.sendBytes("x", 1), -1);
}

extern "C" void ignoreSignal(int) {}

TEST(ReceiveExactly, InterruptedReceiveIsRetried) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: recv returns EINTR
    struct sigaction old {};
    sigaction(SIGUSR1, &action, &old);

    SocketPair pair;
    TcpSocket socket(pair.client);
    std::atomic<int> result{0};
    char bytes[3] = {};
    std::thread reader([&] { result = socket.receiveExactly(bytes, 3); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sendAll(pair.server, "abc");
    reader.join();
    EXPECT_EQ(result.load(), 3);
    EXPECT_EQ(std::string(bytes, 3), "abc");
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(SendBytes, PeerGoneDoesNotRaiseSigpipe) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    pair.closeServer();
    // With the default SIGPIPE action a plain send would end this test process.
    EXPECT_EQ(socket.sendBytes("lost", 4), -1);
}

TEST(SendBytes, LargeRangeArrivesWhole) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    std::string big(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + (i >> 9));
    std::string received;
    std::thread reader([&] { received = test::drain(pair.server); });
    EXPECT_EQ(socket.sendBytes(big.data(), big.size()), 0);
    shutdown(pair.client, SHUT_WR);
    reader.join();
    EXPECT_EQ(received, big);
}

// A version line ends at its line feed and takes nothing beyond; too long, or cut off by the
// end of the stream, it is no line.
TEST(ReadLine, EndsAtTheLineFeedWithinTheBuffer) {
    const std::string longest(TcpSocket::lineBufferSize - 1, 'a');
    const struct {
        std::string stream;
        std::string line;
    } cases[] = {
        {std::string("SSH-1.5-x\r\n\0\0\0\x0c", 15), "SSH-1.5-x\r\n"},
        {longest + "\n", longest + "\n"},
        {std::string(TcpSocket::lineBufferSize, 'b') + "\n", ""},
        {"SSH-1.5-cut", ""},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        TcpSocket socket(pair.client);
        std::thread server([&] {
            sendAll(pair.server, c.stream);
            pair.closeServer();
        });
        EXPECT_EQ(socket.readLine(), c.line) << c.stream.substr(0, 20);
        server.join();
        if (!c.line.empty()) {  // what follows the line is still there
            EXPECT_EQ(test::drain(pair.client), c.stream.substr(c.line.size()));
        }
    }
}

}  // namespace
}  // namespace corvid1
