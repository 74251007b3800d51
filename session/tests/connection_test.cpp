#include "session/connection.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "test_support.h"

namespace corvid1 {
namespace {

using test::SocketPair;

const std::uint8_t sessionKey[32] = {1, 2, 3};

std::string be32Bytes(std::uint32_t value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return std::string(bytes, 4);
}

// A plaintext packet framed by hand: padding (zeros as the client sends it, or non-zero bytes a
// receiver must skip unread), type, payload, and a check value, on request off by one.
std::string wirePacket(std::uint8_t type, const std::string& payload, bool badCheck = false,
                       bool zeroPadding = false) {
    const std::uint32_t length = static_cast<std::uint32_t>(1 + payload.size() + 4);
    std::string body;
    for (std::size_t i = 0; i < 8 - length % 8; ++i) body += zeroPadding ? '\0' : char(0xA0 + i);
    body += static_cast<char>(type) + payload;
    const auto crc = packetCrc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    return be32Bytes(length) + body + be32Bytes(crc + (badCheck ? 1 : 0));
}

void sendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(TcpSocket(fd).sendBytes(bytes.data(), bytes.size()), 0);
}

std::string rest(MessageBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.cursor()), buffer.remaining());
}

// The client's framing: length, 1 to 8 zero padding bytes so that padding, type, payload and
// check fill whole blocks, the check over all of them; the buffer keeps it; a reader takes it;
// the null cipher sends the same bytes.
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

struct ReadCase {
    const char* name;
    std::string stream;
    int type;
    PacketError error;  // None: the read gives `type` and `payload`
    std::string payload;
};

// Every stream is read fed whole, a byte at a time, and cut short at every offset.
TEST(PacketReading, EveryStreamWholeSplitAndCut) {
    const std::string hello("\0\0\0\5hello", 9);
    const std::vector<ReadCase> cases = {
        {"payload after the cursor, check not part of it", wirePacket(17, hello), 17,
         PacketError::None, hello},
        {"ignore and debug are never returned",
         wirePacket(SSH_MSG_IGNORE, std::string("\0\0\0\3xyz", 7)) +
             wirePacket(SSH_MSG_DEBUG, std::string("\0\0\0\1d", 5)) +
             wirePacket(SSH_MSG_IGNORE, "") + wirePacket(14, ""),
         14, PacketError::None, ""},
        {"type bytes are signed", wirePacket(200, "z"), -56, PacketError::None, "z"},
        {"length above the limit", be32Bytes(Connection::maxPacketLength + 1) + "8 bytes!", -1,
         PacketError::TooLong, ""},
        {"length too short for type and check", be32Bytes(4) + std::string(8, '\0'), -1,
         PacketError::TooShort, ""},
        {"wrong check value", wirePacket(17, hello, true), -1, PacketError::BadCheck, ""},
        {"largest length (fed whole only)",
         wirePacket(17, std::string(Connection::maxPacketLength - 5, 'z')), 17, PacketError::None,
         std::string(Connection::maxPacketLength - 5, 'z')}};
    for (const ReadCase& c : cases) {
        const std::size_t first = c.stream.size() > 1000 ? c.stream.size() : 1;
        for (std::size_t cut = first; cut <= c.stream.size() + 1; ++cut) {
            const bool whole = cut == c.stream.size();
            const bool byteByByte = cut == c.stream.size() + 1;
            SocketPair pair;
            Connection connection(pair.client);
            std::thread server([&] {
                if (byteByByte) {
                    for (char byte : c.stream) sendAll(pair.server, std::string(1, byte));
                } else {
                    sendAll(pair.server, c.stream.substr(0, cut));
                }
                pair.closeServer();
            });
            MessageBuffer buffer;
            const int type = connection.readPacket(buffer);
            server.join();
            // A read that fails on the header never waits for the rest, so a cut after the
            // header fails the same way; a good packet cut short is a closed stream.
            const bool fails = c.error != PacketError::None;
            if (whole || byteByByte || (fails && c.error != PacketError::BadCheck && cut >= 4)) {
                EXPECT_EQ(type, c.type) << c.name << " cut " << cut;
                EXPECT_EQ(connection.lastError(), c.error) << c.name;
                EXPECT_EQ(fails ? "" : rest(buffer), c.payload) << c.name;
                EXPECT_LT(buffer.size(), 1024u + c.payload.size());  // none for a claimed length
            } else {
                EXPECT_EQ(type, -1) << c.name << " cut " << cut;
                EXPECT_EQ(connection.lastError(), PacketError::StreamClosed) << c.name << cut;
            }
        }
    }
}

}  // namespace
}  // namespace corvid1
