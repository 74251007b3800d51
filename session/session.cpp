#include "session/session.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "crypto/wipe.h"
#include "session/channels/channel_messages.h"
#include "session/channels/forwarder.h"
#include "session/keepalive.h"
#include "session/key_exchange.h"
#include "session/login_timer.h"

namespace corvid1 {
namespace {

// A reason longer than this is cut so that "Server response: ", the reason and the line feed
// fit the 200-byte line with its terminator.
constexpr std::size_t responseLineSize = 200;
// The server takes packets of at most 256 KiB; a long paste goes out in pieces well below that.
constexpr std::size_t maxInputPerPacket = 16384;

constexpr char timedOutText[] = "ERROR - The server stopped answering during the login\n";
constexpr char lostInLoginText[] = "ERROR - Connection lost during login\n";
constexpr char lostInKeyExchangeText[] = "ERROR - Connection lost during the key exchange\n";

// Printable text where a packet's length field should be: a server that refuses our version
// line says why in plain words and closes.
bool looksLikeText(const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] < 0x20 || bytes[i] > 0x7e) return false;
    return true;
}

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
        case PacketError::DecompressedTooLong:
            return "ERROR - Compressed packet from server unpacks to more than 256 KiB\n";
        case PacketError::BadCompression:
            return "ERROR - Compressed packet from server does not decompress\n";
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
    bool runLoginMethods();
    bool sendPassword();
    void sendPaddedPassword();
    // Ends the login after a method's last answer other than success or refusal.
    bool loginBroken(int answer, const char* refusedText);
    bool requestPtyAndShell();
    bool requestPty();
    bool requestCompression();
    bool startForwarding();
    bool requestRemoteForward(const PortForward& rule);
    bool requestX11();
    // After a failed read in the login: the stream's own message and the end.
    bool lostInLogin();
    void dataLoop();
    void confirmExit();

    int readEncrypted() {
        const int type = session_.encryptedConnection()->readPacket(buffer_);
        if (type >= 0) session_.noteTraffic();
        return type;
    }
    void sendEncrypted() { session_.sendPacket(*session_.encryptedConnection(), buffer_); }
    // Status lines come from the forwarding thread too; the front end sees one caller at a time.
    void status(const char* text) {
        std::lock_guard<std::mutex> hold(frontEndLock_);
        frontEnd_.status(text);
    }
    // The user's abort and the login timer both end the session from outside; the failed read
    // that follows is theirs, not the server's, and gets no report of its own.
    bool stopped() const { return session_.aborted() || timedOut_; }
    void report(const char* text) {
        if (!stopped()) status(text);
    }
    // The server's words in place of a packet, after it refused our version line.
    void reportPlainTextReply();
    // Ends the session after a failed read, telling what went wrong with the packet.
    void endWithReadFailure(Connection& connection);
    // Ends the session before the login completed.
    void fail(SessionEnd how);
    void printResponseLine(const std::string& reason);

    Session& session_;
    SessionFrontEnd& frontEnd_;
    SessionResult& result() { return session_.result_; }
    MessageBuffer buffer_;
    std::atomic<bool> timedOut_{false};
    std::mutex frontEndLock_;
    // The forwarded channels; stopped and joined before run returns.
    std::unique_ptr<Forwarder> forwarder_;
};

void SessionDriver::fail(SessionEnd how) {
    if (session_.aborted()) {
        result().end = SessionEnd::Aborted;
        return;
    }
    if (timedOut_) {
        result().end = SessionEnd::TimedOut;
        status(timedOutText);
        return;
    }
    if (result().end == SessionEnd::NotEnded) result().end = how;
    if (result().serverOffersOnlySsh2) {
        status("ERROR - The server does not offer SSH-1; it announced SSH protocol 2 only.\n");
    }
}

void SessionDriver::endWithReadFailure(Connection& connection) {
    result().packetError = connection.lastError();
    if (const char* text = packetErrorText(connection.lastError())) report(text);
}

bool SessionDriver::versionExchange() {
    bool streamFailed = false;
    const std::string line = session_.plainConnection().socket().readLine(&streamFailed);
    result().serverVersion = line;
    if (line.compare(0, 4, "SSH-") != 0) {
        report(streamFailed ? "ERROR - Connection lost before the server's version line\n"
                            : "ERROR - Unrecognized SSH challenge\n");
        if (streamFailed) result().packetError = PacketError::StreamClosed;
        fail(SessionEnd::VersionFailure);
        return false;
    }
    result().serverOffersOnlySsh2 = line.compare(0, 6, "SSH-2.") == 0;
    status("Server challenge received\n");
    session_.plainConnection().socket().sendText(clientVersionLine);
    return true;
}

void SessionDriver::reportPlainTextReply() {
    // The four bytes taken for a length field are the start of the text; the rest of its line
    // follows, bounded like the version line.
    std::string text(reinterpret_cast<const char*>(buffer_.data()), 4);
    if (text.find('\n') == std::string::npos) {
        bool streamFailed = false;
        text += session_.plainConnection().socket().readLine(&streamFailed);
    }
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    result().disconnectReason = text;
    status("ERROR - The server did not accept the connection\n");
    printResponseLine(text);
}

bool SessionDriver::keyExchange() {
    Connection& plain = session_.plainConnection();
    if (plain.readPacket(buffer_) < 0) {
        if (plain.lastError() == PacketError::TooLong && !stopped() &&
            looksLikeText(buffer_.data(), 4)) {
            result().packetError = PacketError::TooLong;
            reportPlainTextReply();
        } else {
            endWithReadFailure(plain);
            report("ERROR - Server public key not received\n");
        }
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

    // A wrong key or a refused cipher shows up here, as a garbled or missing first packet; a
    // connection that simply ends is reported as what it is.
    const int reply = readEncrypted();
    if (reply != SSH_SMSG_SUCCESS) {
        result().packetError =
            reply < 0 ? session_.encryptedConnection()->lastError() : PacketError::None;
        if (result().packetError == PacketError::Refused)
            report(packetErrorText(PacketError::Refused));
        if (reply == SSH_MSG_DISCONNECT) {
            result().disconnectReason = buffer_.getString();
            report("ERROR - The server ended the connection after the session key\n");
            if (!stopped()) printResponseLine(result().disconnectReason);
        } else {
            report(result().packetError == PacketError::StreamClosed
                       ? lostInKeyExchangeText
                       : "ERROR - CANNOT DECRYPT PACKET\n");
        }
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
        report(lostInLoginText);
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
    if (reply != SSH_SMSG_SUCCESS && !runLoginMethods()) return false;
    session_.wipePassword();
    result().loggedIn = true;
    status("Authorization successful.\n");
    return true;
}

bool SessionDriver::lostInLogin() {
    endWithReadFailure(*session_.encryptedConnection());
    report(lostInLoginText);
    fail(SessionEnd::StreamFailure);
    return false;
}

void SessionDriver::sendPaddedPassword() {
    // Every login sends the same run of sizes: IGNOREs with strings of each length around the
    // password's, the password in its place among them. Up to 15 characters the run covers
    // 0..15; beyond, the block of eight lengths that holds it.
    const std::string& password = session_.login().password;
    const std::size_t length = std::strlen(password.c_str());
    const std::size_t first = length < 16 ? 0 : length & ~std::size_t{7};
    const std::size_t last = length < 16 ? 15 : first + 7;
    MessageBuffer ignore;
    std::string noise;
    for (std::size_t size = first; size <= last; ++size) {
        if (size == length) {
            buffer_.beginPacket(SSH_CMSG_AUTH_PASSWORD);
            buffer_.putString(password.c_str());
            session_.wipePassword();
            sendEncrypted();
            buffer_.wipe();  // with cipher 0 it still holds the password in clear
            continue;
        }
        noise.resize(size);
        for (char& c : noise) c = static_cast<char>(session_.randomPool.getByte());
        ignore.beginPacket(SSH_MSG_IGNORE);
        ignore.putString(noise.data(), noise.size());
        session_.sendPacket(*session_.encryptedConnection(), ignore);
    }
}

namespace {

// The user's prompts with the login's clock stopped while they wait for an answer.
class PausingPrompt : public LoginPrompt {
  public:
    PausingPrompt(LoginPrompt& inner, LoginTimer* timer) : inner_(inner), timer_(timer) {}
    bool passphrase(const std::string& keyFile, const std::string& comment, int attempt,
                    std::string& out) override {
        const LoginTimer::Pause askingTheUser(timer_);
        return inner_.passphrase(keyFile, comment, attempt, out);
    }
    bool challengeResponse(LoginMethod method, const std::string& challenge,
                           std::string& out) override {
        const LoginTimer::Pause askingTheUser(timer_);
        return inner_.challengeResponse(method, challenge, out);
    }
    PasswordAnswer password(std::string& out) override {
        const LoginTimer::Pause askingTheUser(timer_);
        return inner_.password(out);
    }

  private:
    LoginPrompt& inner_;
    LoginTimer* timer_;
};

}  // namespace

bool SessionDriver::runLoginMethods() {
    const LoginParameters& login = session_.login();
    std::optional<PausingPrompt> pausing;
    if (login.loginPrompt) pausing.emplace(*login.loginPrompt, session_.loginTimer_);
    LoginPrompt* prompt = pausing ? &*pausing : nullptr;
    for (const LoginMethod method :
         loginMethodOrder(session_.authMask, login.loginMethods, !login.keyFiles.empty())) {
        if (method == LoginMethod::Password) {
            std::string late;
            const auto answer =
                prompt != nullptr ? prompt->password(late) : LoginPrompt::PasswordAnswer::Given;
            if (answer == LoginPrompt::PasswordAnswer::Typed)
                session_.setPassword(late.data(), late.size());
            secureWipe(late.data(), late.size());
            if (answer != LoginPrompt::PasswordAnswer::Cancelled) return sendPassword();
            report("Authorization cancelled: no password given.\n");
            fail(SessionEnd::LoginRefused);
            return false;
        }
        const int answer = method == LoginMethod::RsaKeys
                               ? tryRsaKeys(session_, buffer_, prompt)
                               : tryChallenge(session_, buffer_, method, prompt);
        if (answer == SSH_SMSG_SUCCESS) return true;
        if (answer != SSH_SMSG_FAILURE) return loginBroken(answer, "Authorization error.\n");
    }
    report("Authorization error. No login method left to try.\n");
    fail(SessionEnd::LoginRefused);
    return false;
}

bool SessionDriver::sendPassword() {
    if (session_.login().padPassword) {
        sendPaddedPassword();
    } else {
        buffer_.beginPacket(SSH_CMSG_AUTH_PASSWORD);
        buffer_.putString(session_.login().password.c_str());
        session_.wipePassword();
        sendEncrypted();
        buffer_.wipe();  // with cipher 0 it still holds the password in clear
    }
    status("Sent login password\n");
    const int answer = readEncrypted();
    if (answer == SSH_SMSG_SUCCESS) return true;
    return loginBroken(answer, "Authorization error. Check username and password.\n");
}

bool SessionDriver::loginBroken(int answer, const char* refusedText) {
    // A damaged or missing reply says nothing about the password.
    if (answer < 0) return lostInLogin();
    if (answer == SSH_MSG_DISCONNECT) result().disconnectReason = buffer_.getString();
    report(refusedText);
    if (answer == SSH_MSG_DISCONNECT && !stopped()) printResponseLine(result().disconnectReason);
    fail(SessionEnd::LoginRefused);
    return false;
}

bool SessionDriver::requestPty() {
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
    // Only a refusal is a refusal; a broken reply ends the session like any broken packet.
    if (reply < 0) return lostInLogin();
    if (reply == SSH_MSG_DISCONNECT) {
        result().disconnectReason = buffer_.getString();
        status("Error during the terminal request!\n");
        printResponseLine(result().disconnectReason);
        fail(SessionEnd::ServerDisconnect);
        return false;
    }
    status(reply == SSH_SMSG_SUCCESS ? "PTTY Allocated\n" : "Warning - PTTY not Allocated\n");
    return true;
}

bool SessionDriver::requestCompression() {
    const int level = std::clamp(session_.login().compressionLevel, 1, 9);
    EncryptedConnection& connection = *session_.encryptedConnection();
    int reply;
    bool started = false;
    {
        // The server compresses everything after its SUCCESS and expects the same of us: no
        // packet of the other thread may slip between the request and the switch.
        std::unique_lock<std::mutex> hold(session_.writeLock_);
        buffer_.beginPacket(SSH_CMSG_REQUEST_COMPRESSION);
        buffer_.putUint32(static_cast<std::uint32_t>(level));
        connection.writePacket(buffer_);
        reply = connection.readPacket(buffer_);
        if (reply == SSH_SMSG_SUCCESS) started = connection.startCompression(level);
    }
    if (reply < 0) return lostInLogin();
    if (reply == SSH_SMSG_SUCCESS && !started) {
        status("ERROR - Compression could not be started\n");
        fail(SessionEnd::StreamFailure);
        return false;
    }
    status(reply == SSH_SMSG_SUCCESS ? "Compression enabled\n"
                                     : "Warning - Compression refused by the server\n");
    return true;
}

bool SessionDriver::requestPtyAndShell() {
    const LoginParameters& login = session_.login();
    if (login.requestPty && !requestPty()) return false;
    if (login.compressionLevel > 0 && !requestCompression()) return false;
    if (!startForwarding()) return false;
    if (login.command.empty()) {
        buffer_.beginPacket(SSH_CMSG_EXEC_SHELL);
    } else {
        buffer_.beginPacket(SSH_CMSG_EXEC_CMD);
        buffer_.putString(login.command.data(), login.command.size());
    }
    sendEncrypted();
    return true;
}

bool SessionDriver::startForwarding() {
    // Always there, so that channel messages the client never asked for are answered too.
    forwarder_ = std::make_unique<Forwarder>(
        [this](MessageBuffer& packet) {
            session_.sendPacket(*session_.encryptedConnection(), packet);
        },
        [this](const char* text) { status(text); });
    for (const PortForward& rule : session_.login().forwards) {
        if (!rule.remote) {
            forwarder_->listen(rule);
        } else if (!requestRemoteForward(rule)) {
            return false;
        }
    }
    return !session_.login().forwardX11 || requestX11();
}

bool SessionDriver::requestX11() {
    const LoginParameters& login = session_.login();
    const auto display = parseX11Display(login.x11Display);
    if (!display) {
        status(login.x11Display.empty()
                   ? "Warning - X11 forwarding asked for, but DISPLAY is not set\n"
                   : "Warning - X11 forwarding asked for, but DISPLAY is not understood\n");
        return true;
    }
    // The server and whoever shares it see only this cookie; the real one never leaves here.
    std::string fake(16, '\0');
    for (char& c : fake) c = static_cast<char>(session_.randomPool.getByte());
    buffer_.beginPacket(SSH_CMSG_X11_REQUEST_FORWARDING);
    buffer_.putString("MIT-MAGIC-COOKIE-1");
    buffer_.putString(toHex(fake).c_str());
    sendEncrypted();
    const int reply = readEncrypted();
    if (reply < 0) return lostInLogin();
    if (reply != SSH_SMSG_SUCCESS) {
        status("Warning - The server refused X11 forwarding\n");
        return true;
    }
    forwarder_->allowX11(*display, std::move(fake), {login.x11AuthProtocol, login.x11AuthData});
    status(("X11 forwarding to display " + login.x11Display + "\n").c_str());
    return true;
}

bool SessionDriver::requestRemoteForward(const PortForward& rule) {
    buffer_.beginPacket(SSH_CMSG_PORT_FORWARD_REQUEST);
    buffer_.putUint32(rule.listenPort);
    buffer_.putString(rule.host.c_str());
    buffer_.putUint32(rule.hostPort);
    sendEncrypted();
    const int reply = readEncrypted();
    if (reply < 0) return lostInLogin();
    const std::string text = portForwardText(rule);
    if (reply == SSH_SMSG_SUCCESS) {
        forwarder_->allowRemote(rule);
        status(("Forwarding the server's port " + text + " to here\n").c_str());
    } else {
        status(("Warning - The server refused the remote forward " + text + "\n").c_str());
    }
    return true;
}

void SessionDriver::dataLoop() {
    for (;;) {
        const int type = readEncrypted();
        if (type < 0) {
            endWithReadFailure(*session_.encryptedConnection());
            result().end = session_.aborted() ? SessionEnd::Aborted : SessionEnd::StreamFailure;
            return;
        }
        if (Forwarder::handles(type)) {
            if (!forwarder_->handleMessage(type, buffer_)) {
                result().packetError = PacketError::Malformed;
                status(packetErrorText(PacketError::Malformed));
                result().end = SessionEnd::StreamFailure;
                return;
            }
            continue;
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
                    std::lock_guard<std::mutex> hold(frontEndLock_);
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
                confirmExit();
                return;
            default:
                break;  // anything else is not for this client
        }
    }
}

void SessionDriver::confirmExit() {
    // The protocol's last word is the client's: the server may wait for it before it lets go of
    // the session, and logs its absence as a broken connection. Then the connection is closed.
    buffer_.beginPacket(SSH_CMSG_EXIT_CONFIRMATION);
    sendEncrypted();
    session_.plainConnection().socket().shutdownOnly();
}

void SessionDriver::run() {
    const LoginParameters& login = session_.login();
    {
        LoginTimer timer(login.loginStarted.value_or(LoginTimer::Clock::now()), login.loginTimeout,
                         [this] {
                             timedOut_ = true;
                             session_.plainConnection().socket().shutdownOnly();
                         });
        session_.loginTimer_ = &timer;
        const bool loggedIn =
            versionExchange() && keyExchange() && authenticate() && requestPtyAndShell();
        timer.stop();
        session_.loginTimer_ = nullptr;
        // The timer may have fired after the last read succeeded: the socket is shut down then,
        // and the session is over all the same.
        if (loggedIn && timer.expired()) fail(SessionEnd::TimedOut);
        if (!loggedIn || timer.expired()) return;
    }
    frontEnd_.interactive();
    forwarder_->start();
    const Keepalive keepalive(
        std::chrono::seconds(login.keepaliveSeconds), [this] { return session_.lastTraffic(); },
        [this] {
            MessageBuffer ignore(SSH_MSG_IGNORE);
            ignore.putString("");
            session_.sendPacket(*session_.encryptedConnection(), ignore);
        });
    dataLoop();
    forwarder_.reset();  // joins the forwarding thread while the Session is certainly alive
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
    noteTraffic();
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

void sendEof(Session& session) {
    EncryptedConnection* connection = session.encryptedConnection();
    if (connection == nullptr) return;
    MessageBuffer buffer(SSH_CMSG_EOF);
    session.sendPacket(*connection, buffer);
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
