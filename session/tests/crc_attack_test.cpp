// The CRC-32 compensation attack detector on an encrypted connection's receive path, and on in
// every session keyed with a real cipher.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "session/crc_attack_inspector.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::RecordingFrontEnd;
using test::SocketPair;
using namespace std::string_literals;

const std::uint8_t sessionKey[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16, 17};

// Blocks of a packet's ciphertext (0 = the first block behind the length field) at which copies
// of one block cancel in the CRC: the generator polynomial's terms, highest degree first.
// Blocks before the first (negative) are left out.
std::vector<std::size_t> neutralPattern(long start) {
    std::vector<std::size_t> positions;
    for (int degree = 32; degree >= 0; --degree)
        if (((0x104C11DB7ull >> degree) & 1) && start + 32 - degree >= 0)
            positions.push_back(std::size_t(start + 32 - degree));
    return positions;
}

// A packet on the wire: the length field, then padding, type, payload and check as ciphertext.
struct WirePacket {
    std::string bytes;
    // Copies `value` (by default the block at the first position) to every position.
    void repeatBlock(const std::vector<std::size_t>& positions, const char* value = nullptr) {
        const std::string copy(value ? value : &bytes[4 + 8 * positions.front()], 8);
        for (std::size_t p : positions) bytes.replace(4 + 8 * p, 8, copy);
    }
};

bool readWirePacket(int fd, WirePacket& packet) {
    TcpSocket socket(fd);
    char field[4];
    if (socket.receiveExactly(field, 4) != 4) return false;
    std::uint32_t length = 0;
    for (char c : field) length = length << 8 | std::uint8_t(c);
    if (length > Connection::maxPacketLength) return false;
    packet.bytes.assign(field, 4).resize(4 + length + 8 - length % 8);
    return socket.receiveExactly(&packet.bytes[4], packet.bytes.size() - 4) > 0;
}

// Sends the packets to a reader of the cipher that has the detector; returns how many it read
// before it failed or ran out, and leaves its last error in `error`.
template <typename Cipher>
std::size_t receiveAll(const std::vector<WirePacket>& packets, CrcAttackInspector& inspector,
                       PacketError& error) {
    SocketPair pair;
    std::thread feeder([&] {
        for (const WirePacket& packet : packets)
            if (::send(pair.client, packet.bytes.data(), packet.bytes.size(), MSG_NOSIGNAL) < 0)
                break;
        ::shutdown(pair.client, SHUT_WR);
    });
    Connection plain(pair.server);
    Cipher reader(plain);
    reader.setSessionKey(sessionKey, sizeof sessionKey);  // the chains start afresh
    reader.setInspector(&inspector);
    MessageBuffer in;
    std::size_t read = 0;
    while (read < packets.size() && reader.readPacket(in) == SSH_SMSG_STDOUT_DATA) ++read;
    error = reader.lastError();
    ::shutdown(pair.server, SHUT_RDWR);  // lets the feeder finish whatever the reader left
    feeder.join();
    return read;
}

// Honest traffic passes; copies that cancel the CRC are refused mid-packet, at the end of the
// largest, and using the previous packet's last block; one copy fewer is left to the check value.
template <typename Cipher>
void honestTrafficPassesAndCraftedRepeatsAreRefused() {
    const std::size_t largest = Connection::maxPacketLength - 1 - 4 - 4;
    std::string pattern;
    for (std::size_t i = 0; i < largest; ++i) pattern += "0123456789abcdef"[i % 16];
    std::vector<WirePacket> honest;
    SocketPair pair;
    Connection plain(pair.client);
    Cipher writer(plain);
    writer.setSessionKey(sessionKey, sizeof sessionKey);  // keys both contexts alike
    std::thread collector([&] {
        for (WirePacket packet; readWirePacket(pair.server, packet);) honest.push_back(packet);
    });
    MessageBuffer out;
    for (const std::string& text :
         {"x"s, std::string(16384, ' '), std::string(largest, '\0'), pattern})
        out.beginPacket(SSH_SMSG_STDOUT_DATA), out.putString(text.data(), text.size()),
            writer.writePacket(out);
    ::shutdown(pair.client, SHUT_WR);
    collector.join();
    ASSERT_EQ(honest.size(), 4u);
    const std::size_t lastStart = (honest[2].bytes.size() - 4) / 8 - 33;
    std::vector<std::size_t> partial = neutralPattern(1000);
    partial.pop_back();
    using enum PacketError;
    // clang-format off
    const struct { std::size_t index; std::vector<std::size_t> positions; const char* value; PacketError error; } cases[] = {
        {4, {}, nullptr, None}, {1, neutralPattern(1000), nullptr, Refused},
        {2, neutralPattern(long(lastStart)), nullptr, Refused}, {1, partial, nullptr, BadCheck},
        {1, neutralPattern(-1), &honest[0].bytes.back() - 7, Refused}};  // block -1: the one before
    // clang-format on
    for (const auto& c : cases) {
        std::vector<WirePacket> crafted = honest;
        if (c.index < crafted.size()) crafted[c.index].repeatBlock(c.positions, c.value);
        CrcAttackInspector inspector;
        PacketError error;
        EXPECT_EQ(receiveAll<Cipher>(crafted, inspector, error), std::min(c.index, std::size_t(4)));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(inspector.lastResult(),
                  c.error == Refused ? DeattackResult::AttackDetected : DeattackResult::Fine);
    }
}

TEST(CrcAttackInspector, HonestTrafficPassesAndCraftedRepeatsAreRefusedInEachCipher) {
    honestTrafficPassesAndCraftedRepeatsAreRefused<TripleDesConnection>();
    honestTrafficPassesAndCraftedRepeatsAreRefused<BlowfishConnection>();
}

// An attacker on the path repeats blocks in the first data packet: nothing reaches the terminal.
TEST(EverySessionCipher, DetectorIsOnByDefaultAndEndsTheSessionWithAStatusLine) {
    test::TestServer server({"--scenario", "bulk", "--bulk", "100000"}, "crc_attack");
    ASSERT_NE(server.port(), 0);
    for (const int cipher : {3, 6}) {
        SocketPair pair;
        TcpSocket upstream;
        ASSERT_EQ(upstream.openConnection("127.0.0.1", server.port()), 1);
        const int serverFd = upstream.socketHandle(), clientFd = pair.server;
        std::thread toServer([&] {
            char chunk[4096];
            for (ssize_t n; (n = ::read(clientFd, chunk, sizeof chunk)) > 0;)
                if (::send(serverFd, chunk, std::size_t(n), MSG_NOSIGNAL) < 0) break;
            ::shutdown(serverFd, SHUT_WR);
        });
        std::thread toClient([&] {
            const std::string version = TcpSocket(serverFd).readLine();
            ::send(clientFd, version.data(), version.size(), MSG_NOSIGNAL);
            WirePacket packet;  // packet 0 is the server's public key, 1 the key's acknowledgement
            for (int index = 0; readWirePacket(serverFd, packet); ++index) {
                if (index == 5) packet.repeatBlock(neutralPattern(100));
                if (::send(clientFd, packet.bytes.data(), packet.bytes.size(), MSG_NOSIGNAL) < 0)
                    break;
            }
            ::shutdown(clientFd, SHUT_RDWR);
        });
        LoginParameters login;
        login.user = "test";
        login.password = "secret";
        login.cipherPreference = std::uint32_t(cipher);
        login.seedFilePath = ::testing::TempDir() + "corvid1_crc_attack_seed";
        RecordingFrontEnd frontEnd;
        Session session(std::make_unique<Connection>(pair.releaseClient()), login, frontEnd);
        const SessionResult result = runSession(session);
        for (const int fd : {clientFd, serverFd}) ::shutdown(fd, SHUT_RDWR);
        toServer.join();
        toClient.join();
        upstream.shutdownAndClose();
        EXPECT_EQ(result.end, SessionEnd::StreamFailure);
        EXPECT_EQ(result.packetError, PacketError::Refused);
        EXPECT_EQ(frontEnd.lines().back(),
                  "ERROR - CRC-32 compensation attack detected; connection closed\n");
        EXPECT_TRUE(frontEnd.saw("PTTY Allocated\n"));
        EXPECT_EQ(frontEnd.output(), "");
    }
}

}  // namespace
}  // namespace corvid1
