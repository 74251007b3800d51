// The host-key questions on their own: what each shows and offers, and that every way out
// other than the two "go ahead" buttons means Cancel.
#include "app/dialogs/host_key_dialog.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

constexpr char kOld[] = "1024 a4:24:50:0f:21:2e:23:41:52:58:21:55:71:37:91:c5";
constexpr char kNew[] = "1024 0b:91:74:34:09:2a:b1:7a:54:9c:c6:45:2c:5e:3e:d7";

QString text(QWidget* dialog, const char* name) {
    return child<QLabel>(dialog, name)->text();
}

// Runs `dialog` modally while `work` acts on it; returns the result.
int runWith(QDialog& dialog, std::function<void(QDialog*)> work) {
    whenModal(std::move(work));
    return dialog.exec();
}

QStringList allText(QWidget* dialog) {
    QStringList texts;
    for (QLabel* label : dialog->findChildren<QLabel*>()) texts << label->text();
    return texts;
}

}  // namespace

class HostKeyDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void unknownKeyShowsWhatToCompare() {
        UnknownHostKeyDialog dialog(nullptr, QStringLiteral("b\u00e4r.example"), 2222, 1024,
                                    QString::fromLatin1(kNew));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Unknown Host Key"));
        QCOMPARE(text(&dialog, "host"), QStringLiteral("b\u00e4r.example"));
        QCOMPARE(text(&dialog, "port"), QStringLiteral("2222"));
        QCOMPARE(text(&dialog, "bits"), QStringLiteral("1024"));
        QCOMPARE(text(&dialog, "fingerprint"), QString::fromLatin1(kNew));
        QCOMPARE(child<QPushButton>(&dialog, "acceptButton")->text(),
                 QStringLiteral("Accept and remember"));
        QCOMPARE(child<QPushButton>(&dialog, "onceButton")->text(), QStringLiteral("Connect once"));
        QCOMPARE(child<QPushButton>(&dialog, "cancelButton")->text(), QStringLiteral("Cancel"));
    }

    void unknownKeyAnswers() {
        const struct {
            const char* button;
            int result;
        } cases[] = {{"acceptButton", HostKeyAcceptAndRemember},
                     {"onceButton", HostKeyConnectOnce},
                     {"cancelButton", HostKeyCancel}};
        for (const auto& c : cases) {
            UnknownHostKeyDialog dialog(nullptr, QStringLiteral("h"), 22, 768, QStringLiteral("x"));
            const char* button = c.button;
            QCOMPARE(
                runWith(dialog, [button](QDialog* d) { child<QPushButton>(d, button)->click(); }),
                c.result);
        }
    }

    // Return pressed out of habit, Escape and the close box never trust a key.
    void everyOtherWayOutIsCancel() {
        for (bool changed : {false, true}) {
            for (int way = 0; way < 3; ++way) {
                std::unique_ptr<QDialog> dialog;
                if (changed) {
                    dialog = std::make_unique<ChangedHostKeyDialog>(nullptr, QStringLiteral("h"),
                                                                    22, QString::fromLatin1(kOld),
                                                                    QString::fromLatin1(kNew));
                } else {
                    dialog = std::make_unique<UnknownHostKeyDialog>(nullptr, QStringLiteral("h"),
                                                                    22, 1024, QStringLiteral("x"));
                }
                const int result = runWith(*dialog, [way](QDialog* d) {
                    if (way == 0) QTest::keyClick(d, Qt::Key_Return);
                    if (way == 1) QTest::keyClick(d, Qt::Key_Escape);
                    if (way == 2) d->close();
                });
                QCOMPARE(result, int(HostKeyCancel));
            }
        }
    }

    void changedKeyWarnsOfAnAttack() {
        ChangedHostKeyDialog dialog(nullptr, QStringLiteral("server.example"), 22,
                                    QString::fromLatin1(kOld), QString::fromLatin1(kNew));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("WARNING - Host Key Changed"));
        QCOMPARE(text(&dialog, "oldFingerprint"), QString::fromLatin1(kOld));
        QCOMPARE(text(&dialog, "newFingerprint"), QString::fromLatin1(kNew));
        const QString all = allText(&dialog).join(QLatin1Char('\n'));
        QVERIFY(all.contains(QStringLiteral("server.example")));
        QVERIFY(all.contains(QStringLiteral("THIS MAY BE AN ATTACK")));
        QVERIFY(all.contains(QStringLiteral("impersonating the server to read your password")));
        // Nothing files a key that may be an attacker's.
        QVERIFY(dialog.findChild<QPushButton*>(QStringLiteral("acceptButton")) == nullptr);
        QCOMPARE(runWith(dialog, [](QDialog* d) { child<QPushButton>(d, "onceButton")->click(); }),
                 int(HostKeyConnectOnce));
    }
};

QTEST_MAIN(HostKeyDialogTest)
#include "host_key_dialog_test.moc"
