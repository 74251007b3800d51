#include "server_connection.h"

#include <nettle/md5.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "auth_methods.h"

namespace corvid1::testserver {

namespace {

constexpr const char kVersionLine[] = "SSH-1.5-Corvid1TestServer_1.0\n";
constexpr int kMaxPasswordAttempts = 5;
constexpr std::size_t kMaxVersionLine = 255;

Bytes stringPayload(const std::string& text) {
    Writer w;
    w.string(text);
    return w.take();
}

// The record line for a client message; empty when the payload does not hold its fields.
std::string describeMessage(const Packet& p) {
    Reader r(p.payload);
    std::string line;
    auto text = [&] { return escapeText(r.string()); };
    auto sizes = [&] {
        std::uint32_t rows = r.u32(), cols = r.u32(), x = r.u32(), y = r.u32();
        return "rows=" + std::to_string(rows) + " columns=" + std::to_string(cols) +
               " xpixels=" + std::to_string(x) + " ypixels=" + std::to_string(y);
    };
    switch (p.type) {
        case SSH_MSG_DISCONNECT:
            line = "DISCONNECT " + text();
            break;
        case SSH_CMSG_SESSION_KEY:
            return "SESSION_KEY";  // recorded in full once decoded
        case SSH_CMSG_USER:
            line = "USER " + text();
            break;
        case SSH_CMSG_AUTH_PASSWORD:
            line = "PASSWORD " + text();
            break;
        case SSH_CMSG_REQUEST_PTY: {
            line = "PTY term=" + text();
            line += " " + sizes();
            line += " modes=" + hexText(r.rest(), r.left());
            break;
        }
        case SSH_CMSG_WINDOW_SIZE:
            line = "WINDOW_SIZE " + sizes();
            break;
        case SSH_CMSG_EXEC_SHELL:
            line = "EXEC_SHELL";
            break;
        case SSH_CMSG_EXEC_CMD:
            line = "EXEC_CMD " + text();
            break;
        case SSH_CMSG_STDIN_DATA:
            line = "STDIN " + text();
            break;
        case SSH_CMSG_EOF:
            line = "EOF";
            break;
        case SSH_CMSG_EXIT_CONFIRMATION:
            line = "EXIT_CONFIRMATION";
            break;
        case SSH_CMSG_REQUEST_COMPRESSION:
            line = "COMPRESSION level=" + std::to_string(r.u32());
            break;
        default:
            line = "MESSAGE " + std::to_string(p.type) + " " + std::to_string(p.payload.size());
    }
    return r.failed() ? std::string() : line;
}

}  // namespace

ServerConnection::ServerConnection(int fd, const Options& options, const ServerKeys& keys,
                                   Recorder& recorder)
    : fd_(fd),
      options_(options),
      keys_(keys),
      recorder_(recorder),
      channel_(fd, static_cast<int>(options.timeoutSeconds) * 1000) {
    // What a client pads its password with is part of what it sends.
    channel_.onSkipped([this](int type, std::size_t length) {
        if (type == SSH_MSG_IGNORE) recorder_.line("IGNORE " + std::to_string(length));
    });
}

void ServerConnection::closeWith(const std::string& how) {
    if (closed_) return;
    closed_ = true;
    recorder_.line("CLOSE " + how);
    logLine("connection closed: %s", how.c_str());
    shutdown(fd_, SHUT_RDWR);
}

bool ServerConnection::failureScenario() const {
    const std::string& s = options_.scenario;
    return options_.mode == Mode::Script &&
           (s == "bad-crc" || s == "oversize-length" || s == "truncated" ||
            s == "close-mid-packet" || s == "close" || s == "stall");
}

// The ignore-debug scenario puts an IGNORE and a DEBUG packet before every packet it sends.
bool ServerConnection::sendsNoise() const {
    return options_.mode == Mode::Script && options_.scenario == "ignore-debug";
}

bool ServerConnection::sendNoise() {
    if (!sendsNoise()) return true;
    std::uint8_t noise[32];
    randomBytes(noise, sizeof(noise));
    Writer ignore;
    ignore.string(noise, noise[0] % sizeof(noise));
    Writer debug;
    debug.string("corvid1 debug " + std::to_string(++debugCounter_));
    return channel_.writePacket(SSH_MSG_IGNORE, ignore.bytes()) &&
           channel_.writePacket(SSH_MSG_DEBUG, debug.bytes());
}

bool ServerConnection::send(int type, const Bytes& payload) {
    return sendNoise() && channel_.writePacket(type, payload);
}

bool ServerConnection::sendString(int type, std::string_view text) {
    return sendNoise() && channel_.writeStringPacket(type, text);
}

bool ServerConnection::sendStringStream(int type,
                                        const std::function<bool(std::string_view&)>& next) {
    std::string_view text;
    // Noise goes before every packet, so a noisy scenario sends them singly.
    if (sendsNoise()) {
        while (next(text))
            if (!sendString(type, text)) return false;
        return true;
    }
    return channel_.writeStringStream(type, next);
}

bool ServerConnection::sendAt(Stage stage, int type, const Bytes& payload) {
    if (failureScenario() && options_.stage == stage) return strike(stage, type, payload);
    return send(type, payload);
}

// The misbehaviours of the failure scenarios. Each replaces the packet of the stage.
bool ServerConnection::strike(Stage stage, int type, const Bytes& payload) {
    const std::string& s = options_.scenario;
    logLine("scenario %s strikes", s.c_str());
    if (s == "stall") {
        // Part of what the stage owes, then silence with the connection open: the client must
        // not wait for the rest for ever.
        if (stage == Stage::Version) {
            channel_.writeRaw(reinterpret_cast<const std::uint8_t*>(kVersionLine), 8);
        } else {
            Bytes framed = channel_.framePacket(type, payload);
            channel_.writeRaw(framed.data(), 4 + (framed.size() - 4) / 2);
        }
        waitForClose();
        return false;
    }
    if (s == "close" || stage == Stage::Version) {
        closeWith("server-closed");
        return false;
    }
    if (s == "bad-crc") {
        channel_.writePacket(type, payload, 1);
    } else if (s == "oversize-length") {
        std::uint8_t raw[12] = {0x40, 0, 0, 0};
        randomBytes(raw + 4, 8);
        channel_.writeRaw(raw, sizeof(raw));
    } else if (s == "truncated") {
        if (stage == Stage::PublicKey) {
            // Cut in the middle of the host modulus: cookie, server key, host bits, host e,
            // and half of the host modulus bytes.
            Reader r(payload);
            std::uint8_t skip[8];
            mpz_t t;
            mpz_init(t);
            r.raw(skip, 8);
            r.u32();
            r.mpint(t);
            r.mpint(t);
            r.u32();
            r.mpint(t);
            mpz_clear(t);
            std::size_t cut = payload.size() - r.left() + 2 + keys_.host->byteLength() / 2;
            channel_.writePacket(type, Bytes(payload.begin(), payload.begin() + cut));
        } else {
            Writer w;
            w.u32(1000);
            w.raw("abc", 3);
            channel_.writePacket(stage == Stage::Data ? SSH_SMSG_STDOUT_DATA : type, w.bytes());
        }
    } else if (s == "close-mid-packet") {
        Bytes framed = channel_.framePacket(type, payload);
        channel_.writeRaw(framed.data(), 4 + (framed.size() - 4) / 2);
        closeWith("server-closed");
        return false;
    }
    waitForClose();
    return false;
}

bool ServerConnection::readAndRecord(Packet& packet) {
    if (!channel_.readPacket(packet)) {
        if (channel_.peerClosed()) {
            closeWith("client-closed");
        } else if (channel_.error().rfind("timeout", 0) == 0) {
            closeWith("timeout");
        } else {
            recorder_.line("ERROR " + channel_.error());
            logLine("protocol error: %s", channel_.error().c_str());
            closeWith("error");
        }
        return false;
    }
    std::string line = describeMessage(packet);
    if (line.empty()) {
        // A field longer than its packet: real servers drop such a client, and so do we.
        recorder_.line("ERROR malformed message " + std::to_string(packet.type));
        disconnect("Protocol error: malformed message");
        return false;
    }
    if (packet.type != SSH_CMSG_SESSION_KEY) recorder_.line(line);
    return true;
}

void ServerConnection::disconnect(const std::string& reason) {
    send(SSH_MSG_DISCONNECT, stringPayload(reason));
    closeWith("server-closed");
}

void ServerConnection::waitForClose() {
    std::uint8_t sink[4096];
    for (;;) {
        if (!channel_.readExactly(sink, 1)) break;
        ssize_t ignored = recv(fd_, sink, sizeof(sink), MSG_DONTWAIT);
        (void)ignored;
    }
    closeWith(channel_.peerClosed() ? "client-closed" : "timeout");
}

void ServerConnection::finishWithExitStatus(std::uint32_t status) {
    Writer w;
    w.u32(status);
    if (!send(SSH_SMSG_EXITSTATUS, w.bytes())) {
        closeWith("error");
        return;
    }
    // Real clients confirm at once; a client that never does is not waited for long.
    channel_.setTimeout(std::min(10000, static_cast<int>(options_.timeoutSeconds) * 1000));
    Packet p;
    while (readAndRecord(p)) {
        if (p.type == SSH_CMSG_EXIT_CONFIRMATION) {
            closeWith("server-closed");
            return;
        }
    }
}

bool ServerConnection::exchangeVersions() {
    const std::string& s = options_.scenario;
    const bool script = options_.mode == Mode::Script;
    if (failureScenario() && options_.stage == Stage::Version) return sendAt(Stage::Version, 0, {});
    const char* line = kVersionLine;
    if (script && s == "garbage-version") line = "HELLO this is not ssh\r\n";
    if (script && s == "ssh2-version") line = "SSH-2.0-OpenSSH_9.2p1\r\n";
    if (!channel_.writeRaw(reinterpret_cast<const std::uint8_t*>(line), std::strlen(line))) {
        closeWith("error");
        return false;
    }
    if (script && s == "garbage-version") {
        waitForClose();
        return false;
    }
    std::string client;
    if (!channel_.readLine(client, kMaxVersionLine)) {
        recorder_.line("ERROR " + channel_.error());
        closeWith(channel_.peerClosed() ? "client-closed" : "error");
        return false;
    }
    recorder_.line("VERSION " + escapeText(client));
    logLine("client version: %s", escapeText(client).c_str());
    if (script && s == "ssh2-version") {
        const char reply[] = "Protocol major versions differ.\n";
        channel_.writeRaw(reinterpret_cast<const std::uint8_t*>(reply), sizeof(reply) - 1);
        closeWith("server-closed");
        return false;
    }
    if (client.rfind("SSH-1.", 0) != 0) {
        recorder_.line("ERROR client does not speak SSH-1");
        const char reply[] = "Protocol major versions differ.\n";
        channel_.writeRaw(reinterpret_cast<const std::uint8_t*>(reply), sizeof(reply) - 1);
        closeWith("server-closed");
        return false;
    }
    return true;
}

bool ServerConnection::sendPublicKey() {
    if (options_.kexDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.kexDelayMs));
    randomBytes(cookie_, sizeof(cookie_));
    Writer w;
    w.raw(cookie_, sizeof(cookie_));
    w.u32(keys_.server->bits());
    w.mpint(keys_.server->exponent());
    w.mpint(keys_.server->modulus());
    w.u32(keys_.host->bits());
    w.mpint(keys_.host->exponent());
    w.mpint(keys_.host->modulus());
    w.u32(0);  // protocol flags
    w.u32(options_.cipherMask);
    w.u32(announcedAuthMask(options_));
    publicKeyPayload_ = w.take();
    return sendAt(Stage::PublicKey, SSH_SMSG_PUBLIC_KEY, publicKeyPayload_);
}

bool ServerConnection::receiveSessionKey() {
    Packet p;
    if (!readAndRecord(p)) return false;
    if (p.type != SSH_CMSG_SESSION_KEY) {
        recorder_.line("ERROR expected the session key, got message " + std::to_string(p.type));
        disconnect("Protocol error: expected the session key");
        return false;
    }
    Reader r(p.payload);
    int cipher = r.u8();
    std::uint8_t cookie[8];
    r.raw(cookie, sizeof(cookie));
    mpz_t k;
    mpz_init(k);
    r.mpint(k);
    std::uint32_t flags = r.u32();
    if (r.failed()) {
        mpz_clear(k);
        recorder_.line("ERROR malformed session key message");
        disconnect("Protocol error: malformed session key message");
        return false;
    }
    recorder_.line("SESSION_KEY cipher=" + std::to_string(cipher) +
                   " flags=" + std::to_string(flags));
    logLine("client chose cipher %d", cipher);
    if (std::memcmp(cookie, cookie_, sizeof(cookie)) != 0) {
        mpz_clear(k);
        recorder_.line("ERROR wrong cookie");
        disconnect("Protocol error: wrong anti-spoofing cookie");
        return false;
    }
    const bool known =
        cipher == CipherNone || cipher == CipherTripleDes || cipher == CipherBlowfish;
    if (!known || !(options_.cipherMask & (1u << cipher))) {
        mpz_clear(k);
        recorder_.line("ERROR cipher " + std::to_string(cipher) + " not supported");
        disconnect("Cipher not supported");
        return false;
    }

    // The client encrypted with the smaller modulus first, so the larger key comes off first.
    const RsaPrivateKey* outer = keys_.host.get();
    const RsaPrivateKey* inner = keys_.server.get();
    if (mpz_cmp(keys_.server->modulus(), keys_.host->modulus()) > 0) std::swap(outer, inner);
    std::optional<Bytes> middle = outer->decryptPkcs1(k);
    std::optional<Bytes> plain;
    if (middle) {
        bytesToInteger(k, middle->data(), middle->size());
        plain = inner->decryptPkcs1(k);
    }
    mpz_set_ui(k, 0);
    mpz_clear(k);
    if (!plain || plain->size() > 32) {
        recorder_.line("ERROR session key does not decrypt");
        disconnect("Protocol error: session key does not decrypt");
        return false;
    }
    // A key whose first byte is zero arrives one byte short; the integer value is what counts.
    std::uint8_t key[32] = {};
    std::memcpy(key + (32 - plain->size()), plain->data(), plain->size());
    std::fill(plain->begin(), plain->end(), 0);

    std::uint8_t sessionId[MD5_DIGEST_SIZE];
    {
        Bytes block = fixedBytes(keys_.host->modulus(), keys_.host->byteLength());
        Bytes server = fixedBytes(keys_.server->modulus(), keys_.server->byteLength());
        block.insert(block.end(), server.begin(), server.end());
        block.insert(block.end(), cookie_, cookie_ + sizeof(cookie_));
        md5_ctx md5;
        md5_init(&md5);
        md5_update(&md5, block.size(), block.data());
        md5_digest(&md5, sizeof(sessionId), sessionId);
    }
    std::memcpy(sessionId_, sessionId, sizeof sessionId_);
    for (int i = 0; i < 16; ++i) key[i] ^= sessionId[i];
    channel_.setCiphers(makePacketCipher(cipher, key), makePacketCipher(cipher, key));
    std::memset(key, 0, sizeof(key));
    return sendAt(Stage::KeyAck, SSH_SMSG_SUCCESS, {});
}

bool ServerConnection::authenticate() {
    Packet p;
    for (;;) {
        if (!readAndRecord(p)) return false;
        // Input typed during the login is recorded and dropped, as no shell exists yet.
        if (p.type == SSH_CMSG_STDIN_DATA || p.type == SSH_CMSG_WINDOW_SIZE) continue;
        if (p.type == SSH_MSG_DISCONNECT) {
            closeWith("client-closed");
            return false;
        }
        break;
    }
    if (p.type != SSH_CMSG_USER) {
        disconnect("Protocol error: expected the user name");
        return false;
    }
    Reader r(p.payload);
    std::string user = r.string();
    const bool userKnown = !r.failed() && user == options_.user;
    const std::string& s = options_.scenario;
    const bool script = options_.mode == Mode::Script;
    if (script && s == "disconnect-after-user") {
        disconnect(options_.reason);
        return false;
    }
    if (script && s == "user-only" && userKnown) return sendAt(Stage::User, SSH_SMSG_SUCCESS, {});
    if (!sendAt(Stage::User, SSH_SMSG_FAILURE, {})) return false;
    return passwordPhase(userKnown);
}

bool ServerConnection::passwordPhase(bool userKnown) {
    const bool refuseAll = options_.mode == Mode::Script && options_.scenario == "refuse-password";
    int attempts = 0;
    Packet p;
    while (readAndRecord(p)) {
        switch (p.type) {
            case SSH_CMSG_STDIN_DATA:
            case SSH_CMSG_WINDOW_SIZE:
                continue;
            case SSH_MSG_DISCONNECT:
                closeWith("client-closed");
                return false;
            case SSH_CMSG_AUTH_PASSWORD: {
                Reader r(p.payload);
                std::string password = r.string();
                // Passwords are C strings to real servers; OpenSSH pads them with NULs.
                password.resize(std::strlen(password.c_str()));
                bool ok = userKnown && !refuseAll && !options_.noPassword && !r.failed() &&
                          password == options_.password;
                std::fill(password.begin(), password.end(), '\0');
                if (!sendAt(Stage::Password, ok ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE, {}))
                    return false;
                if (ok) return true;
                if (++attempts >= kMaxPasswordAttempts) {
                    disconnect("Too many authentication failures");
                    return false;
                }
                continue;
            }
            default: {  // RSA keys and challenges, when offered; the rest is refused there
                bool accepted = false;
                if (!serveLoginMethod(*this, p, userKnown, sessionId_, accepted)) return false;
                if (accepted) return true;
                continue;
            }
        }
    }
    return false;
}

bool ServerConnection::preparatoryPhase(std::string& command, bool& haveCommand) {
    Packet p;
    while (readAndRecord(p)) {
        Reader r(p.payload);
        switch (p.type) {
            case SSH_CMSG_REQUEST_PTY: {
                PtyRequest req;
                req.term = r.string();
                req.rows = r.u32();
                req.columns = r.u32();
                req.xpixels = r.u32();
                req.ypixels = r.u32();
                bool refuse = r.failed() || pty_.granted ||
                              (options_.mode == Mode::Script && options_.scenario == "refuse-pty");
                if (!refuse) {
                    req.granted = true;
                    pty_ = req;
                }
                if (!sendAt(Stage::Pty, refuse ? SSH_SMSG_FAILURE : SSH_SMSG_SUCCESS, {}))
                    return false;
                break;
            }
            case SSH_CMSG_WINDOW_SIZE: {
                std::uint32_t rows = r.u32(), cols = r.u32(), x = r.u32(), y = r.u32();
                if (!r.failed() && pty_.granted) pty_ = {true, pty_.term, rows, cols, x, y};
                break;
            }
            case SSH_CMSG_STDIN_DATA:
            case SSH_CMSG_EOF:
                break;  // recorded; there is nothing to give it to yet
            case SSH_CMSG_REQUEST_COMPRESSION: {
                const std::uint32_t level = r.u32();
                const bool refuse =
                    r.failed() || level < 1 || level > 9 || compressing_ ||
                    (options_.mode == Mode::Script && options_.scenario == "refuse-compression");
                if (!send(refuse ? SSH_SMSG_FAILURE : SSH_SMSG_SUCCESS, {})) return false;
                // Everything after the SUCCESS is compressed, both ways.
                if (!refuse) compressing_ = channel_.startCompression(static_cast<int>(level));
                break;
            }
            case SSH_CMSG_PORT_FORWARD_REQUEST:
                if (!forwarding_.requestRemote(p)) return false;
                break;
            case SSH_CMSG_X11_REQUEST_FORWARDING:
                if (!forwarding_.requestX11(p)) return false;
                break;
            case SSH_CMSG_EXEC_SHELL:
                haveCommand = false;
                return true;
            case SSH_CMSG_EXEC_CMD:
                command = r.string();
                haveCommand = !r.failed();
                return true;
            case SSH_MSG_DISCONNECT:
                closeWith("client-closed");
                return false;
            default:  // forwarding, packet size: none of them is offered
                if (!send(SSH_SMSG_FAILURE, {})) return false;
        }
    }
    return false;
}

bool ServerConnection::run() {
    recorder_.line("CONNECT");
    if (!exchangeVersions() || !sendPublicKey() || !receiveSessionKey()) return false;
    if (!authenticate()) return false;
    logLine("user logged in");
    std::string command;
    bool haveCommand = false;
    if (!preparatoryPhase(command, haveCommand)) return true;
    if (options_.mode == Mode::Shell) {
        runShell(*this, haveCommand ? &command : nullptr);
    } else {
        runScript(*this);
    }
    closeWith("server-closed");
    return true;
}

}  // namespace corvid1::testserver
