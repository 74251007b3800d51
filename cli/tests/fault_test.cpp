// The real client through a relay that damages each connection once: the run must end in time
// with the whole output and the remote status, or with 255 and a message naming a broken stream.
#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include "fault_relay.h"
#include "harness.h"

namespace corvid1::cli::test {
namespace {

using testserver::Direction;
using testserver::Fault;
using testserver::FaultKind;

constexpr std::size_t bulkBytes = 32768;
constexpr int remoteStatus = 7;

// Words that name a broken stream (or what it broke: a host key that no longer matches).
const char* const causes[] = {"lost",         "Corrupted",      "too long",
                              "too short",    "Malformed",      "stopped answering",
                              "Unrecognized", "CANNOT DECRYPT", "did not accept",
                              "public key",   "ost key",        "disconnected by the server",
                              "attack",       "ompress"};

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// Faults spread over the whole run, half of those towards the client inside the login, where
// the client's own messages are decided.
Fault randomFault(std::mt19937_64& random) {
    auto pick = [&random](std::size_t below) { return static_cast<std::size_t>(random() % below); };
    Fault fault;
    fault.kind = static_cast<FaultKind>(1 + pick(5));
    fault.direction = pick(10) < 7 ? Direction::ToClient : Direction::ToServer;
    fault.offset = fault.direction == Direction::ToServer ? pick(600)
                   : pick(2) == 0                         ? pick(700)
                                                          : 700 + pick(bulkBytes + 100);
    fault.bit = static_cast<int>(pick(8));
    fault.length = 1 + pick(64);
    fault.stall = std::chrono::milliseconds(3000);
    return fault;
}

// Empty when the run ended as it may; otherwise what was wrong. The limit is well past the
// login's 2 s and a stall of 3 s.
std::string judge(const RunResult& r, std::chrono::steady_clock::duration took) {
    if (r.exitCode < 0) return "did not end (signal " + std::to_string(r.signal) + ")";
    if (took > std::chrono::seconds(15)) return "took too long";
    if (r.exitCode == remoteStatus)
        return r.out == bulkPattern(bulkBytes) ? "" : "the remote status with damaged output";
    if (r.exitCode != 255) return "exit code " + std::to_string(r.exitCode);
    if (r.err.find("Authorization error") != std::string::npos) return "blamed the password";
    if (r.err.find("PTTY not Allocated") != std::string::npos) return "blamed the pty";
    for (const char* cause : causes)
        if (r.err.find(cause) != std::string::npos) return "";
    return "no cause named";
}

TEST(FaultRelay, EveryDamagedRunEndsInTimeWithExactDataOrAFailureThatSaysWhy) {
    TempDir dir;
    auto server = serve({"--scenario", "bulk", "--bulk", std::to_string(bulkBytes), "--exit-status",
                         std::to_string(remoteStatus), "--timeout", "5"},
                        dir.file("record"));
    ASSERT_TRUE(server->started());
    const std::string fingerprint = serverSays("--print-fingerprint");
    const int runs = fromEnvironment("CORVID1_FAULT_RUNS", 40);
    std::mt19937_64 random(static_cast<std::uint64_t>(fromEnvironment("CORVID1_FAULT_SEED", 1207)));
    int exact = 0;
    for (int run = 0; run < runs; ++run) {
        const Fault fault = randomFault(random);
        testserver::FaultRelay relay(server->port(), fault, random());
        ASSERT_NE(relay.port(), 0);
        // Both ciphers; every third run compressed, so damage can reach the decompressor too.
        const char* cipher = run % 2 == 0 ? "3des" : "blowfish";
        const char* compression = run % 3 == 2 ? "-C" : "--raw";
        const auto started = std::chrono::steady_clock::now();
        const RunResult r =
            runClient({"-p", std::to_string(relay.port()), "--host-key", fingerprint, "-c", cipher,
                       compression, "--connect-timeout", "2", "test@127.0.0.1"},
                      dir.path(), {{"CORVID1_PASSWORD", "secret"}}, {}, std::chrono::seconds(30));
        EXPECT_EQ(judge(r, std::chrono::steady_clock::now() - started), "")
            << "run " << run << ", " << cipher << " " << compression << ", " << describe(fault)
            << (relay.struck() ? "" : " (not reached)") << ": exit " << r.exitCode << "\n"
            << r.err;
        exact += r.exitCode == remoteStatus;
    }
    std::cout << runs << " damaged runs: " << exact << " ended with exact data and status "
              << remoteStatus << ", " << runs - exact << " with a reported failure\n";
}

}  // namespace
}  // namespace corvid1::cli::test
