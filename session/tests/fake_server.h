#pragma once

#include <gtest/gtest.h>

#include <string>

#include "rsa_oracle.h"
#include "session/connection.h"
#include "session/session.h"
#include "test_support.h"

namespace corvid1::test {

// The server end of a socket pair for cipher 0; it never decrypts the session key.
class FakeServer {
  public:
    explicit FakeServer(int fd) : connection_(fd) {}

    TcpSocket& socket() { return connection_.socket(); }
    void sendRaw(const std::string& bytes) { socket().sendBytes(bytes.data(), bytes.size()); }
    std::string readLine() { return socket().readLine(); }

    // Version exchange and public key; returns the client's version line.
    std::string greet(const char* version = "SSH-1.5-FakeServer\n", std::uint32_t mask = 0x49) {
        sendRaw(version);
        const std::string clientLine = readLine();
        sendPublicKey(mask);
        return clientLine;
    }
    void sendPublicKey(std::uint32_t mask) {
        MessageBuffer& b = start(SSH_SMSG_PUBLIC_KEY);
        const std::uint8_t cookie[8] = {1, 1, 2, 3, 5, 8, 13, 21};
        b.append(cookie, 8);
        for (const RsaKeyPair* key : {&serverKey(), &hostKey()}) {
            b.putUint32(key->bits);
            b.putMpint(key->e);
            b.putMpint(key->n);
        }
        for (const std::uint32_t flagsCiphersAuths : {0u, mask, 1u << 3}) b.putUint32(flagsCiphersAuths);
        send();
    }
    // Reads the session key and acknowledges it; returns the cipher the client chose.
    int acceptSessionKey() {
        if (read() != SSH_CMSG_SESSION_KEY) return -1;
        const int cipher = in_.getByte();
        sendEmpty(SSH_SMSG_SUCCESS);
        return cipher;
    }
    // Greeting, session key, then a password login up to the shell request.
    void fullLogin() {
        greet();
        acceptSessionKey();
        for (const int expected : {SSH_CMSG_USER, SSH_CMSG_AUTH_PASSWORD, SSH_CMSG_REQUEST_PTY}) {
            EXPECT_EQ(read(), expected);
            if (expected == SSH_CMSG_REQUEST_PTY) terminal = in_.getString();
            sendEmpty(expected == SSH_CMSG_USER ? SSH_SMSG_FAILURE : SSH_SMSG_SUCCESS);
        }
        EXPECT_EQ(read(), SSH_CMSG_EXEC_SHELL);
    }

    MessageBuffer& start(std::uint8_t type) { return out_.beginPacket(type), out_; }
    void send() { connection_.writePacket(out_); }
    void sendEmpty(std::uint8_t type) { start(type), send(); }
    void sendString(std::uint8_t type, const std::string& text) {
        start(type).putString(text.data(), text.size()), send();
    }
    int read() { return connection_.readPacket(in_); }
    MessageBuffer& received() { return in_; }

    std::string terminal;  // as the pty request named it

    static const RsaKeyPair& serverKey() { static const RsaKeyPair key(768, 21); return key; }
    static const RsaKeyPair& hostKey() { static const RsaKeyPair key(1024, 22); return key; }

  private:
    Connection connection_;
    MessageBuffer out_;
    MessageBuffer in_;
};

}  // namespace corvid1::test
