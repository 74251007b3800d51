// The two threads of a running session: the session thread reading and feeding output, the
// user-interface thread typing, resizing and disconnecting. Meant to run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fake_server.h"
#include "session/session.h"
#include "test_server.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::FakeServer;
using test::RecordingFrontEnd;
using test::SocketPair;
using test::TestServer;

LoginParameters testLogin(int preference) {
    LoginParameters login;
    login.user = "test";
    login.password = "secret";
    login.cipherPreference = static_cast<std::uint32_t>(preference);
    login.seedFilePath = ::testing::TempDir() + "corvid1_threads_seed";
    return login;
}

std::shared_ptr<Session> connectTo(const TestServer& server, int preference,
                                   SessionFrontEnd& frontEnd) {
    auto connection = std::make_unique<Connection>();
    EXPECT_EQ(connection->socket().openConnection("127.0.0.1", server.port()), 1);
    return std::make_shared<Session>(std::move(connection), testLogin(preference), frontEnd);
}

// Types and resizes until told to stop, a keystroke every fraction of a millisecond.
class Typist {
  public:
    explicit Typist(std::shared_ptr<Session> session)
        : thread_([this, session] {
              std::uint32_t rows = 24;
              while (!stop_) {
                  sendInput(*session, "typed\0", 6);
                  sendWindowSize(*session, rows++ % 50 + 10, 80, 640, 480);
                  ++rounds;
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
              }
          }) {}
    ~Typist() { stopNow(); }
    void stopNow() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<long> rounds{0};

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string bulkPattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    return bytes;
}

class Flood : public ::testing::TestWithParam<int> {};

TEST_P(Flood, TypingAndResizingWhileOutputFloodsIn) {
    const std::size_t count = 2 * 1024 * 1024;
    TestServer server({"--scenario", "bulk", "--bulk", std::to_string(count)}, "flood");
    RecordingFrontEnd frontEnd;
    auto session = connectTo(server, GetParam(), frontEnd);
    SessionResult result;
    std::thread sessionThread([session, &result] { result = runSession(*session); });
    Typist typist(session);
    sessionThread.join();
    typist.stopNow();
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    EXPECT_EQ(frontEnd.output(), bulkPattern(count));
    EXPECT_GT(typist.rounds.load(), 0);
    // Every packet the typist sent arrived whole and in order: the server decrypted each one.
    EXPECT_FALSE(server.recordedPrefix("ERROR"));
}

TEST_P(Flood, UserDisconnectInTheMiddle) {
    TestServer server({"--scenario", "bulk", "--bulk", "1000000000"}, "abort");
    RecordingFrontEnd frontEnd;
    auto session = connectTo(server, GetParam(), frontEnd);
    SessionResult result;
    std::thread sessionThread([held = session, &result] { result = runSession(*held); });
    {
        Typist typist(session);
        while (frontEnd.output().size() < 200000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        session->abort();
        typist.stopNow();
    }
    // The user-interface thread lets go at once; the session thread keeps its own reference.
    session.reset();
    sessionThread.join();
    EXPECT_EQ(result.end, SessionEnd::Aborted);
}

INSTANTIATE_TEST_SUITE_P(Session, Flood, ::testing::Values(3, 6));

TEST(ServerDisconnect, InTheMiddleOfTypingAndOutput) {
    SocketPair pair;
    RecordingFrontEnd frontEnd;
    auto session = std::make_shared<Session>(std::make_unique<Connection>(pair.releaseClient()),
                                             testLogin(0), frontEnd);
    SessionResult result;
    std::thread sessionThread([held = session, &result] { result = runSession(*held); });
    std::thread server([&] {
        FakeServer fake(pair.server);
        fake.fullLogin();
        const std::string chunk(8192, 'o');
        for (int i = 0; i < 200; ++i) fake.sendString(SSH_SMSG_STDOUT_DATA, chunk);
        fake.sendString(SSH_MSG_DISCONNECT, "going away");
        shutdown(pair.server, SHUT_RDWR);
    });
    {
        // Typing starts once the shell runs: the fake server checks the login messages in
        // order, and input typed earlier could slip in between them.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (frontEnd.output().empty() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::yield();
        }
        Typist typist(session);
        sessionThread.join();
    }
    server.join();
    EXPECT_EQ(result.end, SessionEnd::ServerDisconnect);
    EXPECT_EQ(frontEnd.output().size(), 200u * 8192u + 10u);
}

}  // namespace
}  // namespace corvid1
