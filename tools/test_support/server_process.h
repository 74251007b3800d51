// Starts corvid1-test-server for a test and tells it where the server listens. For the tests
// of any module: no Qt, no GMP, no knowledge of the server's insides.
//
//   corvid1::testserver::ServerProcess server({"--scenario", "bulk", "--bulk", "65536"});
//   ASSERT_TRUE(server.started());
//   connect to 127.0.0.1 port server.port() ...
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace corvid1::testserver {

// The server program: $CORVID1_TEST_SERVER if set, else the one this build made.
std::string testServerPath();

class ServerProcess {
  public:
    // Starts the server with `args` and waits (up to 20 s) for its "PORT n" line. The server's
    // standard error goes to `stderrPath` when given, else it stays the test's own.
    explicit ServerProcess(const std::vector<std::string>& args,
                           const std::string& stderrPath = {});
    // Stops the server (SIGTERM, then SIGKILL after 5 s) unless it has already exited.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // The first line the server printed, line end included ("" if none came).
    const std::string& firstLine() const { return firstLine_; }
    // Whatever else it printed on standard output, up to its exit (the server prints nothing
    // more: this is for tests that prove it).
    std::string restOfStdout();
    // A TCP connection to the server (numeric IPv4 or IPv6 address), or -1.
    int connect(const char* address = "127.0.0.1") const;
    // The exit code (128 + signal after a signal), or -1 if it did not exit within `seconds`.
    int waitExit(int seconds);

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::FILE* stdout_ = nullptr;
    std::string firstLine_;
};

}  // namespace corvid1::testserver
