#include "session/session.h"

#include <cstring>
#include <string>

#include "crypto/wipe.h"
#include "session/key_exchange.h"

namespace corvid1 {
namespace {

// A reason longer than this is cut so that "Server response: ", the reason and the line feed
// fit the 200-byte line with its terminator.
constexpr std::size_t responseLineSize = 200;
// The server takes packets of at most 256 KiB; a long paste goes out in pieces well below that.
constexpr std::size_t maxInputPerPacket = 16384;

const char* packetErrorText(PacketError error) {
    switch (error) {
        case PacketError::TooLong:
            return "ERROR - Packet from server too long\n";
        case PacketError::TooShort:
            return "ERROR - Packet from server too short\n";
        case PacketError::BadCheck:
            return "ERROR - Corrupted packet from server (bad check value)\n";
        case PacketError::Refused:
            return "ERROR - CRC-32 compensation attack detected; connection closed\n";
        case PacketError::Malformed:
            return "ERROR - Malformed packet from server\n";
        case PacketError::None:
        case PacketError::StreamClosed:
            return nullptr;
    }
    return nullptr;
}

}  // namespace

// The conversation of one runSession, one small function per step.
class SessionDriver {
  public:
    explicit SessionDriver(Session& session) : session_(session), frontEnd_(session.frontEnd()) {}

    void run();

  private:
    bool versionExchange();
    bool keyExchange();
    bool authenticate();
    void requestPtyAndShell();
    void dataLoop();

    int readEncrypted() { return session_.encryptedConnection()->readPacket(buffer_); }
    void sendEncrypted() { session_.sendPacket(*session_.encryptedConnection(), buffer_); }
    void status(const char* text) { frontEnd_.status(text); }
    // Ends the session after a failed read, telling what went wrong with the packet.
    void endWithReadFailure(Connection& connection);
    // Ends the session before the login completed.
    void fail(SessionEnd how);
    void printResponseLine(const std::string& reason);

    Session& session_;
    SessionFrontEnd& frontEnd_;
    SessionResult& result() { return session_.result_; }
    MessageBuffer buffer_;
};

void SessionDriver::fail(SessionEnd how) {
    if (session_.aborted()) {
        result().end = SessionEnd::Aborted;
        return;
    }
    if (result().end == SessionEnd::NotEnded) result().end = how;
    if (result().serverOffersOnlySsh2) {
        status("ERROR - The server does not offer SSH-1; it announced SSH protocol 2 only.\n");
    }
}

void SessionDriver::endWithReadFailure(Connection& connection) {
    result().packetError = connection.lastError();
    if (session_.aborted()) return;
    if (const char* text = packetErrorText(connection.lastError())) status(text);
}

bool SessionDriver::versionExchange() {
    const std::string line = session_.plainConnection().socket().readLine();
    result().serverVersion = line;
    if (line.compare(0, 4, "SSH-") != 0) {
        if (!session_.aborted()) status("ERROR - Unrecognized SSH challenge\n");
        fail(SessionEnd::VersionFailure);
        return false;
    }
    result().serverOffersOnlySsh2 = line.compare(0, 6, "SSH-2.") == 0;
    status("Server challenge received\n");
    session_.plainConnection().socket().sendText(clientVersionLine);
    return true;
}

bool SessionDriver::keyExchange() {
    Connection& plain = session_.plainConnection();
    if (plain.readPacket(buffer_) < 0) {
        endWithReadFailure(plain);
        if (!session_.aborted()) status("ERROR - Server public key not received\n");
        fail(SessionEnd::KeyExchangeFailure);
        return false;
    }
    status("Server public key received\n");
    std::unique_ptr<RsaPublicKey> serverKey = readServerKey(session_, buffer_);
    if (!serverKey) {
        status("ERROR - Server public key packet is malformed\n");
        fail(SessionEnd::KeyExchangeFailure);
        return false;
    }
    status("Server public key validated\n");
    if (!exchangeKeys(session_, buffer_, *serverKey)) {
        fail(SessionEnd::KeyExchangeFailure);
        return false;
    }
    serverKey.reset();

    // A wrong key or a refused cipher shows up here, as a garbled or missing first packet.
    if (readEncrypted() != SSH_SMSG_SUCCESS) {
        result().packetError = session_.encryptedConnection()->lastError();
        if (!session_.aborted() && result().packetError == PacketError::Refused)
            status(packetErrorText(PacketError::Refused));
        if (!session_.aborted()) status("ERROR - CANNOT DECRYPT PACKET\n");
        fail(SessionEnd::KeyExchangeFailure);
        return false;
    }
    return true;
}

void SessionDriver::printResponseLine(const std::string& reason) {
    constexpr char prefix[] = "Server response: ";
    const std::size_t room = responseLineSize - (sizeof prefix - 1) - 2;
    std::string line = prefix;
    line.append(reason.c_str(), std::min(std::strlen(reason.c_str()), room));
    line += '\n';
    status(line.c_str());
}

bool SessionDriver::authenticate() {
    const LoginParameters& login = session_.login();
    buffer_.beginPacket(SSH_CMSG_USER);
    buffer_.putString(login.user.c_str());
    sendEncrypted();
    status("Sent login username\n");

    const int reply = readEncrypted();
    if (reply < 0) {
        // Sending the password into a failed stream would only report progress that is not.
        endWithReadFailure(*session_.encryptedConnection());
        if (!session_.aborted()) status("ERROR - Connection lost during login\n");
        fail(SessionEnd::StreamFailure);
        return false;
    }
    if (reply == SSH_MSG_DISCONNECT) {
        status("Error during authorization!\n");
        result().disconnectReason = buffer_.getString();
        printResponseLine(result().disconnectReason);
        fail(SessionEnd::LoginRefused);
        return false;
    }
    if (reply != SSH_SMSG_SUCCESS) {
        buffer_.beginPacket(SSH_CMSG_AUTH_PASSWORD);
        buffer_.putString(login.password.c_str());
        session_.wipePassword();
        sendEncrypted();
        buffer_.wipe();  // with cipher 0 it still holds the password in clear
        status("Sent login password\n");
        const int answer = readEncrypted();
        if (answer != SSH_SMSG_SUCCESS) {
            if (answer < 0) endWithReadFailure(*session_.encryptedConnection());
            if (answer == SSH_MSG_DISCONNECT) result().disconnectReason = buffer_.getString();
            if (!session_.aborted()) status("Authorization error. Check username and password.\n");
            fail(answer < 0 ? SessionEnd::StreamFailure : SessionEnd::LoginRefused);
            return false;
        }
    }
    session_.wipePassword();
    result().loggedIn = true;
    status("Authorization successful.\n");
    return true;
}

void SessionDriver::requestPtyAndShell() {
    const LoginParameters& login = session_.login();
    buffer_.beginPacket(SSH_CMSG_REQUEST_PTY);
    buffer_.putString(login.terminalType == "vt52" ? "vt52" : "vt100");
    buffer_.putUint32(login.rows);
    buffer_.putUint32(login.columns);
    buffer_.putUint32(login.widthPixels);
    buffer_.putUint32(login.heightPixels);
    buffer_.putByte(0);  // end of terminal modes: none are sent
    sendEncrypted();
    const int reply = readEncrypted();
    status(reply == SSH_SMSG_SUCCESS ? "PTTY Allocated\n" : "Warning - PTTY not Allocated\n");

    buffer_.beginPacket(SSH_CMSG_EXEC_SHELL);
    sendEncrypted();
    frontEnd_.interactive();
}

void SessionDriver::dataLoop() {
    for (;;) {
        const int type = readEncrypted();
        if (type < 0) {
            endWithReadFailure(*session_.encryptedConnection());
            result().end = session_.aborted() ? SessionEnd::Aborted : SessionEnd::StreamFailure;
            return;
        }
        switch (type) {
            case SSH_SMSG_STDOUT_DATA:
            case SSH_SMSG_STDERR_DATA:
            case SSH_MSG_DISCONNECT: {
                const std::string text = buffer_.getString();
                if (buffer_.broken()) {
                    result().packetError = PacketError::Malformed;
                    status(packetErrorText(PacketError::Malformed));
                    result().end = SessionEnd::StreamFailure;
                    return;
                }
                if (!text.empty()) {
                    if (type == SSH_SMSG_STDOUT_DATA) {
                        frontEnd_.output(text.data(), text.size());
                    } else {
                        frontEnd_.errorOutput(text.data(), text.size());
                    }
                }
                if (type == SSH_MSG_DISCONNECT) {
                    result().disconnectReason = text;
                    result().end = SessionEnd::ServerDisconnect;
                    return;
                }
                break;
            }
            case SSH_SMSG_EXITSTATUS:
                result().exitStatus = buffer_.getUint32();
                result().end = SessionEnd::ExitStatus;
                return;
            default:
                break;  // anything else is not for this client
        }
    }
}

void SessionDriver::run() {
    if (!versionExchange() || !keyExchange() || !authenticate()) return;
    requestPtyAndShell();
    dataLoop();
}

Session::Session(std::unique_ptr<Connection> connection, LoginParameters login,
                 SessionFrontEnd& frontEnd)
    : connection_(std::move(connection)), frontEnd_(frontEnd), login_(std::move(login)) {}

Session::~Session() {
    if (connection_) connection_->socket().shutdownAndClose();
    encryptedOwner_.reset();
    connection_.reset();
    wipePassword();
}

void Session::abort() {
    aborted_.store(true, std::memory_order_release);
    if (connection_) connection_->socket().shutdownOnly();
}

void Session::setHostKeyVerifier(std::shared_ptr<HostKeyVerifier> verifier) {
    hostKeyVerifier_ = std::move(verifier);
}

void Session::setCiphertextInspector(std::shared_ptr<CiphertextInspector> inspector) {
    inspector_ = std::move(inspector);
}

int Session::sendPacket(Connection& connection, MessageBuffer& buffer) {
    std::lock_guard<std::mutex> hold(writeLock_);
    return connection.writePacket(buffer);
}

void Session::publishEncryptedConnection(std::unique_ptr<EncryptedConnection> keyed) {
    EncryptedConnection* visible = keyed.get();
    encryptedOwner_ = std::move(keyed);
    encrypted_.store(visible, std::memory_order_release);
}

void Session::setPassword(const char* password, std::size_t length) {
    wipePassword();
    // Reserve first so that the assignment never reallocates and leaves a copy behind.
    login_.password.reserve(length);
    login_.password.assign(password, length);
}

void Session::wipePassword() {
    secureWipe(login_.password.data(), login_.password.size());
    login_.password.clear();
}

SessionResult runSession(Session& session) {
    SessionDriver driver(session);
    driver.run();
    if (session.result_.end == SessionEnd::NotEnded)
        session.result_.end = SessionEnd::StreamFailure;
    return session.result_;
}

void sendInput(Session& session, const char* text, int length) {
    EncryptedConnection* connection = session.encryptedConnection();
    if (connection == nullptr || text == nullptr) return;
    std::size_t left = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    MessageBuffer buffer;
    while (left > 0) {
        const std::size_t piece = std::min(left, maxInputPerPacket);
        buffer.beginPacket(SSH_CMSG_STDIN_DATA);
        buffer.putString(text, piece);
        session.sendPacket(*connection, buffer);
        text += piece;
        left -= piece;
    }
}

void sendWindowSize(Session& session, std::uint32_t rows, std::uint32_t columns,
                    std::uint32_t widthPixels, std::uint32_t heightPixels) {
    EncryptedConnection* connection = session.encryptedConnection();
    if (connection == nullptr) return;
    MessageBuffer buffer(SSH_CMSG_WINDOW_SIZE);
    buffer.putUint32(rows + 1);
    buffer.putUint32(columns);
    buffer.putUint32(widthPixels);
    buffer.putUint32(heightPixels);
    session.sendPacket(*connection, buffer);
}

}  // namespace corvid1
