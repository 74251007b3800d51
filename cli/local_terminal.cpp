#include "cli/local_terminal.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace corvid1::cli {

namespace {

// Read by signal handlers on any thread: the attributes are written before the descriptor is
// published, and the descriptor is cleared before anything else touches them again. A lock-free
// atomic is safe both in a handler and between threads.
struct termios savedAttributes;
std::atomic<int> savedFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int restoringSignals[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGABRT,
                                    SIGSEGV, SIGBUS,  SIGFPE, SIGILL};

void onTerminatingSignal(int sig) {
    const int saved = errno;
    restoreSavedTerminal();
    // Let the signal do what it would have done, so the parent sees how we ended. The signal is
    // blocked while this handler runs; it is delivered with its default action on return.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

void restoreAtExit() {
    restoreSavedTerminal();
}

}  // namespace

void restoreSavedTerminal() {
    const int fd = savedFd.exchange(-1);
    if (fd < 0) return;
    tcsetattr(fd, TCSADRAIN, &savedAttributes);
}

void installTerminalRestorers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    std::atexit(restoreAtExit);
    for (int sig : restoringSignals) {
        struct sigaction action {};
        action.sa_handler = onTerminatingSignal;
        sigemptyset(&action.sa_mask);
        // Ignored signals stay ignored (nohup, background jobs).
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
}

bool LocalTerminal::changed() const {
    return savedFd == fd_;
}

bool LocalTerminal::apply(bool raw) {
    struct termios current;
    if (tcgetattr(fd_, &current) != 0) return false;
    if (savedFd < 0) {
        savedAttributes = current;
        savedFd = fd_;
    }
    struct termios wanted = savedAttributes;
    if (raw) {
        wanted.c_iflag &=
            ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
        wanted.c_oflag &= ~OPOST;
        wanted.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        wanted.c_cflag &= ~(CSIZE | PARENB);
        wanted.c_cflag |= CS8;
        wanted.c_cc[VMIN] = 1;
        wanted.c_cc[VTIME] = 0;
    } else {
        wanted.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL);
        wanted.c_lflag |= ICANON;
    }
    return tcsetattr(fd_, TCSADRAIN, &wanted) == 0;
}

bool LocalTerminal::makeRaw() {
    return apply(true);
}

bool LocalTerminal::disableEcho() {
    return apply(false);
}

void LocalTerminal::restore() {
    if (savedFd == fd_) restoreSavedTerminal();
}

}  // namespace corvid1::cli
