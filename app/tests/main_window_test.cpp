// The real window, offscreen, against the project's SSH-1 test server.
#include "app/main_window.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <list>

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

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
bool recordHas(const QString& path, const QString& prefix) {
    return ("\n" + QString::fromLatin1(readFile(path))).contains("\n" + prefix);
}
// Waits until the server's record holds a line starting with each of `prefixes`.
bool recorded(const QString& path, const QStringList& prefixes) {
    return waitUntil(
        [&] { return std::ranges::all_of(prefixes, [&](auto& p) { return recordHas(path, p); }); },
        10000);
}
QString serverSays(const char* what, int seed = 1) {
    QProcess process;
    process.start(testServerPath(), {"--host-key-seed", QString::number(seed), what});
    process.waitForFinished(20000);
    return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
}
void pressOk(QWidget* dialog) {
    dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
}
// Actions as "text=id" (or the tool tip), "-" for a separator.
QString described(const QList<QAction*>& actions, bool tips = false) {
    QStringList items;
    for (QAction* a : actions)
        items << (a->isSeparator() ? "-"
                                   : (tips ? a->toolTip() : a->text()) + "=" +
                                         QString::number(a->data().toInt()));
    return items.join(' ');
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString store_;  // the user's known_hosts
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<DialogWatch> watch_;
    std::list<TestServer> servers_;  // ended in cleanup()

    // Starts a test server with `arguments` for the rest of the test; its port.
    int serve(const QStringList& arguments) {
        QTest::qVerify(servers_.emplace_back().start(testServerPath(), arguments), "serve", "",
                       __FILE__, __LINE__);
        return servers_.back().port();
    }

    void connectTo(int port, const char* password = "secret", const QString& timeout = {}) {
        answerConnectDialogSoon("127.0.0.1", port, "test", password, true, timeout);
        window_->onCommand(kCmdConnect);
    }
    void restart() {
        window_->close();
        window_ = startUp(false);
    }
    void expectIdle() {
        QVERIFY(waitUntil([] { return runningSessionThreads() == 0; }, 10000));
        QCOMPARE(window_->menuAction(kCmdConnect)->text().remove(QLatin1Char('&')),
                 QStringLiteral("Connect"));
        QVERIFY(window_->menuAction(kCmdTripleDes)->isEnabled());
        QVERIFY(!appState().connected && !appState().session);
    }
    // The test server's key (seed 1) is on record for every port of 127.0.0.1.
    void keyOnRecord(bool onRecord) {
        QFile::remove(store_);
        QFile file(store_);
        if (!onRecord) return;
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[127.0.0.1]:* " + serverSays("--print-known-hosts-line").toLatin1() + "\n");
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
        for (const char* name : {"XDG_DATA_HOME", "HOME", "XDG_CONFIG_HOME"})
            qputenv(name, dir_.path().toLocal8Bit());
        QVERIFY(QDir(dir_.path()).mkpath("corvid1"));
        store_ = dir_.filePath("corvid1/known_hosts");
    }
    void init() {
        keyOnRecord(true);
        watch_ = std::make_unique<DialogWatch>();
        window_ = startUp(false);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanup() {
        window_->close();
        window_.reset();
        QVERIFY(waitForSessionThreads(std::chrono::seconds(5)));
        QCOMPARE(watch_->unplanned, 0);
        watch_.reset();
        servers_.clear();
    }

    // Runs first: nothing is stored yet.
    void startUpAndTheCommandTable() {
        QCOMPARE(vt52Mode, 0);
        QCOMPARE(screen().scrollbackLines, 100);
        QVERIFY(shows("Corvid1 v1.00.46 Initialized."));
        QVERIFY(screen().columns >= 80 && screen().rows >= 24);
        QCOMPARE(window_->view()->barHeight(), window_->view()->mapTo(window_.get(), QPoint()).y());
        QStringList menus;
        for (QAction* popup : window_->menuBar()->actions())
            menus << popup->text() + ": " + described(popup->menu()->actions());
        QCOMPARE(menus,
                 (QStringList{
                     "&File: &Connect=40001 &Log Session...=40023 &New Window=40024 - E&xit=40002",
                     "&Edit: Copy=104 Paste=105 - Select &All=40017",
                     "&Settings: 3DES=40004 Blowfish=40006 None=40012 - Compression=40020 "
                     "Hide Password Length=40021 Tunnels...=40022 - Fonts...=40008",
                     "&Terminal: &Preferences=40011", "&Help: &Contents=40013 &About=40003"}));
        QCOMPARE(described(window_->commandBar()->actions(), true),
                 "Connect/Disconnect=40001 - Terminal Preferences=40011 Fonts=40008 Copy=104 "
                 "Paste=105");
        // The cipher commands check exactly one item; only the low 16 bits of a command count.
        const int ids[] = {kCmdTripleDes, kCmdBlowfish, kCmdNoCipher};
        const int ciphers[] = {3, 6, 0};
        for (int i : {1, 2, 0, 1}) {
            window_->onCommand(ids[i] | (i == 2 ? 0x10000 : 0));
            QCOMPARE(appState().cipher, ciphers[i]);
            for (int j = 0; j < 3; ++j) QCOMPARE(window_->menuAction(ids[j])->isChecked(), i == j);
        }
        window_->onCommand(12345);
        QCOMPARE(appState().cipher, 6);
        window_->onCommand(kCmdTripleDes);
        // A column switch printed on this thread is not taken for a question.
        window_->print("\x1b[?3h");
        const int wide = screen().columns;
        window_->print("\x1b[?3l");
        QCOMPARE(QPair(wide, screen().columns), QPair(132, 80));
        QVERIFY(window_->hostKeyDialog() == nullptr);
    }

    // A refused port, and one beyond 16 bits (never cut to 4464), end with a line and no box.
    void connectionsThatNeverStart() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const int refused = probe.serverPort();
        probe.close();
        QTcpServer wrapped;
        const bool listening = wrapped.listen(QHostAddress::LocalHost, 70000 - 65536);
        for (const int port : {22, refused, 70000}) {
            const int before = screen().cursorLine;
            answerConnectDialogSoon("127.0.0.1", port, "u", "p", port != 22);
            window_->onCommand(kCmdConnect);
            if (port == 22)
                QCOMPARE(screen().cursorLine, before);
            else
                QVERIFY(shows("Could not connect to host."));
            expectIdle();
            QCOMPARE(appState().login.password[0], '\0');  // wiped even though unused
        }
        QTest::qWait(100);
        if (listening) QVERIFY(!wrapped.hasPendingConnections());
        QCOMPARE(watch_->boxes, 0);
    }

    void aSessionThroughTheConnectDialog() {
        const QString record = dir_.filePath("full.record");
        connectTo(serve({"--scenario", "echo", "--record", record}));
        QVERIFY(waitWhileConnected([] { return shows("Corvid1 test server"); }));
        QCOMPARE(window_->menuAction(kCmdConnect)->text(), QStringLiteral("Disconnect"));
        QVERIFY(!window_->menuAction(kCmdNoCipher)->isEnabled());
        QCOMPARE(appState().login.password[0], '\0');  // wiped once the session has its copy
        const QString pty =
            QString("PTY term=vt100 rows=%1 columns=%2 xpixels=%3 ypixels=%4 modes=00")
                .arg(screen().rows)
                .arg(screen().columns)
                .arg(window_->view()->areaWidth())
                .arg(window_->view()->areaHeight());
        typeText(*window_, "hello\r");
        QVERIFY(waitWhileConnected([] { return shows("unknown: hello"); }));
        QTest::keyClick(window_->view(), Qt::Key_Up);
        QGuiApplication::clipboard()->setText("pasted text\r");
        window_->onCommand(kCmdPaste);
        typeText(*window_, "enq\r");
        QVERIFY(waitWhileConnected([] { return shows("ENQ answer: \"vt100\""); }));
        window_->resize(window_->width() + 100, window_->height() + 60);
        QVERIFY(waitWhileConnected([&] {
            return recordHas(record, QString("WINDOW_SIZE rows=%1 columns=%2 ")
                                         .arg(screen().rows + 1)
                                         .arg(screen().columns));
        }));
        QVERIFY(recorded(record, {"SESSION_KEY cipher=3 flags=0", pty, "STDIN \\x1b[A",
                                  "STDIN pasted text\\x0d", "ENQ_ANSWER vt100"}));
        QVERIFY(shows("ENQ answer: \"vt100\""));  // the text survives the resize
        // The server ends the session: the box, then idle.
        typeText(*window_, "exit\r");
        QVERIFY(waitUntil([&] { return watch_->boxes == 1; }, 10000));
        QCOMPARE(watch_->boxTitle + ": " + watch_->boxText,
                 QStringLiteral("Connection Lost: Connection to server lost."));
        expectIdle();
        // The user's Disconnect, in the key exchange and while output flows: no box.
        const QStringList bulk{"--scenario", "bulk", "--bulk", "200000000"};
        for (const int cipher : {kCmdBlowfish, kCmdTripleDes}) {
            window_->onCommand(cipher);
            connectTo(serve(cipher == kCmdTripleDes
                                ? bulk
                                : QStringList{"--scenario", "echo", "--kex-delay", "3000"}));
            if (cipher == kCmdTripleDes)
                QVERIFY(waitWhileConnected([] { return screen().liveTop > 30; }));
            window_->onCommand(kCmdConnect);
            expectIdle();
        }
        window_->print("still here\r\n");  // the window still works
        QVERIFY(shows("still here"));
        // Closed while output flows: the session threads end, and no box.
        connectTo(serve(bulk));
        QVERIFY(waitWhileConnected([] { return screen().liveTop > 30; }));
        window_->close();
        QVERIFY(waitUntil([] { return appState().closing; }, 3000));
        QVERIFY(waitForSessionThreads(std::chrono::seconds(3)));
        QTest::qWait(200);
        QCOMPARE(watch_->boxes, 1);
    }

    // A SessionEnded from the previous connection's thread must leave the new session alone.
    void reconnectWhileTheOldThreadStillEnds() {
        const QString recordA = dir_.filePath("a.record");
        const QString recordB = dir_.filePath("b.record");
        // A key other than the one on record: its thread waits for the user.
        const int changed =
            serve({"--scenario", "echo", "--record", recordA, "--host-key-seed", "2"});
        const int good = serve({"--scenario", "echo", "--record", recordB});
        bool started = false;
        watch_->onDialog = [&](QDialog* dialog) {
            if (started || dialog->objectName() != "changedHostKeyDialog") return;
            started = true;
            // The old thread waits in its question while the user disconnects and connects again.
            window_->onCommand(kCmdConnect);
            connectTo(good);
            QVERIFY(waitWhileConnected([&] { return recordHas(recordB, "EXEC_SHELL"); }));
        };
        connectTo(changed);
        QVERIFY(waitUntil([&] { return started && runningSessionThreads() <= 1; }, 30000));
        QVERIFY(appState().connected && !recordHas(recordA, "SESSION_KEY"));
        typeText(*window_, "still\r");
        QVERIFY(waitWhileConnected([] { return shows("unknown: still"); }));
        QCOMPARE(watch_->boxes, 0);
    }

    // Accept files the key, readable by the user alone; the next connection asks nothing.
    void hostKeyAnswersReachThePolicy() {
        keyOnRecord(false);
        const QString record = dir_.filePath("host.record");
        const int port = serve({"--scenario", "echo", "--record", record});
        const QString question =
            QString("unknownHostKeyDialog 127.0.0.1 %1 1024 1024 %2 %3")
                .arg(port)
                .arg(serverSays("--print-fingerprint"), "acceptButton onceButton cancelButton*");
        const QString keyLine =
            QString("[127.0.0.1]:%1 %2\n").arg(port).arg(serverSays("--print-known-hosts-line"));
        QString button;
        QStringList seen;
        watch_->onDialog = [&](QDialog* dialog) {
            if (dialog->objectName() != "unknownHostKeyDialog") return;
            QString line = dialog->objectName();
            for (const char* name : {"host", "port", "bits", "fingerprint"})
                line += " " + dialog->findChild<QLabel*>(name)->text();
            for (QPushButton* b : dialog->findChildren<QPushButton*>())
                line += " " + b->objectName() + (b->isDefault() ? "*" : "");
            seen << line;
            dialog->findChild<QPushButton*>(button)->click();
        };
        const struct {
            const char* button;
            bool loggedIn, filed;
        } cases[] = {{"cancelButton", false, false},
                     {"onceButton", true, false},
                     {"acceptButton", true, true},
                     {"", true, true}};
        for (const auto& c : cases) {
            button = c.button;
            seen.clear();
            QFile::remove(record);
            connectTo(port);
            QVERIFY(waitUntil(
                [&] { return recordHas(record, "EXEC_SHELL") || runningSessionThreads() == 0; },
                15000));
            QCOMPARE(QPair(recordHas(record, "SESSION_KEY"), recordHas(record, "PASSWORD")),
                     QPair(c.loggedIn, c.loggedIn));
            QCOMPARE(seen, *c.button ? QStringList{question} : QStringList{});
            if (!c.loggedIn)
                QVERIFY(shows("Disconnected: the server's host key was not accepted."));
            window_->disconnect();
            expectIdle();
            QCOMPARE(QString::fromLatin1(readFile(store_)), c.filed ? keyLine : QString());
        }
        QCOMPARE(QFile::permissions(store_),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(watch_->boxes, 0);  // a refused key leaves its reason readable on the screen
    }

    // A wrong passphrase is asked again, a cancelled one falls back to the password.
    void loginQuestionsInDialogs() {
        const QString key = dir_.filePath("secret.key");
        QVERIFY(QFile::copy(KEY_DATA_DIR "/secret.key", key));
        QVERIFY(QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const QString authorized = KEY_DATA_DIR "/secret.pub";
        const QString record = dir_.filePath("login.record");
        const QString prompt = "passphraseDialog Passphrase for 'secret test key':";
        const struct {
            QStringList arguments, answers, shown;
            const char* proof;
        } cases[] = {
            {{"--authorized-keys", authorized, "--no-password"},
             {"wrong", "correct horse"},
             {prompt, "passphraseDialog Wrong passphrase. Passphrase for 'secret test key':"},
             "RSA response right"},
            {{"--authorized-keys", authorized}, {""}, {prompt}, "PASSWORD secret"},
            {{"--no-password", "--tis-challenge", "Code 42", "--tis-response", "0815"},
             {"0815"},
             {"challengeDialog Code 42"},
             "USER test"},
        };
        QSettings("Kelm Software", "Corvid1").setValue("CEKeyFile/127.0.0.1", key);
        for (const auto& c : cases) {
            QStringList answers = c.answers;
            QStringList shown;
            watch_->onDialog = [&](QDialog* dialog) {
                auto* input = qobject_cast<QInputDialog*>(dialog);
                if (input == nullptr) return;
                shown << dialog->objectName() + " " + input->labelText();
                const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
                if (answer.isEmpty()) return input->reject();
                input->setTextValue(answer);
                input->accept();
            };
            QFile::remove(record);
            connectTo(serve(QStringList{"--scenario", "echo", "--record", record} + c.arguments));
            QVERIFY(waitWhileConnected([&] { return recordHas(record, "EXEC_SHELL"); }));
            QCOMPARE(shown, c.shown);
            QVERIFY2(recordHas(record, c.proof), c.proof);
            window_->onCommand(kCmdConnect);
            expectIdle();
        }
        QSettings("Kelm Software", "Corvid1").remove("CEKeyFile");
    }

    // How a session that never gets going ends: the box, with the reason on the screen.
    void failedLoginsEndWithTheBox() {
        const struct {
            QStringList arguments;
            const char *password, *timeout, *line;
        } cases[] = {{{"--scenario", "echo"}, "wrong", "", "Connected to host."},
                     {{"--scenario", "stall", "--at", "password"},
                      "secret",
                      "1",
                      "ERROR - The server stopped answering during the login"}};
        for (const auto& c : cases) {
            watch_->boxes = 0;
            connectTo(serve(c.arguments), c.password, c.timeout);
            QVERIFY(waitUntil([&] { return watch_->boxes == 1; }, 8000));
            QCOMPARE(watch_->boxTitle, QStringLiteral("Connection Lost"));
            QVERIFY(shows(c.line));
            expectIdle();
        }
        QCOMPARE(openSettingsKey().value("CEConnectTimeout").toInt(), 1);
        openSettingsKey().setValue("CEConnectTimeout", 60);
    }

    // The toggles reach the next session and are stored; a server brings back its own choices.
    void settingsTogglesAndWhatAServerBringsBack() {
        const QString record = dir_.filePath("toggles.record");
        const int port = serve({"--scenario", "exit-status", "--record", record});
        QVERIFY(!window_->menuAction(kCmdCompression)->isChecked() &&
                window_->menuAction(kCmdHidePasswordLength)->isChecked());
        window_->menuAction(kCmdCompression)->trigger();
        window_->menuAction(kCmdHidePasswordLength)->trigger();
        window_->onCommand(kCmdBlowfish);
        connectTo(port);
        QVERIFY(recorded(record, {"COMPRESSION level=6", "SESSION_KEY cipher=6"}));
        QVERIFY(waitUntil([&] { return watch_->boxes == 1; }, 10000));
        QVERIFY(!recordHas(record, "IGNORE"));  // the password goes unpadded
        QCOMPARE(QPair(openSettingsKey().value("CECompression").toInt(),
                       openSettingsKey().value("CEHidePasswordLength").toInt()),
                 QPair(1, 0));
        window_->menuAction(kCmdHidePasswordLength)->trigger();
        // Started again with 3DES and no compression: the server's own choices go out.
        openSettingsKey().setValue("CECompression", 0);
        window_->onCommand(kCmdTripleDes);
        restart();
        QVERIFY(!window_->menuAction(kCmdCompression)->isChecked() && appState().cipher == 3);
        QFile::remove(record);
        connectTo(port);
        QVERIFY(recorded(record, {"COMPRESSION level=6", "SESSION_KEY cipher=6"}));
        QVERIFY(waitUntil([&] { return watch_->boxes == 2; }, 10000));
        QVERIFY(window_->menuAction(kCmdBlowfish)->isChecked());
        saveServerChoices("127.0.0.1", 3, false);
    }

    // A log file that cannot be written stops the log with a line, never the session.
    void sessionLog() {
        const QString log = dir_.filePath("session.log");
        watch_->onDialog = [&](QDialog* dialog) {
            if (dialog->objectName() != "logDialog") return;
            dialog->findChild<QLineEdit*>("logFile")->setText(log);
            dialog->findChild<QRadioButton*>("logText")->setChecked(true);
            dialog->findChild<QRadioButton*>("logOverwrite")->setChecked(true);
            pressOk(dialog);
        };
        window_->onCommand(kCmdLogSession);
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("Stop &Logging"));
        connectTo(serve({"--scenario", "colours"}));
        QVERIFY(waitUntil([&] { return watch_->boxes == 1; }, 10000));
        window_->onCommand(kCmdLogSession);
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("&Log Session..."));
        const QByteArray text = readFile(log);
        QVERIFY2(text.startsWith("=== Corvid1 session log: 127.0.0.1 port "), text.constData());
        QVERIFY2(text.contains("\nreverse  underline  bold-white-on-red\n"), text.constData());

        QVERIFY(!window_->startLogging(dir_.filePath("no/such/folder/log"), true, true));
        QVERIFY(window_->startLogging("/dev/full", false, true));
        connectTo(serve({"--scenario", "echo"}));
        QVERIFY(waitWhileConnected([] { return shows("Logging stopped: /dev/full"); }));
        QCOMPARE(window_->menuAction(kCmdLogSession)->text(), QStringLiteral("&Log Session..."));
        typeText(*window_, "on\r");
        QVERIFY(waitWhileConnected([] { return shows("unknown: on"); }));
    }

    // Start-up reads the terminal values back as a pair, or neither.
    void preferencesAppliedAndReadAtStartUp() {
        const struct {
            const char *type, *typed;
            int lines;
        } cases[] = {{"vt52", "1000", 500}, {"vt100", "", 0}, {"vt52", "250", 250}};
        for (const auto& c : cases) {
            window_->onCommand(kCmdPreferences);
            auto* dialog = window_->findChild<QDialog*>("terminalSettingsDialog");
            dialog->findChild<QRadioButton*>(c.type)->setChecked(true);
            dialog->findChild<QLineEdit*>("scrollback")->setText(c.typed);
            pressOk(dialog);
            QCOMPARE(QList<int>({screen().scrollbackLines, window_->view()->scrollBar()->maximum(),
                                 vt52Mode}),
                     QList<int>({c.lines, c.lines, c.type[2] == '5' ? 1 : 0}));
            // The view shows the live screen, and output keeps it inside the buffer.
            QCOMPARE(screen().viewTop, screen().liveTop);
            for (int i = 0; i < 30; ++i) window_->print("scrolling\r\n");
            QCOMPARE(screen().viewTop, screen().liveTop);
        }
        restart();
        QCOMPARE(QPair(vt52Mode, screen().scrollbackLines), QPair(1, 250));
        openSettingsKey().remove("CENumScrollBackLines");
        restart();
        QCOMPARE(QPair(vt52Mode, screen().scrollbackLines), QPair(0, 100));

        const int cellHeight = window_->view()->cellHeight();
        const int rows = screen().rows;
        window_->onCommand(kCmdFonts);
        auto* dialog = window_->findChild<QDialog*>("fontDialog");
        auto* size = dialog->findChild<QComboBox*>("size");
        size->setCurrentIndex(size->findText("24"));
        pressOk(dialog);
        QVERIFY(waitUntil([&] { return window_->view()->cellHeight() > cellHeight; }, 2000));
        QVERIFY(screen().rows < rows &&
                screen().rows * window_->view()->cellHeight() <= window_->view()->areaHeight() &&
                screen().columns * window_->view()->cellWidth() <= window_->view()->areaWidth());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
