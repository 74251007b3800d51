// Bulk output and login latency through the whole client, against corvid1-test-server on
// loopback. The server runs on the same machine and encrypts with Nettle, so every figure is an
// end-to-end figure for the pair; plink (PuTTY) against the same server gives the comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "session/session.h"
#include "terminal/interpreter.h"

extern char** environ;

namespace corvid1 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t bulkBytes = 8 * 1024 * 1024;

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

// CPU seconds (user and system) this thread has used so far.
double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The client's own CPU cost, next to the wall-clock rate that the server also shapes.
void reportClientCpu(benchmark::State& state, double cpuSeconds) {
    state.counters["client_cpu_MB_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * bulkBytes) / 1e6 / cpuSeconds);
}

// Starts a program with its standard output on a pipe; returns the read end.
int spawnWithPipe(const std::vector<std::string>& arguments, pid_t& pid,
                  const char* extraEnvironment = nullptr) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (std::string& each : args) argv.push_back(each.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    std::string extra = extraEnvironment ? extraEnvironment : "";
    if (!extra.empty()) envp.push_back(extra.data());
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    return out[0];
}

class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> options) {
        options.insert(options.begin(), CORVID1_TEST_SERVER);
        const int out = spawnWithPipe(options, pid_);
        std::string line;
        char c;
        while (read(out, &c, 1) == 1 && c != '\n') line += c;
        close(out);
        if (line.rfind("PORT ", 0) == 0)
            port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::uint16_t port = 0;

  private:
    pid_t pid_ = -1;
};

// Forwards to the terminal (or drops the bytes) and notes when the first output arrived.
class TimingFrontEnd : public SessionFrontEnd {
  public:
    explicit TimingFrontEnd(bool toTerminal) : toTerminal_(toTerminal) {}
    void status(const char* text) override {
        if (toTerminal_) printText(text);
    }
    void output(const char* data, std::size_t len) override {
        if (received == 0) firstOutput = Clock::now();
        received += len;
        if (toTerminal_) feedBytes(data, len);
    }
    Clock::time_point firstOutput;
    std::size_t received = 0;

  private:
    bool toTerminal_;
};

LoginParameters benchLogin(int cipher) {
    LoginParameters login;
    login.user = "test";
    login.password = "secret";
    login.cipherPreference = static_cast<std::uint32_t>(cipher);
    login.seedFilePath = "/tmp/corvid1_bench_seed";
    return login;
}

struct Terminal {
    Terminal() {
        screen = createScreen();
        screen->resize(80, 24, 640, 384, nullptr);
        attachScreen(screen.get());
    }
    ~Terminal() { attachScreen(nullptr); }
    std::unique_ptr<TerminalScreen> screen;
};

// Takes every packet: the session without the CRC attack detector, to price the detector.
class PassEverything : public CiphertextInspector {
  public:
    bool inspect(const std::uint8_t*, std::size_t) override { return true; }
};

void bulkThroughClient(benchmark::State& state, bool toTerminal, bool detector = true) {
    const int cipher = static_cast<int>(state.range(0));
    ServerProcess server({"--scenario", "bulk", "--bulk", std::to_string(bulkBytes)});
    Terminal terminal;
    double cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = threadCpuSeconds();
        TimingFrontEnd frontEnd(toTerminal);
        auto connection = std::make_unique<Connection>();
        if (connection->socket().openConnection("127.0.0.1", server.port) != 1) {
            state.SkipWithError("cannot connect to the test server");
            return;
        }
        Session session(std::move(connection), benchLogin(cipher), frontEnd);
        if (!detector) session.setCiphertextInspector(std::make_shared<PassEverything>());
        const SessionResult result = runSession(session);
        const auto end = Clock::now();
        cpu += threadCpuSeconds() - cpuBefore;
        if (result.end != SessionEnd::ExitStatus || frontEnd.received != bulkBytes) {
            state.SkipWithError("bulk output incomplete");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - frontEnd.firstOutput).count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulkBytes));
    reportClientCpu(state, cpu);
}

void BM_BulkThroughTerminal(benchmark::State& state) {
    bulkThroughClient(state, true);
}
void BM_BulkProtocolOnly(benchmark::State& state) {
    bulkThroughClient(state, false);
}
void BM_BulkProtocolOnlyNoDetector(benchmark::State& state) {
    bulkThroughClient(state, false, false);
}

// plink's session file: SSH-1 only, the wanted cipher first.
std::string puttyDir(int cipher) {
    const std::string dir = "/tmp/corvid1_bench_putty";
    std::system(("mkdir -p " + dir + "/sessions").c_str());
    std::ofstream file(dir + "/sessions/bench");
    file << "SshProt=0\nCipher=" << (cipher == 6 ? "blowfish,3des" : "3des,blowfish")
         << ",WARN,aes,chacha20,aesgcm,des,arcfour\n";
    return dir;
}

std::string serverFingerprint() {
    pid_t pid;
    const int out = spawnWithPipe({CORVID1_TEST_SERVER, "--print-fingerprint"}, pid);
    std::string text;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n') text += c;
    close(out);
    waitpid(pid, nullptr, 0);
    return text;
}

// Runs plink against the server; returns the bytes it wrote and the times of the first byte
// and of the end of its output.
std::size_t runPlink(std::uint16_t port, int cipher, Clock::time_point& first,
                     Clock::time_point& end, double* cpuSeconds = nullptr) {
    const std::string env = "PUTTYDIR=" + puttyDir(cipher);
    pid_t pid;
    const int out = spawnWithPipe(
        {"plink", "-load", "bench", "-1", "-batch", "-P", std::to_string(port), "-hostkey",
         serverFingerprint(), "-l", "test", "-pw", "secret", "127.0.0.1", "bulk"},
        pid, env.c_str());
    std::size_t total = 0;
    std::vector<char> chunk(65536);
    for (;;) {
        const ssize_t got = read(out, chunk.data(), chunk.size());
        if (got <= 0) break;
        if (total == 0) first = Clock::now();
        total += static_cast<std::size_t>(got);
    }
    end = Clock::now();
    close(out);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (cpuSeconds) *cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return total;
}

void BM_PlinkBulk(benchmark::State& state) {
    const int cipher = static_cast<int>(state.range(0));
    ServerProcess server({"--scenario", "bulk", "--bulk", std::to_string(bulkBytes)});
    double cpu = 0;
    for (auto _ : state) {
        Clock::time_point first, end;
        double used = 0;
        if (runPlink(server.port, cipher, first, end, &used) != bulkBytes) {
            state.SkipWithError("plink output incomplete (is putty-tools installed?)");
            return;
        }
        cpu += used;
        state.SetIterationTime(std::chrono::duration<double>(end - first).count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulkBytes));
    // plink's figure includes its start-up and key exchange; at 8 MiB that is a small share.
    reportClientCpu(state, cpu);
}

// From the start of openConnection to the first byte of shell output.
void BM_ConnectToFirstOutput(benchmark::State& state) {
    const int cipher = static_cast<int>(state.range(0));
    ServerProcess server({"--scenario", "exit-status"});
    Terminal terminal;
    for (auto _ : state) {
        TimingFrontEnd frontEnd(true);
        const auto start = Clock::now();
        auto connection = std::make_unique<Connection>();
        if (connection->socket().openConnection("127.0.0.1", server.port) != 1) {
            state.SkipWithError("cannot connect to the test server");
            return;
        }
        Session session(std::move(connection), benchLogin(cipher), frontEnd);
        runSession(session);
        if (frontEnd.received == 0) {
            state.SkipWithError("no output");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(frontEnd.firstOutput - start).count());
    }
}

void BM_PlinkConnectToFirstOutput(benchmark::State& state) {
    const int cipher = static_cast<int>(state.range(0));
    ServerProcess server({"--scenario", "exit-status"});
    for (auto _ : state) {
        const auto start = Clock::now();
        Clock::time_point first, end;
        if (runPlink(server.port, cipher, first, end) == 0) {
            state.SkipWithError("plink gave no output");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(first - start).count());
    }
}

BENCHMARK(BM_BulkThroughTerminal)
    ->Arg(0)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_BulkProtocolOnly)
    ->Arg(0)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_BulkProtocolOnlyNoDetector)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_PlinkBulk)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ConnectToFirstOutput)
    ->Arg(0)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_PlinkConnectToFirstOutput)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace
}  // namespace corvid1

BENCHMARK_MAIN();
