// corvid1: the Corvid1 window. It takes no arguments; --help and --version say what it is.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_window.h"
#include "app/session_link.h"

namespace {

constexpr char kUsage[] =
    "Usage: corvid1\n"
    "The Corvid1 window: an interactive client for SSH protocol 1.5 servers with its own\n"
    "VT100/VT52 terminal. Choose Connect in the File menu to log in to a server.\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && platform[0] != '\0') return true;
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("Corvid1 v1.00.46 (SSH protocol 1.5, 3DES, Blowfish)");
            return 0;
        }
    }
    if (!displayAvailable()) {
        std::fputs(
            "corvid1: no display (DISPLAY and WAYLAND_DISPLAY are unset); run it in a "
            "desktop session or under xvfb-run.\n",
            stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid1"));
    QApplication::setOrganizationName(QStringLiteral("Kelm Software"));
    int code = 0;
    {
        auto window = corvid1::startUp();
        code = QApplication::exec();
    }
    // The window has gone and released every session thread that was waiting for it; they
    // only need to notice their closed sockets. Never wait for ever.
    if (!corvid1::waitForSessionThreads(std::chrono::seconds(3))) std::_Exit(code);
    return code;
}
