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
using namespace std::chrono_literals;

void sendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// A listening socket on the loopback of one family with a kernel-chosen port; fd -1 where the
// family has no loopback.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    explicit Listener(int family = AF_INET, int backlog = 4) {
        sockaddr_storage address{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        address.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (family == AF_INET6) v6->sin6_addr = in6addr_loopback;
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, backlog) != 0) {
            if (fd >= 0) close(fd);
            fd = -1;
            return;
        }
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(family == AF_INET ? v4->sin_port : v6->sin6_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
};

// Names and addresses of both families, reached or not; a connection sends at once (no
// waiting for the previous packet's acknowledgement) and a failure leaves no handle behind.
TEST(OpenConnection, EachHostFormReachesItsFamilyOnly) {
    Listener v4;
    Listener v6(AF_INET6);
    const std::uint16_t closedPort = Listener().port;
    enum Where { V4, V6, Closed };
    // clang-format off
    const struct {
        const char* host;
        Where where;
        bool connects;
    } cases[] = {
        {"127.0.0.1", V4, true}, {"localhost", V4, true}, {"::ffff:127.0.0.1", V4, true},
        {"::1", V6, true}, {"0:0:0:0:0:0:0:1", V6, true}, {"0::1", V6, true},
        {"127.0.0.1", V6, false}, {"::1", V4, false}, {"127.0.0.1", Closed, false},
        {"[::1]", V4, false}};  // names that do not resolve: name_lookup_test
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " on " + std::to_string(int(c.where)));
        if (c.where == V6 && v6.fd < 0) continue;  // no IPv6 loopback here
        TcpSocket socket;
        EXPECT_EQ(socket.openConnection(c.host, c.where == V4   ? v4.port
                                                : c.where == V6 ? v6.port
                                                                : closedPort),
                  c.connects ? 1 : -1);
        if (!c.connects) {
            EXPECT_EQ(socket.socketHandle(), -1);
            continue;
        }
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        getsockopt(socket.socketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
        EXPECT_NE(noDelay, 0);
        const int accepted = accept(c.where == V4 ? v4.fd : v6.fd, nullptr, nullptr);
        socket.sendText("hello\n");
        char received[6] = {};
        EXPECT_EQ(read(accepted, received, 6), 6);
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
    Listener listener(AF_INET, 0);
    std::vector<TcpSocket> fillers(4);
    for (auto& filler : fillers) filler.openConnection("127.0.0.1", listener.port, 50);
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", listener.port, 300), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
    for (auto& filler : fillers) filler.shutdownAndClose();
}

extern "C" void ignoreSignal(int) {}

// Pieces are gathered, a signal in between is no end, nothing asked is nothing read, and a
// stream that closes first (or no socket at all) is a failure.
TEST(ReceiveExactly, GathersPiecesThroughSignalsAndFailsWhenTheStreamCloses) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: recv returns EINTR
    struct sigaction old {};
    sigaction(SIGUSR1, &action, &old);
    SocketPair pair;
    TcpSocket socket(pair.client);
    std::atomic<int> result{0};
    char four[4] = {};
    std::thread reader([&] { result = socket.receiveExactly(four, 4); });
    sendAll(pair.server, "ab");
    std::this_thread::sleep_for(50ms);
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(50ms);
    sendAll(pair.server, "cd");
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result.load(), 4);
    EXPECT_EQ(std::string(four, 4), "abcd");

    sendAll(pair.server, "ef");
    EXPECT_EQ(socket.receiveExactly(four, 0), 0);
    pair.closeServer();
    EXPECT_EQ(socket.receiveExactly(four, 4), -1);
    EXPECT_EQ(TcpSocket().receiveExactly(four, 1), -1);
    EXPECT_EQ(TcpSocket().sendBytes("x", 1), -1);
}

TEST(SendBytes, LargeRangeArrivesWholeAndAGonePeerRaisesNoSigpipe) {
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
    pair.closeServer();
    // With the default SIGPIPE action a plain send would end this test process.
    EXPECT_EQ(socket.sendBytes("lost", 4), -1);
}

// A version line ends at its line feed and takes nothing beyond; too long, or cut off by the
// end of the stream, it is no line.
TEST(ReadLine, EndsAtTheLineFeedWithinTheBuffer) {
    const std::string longest(TcpSocket::lineBufferSize - 1, 'a');
    const struct {
        std::string stream;
        std::string line;
    } cases[] = {{std::string("SSH-1.5-x\r\n\0\0\0\x0c", 15), "SSH-1.5-x\r\n"},
                 {longest + "\n", longest + "\n"},
                 {std::string(TcpSocket::lineBufferSize, 'b') + "\n", ""},
                 {"SSH-1.5-cut", ""}};
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
