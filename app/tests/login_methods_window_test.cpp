// The login methods as the window does them, against the project's test server: a key file
// remembered for the server with its passphrase asked in a dialog (a wrong one asked again), a
// TIS challenge answered in a dialog, and a passphrase dialog cancelled, which falls back to the
// password.
#include <sys/stat.h>

#include <QDialog>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/main_window.h"
#include "app/session_link.h"
#include "window_driver.h"

using namespace corvid1;

namespace {

QByteArray keyData(const char* name) {
    QFile file(QStringLiteral(KEY_DATA_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool recordHas(const QString& path, const QString& prefix) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    for (const QString& line : QString::fromLatin1(file.readAll()).split(QLatin1Char('\n')))
        if (line.startsWith(prefix)) return true;
    return false;
}

}  // namespace

class LoginMethodsWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir settingsDir_;
    QTemporaryDir home_;
    std::unique_ptr<MainWindow> window_;
    QString record_;
    // Answers for the login dialogs, in order; an empty answer cancels. What each showed.
    QStringList answers_;
    QStringList shown_;
    QTimer guard_;

    void onGuard() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        if (qobject_cast<QMessageBox*>(dialog) != nullptr) {
            dialog->accept();
            return;
        }
        const QString name = dialog->objectName();
        if (name == QLatin1String("unknownHostKeyDialog")) {
            dialog->findChild<QPushButton*>(QStringLiteral("onceButton"))->click();
            return;
        }
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (input == nullptr) return;
        shown_ << name + QLatin1Char(' ') + input->labelText();
        const QString answer = answers_.isEmpty() ? QString() : answers_.takeFirst();
        if (answer.isEmpty()) {
            input->reject();
        } else {
            input->setTextValue(answer);
            input->accept();
        }
    }

    void connectTo(int port) {
        answerConnectDialogSoon(QStringLiteral("127.0.0.1"), port, QStringLiteral("test"),
                                QStringLiteral("secret"));
        window_->onCommand(kCmdConnect);
    }
    bool loggedIn() { return recordHas(record_, QStringLiteral("EXEC_SHELL")); }
    void disconnectNow() {
        window_->onCommand(kCmdConnect);
        QVERIFY(waitUntil([] { return runningSessionThreads() == 0; }, 10000));
    }
    QStringList serverWithKeys(const QStringList& more) {
        const QString authorized = home_.filePath(QStringLiteral("authorized"));
        QFile file(authorized);
        file.open(QIODevice::WriteOnly);
        file.write(keyData("secret.pub"));
        file.close();
        return QStringList{"--scenario",        "echo",    "--record", record_,
                           "--authorized-keys", authorized} +
               more;
    }

  private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        qputenv("XDG_DATA_HOME", settingsDir_.path().toLocal8Bit());
        qputenv("HOME", home_.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home_.path() + QStringLiteral("/config")).toLocal8Bit());
        record_ = home_.filePath(QStringLiteral("server.record"));
        const QString key = home_.filePath(QStringLiteral("secret.key"));
        QFile file(key);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(keyData("secret.key"));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        // The key file as the Connect dialog remembers it for the server.
        QSettings("Kelm Software", "Corvid1").setValue("CEKeyFile/127.0.0.1", key);
        connect(&guard_, &QTimer::timeout, this, [this] { onGuard(); });
        guard_.start(20);
    }
    void init() {
        QFile::remove(record_);
        answers_.clear();
        shown_.clear();
        window_ = startUp(false);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanup() {
        window_->close();
        window_.reset();
        QVERIFY(waitForSessionThreads(std::chrono::seconds(5)));
    }

    void passphraseAskedAgainAfterAWrongOne() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), serverWithKeys({"--no-password"})));
        answers_ << QStringLiteral("wrong") << QStringLiteral("correct horse");
        connectTo(server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(shown_, (QStringList{"passphraseDialog Passphrase for 'secret test key':",
                                      "passphraseDialog Wrong passphrase. Passphrase for "
                                      "'secret test key':"}));
        QVERIFY(recordHas(record_, QStringLiteral("RSA response right")));
        disconnectNow();
    }

    void cancelledPassphraseFallsBackToThePassword() {
        TestServer server;
        QVERIFY(server.start(testServerPath(), serverWithKeys({})));
        connectTo(server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(shown_.size(), 1);
        QVERIFY(recordHas(record_, QStringLiteral("PASSWORD secret")));
        disconnectNow();
    }

    void tisChallengeAnsweredInADialog() {
        TestServer server;
        QVERIFY(server.start(testServerPath(),
                             {"--scenario", "echo", "--record", record_, "--no-password",
                              "--tis-challenge", "Code 42", "--tis-response", "0815"}));
        answers_ << QStringLiteral("0815");
        connectTo(server.port());
        QVERIFY(waitUntil([&] { return loggedIn(); }, 15000));
        QCOMPARE(shown_, QStringList{"challengeDialog Code 42"});
        disconnectNow();
    }
};

QTEST_MAIN(LoginMethodsWindowTest)
#include "login_methods_window_test.moc"
