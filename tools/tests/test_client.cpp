#include "test_client.h"

#include <nettle/md5.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace corvid1::testserver {

const ServerKeys& testKeys() {
    static ServerKeys keys = [] {
        ServerKeys k;
        k.host = RsaPrivateKey::generate(1024, 1);
        k.server = RsaPrivateKey::generate(768, 4242);
        return k;
    }();
    return keys;
}

Bytes stringBytes(const std::string& text) {
    Writer w;
    w.string(text);
    return w.take();
}

InProcessServer::InProcessServer(Options options) : options_(std::move(options)) {
    char path[] = "/tmp/corvid1-server-record-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    recordPath_ = path;
    options_.recordFile = recordPath_;
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    clientFd_ = pair[0];
    int serverFd = pair[1];
    const ServerKeys& keys = testKeys();
    thread_ = std::thread([this, serverFd, &keys] {
        Recorder recorder(options_.recordFile);
        ServerConnection connection(serverFd, options_, keys, recorder);
        loggedIn_ = connection.run();
        close(serverFd);
    });
}

bool InProcessServer::finish() {
    if (!finished_) {
        shutdown(clientFd_, SHUT_WR);
        thread_.join();
        finished_ = true;
    }
    return loggedIn_;
}

InProcessServer::~InProcessServer() {
    finish();
    close(clientFd_);
    unlink(recordPath_.c_str());
}

std::vector<std::string> InProcessServer::recordLines() const {
    std::vector<std::string> lines;
    std::ifstream in(recordPath_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool InProcessServer::recorded(const std::string& line) const {
    for (const auto& l : recordLines())
        if (l == line) return true;
    return false;
}

TestClient::TestClient(int fd, int timeoutMs) : channel_(fd, timeoutMs) {
    mpz_inits(serverE_, serverN_, hostE_, hostN_, nullptr);
}

TestClient::~TestClient() {
    mpz_clears(serverE_, serverN_, hostE_, hostN_, nullptr);
}

bool TestClient::exchangeVersions(const std::string& line) {
    if (!channel_.readLine(serverVersion_, 255)) return false;
    return channel_.writeRaw(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
}

bool TestClient::readPublicKey() {
    Packet p;
    if (read(p) != SSH_SMSG_PUBLIC_KEY) return false;
    Reader r(p.payload);
    r.raw(cookie_, 8);
    serverBits_ = r.u32();
    r.mpint(serverE_);
    r.mpint(serverN_);
    hostBits_ = r.u32();
    r.mpint(hostE_);
    r.mpint(hostN_);
    r.u32();
    cipherMask_ = r.u32();
    r.u32();
    return !r.failed() && r.left() == 0;
}

namespace {

// PKCS#1 v1.5 type 2: 00 02, nonzero random bytes, 00, the data, as a k-byte integer.
void rsaEncrypt(mpz_t value, const mpz_t e, const mpz_t n, unsigned bits) {
    std::size_t k = (bits + 7) / 8;
    Bytes data = integerBytes(value);
    Bytes block(k, 0);
    block[1] = 2;
    std::size_t padEnd = k - data.size() - 1;
    for (std::size_t i = 2; i < padEnd; ++i) {
        do randomBytes(&block[i], 1);
        while (block[i] == 0);
    }
    std::memcpy(block.data() + padEnd + 1, data.data(), data.size());
    bytesToInteger(value, block.data(), block.size());
    mpz_powm(value, value, e, n);
}

}  // namespace

bool TestClient::sendSessionKey(int cipher, bool spoilCookie, bool shortKey) {
    Bytes block = fixedBytes(hostN_, (hostBits_ + 7) / 8);
    Bytes server = fixedBytes(serverN_, (serverBits_ + 7) / 8);
    block.insert(block.end(), server.begin(), server.end());
    block.insert(block.end(), cookie_, cookie_ + 8);
    std::uint8_t sessionId[16];
    md5_ctx md5;
    md5_init(&md5);
    md5_update(&md5, block.size(), block.data());
    md5_digest(&md5, 16, sessionId);

    std::uint8_t key[32];
    randomBytes(key, sizeof(key));
    if (shortKey) key[0] = sessionId[0];
    std::uint8_t mixed[32];
    for (int i = 0; i < 32; ++i) mixed[i] = i < 16 ? key[i] ^ sessionId[i] : key[i];
    mpz_t k;
    mpz_init(k);
    bytesToInteger(k, mixed, 32);
    if (mpz_cmp(serverN_, hostN_) < 0) {
        rsaEncrypt(k, serverE_, serverN_, serverBits_);
        rsaEncrypt(k, hostE_, hostN_, hostBits_);
    } else {
        rsaEncrypt(k, hostE_, hostN_, hostBits_);
        rsaEncrypt(k, serverE_, serverN_, serverBits_);
    }
    Writer w;
    w.u8(static_cast<std::uint8_t>(cipher));
    std::uint8_t cookie[8];
    std::memcpy(cookie, cookie_, 8);
    if (spoilCookie) cookie[0] ^= 1;
    w.raw(cookie, 8);
    w.mpint(k);
    w.u32(0);
    mpz_clear(k);
    if (!channel_.writePacket(SSH_CMSG_SESSION_KEY, w.bytes())) return false;
    channel_.setCiphers(makePacketCipher(cipher, key), makePacketCipher(cipher, key));
    return true;
}

int TestClient::read(Packet& packet) {
    return channel_.readPacket(packet) ? packet.type : -1;
}

bool TestClient::send(int type, const Bytes& payload) {
    return channel_.writePacket(type, payload);
}

bool TestClient::sendString(int type, const std::string& text) {
    return send(type, stringBytes(text));
}

bool TestClient::login(int cipher, const std::string& user, const std::string& password, int rows,
                       int columns) {
    Packet p;
    if (!exchangeVersions() || !readPublicKey() || !sendSessionKey(cipher)) return false;
    if (read(p) != SSH_SMSG_SUCCESS) return false;
    if (!sendString(SSH_CMSG_USER, user)) return false;
    int reply = read(p);
    if (reply == SSH_SMSG_FAILURE) {
        if (!sendString(SSH_CMSG_AUTH_PASSWORD, password) || read(p) != SSH_SMSG_SUCCESS)
            return false;
    } else if (reply != SSH_SMSG_SUCCESS) {
        return false;
    }
    if (rows > 0) {
        Writer w;
        w.string(std::string("vt100"));
        w.u32(static_cast<std::uint32_t>(rows));
        w.u32(static_cast<std::uint32_t>(columns));
        w.u32(640);
        w.u32(480);
        w.u8(0);
        if (!send(SSH_CMSG_REQUEST_PTY, w.bytes()) || read(p) != SSH_SMSG_SUCCESS) return false;
    }
    return send(SSH_CMSG_EXEC_SHELL);
}

int TestClient::collectOutput(std::string& out, std::uint32_t* exitStatus) {
    Packet p;
    for (;;) {
        int type = read(p);
        Reader r(p.payload);
        if (type == SSH_SMSG_STDOUT_DATA || type == SSH_SMSG_STDERR_DATA) {
            out += r.string();
            continue;
        }
        if (type == SSH_SMSG_EXITSTATUS && exitStatus) *exitStatus = r.u32();
        return type;
    }
}

}  // namespace corvid1::testserver
