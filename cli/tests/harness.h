#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Running the real programs for the end-to-end tests: the test server in the background and
// the client to completion, with its standard streams in files so nothing can fill a pipe.
namespace corvid1::cli::test {

// A private temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0600);
// What a shell command prints on standard output.
std::string commandOutput(const std::string& command);

// The project's SSH-1 test server, listening on a port the kernel picked; `args` are added to
// "--bind 127.0.0.1 --record FILE".
class TestServer {
  public:
    TestServer(std::vector<std::string> args, const std::string& recordFile);
    ~TestServer();
    int port() const { return port_; }
    bool running() const { return pid_ > 0 && port_ > 0; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

struct RunResult {
    int exitCode = -1;  // -1: killed after the time limit, or died by a signal
    int signal = 0;
    std::string out, err;
};

// Runs the client in a session of its own (no controlling terminal), standard input from
// `stdinFile` (/dev/null when empty), `env` added to a clean environment whose HOME is `home`.
RunResult runClient(const std::vector<std::string>& args, const std::string& home,
                    const std::map<std::string, std::string>& env = {},
                    const std::string& stdinFile = {},
                    std::chrono::seconds limit = std::chrono::seconds(60));

std::vector<std::string> recordLines(const std::string& path);
bool recordHas(const std::string& path, const std::string& linePrefix);
// Polls `done` until it holds or `limit` has passed; returns its last answer.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(15));
// The test server's bulk output: byte i is (i ^ (i >> 8)) & 0xFF.
std::string bulkPattern(std::size_t count);

// The test server's host key for a seed: its MD5 fingerprint ("24:87:...") and the key part of
// a known-hosts line ("BITS EXPONENT MODULUS").
std::string serverFingerprint(int seed = 1);
std::string serverKnownHostsKey(int seed = 1);
// Where the client keeps accepted keys when HOME is `home`.
std::string defaultStore(const std::string& home);

const char* clientPath();
const char* serverPath();

}  // namespace corvid1::cli::test
