#include "session/keepalive.h"

namespace corvid1 {

Keepalive::Keepalive(std::chrono::seconds interval, std::function<Clock::time_point()> quietSince,
                     std::function<void()> send)
    : interval_(interval), quietSince_(std::move(quietSince)), send_(std::move(send)) {
    if (interval_.count() > 0) thread_ = std::thread([this] { run(); });
}

Keepalive::~Keepalive() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Keepalive::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_) {
        const Clock::time_point due = quietSince_() + interval_;
        if (Clock::now() < due) {
            stopped_.wait_until(hold, due);
            continue;
        }
        hold.unlock();
        send_();  // which counts as traffic, so the next one is due an interval later
        hold.lock();
    }
}

}  // namespace corvid1
