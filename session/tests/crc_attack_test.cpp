// The CRC-32 compensation attack detector where it runs: on the receive path of an encrypted
// connection, and switched on by default in every session keyed with a real cipher.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
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
using Bytes = std::vector<std::uint8_t>;

const std::uint8_t sessionKey[32] = {9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  11,
                                     12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                     23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// Blocks of a packet's ciphertext (0 = the first block behind the length field) at which copies
// of one block cancel in the CRC: the generator polynomial's terms, highest degree first.
std::vector<std::size_t> neutralPattern(std::size_t start) {
    const std::uint64_t generator = 0x104C11DB7ull;
    std::vector<std::size_t> positions;
    for (int degree = 32; degree >= 0; --degree)
        if ((generator >> degree) & 1) positions.push_back(start + std::size_t(32 - degree));
    return positions;
}

// A packet on the wire: length field and ciphertext.
struct WirePacket {
    std::uint32_t length = 0;
    Bytes body;  // padding, type, payload, check value: ciphertext
    std::uint8_t* block(std::size_t k) { return body.data() + 8 * k; }
    std::size_t blocks() const { return body.size() / 8; }
};

// Copies the block at the pattern's first position to every other position.
void repeatBlock(WirePacket& packet, const std::vector<std::size_t>& positions,
                 const std::uint8_t* value = nullptr) {
    Bytes copy(value ? value : packet.block(positions.front()),
               (value ? value : packet.block(positions.front())) + 8);
    for (std::size_t p : positions) std::memcpy(packet.block(p), copy.data(), 8);
}

bool readAll(int fd, void* data, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= std::size_t(got);
    }
    return true;
}

bool readWirePacket(int fd, WirePacket& packet) {
    std::uint8_t field[4];
    if (!readAll(fd, field, 4)) return false;
    packet.length = (std::uint32_t(field[0]) << 24) | (field[1] << 16) | (field[2] << 8) | field[3];
    if (packet.length > Connection::maxPacketLength) return false;
    packet.body.resize(packet.length + 8 - packet.length % 8);
    return readAll(fd, packet.body.data(), packet.body.size());
}

std::string wireBytes(const WirePacket& packet) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = char(packet.length >> (24 - 8 * i));
    bytes.append(reinterpret_cast<const char*>(packet.body.data()), packet.body.size());
    return bytes;
}

// The payloads a server sends: repetitive text (the hardest case for a detector of repeats),
// up to the largest packet a length field may announce.
std::vector<std::string> payloads() {
    const std::size_t largest =
        Connection::maxPacketLength - 1 - 4 - 4;  // type, string length, check
    std::vector<std::string> all = {"",
                                    "x",
                                    std::string(16384, ' '),
                                    std::string(largest, '\0'),
                                    std::string(largest, ' '),
                                    std::string(100, '\0')};
    std::string pattern;
    for (std::size_t i = 0; i < largest; ++i) pattern += char("0123456789abcdef"[i % 16]);
    all.push_back(pattern);
    all.push_back(std::string(largest - 1, 'z'));
    return all;
}

// Encrypts every payload as SSH_SMSG_STDOUT_DATA and returns the packets as they went out.
template <typename Cipher>
std::vector<WirePacket> encryptAll(const std::vector<std::string>& texts) {
    SocketPair pair;
    Connection plain(pair.client);
    Cipher writer(plain);
    // Keys the process's send and receive contexts alike, so a reader decrypts these.
    writer.setSessionKey(sessionKey, sizeof sessionKey);
    std::vector<WirePacket> packets;
    std::thread collector([&] {
        WirePacket packet;
        while (readWirePacket(pair.server, packet)) packets.push_back(packet);
    });
    MessageBuffer out;
    for (const std::string& text : texts) {
        out.beginPacket(SSH_SMSG_STDOUT_DATA);
        out.putString(text.data(), text.size());
        writer.writePacket(out);
    }
    ::shutdown(pair.client, SHUT_WR);
    collector.join();
    return packets;
}

// Feeds the packets to a reader of the same cipher that has the detector; returns the types read
// (-1 and stop at the first failure) and leaves the reader's last error in `error`.
template <typename Cipher>
std::vector<int> receiveAll(const std::vector<WirePacket>& packets,
                            const std::vector<std::string>& expected, CrcAttackInspector& inspector,
                            PacketError& error) {
    SocketPair pair;
    std::thread feeder([&] {
        for (const WirePacket& packet : packets) {
            const std::string bytes = wireBytes(packet);
            if (::send(pair.client, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
        }
        ::shutdown(pair.client, SHUT_WR);
    });
    Connection plain(pair.server);
    Cipher reader(plain);
    // The chains start afresh, as on a new connection.
    reader.setSessionKey(sessionKey, sizeof sessionKey);
    reader.setInspector(&inspector);
    MessageBuffer in;
    std::vector<int> types;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const int type = reader.readPacket(in);
        types.push_back(type);
        if (type < 0) break;
        EXPECT_EQ(in.getString(), expected[i]) << "packet " << i;
    }
    error = reader.lastError();
    ::shutdown(pair.server, SHUT_RDWR);  // lets the feeder finish whatever the reader left
    feeder.join();
    return types;
}

template <typename Cipher>
void honestTrafficPassesAndCraftedRepeatsAreRefused() {
    const std::vector<std::string> texts = payloads();
    const std::vector<WirePacket> honest = encryptAll<Cipher>(texts);
    ASSERT_EQ(honest.size(), texts.size());
    ASSERT_EQ(honest[3].length, Connection::maxPacketLength);

    {
        CrcAttackInspector inspector;
        PacketError error;
        const auto types = receiveAll<Cipher>(honest, texts, inspector, error);
        EXPECT_EQ(types, std::vector<int>(texts.size(), SSH_SMSG_STDOUT_DATA));
        EXPECT_EQ(inspector.lastResult(), DeattackResult::Fine);
    }

    // The pattern in the middle of a 16 KiB packet and at the end of the largest one.
    for (const auto& [index, start] :
         {std::pair<std::size_t, std::size_t>{2, 1000}, {3, honest[3].blocks() - 33}}) {
        std::vector<WirePacket> crafted = honest;
        repeatBlock(crafted[index], neutralPattern(start));
        CrcAttackInspector inspector;
        PacketError error;
        const auto types = receiveAll<Cipher>(crafted, texts, inspector, error);
        ASSERT_EQ(types.size(), index + 1);
        EXPECT_EQ(types.back(), -1);
        EXPECT_EQ(error, PacketError::Refused);
        EXPECT_EQ(inspector.lastResult(), DeattackResult::AttackDetected);

        // One copy fewer cancels nothing: not the detector's business, the check value's.
        crafted = honest;
        std::vector<std::size_t> partial = neutralPattern(start);
        partial.pop_back();
        repeatBlock(crafted[index], partial);
        CrcAttackInspector second;
        EXPECT_EQ(receiveAll<Cipher>(crafted, texts, second, error).back(), -1);
        EXPECT_EQ(error, PacketError::BadCheck);
        EXPECT_EQ(second.lastResult(), DeattackResult::Fine);
    }

    // A pattern that needs the block before the packet: the previous packet's last ciphertext
    // block, which the inspector carries over from one packet to the next.
    std::vector<WirePacket> crafted = honest;
    const WirePacket& before = crafted[1];
    const Bytes chain(before.body.end() - 8, before.body.end());
    std::vector<std::size_t> inPacket;
    for (std::size_t p : neutralPattern(0))
        if (p > 0) inPacket.push_back(p - 1);
    ASSERT_EQ(inPacket.size() + 1, neutralPattern(0).size());  // position 0 is the chain block
    repeatBlock(crafted[2], inPacket, chain.data());
    EXPECT_EQ(detectCrcAttack(crafted[2].body.data(), crafted[2].body.size(), nullptr),
              DeattackResult::Fine);
    CrcAttackInspector inspector;
    PacketError error;
    EXPECT_EQ(receiveAll<Cipher>(crafted, texts, inspector, error).size(), 3u);
    EXPECT_EQ(error, PacketError::Refused);
}

TEST(CrcAttackInspector, HonestTrafficPassesAndCraftedRepeatsAreRefusedInEachCipher) {
    honestTrafficPassesAndCraftedRepeatsAreRefused<TripleDesConnection>();
    honestTrafficPassesAndCraftedRepeatsAreRefused<BlowfishConnection>();
}

// ---------------------------------------------------------------------------------------------
// A whole session through a relay that plays the attacker on the path.

class TamperingRelay {
  public:
    // `tamper` sees each packet the server sends after its public key, with its index (0 is the
    // acknowledgement of the session key).
    TamperingRelay(std::uint16_t serverPort, std::function<void(WirePacket&, int)> tamper)
        : tamper_(std::move(tamper)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, serverPort] { relay(serverPort); });
    }
    ~TamperingRelay() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

  private:
    void relay(std::uint16_t serverPort) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        TcpSocket upstream;
        if (upstream.openConnection("127.0.0.1", serverPort) != 1) {
            ::close(client);
            return;
        }
        const int server = upstream.socketHandle();
        std::thread toServer([&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(client, chunk, sizeof chunk)) > 0)
                if (::send(server, chunk, std::size_t(n), MSG_NOSIGNAL) < 0) break;
            ::shutdown(server, SHUT_WR);
        });
        std::string line;
        char c;
        while (::read(server, &c, 1) == 1) {
            line += c;
            if (c == '\n') break;
        }
        ::send(client, line.data(), line.size(), MSG_NOSIGNAL);
        WirePacket packet;
        for (int index = -1; readWirePacket(server, packet); ++index) {
            if (index >= 0) tamper_(packet, index);
            const std::string bytes = wireBytes(packet);
            if (::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
        }
        ::shutdown(client, SHUT_RDWR);
        toServer.join();
        ::close(client);
        upstream.shutdownAndClose();
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::function<void(WirePacket&, int)> tamper_;
    std::thread thread_;
};

SessionResult runThrough(std::uint16_t port, int cipher, RecordingFrontEnd& frontEnd) {
    LoginParameters login;
    login.user = "test";
    login.password = "secret";
    login.cipherPreference = std::uint32_t(cipher);
    login.seedFilePath = ::testing::TempDir() + "corvid1_crc_attack_seed";
    auto connection = std::make_unique<Connection>();
    EXPECT_EQ(connection->socket().openConnection("127.0.0.1", port), 1);
    Session session(std::move(connection), login, frontEnd);
    return runSession(session);
}

class EverySessionCipher : public ::testing::TestWithParam<int> {};

TEST_P(EverySessionCipher, DetectorIsOnByDefaultAndEndsTheSessionWithAStatusLine) {
    test::TestServer server({"--scenario", "bulk", "--bulk", "100000"}, "crc_attack");
    ASSERT_NE(server.port(), 0);

    // Untouched, a megabyte-class bulk run passes through the relay and the detector.
    {
        TamperingRelay relay(server.port(), [](WirePacket&, int) {});
        RecordingFrontEnd frontEnd;
        const SessionResult result = runThrough(relay.port(), GetParam(), frontEnd);
        EXPECT_EQ(result.end, SessionEnd::ExitStatus);
        EXPECT_EQ(frontEnd.output().size(), 100000u);
    }
    // The first data packet carries the attack: it never reaches the terminal.
    TamperingRelay relay(server.port(), [](WirePacket& packet, int index) {
        if (index == 4) repeatBlock(packet, neutralPattern(100));
    });
    RecordingFrontEnd frontEnd;
    const SessionResult result = runThrough(relay.port(), GetParam(), frontEnd);
    EXPECT_EQ(result.end, SessionEnd::StreamFailure);
    EXPECT_EQ(result.packetError, PacketError::Refused);
    EXPECT_EQ(frontEnd.lines().back(),
              "ERROR - CRC-32 compensation attack detected; connection closed\n");
    EXPECT_TRUE(frontEnd.saw("PTTY Allocated\n"));
    EXPECT_EQ(frontEnd.output(), "");
}

INSTANTIATE_TEST_SUITE_P(Ciphers, EverySessionCipher, ::testing::Values(3, 6));

}  // namespace
}  // namespace corvid1
