// The real window, offscreen, with its settings in a temporary folder: start-up, the command
// bar and command table, the connect and disconnect sequences against the project's SSH-1 test
// server (typing, cursor keys, paste, relayout, the "Connection Lost" box), shut-down while
// connected, and the preference dialogs as the window applies them.
#include "app/main_window.h"

#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <chrono>
#include <cstring>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialogs/connect_dialog.h"
#include "app/dialogs/preferences.h"
#include "app/dialogs/settings_store.h"
#include "app/screen_bridge.h"
#include "app/session_link.h"
#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"
#include "window_driver.h"

using namespace corvid1;

namespace {

TerminalScreen& screen() {
    return *appState().screen;
}

bool shows(const char* text) {
    return screenContains(screen(), text, true);
}

QStringList recordLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Waits with the event loop running: a finishing session thread may need the window to handle
// its SessionEnded first.
bool sessionThreadsEnd(int timeoutMs) {
    return waitUntil([] { return runningSessionThreads() == 0; }, timeoutMs);
}

bool recorded(const QString& path, const QString& line) {
    return waitUntil([&] { return recordLines(path).contains(line); }, 10000);
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir dir_;
    std::unique_ptr<MainWindow> window_;
    bool boxSeen_ = false;
    QString boxTitle_;
    QString boxText_;

    void connectTo(int port, const char* password = "secret") {
        answerConnectDialogSoon(QStringLiteral("127.0.0.1"), port, QStringLiteral("test"),
                                QString::fromLatin1(password));
        window_->onCommand(kCmdConnect);
    }
    // After a connection the item reads "Connect", its mnemonic gone with the first change.
    void expectIdleMenu(const char* connectText = "Connect") {
        QCOMPARE(window_->menuAction(kCmdConnect)->text(), QString::fromLatin1(connectText));
        QVERIFY(window_->menuAction(kCmdTripleDes)->isEnabled());
        QVERIFY(window_->menuAction(kCmdBlowfish)->isEnabled());
        QVERIFY(window_->menuAction(kCmdNoCipher)->isEnabled());
        QVERIFY(!appState().connected);
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
        qputenv("XDG_DATA_HOME", dir_.path().toLocal8Bit());
        // The test server's host key is on record for every port of 127.0.0.1, so these
        // connections ask nothing (host_key_test covers the questions).
        qputenv("HOME", dir_.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit());
        QProcess keyLine;
        keyLine.start(testServerPath(), {QStringLiteral("--print-known-hosts-line")});
        QVERIFY(keyLine.waitForFinished(20000));
        const QByteArray key = keyLine.readAllStandardOutput().trimmed();
        QVERIFY(!key.isEmpty());
        QVERIFY(QDir(dir_.path()).mkpath(QStringLiteral("corvid1")));
        QFile store(dir_.filePath(QStringLiteral("corvid1/known_hosts")));
        QVERIFY(store.open(QIODevice::WriteOnly));
        store.write("[127.0.0.1]:* " + key + "\n");
    }
    void init() {
        boxSeen_ = false;
        window_ = startUp(false);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanup() {
        window_->close();
        window_.reset();
        QVERIFY(waitForSessionThreads(std::chrono::seconds(5)));
    }

    // Runs first: nothing is stored yet.
    void startsWithNothingStored() {
        QCOMPARE(vt52Mode, 0);
        QCOMPARE(screen().scrollbackLines, 100);
        QCOMPARE(appState().cipher, 3);
        QCOMPARE(QString::fromLatin1(appState().login.port), QStringLiteral("22"));
        QCOMPARE(QString::fromLatin1(appState().login.user), QStringLiteral("username"));
        QVERIFY(shows("Corvid1 v1.00.46 Initialized."));
        QVERIFY(shows("Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++."));
        QVERIFY(shows("SSH Version 1.5 protocol only."));
        QVERIFY(screen().columns >= 80);
        QVERIFY(screen().rows >= 24);
        QCOMPARE(window_->windowTitle(), QStringLiteral("Corvid1"));
        // The terminal area starts below the command bar.
        QCOMPARE(window_->view()->barHeight(), window_->view()->mapTo(window_.get(), QPoint()).y());
        QVERIFY(window_->view()->barHeight() > 0);
    }

    void menusAndButtonsWithTheirIdsAndTips() {
        const QList<QAction*> popups = window_->menuBar()->actions();
        QStringList titles;
        for (QAction* popup : popups) titles << popup->text();
        QCOMPARE(titles, (QStringList{"&File", "&Edit", "&Settings", "&Terminal", "&Help"}));
        // Each popup's items: text and command id, 0 for a separator.
        const QList<QList<QPair<QString, int>>> expected = {
            {{"&Connect", 40001},
             {"&Log Session...", 40023},
             {"&New Window", 40024},
             {"", 0},
             {"E&xit", 40002}},
            {{"Copy", 104}, {"Paste", 105}, {"", 0}, {"Select &All", 40017}},
            {{"3DES", 40004},
             {"Blowfish", 40006},
             {"None", 40012},
             {"", 0},
             {"Compression", 40020},
             {"Hide Password Length", 40021},
             {"Tunnels...", 40022},
             {"", 0},
             {"Fonts...", 40008}},
            {{"&Preferences", 40011}},
            {{"&Contents", 40013}, {"&About", 40003}},
        };
        for (int i = 0; i < popups.size(); ++i) {
            QList<QPair<QString, int>> items;
            for (QAction* item : popups[i]->menu()->actions()) {
                items << qMakePair(item->isSeparator() ? QString() : item->text(),
                                   item->isSeparator() ? 0 : item->data().toInt());
            }
            QCOMPARE(items, expected[i]);
        }
        QVERIFY(window_->menuAction(kCmdTripleDes)->isChecked());
        QVERIFY(!window_->menuAction(kCmdBlowfish)->isChecked());

        QList<QPair<QString, int>> buttons;
        for (QAction* action : window_->commandBar()->actions()) {
            buttons << qMakePair(action->isSeparator() ? QString() : action->toolTip(),
                                 action->isSeparator() ? 0 : action->data().toInt());
            QVERIFY(action->isEnabled());
        }
        const QList<QPair<QString, int>> expectedButtons = {{"Connect/Disconnect", 40001},
                                                            {"", 0},
                                                            {"Terminal Preferences", 40011},
                                                            {"Fonts", 40008},
                                                            {"Copy", 104},
                                                            {"Paste", 105}};
        QCOMPARE(buttons, expectedButtons);
    }

    void cipherCommandsCheckOneItem() {
        const int ids[] = {kCmdTripleDes, kCmdBlowfish, kCmdNoCipher};
        const int ciphers[] = {3, 6, 0};
        for (int i : {1, 2, 0, 1}) {
            window_->onCommand(ids[i]);
            QCOMPARE(appState().cipher, ciphers[i]);
            for (int j = 0; j < 3; ++j) {
                QCOMPARE(window_->menuAction(ids[j])->isChecked(), i == j);
            }
        }
        window_->onCommand(0x10000 | kCmdTripleDes);  // only the low 16 bits count
        QCOMPARE(appState().cipher, 3);
        window_->onCommand(12345);  // unknown: ignored
        QCOMPARE(appState().cipher, 3);
    }

    void cancelledConnectLeavesNoTrace() {
        const int before = screen().cursorLine;
        answerConnectDialogSoon(QStringLiteral("example.invalid"), 22, QStringLiteral("u"),
                                QStringLiteral("p"), false);
        window_->onCommand(kCmdConnect);
        QCOMPARE(screen().cursorLine, before);
        QVERIFY(!shows("Connecting to host..."));
        expectIdleMenu("&Connect");
    }

    void refusedConnectionReturnsToIdle() {
        // A port nobody listens on: bind one, then let it go.
        int port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        connectTo(port);
        QVERIFY(shows("Connecting to host..."));
        QVERIFY(shows("Could not connect to host."));
        expectIdleMenu();
        QVERIFY(!appState().session);
        QCOMPARE(runningSessionThreads(), 0);
        QCOMPARE(appState().login.password[0], '\0');  // wiped even though unused
    }

    void portAboveTheRangeIsRefused() {
        // 70000 cut to 16 bits would be 4464: listen there and make sure nobody comes.
        QTcpServer wrapped;
        const bool listening = wrapped.listen(QHostAddress::LocalHost, 70000 - 65536);
        connectTo(70000);
        QVERIFY(shows("Could not connect to host."));
        QTest::qWait(100);
        if (listening) QVERIFY(!wrapped.hasPendingConnections());
        expectIdleMenu();
    }

    void fullSessionThroughTheConnectDialog() {
        const QString record = dir_.filePath(QStringLiteral("full.record"));
        {
            QSettings settings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
            settings.clear();
            settings.setValue("CENumservers", 2);
            settings.setValue("CEServer0", "zeta.example");
            settings.setValue("CEServer1", "127.0.0.1");
        }
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record}));
        connectTo(server.port());
        QVERIFY(shows("Connected to host."));
        QVERIFY(waitUntil([] { return shows("Corvid1 test server"); }, 15000));
        QCOMPARE(window_->menuAction(kCmdConnect)->text(), QStringLiteral("Disconnect"));
        QVERIFY(!window_->menuAction(kCmdTripleDes)->isEnabled());
        QVERIFY(!window_->menuAction(kCmdNoCipher)->isEnabled());
        QCOMPARE(appState().login.password[0], '\0');  // wiped once the session has its copy
        QVERIFY(recorded(record, QStringLiteral("SESSION_KEY cipher=3 flags=0")));
        QVERIFY(recorded(record, QStringLiteral("PTY term=vt100 rows=%1 columns=%2 "
                                                "xpixels=%3 ypixels=%4 modes=00")
                                     .arg(screen().rows)
                                     .arg(screen().columns)
                                     .arg(window_->view()->areaWidth())
                                     .arg(window_->view()->areaHeight())));

        // The settings the dialog wrote; the password is nowhere in them.
        {
            QSettings settings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
            QCOMPARE(settings.value("CEUsername").toString(), QStringLiteral("test"));
            QCOMPARE(settings.value("CEServerPort").toString(), QString::number(server.port()));
            // The list again, each server once, in alphabetical order.
            QCOMPARE(settings.value("CENumservers").toInt(), 2);
            QCOMPARE(settings.value("CEServer0").toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(settings.value("CEServer1").toString(), QStringLiteral("zeta.example"));
            settings.sync();
            QFile file(settings.fileName());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(!file.readAll().contains("secret"));
        }

        // Typing: the server echoes and answers each line.
        typeText(*window_, QStringLiteral("hello\r"));
        QVERIFY(waitUntil([] { return shows("unknown: hello"); }, 10000));
        // Cursor keys: three bytes in ANSI mode, two once the host puts the terminal in VT52
        // mode (at once, same session).
        QTest::keyClick(window_->view(), Qt::Key_Up);
        QVERIFY(recorded(record, QStringLiteral("STDIN \\x1b[A")));
        QVERIFY(ScreenBridge::instance().tryChange([] { feedBytes("\x1b[?2l", 5); }));
        QTest::keyClick(window_->view(), Qt::Key_Left);
        QVERIFY(recorded(record, QStringLiteral("STDIN \\x1bD")));
        QVERIFY(ScreenBridge::instance().tryChange([] { feedBytes("\x1b<", 2); }));
        // Paste goes out as one input.
        QGuiApplication::clipboard()->setText(QStringLiteral("pasted text\r"));
        window_->onCommand(kCmdPaste);
        QVERIFY(recorded(record, QStringLiteral("STDIN pasted text\\x0d")));
        QVERIFY(waitUntil([] { return shows("pasted text"); }, 10000));
        // The terminal's answer to ENQ goes back through the window.
        typeText(*window_, QStringLiteral("enq\r"));
        QVERIFY(recorded(record, QStringLiteral("ENQ_ANSWER vt100")));

        // A resize relays out the screen and tells the server.
        window_->resize(window_->width() + 100, window_->height() + 60);
        QVERIFY(waitUntil(
            [&] {
                for (const QString& line : recordLines(record)) {
                    if (line.startsWith(QStringLiteral("WINDOW_SIZE rows=%1 columns=%2 ")
                                            .arg(screen().rows + 1)
                                            .arg(screen().columns))) {
                        return true;
                    }
                }
                return false;
            },
            10000));
        QVERIFY(shows("ENQ answer: \"vt100\""));  // the text survives the resize

        // The server ends the session: the box, then idle.
        dismissMessageBoxSoon(&boxSeen_, &boxTitle_, &boxText_);
        typeText(*window_, QStringLiteral("exit\r"));
        QVERIFY(waitUntil([&] { return boxSeen_; }, 10000));
        QCOMPARE(boxTitle_, QStringLiteral("Connection Lost"));
        QCOMPARE(boxText_, QStringLiteral("Connection to server lost."));
        expectIdleMenu();
        QVERIFY(sessionThreadsEnd(5000));

        // A second Connect right after, with Blowfish; then the user disconnects: no box.
        window_->onCommand(kCmdBlowfish);
        boxSeen_ = false;
        connectTo(server.port());
        QVERIFY(recorded(record, QStringLiteral("SESSION_KEY cipher=6 flags=0")));
        QVERIFY(waitUntil([] { return runningSessionThreads() == 1; }, 1000));
        window_->onCommand(kCmdConnect);  // connected: disconnects, no dialog
        expectIdleMenu();
        QVERIFY(sessionThreadsEnd(5000));
        QTest::qWait(200);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        window_->onCommand(kCmdTripleDes);
    }

    void wrongPasswordEndsWithTheBox() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo"}));
        dismissMessageBoxSoon(&boxSeen_, &boxTitle_);
        connectTo(server.port(), "wrong");
        QVERIFY(waitUntil([&] { return boxSeen_; }, 15000));
        QCOMPARE(boxTitle_, QStringLiteral("Connection Lost"));
        expectIdleMenu();
    }

    void settingsTogglesReachTheNextSessionAndAreRemembered() {
        QVERIFY(!window_->menuAction(kCmdCompression)->isChecked());
        QVERIFY(window_->menuAction(kCmdHidePasswordLength)->isChecked());
        const QString record = dir_.filePath(QStringLiteral("toggles.record"));
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "exit-status", "--record", record}));
        window_->menuAction(kCmdCompression)->trigger();
        window_->menuAction(kCmdHidePasswordLength)->trigger();
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(recorded(record, QStringLiteral("COMPRESSION level=6")));
        QVERIFY(waitUntil([&] { return boxSeen_; }, 10000));
        QVERIFY(!recordLines(record).join(QLatin1Char('\n')).contains(QStringLiteral("IGNORE")));
        QCOMPARE(openSettingsKey().value(QStringLiteral("CECompression")).toInt(), 1);
        QCOMPARE(openSettingsKey().value(QStringLiteral("CEHidePasswordLength")).toInt(), 0);
        window_->menuAction(kCmdCompression)->trigger();
        window_->menuAction(kCmdHidePasswordLength)->trigger();
    }

    void aServerBringsBackItsCipherAndCompression() {
        const QString record = dir_.filePath(QStringLiteral("choices.record"));
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "exit-status", "--record", record}));
        saveServerChoices(QStringLiteral("127.0.0.1"), 6, true);
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(recorded(record, QStringLiteral("SESSION_KEY cipher=6 flags=0")));
        QVERIFY(recorded(record, QStringLiteral("COMPRESSION level=6")));
        QVERIFY(waitUntil([&] { return boxSeen_; }, 10000));
        QVERIFY(window_->menuAction(kCmdBlowfish)->isChecked());
        saveServerChoices(QStringLiteral("127.0.0.1"), 3, false);
        window_->onCommand(kCmdTripleDes);
        window_->menuAction(kCmdCompression)->setChecked(false);
    }

    void sessionLogTakesTheTextAndStopsWithAWordWhenItCannotWrite() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "colours"}));
        const QString log = dir_.filePath(QStringLiteral("session.log"));
        QVERIFY(window_->startLogging(log, true, false));
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("Stop &Logging"));
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(waitUntil([&] { return boxSeen_; }, 10000));
        window_->onCommand(kCmdLogSession);  // stops it
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("&Log Session..."));
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.startsWith("=== Corvid1 session log: 127.0.0.1 port "), text.constData());
        QVERIFY2(text.contains("\nreverse  underline  bold-white-on-red\n"), text.constData());

        QVERIFY(window_->startLogging(QStringLiteral("/dev/full"), false, true));
        boxSeen_ = false;
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(waitUntil([] { return shows("Logging stopped: /dev/full"); }, 10000));
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("&Log Session..."));
        QVERIFY(waitUntil([&] { return boxSeen_; }, 10000));
    }

    void columnSwitchPrintedOnThisThreadIsNotTakenForAQuestion() {
        // The screen's notification and the session's questions share the window's one entry
        // point; a column switch must never reach the host-key question's handler.
        window_->print("\x1b[?3h");
        QCOMPARE(screen().columns, 132);
        window_->print("\x1b[?3l");
        QCOMPARE(screen().columns, 80);
        QVERIFY(window_->hostKeyDialog() == nullptr);
    }

    void silentServerEndsTheLoginAtTheDialogsLimit() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "stall", "--at", "password"}));
        dismissMessageBoxSoon(&boxSeen_, &boxTitle_);
        answerConnectDialogSoon(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("test"),
                                QStringLiteral("secret"), true, QStringLiteral("1"));
        window_->onCommand(kCmdConnect);
        QVERIFY(waitUntil([&] { return boxSeen_; }, 5000));
        QCOMPARE(boxTitle_, QStringLiteral("Connection Lost"));
        QVERIFY(shows("ERROR - The server stopped answering during the login"));
        expectIdleMenu();
        QCOMPARE(openSettingsKey().value(QStringLiteral("CEConnectTimeout")).toInt(), 1);
        // Put back for the tests that follow.
        QSettings key = openSettingsKey();
        key.setValue(QStringLiteral("CEConnectTimeout"), 60);
    }

    void disconnectDuringTheKeyExchange() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--kex-delay", "3000"}));
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QCOMPARE(runningSessionThreads(), 1);
        window_->onCommand(kCmdConnect);
        expectIdleMenu();
        QVERIFY(sessionThreadsEnd(2000));
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
    }

    void disconnectWhileOutputFlows() {
        // Output keeps the session thread inside its synchronous notifications to the window.
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "bulk", "--bulk", "200000000"}));
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(waitUntil([] { return screen().liveTop > 30; }, 15000));
        window_->onCommand(kCmdConnect);
        expectIdleMenu();
        QVERIFY(sessionThreadsEnd(3000));
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
        // The window still works: it prints and lays out.
        window_->print("still here\r\n");
        QVERIFY(shows("still here"));
    }

    void closingWhileConnectedShowsNoBox() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "bulk", "--bulk", "200000000"}));
        dismissMessageBoxSoon(&boxSeen_);
        connectTo(server.port());
        QVERIFY(waitUntil([] { return screen().liveTop > 30; }, 15000));
        window_->close();
        // The platform may deliver the close event a moment later.
        QVERIFY(waitUntil([] { return appState().closing; }, 3000));
        QVERIFY(waitForSessionThreads(std::chrono::seconds(3)));
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
    }

    void terminalSettingsApplyAndStore() {
        window_->onCommand(kCmdPreferences);
        auto* dialog = window_->findChild<QDialog*>(QStringLiteral("terminalSettingsDialog"));
        QVERIFY(dialog != nullptr);
        dialog->findChild<QRadioButton*>(QStringLiteral("vt52"))->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("scrollback"))->setText("1000");
        dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
            ->button(QDialogButtonBox::Ok)
            ->click();
        QCOMPARE(vt52Mode, 1);
        QCOMPARE(screen().scrollbackLines, 500);
        QCOMPARE(window_->view()->scrollBar()->maximum(), 500);
        QSettings settings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
        QCOMPARE(settings.value("CENumScrollBackLines").toInt(), 500);
        QCOMPARE(settings.value("CETermType").toInt(), 1);

        window_->onCommand(kCmdPreferences);
        dialog = window_->findChild<QDialog*>(QStringLiteral("terminalSettingsDialog"));
        dialog->findChild<QRadioButton*>(QStringLiteral("vt100"))->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("scrollback"))->setText("");
        dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
            ->button(QDialogButtonBox::Ok)
            ->click();
        QCOMPARE(vt52Mode, 0);
        QCOMPARE(screen().scrollbackLines, 0);
        // Output with no scrollback at all still stays inside the buffer.
        for (int i = 0; i < 100; ++i) window_->print("scrolling\r\n");
        QCOMPARE(screen().viewTop, screen().liveTop);
        window_->view()->grab();
    }

    void startUpReadsStoredSettings() {
        // The previous test stored VT100 with 0 lines; store 250 and start again.
        {
            QSettings settings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
            settings.setValue("CETermType", 1);
            settings.setValue("CENumScrollBackLines", 250);
        }
        window_->close();
        window_ = startUp(false);
        QCOMPARE(vt52Mode, 1);
        QCOMPARE(screen().scrollbackLines, 250);
        // With one value missing both fall back to the defaults.
        {
            QSettings settings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
            settings.remove("CENumScrollBackLines");
        }
        window_->close();
        window_ = startUp(false);
        QCOMPARE(vt52Mode, 0);
        QCOMPARE(screen().scrollbackLines, 100);
    }

    void fontChangeRelaysOut() {
        const int cellHeight = window_->view()->cellHeight();
        const int rows = screen().rows;
        window_->onCommand(kCmdFonts);
        auto* dialog = window_->findChild<QDialog*>(QStringLiteral("fontDialog"));
        QVERIFY(dialog != nullptr);
        auto* size = dialog->findChild<QComboBox*>(QStringLiteral("size"));
        size->setCurrentIndex(size->findText(QStringLiteral("24")));
        dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
            ->button(QDialogButtonBox::Ok)
            ->click();
        QVERIFY(waitUntil([&] { return window_->view()->cellHeight() > cellHeight; }, 2000));
        QVERIFY(screen().rows < rows);
        QVERIFY(screen().rows * window_->view()->cellHeight() <= window_->view()->areaHeight());
        QVERIFY(screen().columns * window_->view()->cellWidth() <= window_->view()->areaWidth());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
