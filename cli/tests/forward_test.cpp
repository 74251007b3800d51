// corvid1-cli's -L and -R through the test server: a line there and back through each, and a
// forward that cannot listen is a warning while the session goes on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include "harness.h"

namespace corvid1::cli::test {
namespace {

int listenOn(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t length = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

// Sends a line through `port` (retrying while the forward is being set up) and returns what
// came back before the far end closed.
std::string through(std::uint16_t port, const std::string& line) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            shutdown(fd, SHUT_WR);
            std::string back;
            char buffer[256];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                back.append(buffer, static_cast<std::size_t>(n));
            close(fd);
            return back;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "no connection";
}

TEST(CliForwarding, LocalAndRemoteForwardsCarryALineAndAFailedBindIsAWarning) {
    TempDir dir;
    TestServer server({"--mode", "shell"}, dir.file("record"));
    ASSERT_TRUE(server.running());
    // The target answers one connection at a time with what it was sent, upper-cased.
    std::uint16_t targetPort = 0, taken = 0;
    const int target = listenOn(targetPort);
    const int holder = listenOn(taken);
    std::thread targetThread([target] {
        for (int i = 0; i < 2; ++i) {
            const int c = accept(target, nullptr, nullptr);
            char buffer[256];
            std::string got;
            for (ssize_t n; (n = read(c, buffer, sizeof buffer)) > 0;)
                got.append(buffer, static_cast<std::size_t>(n));
            for (char& ch : got) ch = static_cast<char>(std::toupper(ch));
            send(c, got.data(), got.size(), MSG_NOSIGNAL);
            close(c);
        }
    });
    std::uint16_t localPort = 0, remotePort = 0;
    close(listenOn(localPort));
    close(listenOn(remotePort));
    const std::string to = ":127.0.0.1:" + std::to_string(targetPort);
    auto client = std::async(std::launch::async, [&] {
        return runClient(
            {"-p", std::to_string(server.port()), "--host-key", serverFingerprint(), "-L",
             std::to_string(localPort) + to, "-R", std::to_string(remotePort) + to, "-L",
             std::to_string(taken) + to, "test@127.0.0.1", "sleep 3"},
            dir.path(), {{"CORVID1_PASSWORD", "secret"}});
    });
    EXPECT_EQ(through(localPort, "local\n"), "LOCAL\n");
    EXPECT_EQ(through(remotePort, "remote\n"), "REMOTE\n");
    const RunResult r = client.get();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Warning - Cannot listen on 127.0.0.1:" + std::to_string(taken)),
              std::string::npos)
        << r.err;
    targetThread.join();
    close(target);
    close(holder);
}

}  // namespace
}  // namespace corvid1::cli::test
