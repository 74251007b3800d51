// A minimal SSH-1 client for the server's own tests, and the server run in-process on one end
// of a socket pair. The client does its own RSA padding and session identifier, so the server's
// key exchange is checked against a second implementation; real clients check both (interop).
#pragma once

#include <gmp.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "packet_channel.h"
#include "server_connection.h"

namespace corvid1::testserver {

// The keys every in-process test uses, generated once.
const ServerKeys& testKeys();

class InProcessServer {
  public:
    explicit InProcessServer(Options options);
    ~InProcessServer();
    int clientFd() const { return clientFd_; }
    // Waits for the connection to end; true when the client logged in.
    bool finish();
    std::vector<std::string> recordLines() const;
    bool recorded(const std::string& line) const;

  private:
    Options options_;
    std::string recordPath_;
    int clientFd_ = -1;
    std::thread thread_;
    bool loggedIn_ = false;
    bool finished_ = false;
};

class TestClient {
  public:
    explicit TestClient(int fd, int timeoutMs = 10000);
    ~TestClient();

    PacketChannel& channel() { return channel_; }
    bool exchangeVersions(const std::string& line = "SSH-1.5-TestClient\n");
    bool readPublicKey();
    // Encrypts a fresh session key, sends it with `cipher` and keys the channel. With
    // `shortKey` the key's first byte equals the session identifier's, so the encrypted integer
    // has only 31 bytes (as OpenSSH's ssh1 sends about once in 256 logins).
    bool sendSessionKey(int cipher, bool spoilCookie = false, bool shortKey = false);
    int read(Packet& packet);  // the type, or -1
    bool send(int type, const Bytes& payload = {});
    bool sendString(int type, const std::string& text);
    // Version, key, user, password, pty (when rows > 0) and shell; true when every reply was
    // the expected one.
    bool login(int cipher, const std::string& user, const std::string& password, int rows = 24,
               int columns = 80);
    // Collects STDOUT/STDERR text until the exit status (or another ending); returns the type
    // that ended it.
    int collectOutput(std::string& out, std::uint32_t* exitStatus = nullptr);
    std::string serverVersion() const { return serverVersion_; }
    std::uint32_t cipherMask() const { return cipherMask_; }
    std::uint32_t hostBits() const { return hostBits_; }
    const __mpz_struct* hostModulus() const { return hostN_; }
    const __mpz_struct* hostExponent() const { return hostE_; }

  private:
    PacketChannel channel_;
    std::string serverVersion_;
    std::uint8_t cookie_[8] = {};
    std::uint32_t serverBits_ = 0, hostBits_ = 0, cipherMask_ = 0;
    mpz_t serverE_, serverN_, hostE_, hostN_;
};

Bytes stringBytes(const std::string& text);

}  // namespace corvid1::testserver
