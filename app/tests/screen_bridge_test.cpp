// The hand-over between a session thread and the user-interface thread: messages that the
// sender waits for, the screen lock let go while waiting, feeds that never interleave, and a
// window that goes away while senders wait.
#include "app/screen_bridge.h"

#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

#include "terminal/notification.h"
#include "window_driver.h"

using namespace corvid1;

class ScreenBridgeTest : public QObject {
    Q_OBJECT

  private:
    ScreenBridge& bridge_ = ScreenBridge::instance();
    QObject receiver_;

  private slots:
    void cleanup() { bridge_.detachWindow(); }

    void aSendFromAnotherThreadWaitsForTheHandler() {
        std::atomic<bool> handled{false};
        std::thread::id handlerThread;
        bridge_.attachWindow(&receiver_, [&](int message, std::intptr_t first, std::intptr_t) {
            QCOMPARE(message, int(SendToHost));
            QCOMPARE(first, std::intptr_t{42});
            handlerThread = std::this_thread::get_id();
            handled = true;
        });
        std::atomic<bool> returned{false};
        bool result = false;
        bool handledBeforeReturn = false;
        std::thread sender([&] {
            result = bridge_.sendMessage(SendToHost, 42, 0);
            handledBeforeReturn = handled;
            returned = true;
        });
        QTest::qSleep(100);
        QVERIFY(!returned);  // nobody has run the event loop yet
        QVERIFY(waitUntil([&] { return returned.load(); }, 5000));
        sender.join();
        QVERIFY(result);
        QVERIFY(handledBeforeReturn);
        QCOMPARE(handlerThread, std::this_thread::get_id());
    }

    void aFeedLetsGoOfTheScreenWhileItWaits() {
        std::vector<bool> changeAllowed;
        bridge_.attachWindow(&receiver_, [&](int, std::intptr_t, std::intptr_t) {
            // Painting takes the lock: this would never return if the sender still held it.
            ScreenBridge::Access access(bridge_);
            // A size change must wait: the feed is only suspended.
            changeAllowed.push_back(bridge_.tryChange([] {}));
        });
        std::atomic<bool> done{false};
        std::thread feeder([&] {
            bridge_.feed([&] { bridge_.send(SendToHost, 1, 0); });
            done = true;
        });
        QVERIFY(waitUntil([&] { return done.load(); }, 5000));
        feeder.join();
        QCOMPARE(changeAllowed, std::vector<bool>{false});
        QVERIFY(bridge_.tryChange([] {}));
        QVERIFY(!bridge_.feedUnderWay());
    }

    void feedsNeverInterleave() {
        std::vector<int> order;
        std::mutex orderMutex;
        auto log = [&](int event) {
            std::lock_guard<std::mutex> lock(orderMutex);
            order.push_back(event);
        };
        bridge_.attachWindow(&receiver_, [](int, std::intptr_t, std::intptr_t) {});
        std::atomic<bool> firstInside{false};
        std::thread first([&] {
            bridge_.feed([&] {
                log(1);
                firstInside = true;
                bridge_.send(SendToHost, 0, 0);  // suspended here until the window answers
                log(2);
            });
        });
        while (!firstInside) std::this_thread::yield();
        std::thread second([&] { bridge_.feed([&] { log(3); }); });
        QTest::qSleep(50);  // give the second feed every chance to barge in
        QVERIFY(waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(orderMutex);
                return order.size() == 3;
            },
            5000));
        first.join();
        second.join();
        QCOMPARE(order, (std::vector<int>{1, 2, 3}));
    }

    void detachingReleasesWaitingSenders() {
        std::atomic<int> handled{0};
        bridge_.attachWindow(&receiver_, [&](int, std::intptr_t, std::intptr_t) { ++handled; });
        std::atomic<int> results{-1};
        std::thread sender([&] {
            bridge_.feed([&] { results = bridge_.sendMessage(SendToHost, 7, 0) ? 1 : 0; });
        });
        QTest::qSleep(100);  // the sender waits; the event loop does not run
        bridge_.detachWindow();
        sender.join();  // released without the window's help
        QCOMPARE(results.load(), 0);
        // The posted call that was never handled stays unhandled, later sends are dropped.
        QCoreApplication::processEvents();
        QCOMPARE(handled.load(), 0);
        std::thread late([&] { results = bridge_.sendMessage(SessionEnded, 1, 0) ? 1 : 0; });
        late.join();
        QCOMPARE(results.load(), 0);
    }

    void viewNotificationsDoNotWaitForTheWindow() {
        std::vector<int> lockedMessages;
        std::thread::id lockedThread;
        bridge_.attachWindow(
            &receiver_, [](int, std::intptr_t, std::intptr_t) {},
            [&](int message, std::intptr_t, std::intptr_t) {
                if (message == SendToHost) return false;
                lockedMessages.push_back(message);
                lockedThread = std::this_thread::get_id();
                return true;
            });
        std::thread::id feederThread;
        std::thread feeder([&] {
            feederThread = std::this_thread::get_id();
            bridge_.feed([&] {
                bridge_.send(RepaintAll, 0, 0);
                bridge_.send(RepaintCells, 0, 0);
                bridge_.send(LiveTopChanged, 2, 0);
            });
        });
        feeder.join();  // returns although the event loop never ran
        QCOMPARE(lockedMessages, (std::vector<int>{RepaintAll, RepaintCells, LiveTopChanged}));
        QCOMPARE(lockedThread, feederThread);
    }
};

QTEST_MAIN(ScreenBridgeTest)
#include "screen_bridge_test.moc"
