#pragma once

#include <sys/types.h>

#include <chrono>
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

// The project's SSH-1 test server, listening on a port the kernel picked.
class TestServer {
  public:
    // `args` are added to "--bind 127.0.0.1 --record FILE".
    explicit TestServer(std::vector<std::string> args, const std::string& recordFile);
    ~TestServer();
    int port() const { return port_; }
    bool running() const { return pid_ > 0 && port_ > 0; }
    // Waits for a --once server to exit and returns its exit code (-1 on timeout).
    int waitForExit(std::chrono::seconds limit);

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

struct RunResult {
    int exitCode = -1;  // -1: did not exit in time (then killed), or died by a signal
    int signal = 0;     // the signal that ended it, if any
    std::string out;
    std::string err;
};

// Runs the client with `args`, standard input from `stdinFile` (/dev/null when empty), the
// given variables added to a clean environment (HOME and XDG_DATA_HOME point at `home`).
RunResult runClient(const std::vector<std::string>& args, const std::string& home,
                    const std::map<std::string, std::string>& env = {},
                    const std::string& stdinFile = {},
                    std::chrono::seconds limit = std::chrono::seconds(60));

// The lines of a record file, in order.
std::vector<std::string> recordLines(const std::string& path);
// True when some line of the record file starts with `prefix`.
bool recordHasPrefix(const std::string& path, const std::string& prefix);

// What the test server says of its host key for a seed: the MD5 fingerprint as colon-separated
// hex, and the key part of a known-hosts line ("BITS EXPONENT MODULUS").
std::string serverFingerprint(int seed = 1);
std::string serverKnownHostsKey(int seed = 1);
// Where the client keeps accepted keys when HOME is `home` and XDG_CONFIG_HOME is unset.
std::string defaultStore(const std::string& home);

// Paths baked in at build time.
const char* clientPath();
const char* serverPath();

}  // namespace corvid1::cli::test
