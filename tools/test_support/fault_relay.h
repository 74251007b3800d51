// A TCP relay that damages one connection on purpose: it sits between a client and a server on
// loopback and, at one byte offset of one direction, flips a bit, cuts the connection, inserts
// junk, repeats what went before or falls silent. Tests use it to prove that a client ends
// every damaged session in bounded time and never reports a broken one as a success.
//
//   corvid1::testserver::FaultRelay relay(server.port(), fault, seed);
//   run the client against 127.0.0.1 port relay.port() ...
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace corvid1::testserver {

enum class FaultKind {
    None,
    FlipBit,    // one bit of the byte at the offset is inverted
    Truncate,   // both connections are closed just before the offset
    Junk,       // `length` random bytes go out before the byte at the offset
    Duplicate,  // the `length` bytes before the offset go out a second time
    Stall,      // nothing more is forwarded either way for `stall`, then both are closed
};

enum class Direction { ToClient, ToServer };

struct Fault {
    FaultKind kind = FaultKind::None;
    Direction direction = Direction::ToClient;
    std::size_t offset = 0;  // counted from the first byte of the direction
    int bit = 0;             // FlipBit: 0..7
    std::size_t length = 1;  // Junk, Duplicate: 1..64
    std::chrono::milliseconds stall{0};
};

// "flip bit 3 at byte 120 to the client", for failure messages.
std::string describe(const Fault& fault);

// Serves exactly one connection on 127.0.0.1 (a port the kernel picks), relaying it to
// 127.0.0.1:`targetPort` with `fault` applied once. A fault whose offset the traffic never
// reaches leaves the connection untouched. The relay ends when either side closes.
class FaultRelay {
  public:
    FaultRelay(int targetPort, Fault fault, std::uint64_t seed);
    // Closes both connections and waits for the relay's thread.
    ~FaultRelay();
    FaultRelay(const FaultRelay&) = delete;
    FaultRelay& operator=(const FaultRelay&) = delete;

    int port() const { return port_; }  // 0 if the relay could not listen
    // Whether the fault was applied (the traffic reached its offset).
    bool struck() const { return struck_.load(); }

  private:
    void run();
    bool relay(int from, int to, Direction direction);

    int targetPort_;
    Fault fault_;
    std::uint64_t random_;
    int listener_ = -1;
    int client_ = -1;
    int server_ = -1;
    int port_ = 0;
    std::size_t counted_[2] = {0, 0};
    std::string recent_[2];  // the last bytes sent each way, for Duplicate
    std::atomic<bool> stop_{false};
    std::atomic<bool> struck_{false};
    std::thread thread_;
};

}  // namespace corvid1::testserver
