#include "app/screen_bridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <memory>

namespace corvid1 {
namespace {

// The screen lock the current thread holds, if any; a send lets go of it while it waits.
thread_local std::unique_lock<std::mutex>* t_heldLock = nullptr;

}  // namespace

ScreenBridge& ScreenBridge::instance() {
    static ScreenBridge bridge;
    return bridge;
}

bool ScreenBridge::onUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

bool ScreenBridge::heldByThisThread() const {
    return t_heldLock != nullptr && t_heldLock->mutex() == &screenMutex_ && t_heldLock->owns_lock();
}

ScreenBridge::Holder::Holder(ScreenBridge*, std::unique_lock<std::mutex>* lock)
    : previous_(t_heldLock) {
    t_heldLock = lock;
}

ScreenBridge::Holder::~Holder() {
    t_heldLock = previous_;
}

ScreenBridge::Access::Access(ScreenBridge& bridge) : bridge_(bridge) {
    if (bridge_.heldByThisThread()) return;
    lock_ = std::unique_lock<std::mutex>(bridge_.screenMutex_);
    owns_ = true;
    t_heldLock = &lock_;
}

ScreenBridge::Access::~Access() {
    if (owns_) t_heldLock = nullptr;
}

bool ScreenBridge::feedUnderWay() {
    if (heldByThisThread()) return feeding_;
    std::lock_guard<std::mutex> lock(screenMutex_);
    return feeding_;
}

void ScreenBridge::attachWindow(QObject* receiver, Handler handler, LockedHandler lockedHandler) {
    std::lock_guard<std::mutex> lock(gateMutex_);
    receiver_ = receiver;
    handler_ = std::move(handler);
    lockedHandler_ = std::move(lockedHandler);
}

void ScreenBridge::send(int message, std::intptr_t first, std::intptr_t second) {
    if (!onUiThread() && heldByThisThread()) {
        // The gate stays locked while the handler runs, so the window cannot detach (and be
        // destroyed) under it.
        std::lock_guard<std::mutex> lock(gateMutex_);
        if (receiver_ == nullptr) return;
        if (lockedHandler_ && lockedHandler_(message, first, second)) return;
    }
    sendMessage(message, first, second);
}

void ScreenBridge::detachWindow() {
    {
        std::lock_guard<std::mutex> lock(gateMutex_);
        receiver_ = nullptr;
        handler_ = nullptr;
        lockedHandler_ = nullptr;
        ++generation_;
    }
    gateChanged_.notify_all();
}

bool ScreenBridge::windowAttached() const {
    std::lock_guard<std::mutex> lock(gateMutex_);
    return receiver_ != nullptr;
}

bool ScreenBridge::sendMessage(int message, std::intptr_t first, std::intptr_t second) {
    if (onUiThread()) {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(gateMutex_);
            handler = handler_;
        }
        if (!handler) return false;
        handler(message, first, second);
        return true;
    }

    struct Call {
        bool done = false;
    };
    auto call = std::make_shared<Call>();
    std::unique_lock<std::mutex> gate(gateMutex_);
    if (receiver_ == nullptr) return false;
    const unsigned generation = generation_;
    // Posted under the gate mutex: the window detaches (and may then be destroyed) only after
    // the post has reached its queue, where the receiver's destruction discards it.
    QMetaObject::invokeMethod(
        receiver_,
        [this, call, generation, message, first, second] {
            Handler handler;
            {
                std::lock_guard<std::mutex> lock(gateMutex_);
                // A sender of an older window has been released already; `first` may point
                // into its stack by now.
                if (generation != generation_) return;
                handler = handler_;
            }
            if (handler) handler(message, first, second);
            {
                std::lock_guard<std::mutex> lock(gateMutex_);
                call->done = true;
            }
            gateChanged_.notify_all();
        },
        Qt::QueuedConnection);

    // Let go of the screen while waiting, so that painting can go on; the feed stays ours
    // (`feeding_` is still set), so no other writer gets in between.
    std::unique_lock<std::mutex>* held = heldByThisThread() ? t_heldLock : nullptr;
    if (held != nullptr) {
        gate.unlock();
        held->unlock();
        gate.lock();
    }
    gateChanged_.wait(gate, [&] { return call->done || generation != generation_; });
    const bool handled = call->done;
    gate.unlock();
    if (held != nullptr) held->lock();
    return handled;
}

}  // namespace corvid1
