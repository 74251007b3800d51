// A session's thread and the user interface's, typing, resizing and disconnecting (TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fake_server.h"
#include "test_server.h"

namespace corvid1 {
namespace {

using namespace std::chrono_literals;
using Running = test::TestClient;

// Types and resizes until stopped, a keystroke every fraction of a millisecond.
struct Typist {
    explicit Typist(std::shared_ptr<Session> session)
        : thread([this, session] {
              for (std::uint32_t rows = 24; !stop; ++rounds) {
                  sendInput(*session, "typed\0", 6);
                  sendWindowSize(*session, rows++ % 50 + 10, 80, 640, 480);
                  std::this_thread::sleep_for(200us);
              }
          }) {}
    ~Typist() { stopNow(); }
    void stopNow() { stop = true, thread.joinable() ? thread.join() : void(); }
    std::atomic<long> rounds{0};
    std::atomic<bool> stop{false};
    std::thread thread;  // last, so that it starts once the counters are there
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
        // Typing starts once the shell runs, lest it slip in among the login the fake one checks.
        run.await("o", true, 20);
        Typist typist(run.session);
        EXPECT_EQ(run.finish().end, SessionEnd::ServerDisconnect);
    }
    server.join();
    EXPECT_EQ(run.recording.output().size(), 200u * 8192u + 10u);
}

}  // namespace
}  // namespace corvid1
