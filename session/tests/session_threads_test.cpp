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

using namespace std::chrono_literals;

// A session on a thread of its own, as the application runs it, with the given cipher.
struct Running : test::TestClient {
    Running(std::unique_ptr<Connection> connection, int preference)
        : TestClient(std::move(connection), [preference](LoginParameters& login) {
              login.cipherPreference = static_cast<std::uint32_t>(preference);
          }) {}
};

// Types and resizes until told to stop, a keystroke every fraction of a millisecond.
class Typist {
  public:
    explicit Typist(std::shared_ptr<Session> session)
        : thread_([this, session] {
              for (std::uint32_t rows = 24; !stop_; ++rounds) {
                  sendInput(*session, "typed\0", 6);
                  sendWindowSize(*session, rows++ % 50 + 10, 80, 640, 480);
                  std::this_thread::sleep_for(200us);
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

class Flood : public ::testing::TestWithParam<int> {};

TEST_P(Flood, TypingAndResizingWhileOutputFloodsIn) {
    const std::size_t count = 2 * 1024 * 1024;
    test::TestServer server({"--scenario", "bulk", "--bulk", std::to_string(count)}, "flood");
    Running run(test::TestClient::connectedTo(server.port()), GetParam());
    Typist typist(run.session);
    const SessionResult result = run.finish();
    typist.stopNow();
    EXPECT_EQ(result.end, SessionEnd::ExitStatus);
    std::string bulk(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bulk[i] = static_cast<char>((i ^ (i >> 8)) & 0xFF);
    EXPECT_TRUE(run.recording.output() == bulk);
    EXPECT_GT(typist.rounds.load(), 0);
    // Every packet the typist sent arrived whole and in order: the server decrypted each one.
    EXPECT_FALSE(server.recordedPrefix("ERROR"));
}

TEST_P(Flood, UserDisconnectInTheMiddle) {
    test::TestServer server({"--scenario", "bulk", "--bulk", "1000000000"}, "abort");
    Running run(test::TestClient::connectedTo(server.port()), GetParam());
    {
        Typist typist(run.session);
        while (run.recording.output().size() < 200000) std::this_thread::sleep_for(5ms);
        run.session->abort();
    }
    // The user-interface thread lets go at once; the session thread keeps its own reference.
    run.session.reset();
    EXPECT_EQ(run.finish().end, SessionEnd::Aborted);
}

INSTANTIATE_TEST_SUITE_P(Session, Flood, ::testing::Values(3, 6));

TEST(ServerDisconnect, InTheMiddleOfTypingAndOutput) {
    test::SocketPair pair;
    Running run(std::make_unique<Connection>(pair.releaseClient()), 0);
    std::thread server([&] {
        test::FakeServer fake(pair.server);
        fake.fullLogin();
        for (int i = 0; i < 200; ++i) fake.sendString(SSH_SMSG_STDOUT_DATA, std::string(8192, 'o'));
        fake.sendString(SSH_MSG_DISCONNECT, "going away");
        shutdown(pair.server, SHUT_RDWR);
    });
    {
        // Typing starts once the shell runs: the fake server checks the login messages in
        // order, and input typed earlier could slip in between them.
        const auto giveUp = std::chrono::steady_clock::now() + 20s;
        while (run.recording.output().empty() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        Typist typist(run.session);
        EXPECT_EQ(run.finish().end, SessionEnd::ServerDisconnect);
    }
    server.join();
    EXPECT_EQ(run.recording.output().size(), 200u * 8192u + 10u);
}

}  // namespace
}  // namespace corvid1
