#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "terminal/notification.h"

class QObject;

namespace corvid1 {

// The one place where the session thread and the user-interface thread meet.
//
// The terminal has no lock of its own. The session thread feeds it with the screen mutex held
// (`feed`); the user-interface thread reads it for painting and changes the view fields with
// the same mutex held (`Access`). The screen's notifications and `SessionEnded` are window
// messages that the sender waits for (`sendMessage`). A sender that holds the screen mutex lets
// go of it while it waits, so a paint on the user-interface thread (which takes the mutex) can
// never deadlock against it; the user-interface thread itself never waits for a session thread.
//
// Because a feed may be suspended in the middle of a notification, the user-interface thread
// may not change the screen's size or write text into it at such a moment: `tryChange` refuses
// then, and the caller tries again a little later.
//
// The bridge is process-wide and outlives every window, so a session thread that finishes
// after its window has gone still finds a bridge that answers "nobody is listening".
class ScreenBridge final : public NotificationTarget {
  public:
    using Handler = std::function<void(int message, std::intptr_t first, std::intptr_t second)>;

    static ScreenBridge& instance();

    // Handles, on the sending thread and with the screen lock held, the notifications whose
    // whole effect on shared state can be applied there; returns false for the others.
    using LockedHandler =
        std::function<bool(int message, std::intptr_t first, std::intptr_t second)>;

    // User-interface thread. Messages from now on go to `handler`, run on the thread of
    // `receiver` (which must live on the user-interface thread). With a `lockedHandler`, a
    // notification sent by a thread that holds the screen lock goes to it first.
    void attachWindow(QObject* receiver, Handler handler, LockedHandler lockedHandler = {});
    // User-interface thread. Every sender still waiting is released at once and later messages
    // are dropped until a window attaches again. Call it before the receiver is destroyed.
    void detachWindow();
    bool windowAttached() const;

    // The window's message entry point. On the user-interface thread the handler runs at once;
    // from another thread the call waits until the user-interface thread has handled it, or
    // until the window detaches. Returns false if the message was dropped.
    bool sendMessage(int message, std::intptr_t first, std::intptr_t second);

    // NotificationTarget: the screen's notifications are window messages.
    void send(int message, std::intptr_t first, std::intptr_t second) override;

    // Session threads: runs `work` (which writes into the screen) with the screen to itself.
    // Waits while another thread's feed is under way, even a suspended one, so two feeds never
    // interleave.
    template <typename Work>
    void feed(Work&& work) {
        std::unique_lock<std::mutex> lock(screenMutex_);
        feedDone_.wait(lock, [this] { return !feeding_; });
        feeding_ = true;
        Holder holder(this, &lock);
        work();
        feeding_ = false;
        feedDone_.notify_all();
    }

    // User-interface thread: runs `work` (which resizes the screen or writes text into it) and
    // returns true, unless a feed is suspended in a notification; then returns false at once.
    template <typename Work>
    bool tryChange(Work&& work) {
        if (heldByThisThread()) {
            if (feeding_) return false;
            work();
            return true;
        }
        std::unique_lock<std::mutex> lock(screenMutex_);
        if (feeding_) return false;
        Holder holder(this, &lock);
        work();
        return true;
    }

    // Holds the screen mutex for reading or for the view's own fields. A thread that already
    // holds it (a handler running inside a notification of its own thread) just goes on.
    class Access {
      public:
        explicit Access(ScreenBridge& bridge);
        ~Access();
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;

      private:
        ScreenBridge& bridge_;
        std::unique_lock<std::mutex> lock_;
        bool owns_ = false;
    };

    // True while some feed has begun and not finished (it may be suspended in a notification).
    bool feedUnderWay();

  private:
    // Marks, for the current thread, the lock it holds, so that a send can let go of it.
    class Holder {
      public:
        Holder(ScreenBridge* bridge, std::unique_lock<std::mutex>* lock);
        ~Holder();

      private:
        std::unique_lock<std::mutex>* previous_;
    };
    bool heldByThisThread() const;
    static bool onUiThread();

    std::mutex screenMutex_;
    std::condition_variable feedDone_;
    bool feeding_ = false;

    mutable std::mutex gateMutex_;
    std::condition_variable gateChanged_;
    QObject* receiver_ = nullptr;
    Handler handler_;
    LockedHandler lockedHandler_;
    unsigned generation_ = 0;  // changes at every detach; a waiter of an older one gives up
};

}  // namespace corvid1
