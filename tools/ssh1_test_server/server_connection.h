// One client connection of the test server: version exchange, key exchange, authentication,
// the preparatory requests, and then the shell or the scripted scenario.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "forwarding.h"
#include "options.h"
#include "packet_channel.h"
#include "recorder.h"
#include "rsa_key.h"

namespace corvid1::testserver {

struct ServerKeys {
    std::unique_ptr<RsaPrivateKey> host;
    std::unique_ptr<RsaPrivateKey> server;
};

struct PtyRequest {
    bool granted = false;
    std::string term;
    std::uint32_t rows = 0, columns = 0, xpixels = 0, ypixels = 0;
};

class ServerConnection {
  public:
    ServerConnection(int fd, const Options& options, const ServerKeys& keys, Recorder& recorder);

    // Serves the whole connection; true when the client logged in.
    bool run();

    // --- for the shell and the scenarios ---
    const Options& options() const { return options_; }
    const PtyRequest& pty() const { return pty_; }
    PacketChannel& channel() { return channel_; }
    // Sends a packet; IGNORE and DEBUG packets go first in the ignore-debug scenario.
    bool send(int type, const Bytes& payload);
    // Sends the packet the server would send at `stage`, unless the failure scenario strikes
    // there; then the misbehaviour happens instead and false is returned (the connection ends).
    bool sendAt(Stage stage, int type, const Bytes& payload);
    bool sendString(int type, std::string_view text);
    // A run of string packets of one type, with the texts `next` gives until it returns false.
    bool sendStringStream(int type, const std::function<bool(std::string_view&)>& next);
    // Reads the next client packet and records it; false when the stream ended.
    bool readAndRecord(Packet& packet);
    void disconnect(const std::string& reason);
    // SSH_SMSG_EXITSTATUS, then up to 10 s for the confirmation or the close.
    void finishWithExitStatus(std::uint32_t status);
    // Reads and discards until the client closes or the timeout passes.
    void waitForClose();
    void record(const std::string& line) { recorder_.line(line); }
    void closeWith(const std::string& how);
    // The forwarded channels of this connection.
    ServerForwarding& forwarding() { return forwarding_; }

  private:
    bool exchangeVersions();
    bool sendPublicKey();
    bool receiveSessionKey();
    bool authenticate();
    bool passwordPhase(bool userKnown);
    bool preparatoryPhase(std::string& command, bool& haveCommand);
    bool sendsNoise() const;
    bool sendNoise();
    bool strike(Stage stage, int type, const Bytes& payload);
    bool failureScenario() const;

    int fd_;
    const Options& options_;
    const ServerKeys& keys_;
    Recorder& recorder_;
    PacketChannel channel_;
    std::uint8_t cookie_[8] = {};
    std::uint8_t sessionId_[16] = {};  // for the RSA challenge's response
    Bytes publicKeyPayload_;
    PtyRequest pty_;
    unsigned debugCounter_ = 0;
    bool closed_ = false;
    bool compressing_ = false;
    ServerForwarding forwarding_{*this};
};

// Runs after the shell or command request. Implemented in shell_mode.cpp and script_mode.cpp.
void runShell(ServerConnection& connection, const std::string* command);
void runScript(ServerConnection& connection);

// Byte i of the bulk pattern.
inline std::uint8_t bulkPatternByte(std::uint64_t i) {
    return static_cast<std::uint8_t>((i ^ (i >> 8)) & 0xff);
}

}  // namespace corvid1::testserver
