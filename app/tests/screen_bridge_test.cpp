// The hand-over between a session thread and the user-interface thread.
#include "app/screen_bridge.h"

#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

#include "terminal/notification.h"
#include "window_driver.h"

using namespace corvid1;

namespace {

// Waits up to 3 s for `thread` to finish without the event loop; then releases it, never hanging.
bool finishesAlone(std::thread& thread, const std::atomic<bool>& done) {
    for (int i = 0; i < 300 && !done; ++i) QTest::qSleep(10);
    const bool alone = done;
    if (!alone) ScreenBridge::instance().detachWindow();
    waitUntil([&] { return done.load(); }, 3000) ? thread.join() : thread.detach();
    return alone;
}

}  // namespace

class ScreenBridgeTest : public QObject {
    Q_OBJECT
    ScreenBridge& bridge_ = ScreenBridge::instance();
    QObject receiver_;

  private slots:
    void cleanup() { bridge_.detachWindow(); }

    // A feed lets go of the screen while it waits (painting takes the lock); a size change waits.
    void aSendWaitsForTheHandlerWithTheScreenLetGo() {
        std::thread::id handlerThread;
        std::vector<bool> changeAllowed;
        bridge_.attachWindow(&receiver_, [&](int message, std::intptr_t first, std::intptr_t) {
            QCOMPARE(message, int(SendToHost));
            QCOMPARE(first, std::intptr_t{42});
            handlerThread = std::this_thread::get_id();
            ScreenBridge::Access access(bridge_);
            changeAllowed.push_back(bridge_.tryChange([] {}));
        });
        std::atomic<bool> returned{false};
        std::thread sender([&] {
            bridge_.feed([&] { bridge_.send(SendToHost, 42, 0); });
            returned = true;
        });
        QTest::qSleep(100);
        QVERIFY(!returned);  // nobody has run the event loop yet
        QVERIFY(waitUntil([&] { return returned.load(); }, 5000));
        sender.join();
        QCOMPARE(handlerThread, std::this_thread::get_id());
        QCOMPARE(changeAllowed, std::vector<bool>{false});
        QVERIFY(bridge_.tryChange([] {}) && !bridge_.feedUnderWay());
    }

    // A second feed waits while the first one is suspended in a send.
    void feedsNeverInterleave() {
        bridge_.attachWindow(&receiver_, [](int, std::intptr_t, std::intptr_t) {});
        std::atomic<int> firstStage{0}, seenBySecond{-1};
        std::thread first([&] {
            bridge_.feed([&] {
                firstStage = 1;
                bridge_.send(SendToHost, 0, 0);  // suspended here until the window answers
                firstStage = 2;
            });
        });
        while (firstStage == 0) std::this_thread::yield();
        std::thread second([&] { bridge_.feed([&] { seenBySecond = firstStage.load(); }); });
        QTest::qSleep(50);  // every chance for the second feed to barge in
        QVERIFY(waitUntil([&] { return firstStage == 2 && seenBySecond >= 0; }, 5000));
        first.join();
        second.join();
        QCOMPARE(seenBySecond.load(), 2);
    }

    // A released sender's posted call never reaches a later window: it may point into its stack.
    void detachingReleasesWaitingSenders() {
        std::atomic<int> handled{0};
        auto count = [&](int, std::intptr_t, std::intptr_t) { ++handled; };
        bridge_.attachWindow(&receiver_, count);
        std::atomic<int> result{-1};
        std::atomic<bool> done{false};
        std::thread sender([&] {
            bridge_.feed([&] { result = bridge_.sendMessage(SendToHost, 7, 0); });
            done = true;
        });
        QTest::qSleep(100);  // the sender waits; the event loop does not run
        bridge_.detachWindow();
        QVERIFY(finishesAlone(sender, done));
        QCOMPARE(result.load(), 0);
        bridge_.attachWindow(&receiver_, count);
        QCoreApplication::processEvents();
        QCOMPARE(handled.load(), 0);
        bridge_.detachWindow();
        std::thread([&] { result = bridge_.sendMessage(SessionEnded, 1, 0); }).join();
        QCOMPARE(result.load(), 0);
    }

    void viewNotificationsDoNotWaitForTheWindow() {
        std::vector<int> locked;
        std::thread::id lockedThread;
        bridge_.attachWindow(
            &receiver_, [](int, std::intptr_t, std::intptr_t) {},
            [&](int message, std::intptr_t, std::intptr_t) {
                if (message == SendToHost) return false;
                locked.push_back(message);
                lockedThread = std::this_thread::get_id();
                return true;
            });
        std::thread::id feederThread;
        std::atomic<bool> done{false};
        std::thread feeder([&] {
            feederThread = std::this_thread::get_id();
            bridge_.feed([&] {
                for (int message : {RepaintAll, RepaintCells, LiveTopChanged})
                    bridge_.send(message, 0, 0);
            });
            done = true;
        });
        QVERIFY(finishesAlone(feeder, done));
        QCOMPARE(locked, (std::vector<int>{RepaintAll, RepaintCells, LiveTopChanged}));
        QCOMPARE(lockedThread, feederThread);
    }
};

QTEST_MAIN(ScreenBridgeTest)
#include "screen_bridge_test.moc"
