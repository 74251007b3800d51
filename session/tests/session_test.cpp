// The session driver against a scripted server in this process (cipher 0), staged exactly.
#include "session/session.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "session/channels/forwarder.h"
#include "session/key_exchange.h"

namespace corvid1 {
namespace {

using test::FakeServer;
using test::RecordingFrontEnd;
using Lines = std::vector<std::string>;

class SessionDriverTest : public ::testing::Test {
  protected:
    SessionDriverTest() {
        login.user = "alice", login.password = "wonderland";
        login.cipherPreference = 0;
        login.seedFilePath = ::testing::TempDir() + "corvid1_session_seed";
    }

    // A fresh session against `script` on a server thread; each side shuts down when done, so
    // that a script waiting for the client to go away ends as well.
    SessionResult run(std::function<void(FakeServer&)> script, RecordingFrontEnd* lines = nullptr) {
        test::SocketPair pair;
        session = std::make_shared<Session>(std::make_unique<Connection>(pair.releaseClient()),
                                            login, lines ? *lines : frontEnd);
        std::thread server([&pair, script] {
            FakeServer fake(pair.server);
            script(fake);
            shutdown(pair.server, SHUT_RDWR);
        });
        const SessionResult result = runSession(*session);
        session->abort();
        server.join();
        return result;
    }

    LoginParameters login;
    RecordingFrontEnd frontEnd;
    std::shared_ptr<Session> session;
};

TEST_F(SessionDriverTest, DataLoopPassesEveryOutputByteAndStopsAtTheExitStatus) {
    login.terminalType = "vt52";
    int afterExit = 0, afterConfirmation = 0;
    std::string terminal;
    const SessionResult result = run([&](FakeServer& server) {
        server.fullLogin();
        terminal = server.terminal;
        server.sendString(SSH_SMSG_STDOUT_DATA, std::string("hello\0world", 11));
        server.sendString(SSH_SMSG_STDOUT_DATA, "");
        server.sendString(SSH_SMSG_STDERR_DATA, "err\r\n");
        // Every other code is passed over, not shown (from 128 up the reader sees a failed read).
        for (int type = 0; type < 128; ++type)
            if (type != SSH_MSG_DISCONNECT && type != SSH_SMSG_STDOUT_DATA &&
                type != SSH_SMSG_STDERR_DATA && type != SSH_SMSG_EXITSTATUS &&
                !Forwarder::handles(type))
                server.sendString(static_cast<std::uint8_t>(type), "#" + std::to_string(type));
        server.start(SSH_SMSG_EXITSTATUS).putUint32(7);
        server.send();
        afterExit = server.read();  // the client confirms, then closes
        afterConfirmation = server.read();
    });
    EXPECT_EQ(terminal + " " + std::to_string(afterExit) + " " + std::to_string(afterConfirmation),
              "vt52 " + std::to_string(SSH_CMSG_EXIT_CONFIRMATION) + " -1");
    EXPECT_EQ(frontEnd.transcript(),  // the status lines, then the output as it came
              "Server challenge received\nServer public key received\nServer public key validated\n"
              "Getting host key bits\nGetting host key E\nGetting host key N\n"
              "Getting flags/ciphers/auth\nComputing session id\nSession id computed\n"
              "Opening seedfile\nCreating session key\nEncrypting key\nKey encrypted\n"
              "Sending cipher/key\nSent login username\nSent login password\n"
              "Authorization successful.\nPTTY Allocated\n" + std::string("hello\0worlderr\r\n", 16));
    EXPECT_EQ(frontEnd.output() + "|" + frontEnd.errors(), std::string("hello\0worlderr\r\n|err\r\n", 22));
    // The front end hears that the shell is requested right after the last login line.
    EXPECT_EQ(frontEnd.linesBeforeInteractive(), static_cast<int>(frontEnd.lines().size()));
    EXPECT_TRUE(result.loggedIn && result.end == SessionEnd::ExitStatus);
    EXPECT_EQ(result.exitStatus.value_or(0), 7u);
}

TEST_F(SessionDriverTest, VersionLinesThatDoNotStartWithSshAreRefused) {
    for (const char* line : {"HELLO this is not ssh\r\n", "  SSH-1.5-spaces\n", "SSH\n"}) {
        RecordingFrontEnd lines;
        EXPECT_EQ(run([&](FakeServer& server) { server.sendRaw(line); }, &lines).end,
                  SessionEnd::VersionFailure);
        EXPECT_EQ(lines.lines(), Lines{"ERROR - Unrecognized SSH challenge\n"}) << line;
    }
}

// A disconnect at each step ends it its own way, the reason cut to the line buffer.
TEST_F(SessionDriverTest, DisconnectAtEveryStepIsReported) {
    const std::string reason(500, 'r'), shown = "Server response: " + std::string(181, 'r') + "\n";
    const std::uint8_t ok = SSH_SMSG_SUCCESS, no = SSH_SMSG_FAILURE;
    const struct {
        const char* step;
        std::vector<std::uint8_t> replies;  // to the session key, user, password or pty
        SessionEnd end;
        Lines lastLines;
    } cases[] = {
        // clang-format off
        {"key", {}, SessionEnd::KeyExchangeFailure, {"ERROR - The server ended the connection after the session key\n", shown}},
        {"user", {ok}, SessionEnd::LoginRefused, {"Error during authorization!\n", shown}},
        {"password", {ok, no}, SessionEnd::LoginRefused, {"Authorization error. Check username and password.\n", shown}},
        {"pty", {ok, ok}, SessionEnd::ServerDisconnect, {"Error during the terminal request!\n", shown}},
        {"data", {ok, ok, ok}, SessionEnd::ServerDisconnect, {"Authorization successful.\n", "PTTY Allocated\n"}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        RecordingFrontEnd lines;
        const SessionResult result = run([&](FakeServer& server) {
            server.greet();
            server.read();
            for (const std::uint8_t reply : c.replies) server.sendEmpty(reply), server.read();
            server.sendString(SSH_MSG_DISCONNECT, reason);
        }, &lines);
        EXPECT_EQ(result.end, c.end);
        EXPECT_EQ(result.disconnectReason, reason);
        EXPECT_EQ(lines.lastLines(2), c.lastLines);
        EXPECT_EQ(lines.output(), c.replies.size() == 3 ? reason : "");
    }
}

TEST_F(SessionDriverTest, StreamFailingAfterTheUserNameSendsNoPassword) {
    int afterUser = 0;
    const SessionResult result = run([&](FakeServer& server) {
        server.greet();
        server.acceptSessionKey();
        server.read();
        server.sendRaw(std::string("\0\0\0\x10", 4));  // a length, then nothing
        shutdown(server.socket().socketHandle(), SHUT_WR);
        afterUser = server.read();
    });
    EXPECT_EQ(afterUser, -1);
    EXPECT_EQ(frontEnd.lastLines(2), (Lines{"Sent login username\n", "ERROR - Connection lost during login\n"}));
    EXPECT_EQ(result.end, SessionEnd::StreamFailure);
}

TEST_F(SessionDriverTest, InputAndWindowSizeBeforeTheKeyExchangeAreDropped) {
    std::vector<std::uint32_t> got;  // packet types, each with its string's length or the sizes
    run([&](FakeServer& server) {
        Session& client = *session;
        server.sendRaw("SSH-1.5-FakeServer\n");
        server.readLine();
        // The client is waiting for the public key: nothing may reach the wire yet.
        sendInput(client, "early", 5);
        sendWindowSize(client, 30, 100, 800, 600);
        server.sendPublicKey(0x49);
        EXPECT_EQ(server.read(), SSH_CMSG_SESSION_KEY);
        // Once the keyed connection is published, input goes out, even before the login.
        while (client.encryptedConnection() == nullptr) std::this_thread::yield();
        sendInput(client, "a\0b", 3);
        sendWindowSize(client, 30, 100, 800, 600);
        server.sendEmpty(SSH_SMSG_SUCCESS);
        for (int packet = 0; packet < 3; ++packet) {
            const auto type = static_cast<std::uint32_t>(server.read());
            got.push_back(type);
            if (type != SSH_CMSG_WINDOW_SIZE) got.push_back(server.received().getString().size());
            for (int i = 0; type == SSH_CMSG_WINDOW_SIZE && i < 4; ++i)
                got.push_back(server.received().getUint32());
        }
    });
    // The rows are one more than asked, unlike the pty request.
    EXPECT_EQ(got, (std::vector<std::uint32_t>{SSH_CMSG_STDIN_DATA, 3, SSH_CMSG_WINDOW_SIZE, 31,
                                               100, 800, 600, SSH_CMSG_USER, 5}));
}

TEST_F(SessionDriverTest, LongPasteGoesOutWholeInSeveralPackets) {
    std::string paste(100000, 'p'), received;
    for (std::size_t i = 0; i < paste.size(); ++i) paste[i] = static_cast<char>('a' + i % 26);
    run([&](FakeServer& server) {
        server.fullLogin();
        std::thread typist(
            [&] { sendInput(*session, paste.data(), static_cast<int>(paste.size())); });
        while (received.size() < paste.size() && server.read() == SSH_CMSG_STDIN_DATA)
            received += server.received().getString();
        typist.join();
    });
    EXPECT_EQ(received, paste);
}

TEST_F(SessionDriverTest, PasswordIsWipedOnceSentAcceptedOrRefused) {
    for (const int i : {0, 1, 2, 3}) {
        const bool accepted = i & 1;
        login.padPassword = i & 2;
        SCOPED_TRACE(i);
        std::string sent;
        const SessionResult result = run([&](FakeServer& server) {
            server.greet();
            server.acceptSessionKey();
            server.read();
            server.sendEmpty(SSH_SMSG_FAILURE);
            if (server.read() == SSH_CMSG_AUTH_PASSWORD) sent = server.received().getString();
            server.sendEmpty(accepted ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE);
        });
        EXPECT_EQ(sent, "wonderland");
        EXPECT_EQ(result.loggedIn, accepted);
        EXPECT_TRUE(session->login().password.empty());
    }
}

}  // namespace
}  // namespace corvid1
