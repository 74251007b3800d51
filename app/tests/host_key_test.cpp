// The host-key check as the window does it, against the project's SSH-1 test server with two
// different host keys: an unknown key (Cancel, Connect once, Accept and remember), a key filed
// in ~/.ssh/known_hosts, a changed key, a disconnect and a close while the question is open, and
// a connection to "::1". The user's known_hosts and home folder are temporary for each test.
#include <sys/stat.h>

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/main_window.h"
#include "app/screen_bridge.h"
#include "app/session_link.h"
#include "terminal/terminal_screen.h"
#include "window_driver.h"

using namespace corvid1;

namespace {

TerminalScreen& screen() {
    return *appState().screen;
}

QStringList recordLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool recordHas(const QString& path, const QString& prefix) {
    for (const QString& line : recordLines(path)) {
        if (line.startsWith(prefix)) return true;
    }
    return false;
}

// What the test server says about one of its host keys.
QString serverSays(const char* what, int seed) {
    QProcess process;
    process.start(testServerPath(), {QStringLiteral("--host-key-seed"), QString::number(seed),
                                     QString::fromLatin1(what)});
    if (!process.waitForFinished(20000)) return {};
    return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

struct SeenDialog {
    QString name;
    QMap<QString, QString> labels;  // object name -> text
    QString defaultButton;
    QStringList buttons;
};

}  // namespace

class HostKeyTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir settingsDir_;
    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<MainWindow> window_;
    QString record_;
    QString store_;  // the user's known_hosts for this test
    int marker_ = 0;

    // How the next host-key questions are answered: the object name of a button, or a
    // function that does something else with the open dialog. Unplanned questions are
    // cancelled and counted as unexpected.
    QStringList plan_;
    std::function<void(QDialog*)> action_;
    QList<SeenDialog> seen_;
    int unexpected_ = 0;
    bool boxSeen_ = false;
    QTimer guard_;

    void onGuard() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        if (qobject_cast<QMessageBox*>(dialog) != nullptr) {
            boxSeen_ = true;
            dialog->accept();
            return;
        }
        const QString name = dialog->objectName();
        if (name != QLatin1String("unknownHostKeyDialog") &&
            name != QLatin1String("changedHostKeyDialog")) {
            return;
        }
        SeenDialog seen{name, {}, {}, {}};
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (!label->objectName().isEmpty()) seen.labels[label->objectName()] = label->text();
        }
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            seen.buttons << button->objectName();
            if (button->isDefault()) seen.defaultButton = button->objectName();
        }
        seen_ << seen;
        if (action_) {
            auto action = std::move(action_);
            action_ = nullptr;
            action(dialog);
            return;
        }
        QString button = QStringLiteral("cancelButton");
        if (plan_.isEmpty()) {
            ++unexpected_;
        } else {
            button = plan_.takeFirst();
        }
        dialog->findChild<QPushButton*>(button)->click();
    }

    void connectTo(const QString& host, int port) {
        answerConnectDialogSoon(host, port, QStringLiteral("test"), QStringLiteral("secret"));
        window_->onCommand(kCmdConnect);
    }

    // Lines printed since this test began.
    bool shownSinceStart(const std::string& text) {
        const std::string marker = "--- host key test " + std::to_string(marker_) + " ---";
        int from = -1;
        int last = 0;
        {
            ScreenBridge::Access access(ScreenBridge::instance());
            last = screen().lastLine;
        }
        for (int line = 1; line <= last; ++line) {
            const std::string content = screenLine(screen(), line);
            if (content.find(marker) != std::string::npos) from = line;
            if (from >= 0 && content.find(text) != std::string::npos) return true;
        }
        return false;
    }

    bool loggedIn() { return recordHas(record_, QStringLiteral("EXEC_SHELL")); }

    void expectIdle() {
        QVERIFY(sessionThreadsEnd());
        QCOMPARE(window_->menuAction(kCmdConnect)->text(), QStringLiteral("Connect"));
        QVERIFY(!appState().connected);
        QVERIFY(!appState().session);
    }

    bool sessionThreadsEnd() {
        return waitUntil([] { return runningSessionThreads() == 0; }, 10000);
    }

    void disconnectNow() {
        window_->onCommand(kCmdConnect);
        QVERIFY(sessionThreadsEnd());
    }

    QString keyLine(const QString& name, int seed) {
        return name + QLatin1Char(' ') + serverSays("--print-known-hosts-line", seed) +
               QLatin1Char('\n');
    }

  private slots:
    void initTestCase() {
        QVERIFY(settingsDir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        qputenv("XDG_DATA_HOME", settingsDir_.path().toLocal8Bit());
        guard_.setInterval(20);
        connect(&guard_, &QTimer::timeout, this, [this] { onGuard(); });
        guard_.start();
        QVERIFY(!serverSays("--print-fingerprint", 1).isEmpty());
        QVERIFY(serverSays("--print-fingerprint", 1) != serverSays("--print-fingerprint", 2));
    }
    void init() {
        home_ = std::make_unique<QTemporaryDir>();
        QVERIFY(home_->isValid());
        qputenv("HOME", home_->path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home_->path() + QStringLiteral("/config")).toLocal8Bit());
        store_ = home_->path() + QStringLiteral("/config/corvid1/known_hosts");
        record_ = home_->filePath(QStringLiteral("server.record"));
        plan_.clear();
        action_ = nullptr;
        seen_.clear();
        unexpected_ = 0;
        boxSeen_ = false;
        window_ = startUp(false);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        ++marker_;
        window_->print(("\r\n--- host key test " + std::to_string(marker_) + " ---\r\n").c_str());
    }
    void cleanup() {
        window_->close();
        window_.reset();
        QVERIFY(waitForSessionThreads(std::chrono::seconds(5)));
        QCOMPARE(unexpected_, 0);
    }

    void unknownKeyCancelledSendsNoPassword() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        plan_ << QStringLiteral("cancelButton");
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return !seen_.isEmpty(); }, 15000));
        const SeenDialog& seen = seen_.first();
        QCOMPARE(seen.name, QStringLiteral("unknownHostKeyDialog"));
        QCOMPARE(seen.labels.value("host"), QStringLiteral("127.0.0.1"));
        QCOMPARE(seen.labels.value("port"), QString::number(server.port()));
        QCOMPARE(seen.labels.value("bits"), QStringLiteral("1024"));
        QVERIFY2(seen.labels.value("fingerprint").contains(serverSays("--print-fingerprint", 1)),
                 qPrintable(seen.labels.value("fingerprint")));
        QCOMPARE(seen.defaultButton, QStringLiteral("cancelButton"));
        expectIdle();
        QTest::qWait(200);
        QVERIFY(!boxSeen_);  // the reason stays readable on the screen
        QVERIFY(shownSinceStart("Host key not accepted"));
        QVERIFY(shownSinceStart("Disconnected: the server's host key was not accepted."));
        QVERIFY(recordHas(record_, QStringLiteral("VERSION")));
        QVERIFY(!recordHas(record_, QStringLiteral("SESSION_KEY")));
        QVERIFY(!recordHas(record_, QStringLiteral("PASSWORD")));
        QVERIFY(!QFile::exists(store_));
    }

    void connectOnceIsNotRemembered() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        plan_ << QStringLiteral("onceButton");
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(seen_.size(), 1);
        QVERIFY(!QFile::exists(store_));
        disconnectNow();
        // Asked again the next time.
        plan_ << QStringLiteral("cancelButton");
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return seen_.size() == 2; }, 15000));
        expectIdle();
        QVERIFY(!QFile::exists(store_));
        QVERIFY(!boxSeen_);
    }

    void acceptAndRememberFilesTheKeyWithItsPort() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        plan_ << QStringLiteral("acceptButton");
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(seen_.size(), 1);
        // Filed as [host]:port, since the port is not 22, readable by the user alone.
        QCOMPARE(QString::fromLatin1(readFile(store_)),
                 keyLine(QStringLiteral("[127.0.0.1]:%1").arg(server.port()), 1));
        struct stat status {};
        QCOMPARE(::stat(store_.toLocal8Bit().constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        disconnectNow();

        // The second connection asks nothing and logs in.
        QFile::remove(record_);
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(seen_.size(), 1);
        QVERIFY(shownSinceStart("Host key matches the one on record"));
        disconnectNow();
    }

    void openSshKnownHostsIsHonouredReadOnly() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        QVERIFY(QDir(home_->path()).mkpath(QStringLiteral(".ssh")));
        const QString openSsh = home_->path() + QStringLiteral("/.ssh/known_hosts");
        const QByteArray contents =
            "# from ssh1\n" +
            keyLine(QStringLiteral("[127.0.0.1]:%1").arg(server.port()), 1).toLatin1();
        QVERIFY(writeFile(openSsh, contents));
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QVERIFY(seen_.isEmpty());
        QCOMPARE(readFile(openSsh), contents);
        QVERIFY(!QFile::exists(store_));
        disconnectNow();
    }

    void changedKeyWarnsAndReturnRefuses() {
        // On record: the key of seed 1; the server now shows the key of seed 2.
        TestServer server;
        QVERIFY(server.start(testServerPath(),
                             {"--scenario", "echo", "--record", record_, "--host-key-seed", "2"}));
        QVERIFY(QDir().mkpath(QFileInfo(store_).path()));
        const QByteArray stored =
            keyLine(QStringLiteral("[127.0.0.1]:%1").arg(server.port()), 1).toLatin1();
        QVERIFY(writeFile(store_, stored));
        // Return, pressed out of habit, takes the default button.
        action_ = [](QDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Return); };
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return !seen_.isEmpty(); }, 15000));
        const SeenDialog& seen = seen_.first();
        QCOMPARE(seen.name, QStringLiteral("changedHostKeyDialog"));
        QVERIFY(seen.labels.value("oldFingerprint").contains(serverSays("--print-fingerprint", 1)));
        QVERIFY(seen.labels.value("newFingerprint").contains(serverSays("--print-fingerprint", 2)));
        QCOMPARE(seen.defaultButton, QStringLiteral("cancelButton"));
        // Nothing offers to file a key that may be an attacker's.
        QCOMPARE(seen.buttons, (QStringList{"onceButton", "cancelButton"}));
        expectIdle();
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
        QVERIFY(shownSinceStart("This may be an attack"));
        QVERIFY(shownSinceStart("Disconnected: the server's host key was not accepted."));
        QVERIFY(!recordHas(record_, QStringLiteral("SESSION_KEY")));
        QVERIFY(!recordHas(record_, QStringLiteral("PASSWORD")));
        QCOMPARE(readFile(store_), stored);  // never rewritten

        // Connect once goes ahead, and still leaves the file alone.
        plan_ << QStringLiteral("onceButton");
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(seen_.size(), 2);
        QCOMPARE(readFile(store_), stored);
        disconnectNow();
    }

    void disconnectWhileAskingAnswersCancel() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        action_ = [this](QDialog*) { window_->disconnect(); };
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return !seen_.isEmpty(); }, 15000));
        expectIdle();
        QVERIFY(window_->hostKeyDialog() == nullptr);
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
        QVERIFY(!recordHas(record_, QStringLiteral("SESSION_KEY")));
        QVERIFY(!QFile::exists(store_));
    }

    void closeWhileAskingReleasesTheSessionThread() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), {"--scenario", "echo", "--record", record_}));
        action_ = [this](QDialog*) { window_->close(); };
        connectTo(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(waitUntil([&] { return !seen_.isEmpty(); }, 15000));
        QVERIFY(waitForSessionThreads(std::chrono::seconds(5)));
        QTest::qWait(200);
        QVERIFY(!boxSeen_);
        QVERIFY(!recordHas(record_, QStringLiteral("SESSION_KEY")));
    }

    void ipv6LoopbackTypedInTheConnectDialog() {
        TestServer server;
        QVERIFY(server.start(testServerPath(),
                             {"--scenario", "echo", "--record", record_, "--bind", "::1"}));
        plan_ << QStringLiteral("acceptButton");
        // Typed key by key, so the Server field's own checks see every character.
        QString typed;
        QTimer::singleShot(0, this, [&] {
            waitUntil(
                [] {
                    QWidget* modal = QApplication::activeModalWidget();
                    return modal != nullptr && modal->objectName() == "connectDialog";
                },
                10000);
            QWidget* modal = QApplication::activeModalWidget();
            auto* field = modal->findChild<QComboBox*>(QStringLiteral("server"))->lineEdit();
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete);
            QTest::keyClicks(field, QStringLiteral("::1"));
            typed = field->text();
            answerConnectDialogSoon(field->text(), server.port(), QStringLiteral("test"),
                                    QStringLiteral("secret"));
        });
        window_->onCommand(kCmdConnect);
        QCOMPARE(typed, QStringLiteral("::1"));
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(seen_.size(), 1);
        QCOMPARE(seen_.first().labels.value("host"), QStringLiteral("::1"));
        QCOMPARE(QString::fromLatin1(readFile(store_)),
                 keyLine(QStringLiteral("[::1]:%1").arg(server.port()), 1));
        disconnectNow();
    }
};

QTEST_MAIN(HostKeyTest)
#include "host_key_test.moc"
