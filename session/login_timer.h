#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvid1 {

// Bounds the login: a server that stops sending in the middle of a packet or a version line
// would otherwise keep the client in a read for ever. When the deadline passes before stop(),
// `expire` runs once, on the timer's own thread; it must be safe from any thread (shutting the
// socket down is). Time spent paused (the user reading a host-key question) does not count:
// only the server's silence should end the login.
class LoginTimer {
  public:
    using Clock = std::chrono::steady_clock;

    // A timeout of zero or less never expires and starts no thread.
    LoginTimer(Clock::time_point started, std::chrono::milliseconds timeout,
               std::function<void()> expire);
    ~LoginTimer();
    LoginTimer(const LoginTimer&) = delete;
    LoginTimer& operator=(const LoginTimer&) = delete;

    void stop();
    void pause();
    void resume();
    bool expired() const;

    // Pauses for the life of the guard; a null timer is allowed.
    class Pause {
      public:
        explicit Pause(LoginTimer* timer) : timer_(timer) {
            if (timer_) timer_->pause();
        }
        ~Pause() {
            if (timer_) timer_->resume();
        }
        Pause(const Pause&) = delete;
        Pause& operator=(const Pause&) = delete;

      private:
        LoginTimer* timer_;
    };

  private:
    void watch();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point deadline_;
    Clock::time_point pausedAt_;
    bool paused_ = false;
    bool stopped_ = false;
    bool expired_ = false;
    std::function<void()> expire_;
    std::thread thread_;
};

}  // namespace corvid1
