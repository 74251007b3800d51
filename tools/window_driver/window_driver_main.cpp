// corvid1-window-driver: runs the real Corvid1 window against the project's SSH-1 test server
// with a real shell, the way a user would, for two jobs that need a display (Xvfb will do):
//   corvid1-window-driver screenshots OUTDIR   PNGs of the window at the interesting moments
//   corvid1-window-driver vttest OUTDIR        PNGs of vttest's screens (menus 1, 2, 3 and 6)
//   corvid1-window-driver speed [MB_PLAIN MB_COLOUR]
//                                  time the same shell output with no window and with the window
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/main_window.h"
#include "app/screen_bridge.h"
#include "app/session_link.h"
#include "session/session.h"
#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"
#include "window_driver.h"

using namespace corvid1;

namespace {

QString g_outDir;
int g_shot = 0;

void shoot(const char* name) {
    QApplication::processEvents();
    QTest::qWait(150);
    const QPixmap pixmap = QGuiApplication::primaryScreen()->grabWindow(0);
    const QString path = QStringLiteral("%1/%2-%3.png")
                             .arg(g_outDir)
                             .arg(++g_shot, 2, 10, QLatin1Char('0'))
                             .arg(QLatin1String(name));
    pixmap.save(path);
    std::printf("%s\n", qPrintable(path));
    std::fflush(stdout);
}

// Waits for the next 900 ms redraw tick to have painted what the screen holds.
void settle(int ms = 1200) {
    QTest::qWait(ms);
}

void grabModalSoon(const char* name, const QString& objectName, int settleMs = 0) {
    auto attempt = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> self = attempt;
    *attempt = [=]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal->objectName() != objectName) {
            if (auto again = self.lock()) QTimer::singleShot(50, [again] { (*again)(); });
            return;
        }
        // Whole-view repaints wait for the 900 ms redraw tick; let one pass first.
        if (settleMs > 0) QTest::qWait(settleMs);
        shoot(name);
        modal->close();
    };
    QTimer::singleShot(300, [attempt] { (*attempt)(); });
}

// Presses the button named `button` ("acceptButton", "onceButton" or "cancelButton") in the
// next host-key question; `shot`, when given, runs first with the dialog up.
void answerHostKeyDialogSoon(const QString& button, std::function<void()> shot = {}) {
    auto attempt = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> self = attempt;
    *attempt = [=]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || (modal->objectName() != QLatin1String("unknownHostKeyDialog") &&
                                 modal->objectName() != QLatin1String("changedHostKeyDialog"))) {
            if (auto again = self.lock()) QTimer::singleShot(20, [again] { (*again)(); });
            return;
        }
        if (shot) shot();
        if (auto* pressed = modal->findChild<QPushButton*>(button)) pressed->click();
    };
    QTimer::singleShot(20, [attempt] { (*attempt)(); });
}

void grabPopupSoon(const char* name) {
    QTimer::singleShot(500, [name] {
        shoot(name);
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    });
}

// Screenshots go to `outDir`; the windows log in to a test server with a real shell.
bool prepareShots(const QString& outDir, TestServer& server) {
    g_outDir = outDir;
    QDir().mkpath(outDir);
    if (server.start(testServerPath(), {QStringLiteral("--mode"), QStringLiteral("shell")},
                     {QStringLiteral("PS1=$ ")}))
        return true;
    std::fprintf(stderr, "cannot start the test server at %s\n", qPrintable(testServerPath()));
    return false;
}

int screenshots(const QString& outDir) {
    TestServer server;
    if (!prepareShots(outDir, server)) return 1;
    auto window = startUp(true);
    window->move(0, 0);
    settle(600);
    shoot("start");

    // The Connect dialog, then OK.
    grabModalSoon("connect-dialog", QStringLiteral("connectDialog"));
    window->onCommand(kCmdConnect);  // the grab closes it: a cancel, nothing printed
    answerConnectDialogSoon(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("test"),
                            QStringLiteral("secret"));
    answerHostKeyDialogSoon(QStringLiteral("onceButton"), [] {
        settle(300);
        shoot("unknown-host-key");
    });
    window->onCommand(kCmdConnect);
    TerminalScreen& screen = *appState().screen;
    waitUntil([&] { return screenContains(screen, "$ "); }, 10000);
    settle();
    shoot("after-login");

    typeText(*window, QStringLiteral("ls --color=always -F /etc | head -12; "
                                     "printf '\\033[1mbold\\033[0m \\033[7mreverse\\033[0m "
                                     "\\033[4munderline\\033[0m\\n'\r"));
    settle(1500);
    shoot("coloured-ls");

    // A pen selection over three lines, from right to left and upwards.
    TerminalView* view = window->view();
    const int cw = view->cellWidth();
    const int ch = view->cellHeight();
    const QPoint from(30 * cw + 2, 8 * ch + 2);
    const QPoint to(6 * cw + 2, 5 * ch + 2);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, from);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), view->mapToGlobal(QPointF(to)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, to);
    settle(300);
    shoot("selection");

    grabPopupSoon("popup-menu");
    view->showPopupMenu(20 * cw, view->barHeight() + 10 * ch);

    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));  // a tap clears it
    typeText(*window, QStringLiteral("top -d 1\r"));
    settle(3000);
    shoot("top");
    typeText(*window, QStringLiteral("q"));
    settle(800);

    typeText(*window, QStringLiteral("vi /etc/hostname\r"));
    settle(2500);
    shoot("vi");
    typeText(*window, QStringLiteral(":q!\r"));
    settle(1000);

    window->onCommand(kCmdFonts);
    settle(500);
    shoot("font-dialog");
    if (QWidget* dialog = window->findChild<QWidget*>(QStringLiteral("fontDialog")))
        dialog->close();
    window->onCommand(kCmdPreferences);
    settle(500);
    shoot("terminal-settings");
    if (QWidget* dialog = window->findChild<QWidget*>(QStringLiteral("terminalSettingsDialog"))) {
        dialog->close();
    }
    grabModalSoon("about", QStringLiteral("aboutDialog"));
    window->onCommand(kCmdAbout);

    // A larger window: the text stays, the server is told the new size.
    window->resize(900, 640);
    settle(1500);
    typeText(*window, QStringLiteral("stty size\r"));
    settle(1500);
    shoot("resized");

    grabModalSoon("connection-lost", QStringLiteral("connectionLostBox"), 1000);
    typeText(*window, QStringLiteral("exit\r"));
    waitUntil([] { return runningSessionThreads() == 0; }, 10000);
    settle(300);
    shoot("after-exit");

    // A server whose key differs from the one on record: the warning, then the refusal.
    TestServer changed;
    if (changed.start(testServerPath(), {QStringLiteral("--host-key-seed"), QStringLiteral("2")})) {
        QProcess keyLine;
        keyLine.start(testServerPath(), {QStringLiteral("--print-known-hosts-line")});
        keyLine.waitForFinished(20000);
        const QString store =
            qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/corvid1/known_hosts");
        QDir().mkpath(QFileInfo(store).path());
        QFile file(store);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QStringLiteral("[127.0.0.1]:%1 ").arg(changed.port()).toLatin1() +
                       keyLine.readAllStandardOutput());
            file.close();
        }
        answerConnectDialogSoon(QStringLiteral("127.0.0.1"), changed.port(), QStringLiteral("test"),
                                QStringLiteral("secret"));
        answerHostKeyDialogSoon(QStringLiteral("cancelButton"), [] {
            settle();
            shoot("changed-host-key");
        });
        window->onCommand(kCmdConnect);
        waitUntil([] { return runningSessionThreads() == 0; }, 10000);
        settle();
        shoot("host-key-refused");
    }
    window->close();
    window.reset();
    waitForSessionThreads(std::chrono::seconds(3));
    return 0;
}

// --- vttest -------------------------------------------------------------------------------

// Runs the screens of one vttest menu: chooses it, then shoots every screen and pushes RETURN
// until the menu whose prompt is `back` shows again.
void vttestScreens(MainWindow& window, const TerminalScreen& screen, const char* name,
                   const QString& choice, const std::string& back, int limit = 20) {
    typeText(window, choice + QStringLiteral("\r"));
    for (int k = 1; k <= limit; ++k) {
        settle(1600);
        if (screenContains(screen, back)) return;
        shoot(qPrintable(QStringLiteral("vttest-%1-%2").arg(QLatin1String(name)).arg(k)));
        typeText(window, QStringLiteral("\r"));
    }
}

// vttest (Debian's terminal test program) in the window: menus 1, 2, 3, 7 (VT52) and 8 (insert
// and delete) whole, and the VT100 reports of menu 6.
int vttest(const QString& outDir) {
    TestServer server;
    if (!prepareShots(outDir, server)) return 1;
    auto window = startUp(true);
    window->move(0, 0);
    settle(600);
    answerConnectDialogSoon(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("test"),
                            QStringLiteral("secret"));
    answerHostKeyDialogSoon(QStringLiteral("onceButton"), [] {});
    window->onCommand(kCmdConnect);
    const TerminalScreen& screen = *appState().screen;
    waitUntil([&] { return screenContains(screen, "$ "); }, 10000);
    typeText(*window, QStringLiteral("vttest\r"));
    const std::string mainMenu = "Enter choice number (0 - 12)";
    waitUntil([&] { return screenContains(screen, mainMenu); }, 10000);
    settle();
    shoot("vttest-menu");
    vttestScreens(*window, screen, "1", QStringLiteral("1"), mainMenu);
    vttestScreens(*window, screen, "2", QStringLiteral("2"), mainMenu);
    vttestScreens(*window, screen, "3", QStringLiteral("3"), mainMenu);
    vttestScreens(*window, screen, "7", QStringLiteral("7"), mainMenu);
    vttestScreens(*window, screen, "8", QStringLiteral("8"), mainMenu);
    typeText(*window, QStringLiteral("6\r"));
    const std::string reportsMenu = "Enter choice number (0 - 7)";
    waitUntil([&] { return screenContains(screen, reportsMenu); }, 10000);
    for (const char* item : {"1", "2", "3", "4", "7"}) {
        vttestScreens(*window, screen, qPrintable(QStringLiteral("6.%1").arg(QLatin1String(item))),
                      QLatin1String(item), reportsMenu, 8);
    }
    typeText(*window, QStringLiteral("0\r"));
    settle();
    typeText(*window, QStringLiteral("0\r"));
    settle();
    grabModalSoon("vttest-end", QStringLiteral("connectionLostBox"), 500);
    typeText(*window, QStringLiteral("exit\r"));
    waitUntil([] { return runningSessionThreads() == 0; }, 10000);
    settle(1500);
    window->close();
    window.reset();
    waitForSessionThreads(std::chrono::seconds(3));
    return 0;
}

// --- speed --------------------------------------------------------------------------------

// Writes the shell's start-up file: it prints the two files and logs out, so the same output
// runs with and without a window and nobody has to type.
bool writeWorkload(const QString& folder, long plainBytes, long colourBytes) {
    QFile plain(folder + QStringLiteral("/plain.txt"));
    if (!plain.open(QIODevice::WriteOnly)) return false;
    const QByteArray line =
        "The quick brown fox jumps over the lazy dog while the router reboots 0123456789\n";
    for (long n = 0; n < plainBytes; n += line.size()) plain.write(line);
    plain.close();
    QFile colour(folder + QStringLiteral("/colour.txt"));
    if (!colour.open(QIODevice::WriteOnly)) return false;
    const QByteArray entry =
        "\x1b[0m\x1b[01;34mbin\x1b[0m  \x1b[01;32mrun.sh\x1b[0m  \x1b[31mcore\x1b[0m  "
        "\x1b[33;44mfifo\x1b[0m  \x1b[7mreverse\x1b[0m  \x1b[1;37;41mbold-white-on-red\x1b[0m\n";
    for (long n = 0; n < colourBytes; n += entry.size()) colour.write(entry);
    colour.close();
    QFile rc(folder + QStringLiteral("/shrc"));
    if (!rc.open(QIODevice::WriteOnly)) return false;
    rc.write(QStringLiteral("cat %1/plain.txt %1/colour.txt; exit 0\n").arg(folder).toUtf8());
    return true;
}

double headlessSeconds(int port) {
    auto screen = createScreen();
    screen->resize(80, 24, 640, 384, nullptr);
    attachScreen(screen.get());
    auto connection = std::make_unique<Connection>();
    if (connection->socket().openConnection("127.0.0.1", static_cast<std::uint16_t>(port)) != 1) {
        return -1;
    }
    LoginParameters login;
    login.user = "test";
    login.password = "secret";
    login.seedFilePath = QDir::tempPath().toStdString() + "/corvid1-speed-seed";
    Session session(std::move(connection), login);
    QElapsedTimer clock;
    clock.start();
    runSession(session);
    const double seconds = clock.nsecsElapsed() / 1e9;
    attachScreen(nullptr);
    return seconds;
}

int speed(long plainMb, long colourMb) {
    const QString folder = QDir::tempPath() + QStringLiteral("/corvid1-speed");
    QDir().mkpath(folder);
    if (!writeWorkload(folder, plainMb * 1000000, colourMb * 1000000)) return 1;
    TestServer server;
    if (!server.start(testServerPath(), {QStringLiteral("--mode"), QStringLiteral("shell")},
                      {QStringLiteral("ENV=") + folder + QStringLiteral("/shrc")})) {
        std::fprintf(stderr, "cannot start the test server\n");
        return 1;
    }
    const double headless = headlessSeconds(server.port());

    auto window = startUp(true);
    settle(500);
    // The user-interface thread's longest stall while the output runs: how responsive it stays.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    DialogWatch watch;  // accepts the Connection Lost box
    answerConnectDialogSoon(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("test"),
                            QStringLiteral("secret"));
    answerHostKeyDialogSoon(QStringLiteral("onceButton"));
    QElapsedTimer clock;
    window->onCommand(kCmdConnect);
    clock.start();
    sinceTick.start();
    ticker.start();
    waitUntil([&] { return watch.boxes > 0; }, 600000);
    const double windowed = clock.nsecsElapsed() / 1e9;
    ticker.stop();
    std::printf("output: %ld MB plain text + %ld MB coloured listing\n", plainMb, colourMb);
    std::printf("headless session (TerminalFrontEnd, no window): %.2f s\n", headless);
    std::printf("window session (shown, Xvfb):                  %.2f s\n", windowed);
    std::printf("ratio window/headless: %.2f\n", windowed / headless);
    std::printf("longest user-interface stall during output: %lld ms\n",
                static_cast<long long>(longestGap));
    std::printf("paint events: %d\n", window->view()->paintCount());
    window->close();
    window.reset();
    waitForSessionThreads(std::chrono::seconds(3));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Host keys answered here never reach the user's own known_hosts.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("screenshots")) return screenshots(args[2]);
    if (args.size() >= 3 && args[1] == QLatin1String("vttest")) return vttest(args[2]);
    if (args.size() >= 2 && args[1] == QLatin1String("speed")) {
        const long plain = args.size() >= 3 ? args[2].toLong() : 20;
        const long colour = args.size() >= 4 ? args[3].toLong() : 5;
        return speed(plain, colour);
    }
    std::fprintf(stderr, "usage: corvid1-window-driver screenshots OUTDIR | speed [MB MB]\n");
    return 2;
}
