// The session driver against a scripted server in this process (cipher 0), so that every step
// and every failure can be staged exactly.
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
using test::SocketPair;

using Lines = std::vector<std::string>;

const Lines keyExchangeLines = {"Server challenge received\n",
                                "Server public key received\n",
                                "Server public key validated\n",
                                "Getting host key bits\n",
                                "Getting host key E\n",
                                "Getting host key N\n",
                                "Getting flags/ciphers/auth\n",
                                "Computing session id\n",
                                "Session id computed\n",
                                "Opening seedfile\n",
                                "Creating session key\n",
                                "Encrypting key\n",
                                "Key encrypted\n",
                                "Sending cipher/key\n"};

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SessionDriverTest : public ::testing::Test {
  protected:
    SessionDriverTest() {
        login.user = "alice";
        login.password = "wonderland";
        login.cipherPreference = 0;
        login.rows = 24;
        login.columns = 80;
        login.widthPixels = 640;
        login.heightPixels = 384;
        login.seedFilePath = ::testing::TempDir() + "corvid1_session_seed";
    }

    // Runs the session against `script` on a server thread. When the script is done the server
    // shuts its end down; when runSession is done the client's socket is shut down too, so a
    // script that waits for the client to go away ends as well.
    SessionResult run(std::function<void(FakeServer&)> script) {
        return runWith(frontEnd, std::move(script));
    }
    SessionResult runWith(RecordingFrontEnd& lines, std::function<void(FakeServer&)> script) {
        SocketPair pair;
        session = std::make_shared<Session>(std::make_unique<Connection>(pair.releaseClient()),
                                            login, lines);
        std::thread server([&pair, script] {
            FakeServer fake(pair.server);
            script(fake);
            shutdown(pair.server, SHUT_RDWR);
        });
        const SessionResult result = runSession(*session);
        session->abort();
        server.join();
        session.reset();
        return result;
    }

    LoginParameters login;
    RecordingFrontEnd frontEnd;
    std::shared_ptr<Session> session;
};

TEST_F(SessionDriverTest, DataLoopPassesEveryOutputByteAndStopsAtTheExitStatus) {
    int afterExit = 0;
    int afterConfirmation = 0;
    const SessionResult result = run([&](FakeServer& server) {
        server.fullLogin();
        server.sendString(SSH_SMSG_STDOUT_DATA, std::string("hello\0world", 11));
        server.sendString(SSH_SMSG_STDOUT_DATA, "");
        server.sendString(SSH_MSG_IGNORE, "padding");
        server.sendString(SSH_SMSG_STDERR_DATA, "err\r\n");
        // Every other code the data loop does not take for itself, or hand to the channels, is
        // passed over: a string that would show if it were taken for output. (The reader gives
        // type bytes as signed values, so codes from 128 up read as a failed read.)
        for (int type = 0; type < 128; ++type) {
            if (type == SSH_MSG_DISCONNECT || type == SSH_SMSG_STDOUT_DATA ||
                type == SSH_SMSG_STDERR_DATA || type == SSH_SMSG_EXITSTATUS ||
                Forwarder::handles(type))
                continue;
            server.sendString(static_cast<std::uint8_t>(type), "#" + std::to_string(type));
        }
        server.start(SSH_SMSG_EXITSTATUS).putUint32(7);
        server.send();
        afterExit = server.read();  // the client confirms, then closes
        afterConfirmation = server.read();
    });
    EXPECT_EQ(afterExit, SSH_CMSG_EXIT_CONFIRMATION);
    EXPECT_EQ(afterConfirmation, -1);
    EXPECT_EQ(frontEnd.lines(),
              concat(keyExchangeLines, {"Sent login username\n", "Sent login password\n",
                                        "Authorization successful.\n", "PTTY Allocated\n"}));
    EXPECT_EQ(frontEnd.output(), std::string("hello\0worlderr\r\n", 16));
    EXPECT_EQ(frontEnd.errors(), "err\r\n");
    // The front end hears that the shell is requested right after the last login line.
    EXPECT_EQ(frontEnd.linesBeforeInteractive(), static_cast<int>(frontEnd.lines().size()));
    EXPECT_TRUE(result.loggedIn);
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(result.exitStatus.value_or(0), 7u);
}

TEST_F(SessionDriverTest, VersionLinesThatDoNotStartWithSshAreRefused) {
    for (const char* line : {"HELLO this is not ssh\r\n", "  SSH-1.5-spaces\n", "SSH\n"}) {
        RecordingFrontEnd lines;
        SocketPair local;
        Session session(std::make_unique<Connection>(local.releaseClient()), login, lines);
        write(local.server, line, strlen(line));
        EXPECT_EQ(runSession(session).end, SessionEnd::VersionFailure) << line;
        EXPECT_EQ(lines.lines(), Lines{"ERROR - Unrecognized SSH challenge\n"}) << line;
    }
}

// The server may end the connection at every step; each ends the session its own way, and the
// reason, cut to the line buffer, is shown as the server's words.
TEST_F(SessionDriverTest, DisconnectAtEveryStepIsReported) {
    enum Step { Key, User, Password, Pty, Data };
    const std::string reason(500, 'r');
    const std::string shown = "Server response: " + std::string(181, 'r') + "\n";
    const struct {
        Step step;
        SessionEnd end;
        std::vector<std::string> lastLines;
    } cases[] = {
        {Key,
         SessionEnd::KeyExchangeFailure,
         {"ERROR - The server ended the connection after the session key\n", shown}},
        {User, SessionEnd::LoginRefused, {"Error during authorization!\n", shown}},
        {Password,
         SessionEnd::LoginRefused,
         {"Authorization error. Check username and password.\n", shown}},
        {Pty, SessionEnd::ServerDisconnect, {"Error during the terminal request!\n", shown}},
        {Data, SessionEnd::ServerDisconnect, {"Authorization successful.\n", "PTTY Allocated\n"}},
    };
    for (const auto& c : cases) {
        RecordingFrontEnd lines;
        const SessionResult result = runWith(lines, [&](FakeServer& server) {
            server.greet();
            server.read();
            if (c.step != Key) {
                server.sendEmpty(SSH_SMSG_SUCCESS);
                server.read();  // the user name
            }
            if (c.step > User)
                server.sendEmpty(c.step == Password ? SSH_SMSG_FAILURE : SSH_SMSG_SUCCESS);
            if (c.step > User) server.read();  // the password, or the pty request
            if (c.step == Data) {
                server.sendEmpty(SSH_SMSG_SUCCESS);
                server.read();  // the shell request
            }
            server.sendString(SSH_MSG_DISCONNECT, reason);
        });
        EXPECT_EQ(result.end, c.end) << c.step;
        EXPECT_EQ(result.disconnectReason, reason) << c.step;
        const auto all = lines.lines();
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()), c.lastLines) << c.step;
        EXPECT_EQ(lines.output(), c.step == Data ? reason : "") << c.step;
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
    EXPECT_FALSE(frontEnd.saw("Sent login password\n"));
    EXPECT_EQ(frontEnd.lines().back(), "ERROR - Connection lost during login\n");
    EXPECT_EQ(result.end, SessionEnd::StreamFailure);
}

TEST_F(SessionDriverTest, VtFiftyTwoIsAskedForByName) {
    login.terminalType = "vt52";
    std::string terminal;
    run([&](FakeServer& server) {
        server.fullLogin();
        terminal = server.terminal;
    });
    EXPECT_EQ(terminal, "vt52");
}

TEST_F(SessionDriverTest, InputAndWindowSizeBeforeTheKeyExchangeAreDropped) {
    std::vector<int> afterKey;
    std::vector<std::string> stdinTexts;
    std::uint32_t windowValues[4] = {};
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
        afterKey.push_back(server.read());
        stdinTexts.push_back(server.received().getString());
        afterKey.push_back(server.read());
        for (std::uint32_t& value : windowValues) value = server.received().getUint32();
        afterKey.push_back(server.read());
    });
    EXPECT_EQ(afterKey,
              (std::vector<int>{SSH_CMSG_STDIN_DATA, SSH_CMSG_WINDOW_SIZE, SSH_CMSG_USER}));
    EXPECT_EQ(stdinTexts, std::vector<std::string>{std::string("a\0b", 3)});
    EXPECT_EQ(windowValues[0], 31u);  // rows + 1, unlike the pty request
    EXPECT_EQ(windowValues[1], 100u);
    EXPECT_EQ(windowValues[2], 800u);
    EXPECT_EQ(windowValues[3], 600u);
}

TEST_F(SessionDriverTest, LongPasteGoesOutWholeInSeveralPackets) {
    std::string paste(100000, 'p');
    for (std::size_t i = 0; i < paste.size(); ++i) paste[i] = static_cast<char>('a' + i % 26);
    std::string received;
    run([&](FakeServer& server) {
        Session& client = *session;
        server.fullLogin();
        std::thread typist(
            [&] { sendInput(client, paste.data(), static_cast<int>(paste.size())); });
        while (received.size() < paste.size() && server.read() == SSH_CMSG_STDIN_DATA) {
            received += server.received().getString();
        }
        typist.join();
    });
    EXPECT_EQ(received, paste);
}

// The password leaves memory once sent, whether the server then takes it or not, padded among
// IGNOREs or alone.
TEST_F(SessionDriverTest, PasswordIsWipedOnceSentAcceptedOrRefused) {
    for (const bool pad : {true, false}) {
        for (const bool accepted : {true, false}) {
            SCOPED_TRACE(std::string(pad ? "padded, " : "alone, ") +
                         (accepted ? "accepted" : "refused"));
            login.padPassword = pad;
            SocketPair local;
            RecordingFrontEnd lines;
            Session live(std::make_unique<Connection>(local.releaseClient()), login, lines);
            std::string sent;
            std::thread server([&] {
                FakeServer fake(local.server);
                fake.greet();
                fake.acceptSessionKey();
                fake.read();
                fake.sendEmpty(SSH_SMSG_FAILURE);
                if (fake.read() == SSH_CMSG_AUTH_PASSWORD) sent = fake.received().getString();
                fake.sendEmpty(accepted ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE);
                shutdown(local.server, SHUT_RDWR);
            });
            const SessionResult result = runSession(live);
            server.join();
            EXPECT_EQ(sent, "wonderland");
            EXPECT_EQ(result.loggedIn, accepted);
            EXPECT_TRUE(live.login().password.empty());
        }
    }
}

}  // namespace
}  // namespace corvid1
