#include "app/session_link.h"

#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/screen_bridge.h"
#include "session/session.h"
#include "terminal/interpreter.h"
#include "terminal/notification.h"

namespace corvid1 {
namespace {

std::mutex g_threadsMutex;
std::condition_variable g_threadsDone;
int g_threads = 0;

}  // namespace

WindowFrontEnd& WindowFrontEnd::instance() {
    static WindowFrontEnd frontEnd(ScreenBridge::instance());
    return frontEnd;
}

void WindowFrontEnd::status(const char* text) {
    bridge_.feed([&] { printText(text); });
}

void WindowFrontEnd::output(const char* data, std::size_t len) {
    log_.write(data, len);
    bridge_.feed([&] { feedBytes(data, len); });
}

void startSessionThread(std::shared_ptr<Session> session, int serial,
                        std::shared_ptr<void> companion) {
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        ++g_threads;
    }
    std::thread([session = std::move(session), serial, companion = std::move(companion)]() mutable {
        runSession(*session);
        ScreenBridge::instance().sendMessage(SessionEnded, serial, 0);
        // If the window has already dropped its reference, the session (and its socket) goes
        // here, on the thread that was the last to use it.
        session.reset();
        companion.reset();
        {
            std::lock_guard<std::mutex> lock(g_threadsMutex);
            --g_threads;
        }
        g_threadsDone.notify_all();
    }).detach();
}

int runningSessionThreads() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    return g_threads;
}

bool waitForSessionThreads(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_threadsMutex);
    return g_threadsDone.wait_for(lock, timeout, [] { return g_threads == 0; });
}

std::string seedFilePath() {
    std::string folder;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        folder = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home != nullptr ? home : ".") + "/.local/share";
        ::mkdir((std::string(home != nullptr ? home : ".") + "/.local").c_str(), 0700);
        ::mkdir(folder.c_str(), 0700);
    }
    folder += "/corvid1";
    ::mkdir(folder.c_str(), 0700);
    return folder + "/ssh_seedfile";
}

}  // namespace corvid1
