#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvid1 {

// Sends something harmless whenever the connection has been quiet for `interval`, so that NAT
// boxes and firewalls between the user and old equipment do not forget an idle session.
// `quietSince` tells when the last packet went either way; `send` runs on the keepalive's own
// thread and must be safe there (packet writes are serialised by the session).
class Keepalive {
  public:
    using Clock = std::chrono::steady_clock;

    // An interval of zero or less starts nothing.
    Keepalive(std::chrono::seconds interval, std::function<Clock::time_point()> quietSince,
              std::function<void()> send);
    ~Keepalive();
    Keepalive(const Keepalive&) = delete;
    Keepalive& operator=(const Keepalive&) = delete;

  private:
    void run();

    std::chrono::seconds interval_;
    std::function<Clock::time_point()> quietSince_;
    std::function<void()> send_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace corvid1
