// The packet layer from the bottom up: message buffer, socket, framing, packet reader.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "freed_memory.h"
#include "session/session.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::bytesOf;
using test::SocketPair;
using namespace std::chrono_literals;
using namespace std::string_literals;

// A buffer holding exactly `bytes`, cursor at the start, as a received packet would be.
void loadForReading(MessageBuffer& buffer, const std::string& bytes) {
    buffer.reset();
    buffer.append(bytes.data(), bytes.size());
    buffer.skip(-static_cast<std::ptrdiff_t>(bytes.size()));
}

// What each way of building a message puts in the buffer, byte for byte.
TEST(MessageBufferWriting, EachBuildMakesTheseBytes) {
    const std::string head = std::string(12, '\0');
    std::string many = head + "\x10";
    for (int i = 0; i < 5000; ++i) many += static_cast<char>(i * 7);
    // clang-format off
    const struct { const char* name; std::function<void(MessageBuffer&)> build; std::string bytes; } cases[] = {
        {"packet then string", [](auto& b) { b.beginPacket(16), b.putString("ls\n"); }, head + "\x10\0\0\0\3ls\n"s},
        {"new packet drops the old", [](auto& b) { b.putString("x"), b.beginPacket(9); }, head + "\x09"},
        {"big-endian integers", [](auto& b) { b.putUint32(0x01020304u), b.putUint32(0xFFFFFFFEu); },
         "\x01\x02\x03\x04\xFF\xFF\xFF\xFE"s},
        {"empty string", [](auto& b) { b.putString(""); }, "\0\0\0\0"s},
        {"string with a NUL", [](auto& b) { b.putString("a\0b", 3); }, "\0\0\0\3a\0b"s},
        {"append in the middle ends the content there",
         [](auto& b) { b.append("abcdef", 6), b.skip(-4), b.append("XY", 2); }, "abXY"},
        {"growth keeps every byte",
         [](auto& b) { b.beginPacket(16); for (int i = 0; i < 5000; ++i) b.putByte(std::uint8_t(i * 7)); }, many}};
    // clang-format on
    for (const auto& c : cases) {
        MessageBuffer buffer;
        c.build(buffer);
        EXPECT_EQ(bytesOf(buffer.data(), buffer.size()), c.bytes) << c.name;
    }
}

// A length beyond the packet, or cut short, breaks the buffer: reads give zeros until a reset.
TEST(MessageBufferReading, ValuesComeBackAndOverrunsBreakTheBufferAndCursorMovesStayInside) {
    MessageBuffer buffer;
    loadForReading(buffer, "\x01\x02\x03\x04\0\0\0\3a\0b\0\0\0\0"s);
    EXPECT_EQ(buffer.getUint32(), 0x01020304u);
    EXPECT_EQ(buffer.getString(), "a\0b"s);
    EXPECT_EQ(buffer.getString(), "");
    EXPECT_FALSE(buffer.broken());
    for (const std::string& bytes : {"\0\0\3\350abc"s, "\377\377\377\377x"s, "\0\0"s}) {
        loadForReading(buffer, bytes);
        EXPECT_EQ(buffer.getString(), "");
        EXPECT_TRUE(buffer.broken());
        EXPECT_EQ(buffer.remaining(), 0u);
        EXPECT_EQ(buffer.getUint32(), 0u);
    }
    buffer.reset();
    EXPECT_FALSE(buffer.broken());
    // The cursor never leaves the content; reserve makes room behind it to receive into.
    buffer.reserve(4);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(buffer.size(), 4u);
    const unsigned char received[4] = {0, 0, 1, 2};
    std::copy(received, received + 4, buffer.cursor());
    EXPECT_EQ(buffer.getUint32(), 258u);
    buffer.reserve(-2);  // a non-positive reserve moves the cursor back
    EXPECT_EQ(buffer.getByte(), 1);
    for (const std::ptrdiff_t move : {-10, 9}) {
        loadForReading(buffer, "abcd");
        buffer.skip(move);
        EXPECT_EQ(buffer.length(), move < 0 ? 0u : 4u) << move;
        EXPECT_TRUE(buffer.broken()) << move;
    }
}

// It carries passwords and decrypted packets: starting over leaves none of the old bytes.
TEST(MessageBufferWipe, ResetAndNewPacketLeaveNoneOfThePreviousPlaintext) {
    for (const bool asPacket : {false, true}) {
        MessageBuffer buffer(SSH_CMSG_AUTH_PASSWORD);
        buffer.putString("wonderland-wonderland");
        const std::size_t used = buffer.size();
        asPacket ? buffer.beginPacket(SSH_CMSG_USER) : buffer.reset();
        const std::string left = bytesOf(buffer.data(), used);
        EXPECT_EQ(left.find("wonder"), std::string::npos) << asPacket;
        EXPECT_TRUE(asPacket || left == std::string(used, '\0'));
    }
}

// Nor does a block the buffer lets go of, when it grows or when it goes.
TEST(MessageBufferWipe, GrowingAndGoingLeaveNoPlaintextInFreedMemory) {
    static const char filler[64 * 1024] = {};
    const std::vector<std::string> secrets = {std::string("wonderland-") + "in-clear"};
    test::freed::watch(secrets);
    {
        MessageBuffer buffer(SSH_CMSG_AUTH_PASSWORD);
        buffer.putString("wonderland-in-clear");
        buffer.append(filler, sizeof filler);  // outgrows its first block
    }
    EXPECT_EQ(test::freed::stop(), 0);
}

// A 16-bit bit count, then the bytes big-endian; a count beyond the packet breaks the buffer.
TEST(MessageBufferMpint, EncodingsRoundTripAndOverlongCountsBreak) {
    // clang-format off
    const struct { std::string hex; /* "": only decoded */ std::string bytes; bool broken; } cases[] = {
        {"ff", "\0\x08\xFF"s, false}, {"100", "\0\x09\x01\0"s, false}, {"0", "\0\x01\0"s, false},
        {"80", "\0\x08\x80"s, false}, {"", "\0\0"s, false},  // no bits: zero
        {"", "\0\x10\x7F"s, true}, {"", "\xFF\xFF\x01"s, true}};
    // clang-format on
    mpz_t z;
    mpz_init(z);
    for (const auto& c : cases) {
        if (!c.hex.empty()) {
            mpz_set_str(z, c.hex.c_str(), 16);
            MessageBuffer out;
            out.putMpint(z);
            EXPECT_EQ(bytesOf(out.data(), out.length()), c.bytes) << c.hex;
        }
        MessageBuffer in;
        loadForReading(in, c.bytes);
        mpz_set_ui(z, 12345);
        in.getMpint(z);
        EXPECT_EQ(in.broken(), c.broken) << c.hex;
        char text[1024];
        mpz_get_str(text, 16, z);
        EXPECT_EQ(text, c.hex.empty() ? "0" : c.hex);
    }
    mpz_clear(z);
}

void sendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// A listener on one family's loopback, kernel-chosen port; fd -1 where there is no loopback.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    explicit Listener(int family = AF_INET, int backlog = 4) {
        // Either family fits; the port lies at the same offset in both.
        sockaddr_in6 address{};
        address.sin6_family = sa_family_t(family);
        address.sin6_addr = in6addr_loopback;
        if (family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(fd, backlog) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            close(std::exchange(fd, -1));
        port = ntohs(address.sin6_port);
    }
    ~Listener() { close(fd); }
};

// A connection sends at once (TCP_NODELAY); a failure leaves no handle behind.
TEST(OpenConnection, EachHostFormReachesItsFamilyOnly) {
    Listener v4, v6(AF_INET6);
    const std::uint16_t closedPort = Listener().port;
    enum Where { V4, V6, Closed };
    // clang-format off
    const struct { const char* host; Where where; bool connects; } cases[] = {
        {"127.0.0.1", V4, true}, {"localhost", V4, true}, {"::ffff:127.0.0.1", V4, true},
        {"::1", V6, true}, {"0:0:0:0:0:0:0:1", V6, true}, {"0::1", V6, true},
        {"127.0.0.1", V6, false}, {"::1", V4, false}, {"127.0.0.1", Closed, false},
        {"[::1]", V4, false}};  // names that do not resolve: name_lookup_test
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " on " + std::to_string(int(c.where)));
        if (c.where == V6 && v6.fd < 0) continue;  // no IPv6 loopback here
        TcpSocket socket;
        const std::uint16_t ports[] = {v4.port, v6.port, closedPort};
        EXPECT_EQ(socket.openConnection(c.host, ports[c.where]), c.connects ? 1 : -1);
        EXPECT_EQ(socket.socketHandle() >= 0, c.connects);
        if (!c.connects) continue;
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        getsockopt(socket.socketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
        EXPECT_NE(noDelay, 0);
        const int accepted = accept(c.where == V4 ? v4.fd : v6.fd, nullptr, nullptr);
        socket.sendText("hello\n");
        socket.shutdownAndClose();
        EXPECT_EQ(test::drain(accepted), "hello\n");
        close(accepted);
        EXPECT_EQ(socket.socketHandle(), -1);
        socket.shutdownAndClose();  // a second close does nothing
    }
}

TEST(OpenConnection, UnansweredConnectGivesUpAfterTheTimeout) {
    // A full queue that is never accepted drops handshakes: connect neither succeeds nor fails.
    Listener listener(AF_INET, 0);
    std::vector<TcpSocket> fillers(4);
    for (auto& filler : fillers) filler.openConnection("127.0.0.1", listener.port, 50);
    TcpSocket socket;
    EXPECT_EQ(socket.openConnection("127.0.0.1", listener.port, 300), -1);
    EXPECT_EQ(socket.socketHandle(), -1);
    for (auto& filler : fillers) filler.shutdownAndClose();
}

extern "C" void ignoreSignal(int) {}

// A signal between pieces is no end; a large range arrives whole; a stream that closes first,
// or no socket, is a failure, and a gone peer raises no SIGPIPE (which would end this process).
TEST(TcpSocket, ReceiveGathersThroughSignalsSendArrivesWholeAndAClosedStreamFails) {
    struct sigaction action = {}, old = {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: recv returns EINTR
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
    EXPECT_EQ(socket.receiveExactly(four, 0), 0);

    std::string big(3 * 1024 * 1024, '\0'), received;
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + (i >> 9));
    std::thread drainer([&] { received = test::drain(pair.server); });
    EXPECT_EQ(socket.sendBytes(big.data(), big.size()), 0);
    shutdown(pair.client, SHUT_WR);
    drainer.join();
    EXPECT_EQ(received, big);
    pair.closeServer();
    EXPECT_EQ(socket.receiveExactly(four, 4), -1);
    EXPECT_EQ(socket.sendBytes("lost", 4), -1);
    EXPECT_EQ(TcpSocket().receiveExactly(four, 1), -1);
    EXPECT_EQ(TcpSocket().sendBytes("x", 1), -1);
}

// A version line ends at its line feed, taking nothing beyond; too long or cut off: no line.
TEST(ReadLine, EndsAtTheLineFeedWithinTheBuffer) {
    const std::string longest(TcpSocket::lineBufferSize - 1, 'a');
    // clang-format off
    const struct { std::string stream, line; } cases[] = {{"SSH-1.5-x\r\n\0\0\0\x0c"s, "SSH-1.5-x\r\n"},
        {longest + "\n", longest + "\n"}, {std::string(longest.size() + 1, 'b') + "\n", ""}, {"SSH-1.5-cut", ""}};
    // clang-format on
    for (const auto& c : cases) {
        SocketPair pair;
        TcpSocket socket(pair.client);
        std::thread server([&] { sendAll(pair.server, c.stream), pair.closeServer(); });
        EXPECT_EQ(socket.readLine(), c.line) << c.stream.substr(0, 20);
        server.join();
        if (!c.line.empty()) {  // what follows the line is still there
            EXPECT_EQ(test::drain(pair.client), c.stream.substr(c.line.size()));
        }
    }
}

const std::uint8_t sessionKey[32] = {1, 2, 3};

std::string be32Bytes(std::uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A plaintext packet framed by hand; non-zero padding must be skipped unread by a receiver.
std::string wirePacket(std::uint8_t type, const std::string& payload, bool badCheck = false,
                       bool zeroPadding = false) {
    const std::uint32_t length = static_cast<std::uint32_t>(1 + payload.size() + 4);
    std::string body;
    for (std::size_t i = 0; i < 8 - length % 8; ++i) body += zeroPadding ? '\0' : char(0xA0 + i);
    body += static_cast<char>(type) + payload;
    const auto crc = packetCrc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    return be32Bytes(length) + body + be32Bytes(crc + (badCheck ? 1 : 0));
}

std::string rest(MessageBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.cursor()), buffer.remaining());
}

// 1 to 8 zero padding bytes fill whole blocks; a reader takes it; the null cipher sends the same.
TEST(PacketFraming, EveryPaddingSizeFramesAndRoundTrips) {
    SocketPair pair;
    Connection writer(pair.client);
    NullCipherConnection nullCipher(writer);
    nullCipher.setSessionKey(sessionKey, sizeof sessionKey);
    Connection reader(pair.server);
    MessageBuffer in;
    for (std::size_t size = 0; size < 20; ++size) {
        const std::string payload(size, static_cast<char>('a' + size));
        for (Connection* connection : {&writer, static_cast<Connection*>(&nullCipher)}) {
            MessageBuffer out(17);
            out.append(payload.data(), payload.size());
            ASSERT_EQ(connection->writePacket(out), 0);
            EXPECT_EQ(test::bytesOf(out.data(), out.length()),
                      wirePacket(17, payload, false, true));
            ASSERT_EQ(reader.readPacket(in), 17) << size;
            EXPECT_EQ(rest(in), payload) << size;
        }
    }
    MessageBuffer notAPacket;  // never begun as a packet: nothing is sent
    notAPacket.putUint32(7);
    EXPECT_EQ(writer.writePacket(notAPacket), -1);
}

// Every stream is read fed whole, a byte at a time, and cut short at every offset.
TEST(PacketReading, EveryStreamWholeSplitAndCut) {
    const std::string hello("\0\0\0\5hello", 9), largest(Connection::maxPacketLength - 5, 'z');
    using enum PacketError;
    // clang-format off
    const struct { const char* name; std::string stream; int type; PacketError error; std::string payload; } cases[] = {
        {"payload after the cursor, check not part of it", wirePacket(17, hello), 17, None, hello},
        {"ignore and debug are never returned", wirePacket(SSH_MSG_IGNORE, "\0\0\0\3xyz"s) +
             wirePacket(SSH_MSG_DEBUG, "\0\0\0\1d"s) + wirePacket(SSH_MSG_IGNORE, "") + wirePacket(14, ""), 14, None, ""},
        {"types above 127 come back whole", wirePacket(255, "z"), 255, None, "z"},
        {"length above the limit", be32Bytes(Connection::maxPacketLength + 1) + "8 bytes!", -1, TooLong, ""},
        {"length too short for type and check", be32Bytes(4) + std::string(8, '\0'), -1, TooShort, ""},
        {"wrong check value", wirePacket(17, hello, true), -1, BadCheck, ""},
        {"largest length (fed whole only)", wirePacket(17, largest), 17, None, largest}};
    // clang-format on
    for (const auto& c : cases) {
        const std::size_t first = c.stream.size() > 1000 ? c.stream.size() : 1;
        for (std::size_t cut = first; cut <= c.stream.size() + 1; ++cut) {
            const bool whole = cut == c.stream.size(), byteByByte = cut == c.stream.size() + 1;
            SocketPair pair;
            Connection connection(pair.client);
            std::thread server([&] {
                for (std::size_t i = 0; byteByByte && i < cut - 1; ++i)
                    sendAll(pair.server, c.stream.substr(i, 1));
                if (!byteByByte) sendAll(pair.server, c.stream.substr(0, cut));
                pair.closeServer();
            });
            MessageBuffer buffer;
            const int type = connection.readPacket(buffer);
            server.join();
            // A header failure never waits for the rest; a good packet cut short: stream closed.
            const bool fails = c.error != None;
            const bool read = whole || byteByByte || (fails && c.error != BadCheck && cut >= 4);
            EXPECT_EQ(type, read ? c.type : -1) << c.name << " cut " << cut;
            EXPECT_EQ(connection.lastError(), read ? c.error : StreamClosed)
                << c.name << " " << cut;
            EXPECT_EQ(fails || !read ? "" : rest(buffer), read ? c.payload : "") << c.name;
            EXPECT_LT(buffer.size(), 1024u + c.payload.size());  // none for a claimed length
        }
    }
}

}  // namespace
}  // namespace corvid1
