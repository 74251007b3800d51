#include "session/login_timer.h"

namespace corvid1 {

LoginTimer::LoginTimer(Clock::time_point started, std::chrono::milliseconds timeout,
                       std::function<void()> expire)
    : deadline_(started + timeout), expire_(std::move(expire)) {
    if (timeout.count() > 0) thread_ = std::thread([this] { watch(); });
}

LoginTimer::~LoginTimer() {
    stop();
    if (thread_.joinable()) thread_.join();
}

void LoginTimer::stop() {
    std::lock_guard<std::mutex> hold(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void LoginTimer::pause() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (paused_) return;
    paused_ = true;
    pausedAt_ = Clock::now();
}

void LoginTimer::resume() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!paused_) return;
    paused_ = false;
    deadline_ += Clock::now() - pausedAt_;
    changed_.notify_all();
}

bool LoginTimer::expired() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return expired_;
}

void LoginTimer::watch() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        if (stopped_) return;
        if (paused_) {
            changed_.wait(hold);
            continue;
        }
        if (Clock::now() >= deadline_) break;
        changed_.wait_until(hold, deadline_);
    }
    expired_ = true;
    hold.unlock();
    expire_();
}

}  // namespace corvid1
