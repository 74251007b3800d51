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

TEST(OpenConnection, DottedAddressConnectsAndTheHandleIsKept) {
    Listener listener;
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", listener.port), 1);
    EXPECT_GE(socket.socketHandle(), 0);
    // Keystrokes must not wait for the acknowledgement of the previous packet.
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(socket.socketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    const int accepted = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    socket.sendText("hello\n");
    char received[6];
    ASSERT_EQ(read(accepted, received, 6), 6);
    EXPECT_EQ(std::string(received, 6), "hello\n");
    close(accepted);
    socket.shutdownAndClose();
    EXPECT_EQ(socket.socketHandle(), -1);
    socket.shutdownAndClose();  // a second close does nothing
    EXPECT_EQ(socket.socketHandle(), -1);
}

TEST(OpenConnection, HostNameIsLookedUp) {
    Listener listener;
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("localhost", listener.port), 1);
    socket.shutdownAndClose();
}

// Texts that do not start with a digit 1-9 go to the resolver for both families: the IPv6
// loopback in its usual and long forms, and an IPv4 address written as IPv6.
TEST(OpenConnection, IpvSixAddressesAreResolvedAndConnected) {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    listen(fd, 4);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    const std::uint16_t port = ntohs(address.sin6_port);
    for (const char* host : {"::1", "0:0:0:0:0:0:0:1", "0::1"}) {
        TcpSocket socket;
        EXPECT_EQ(socket.openConnection(host, port), 1) << host;
        const int accepted = accept(fd, nullptr, nullptr);
        EXPECT_GE(accepted, 0) << host;
        if (accepted >= 0) close(accepted);
        socket.shutdownAndClose();
    }
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", port), -1);  // nothing there on IPv4
    close(fd);

    Listener v4;
    EXPECT_EQ(socket.openConnection("::ffff:127.0.0.1", v4.port), 1);
    socket.shutdownAndClose();
    EXPECT_EQ(socket.openConnection("::1", v4.port), -1);  // nothing there on IPv6
    EXPECT_EQ(socket.socketHandle(), -1);
}

TEST(OpenConnection, FailuresLeaveTheHandleEmpty) {
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("no-such-host.invalid", 22), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
    EXPECT_EQ(socket.openConnection("1.2.3.4.5", 22), -1);  // digit-led, not an address
    EXPECT_EQ(socket.openConnection("[::1]", 22), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
    EXPECT_EQ(socket.openConnection("", 22), -1);
    int port;
    {
        Listener closed;
        port = closed.port;
    }
    EXPECT_EQ(socket.openConnection("127.0.0.1", static_cast<std::uint16_t>(port)), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
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

TEST(ReadLine, KeepsCarriageReturnAndLineFeedAndLeavesTheRest) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    sendAll(pair.server, std::string("SSH-1.5-x\r\n\0\0\0\x0c", 15));
    const std::string line = socket.readLine();
    EXPECT_EQ(line, "SSH-1.5-x\r\n");
    EXPECT_EQ(line.size(), 11u);
    char next[4];
    EXPECT_EQ(socket.receiveExactly(next, 4), 4);  // the line took no byte beyond its end
    EXPECT_EQ(std::string(next, 4), std::string("\0\0\0\x0c", 4));
}

TEST(ReadLine, LineLongerThanTheBufferIsRefused) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    const std::string longest(TcpSocket::lineBufferSize - 1, 'a');
    sendAll(pair.server, longest + "\n");
    EXPECT_EQ(socket.readLine(), longest + "\n");
    sendAll(pair.server, std::string(TcpSocket::lineBufferSize, 'b') + "\n");
    EXPECT_EQ(socket.readLine(), "");
}

TEST(ReadLine, StopsWhenTheStreamEndsBeforeALineFeed) {
    SocketPair pair;
    TcpSocket socket(pair.client);
    sendAll(pair.server, "SSH-1.5-cut");
    pair.closeServer();
    EXPECT_EQ(socket.readLine(), "");
}

}  // namespace
}  // namespace corvid1
