// The host-key questions on their own: what each shows and offers, and that every way out
// other than the two "go ahead" buttons means Cancel. (The window's own test follows an answer
// from the dialog to the known_hosts file.)
#include "app/dialogs/host_key_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

const QString kOld = "1024 a4:24:50:0f:21:2e:23:41:52:58:21:55:71:37:91:c5";
const QString kNew = "1024 0b:91:74:34:09:2a:b1:7a:54:9c:c6:45:2c:5e:3e:d7";

QString text(QWidget* dialog, const char* name) {
    return child<QLabel>(dialog, name)->text();
}

// The result of the question when the user leaves it by `way`: a button's name, or a key.
int answer(bool changed, const char* way) {
    std::unique_ptr<QDialog> dialog;
    if (changed)
        dialog = std::make_unique<ChangedHostKeyDialog>(nullptr, "h", 22, kOld, kNew);
    else
        dialog = std::make_unique<UnknownHostKeyDialog>(nullptr, "h", 22, 1024, kNew);
    const QString how = way;
    whenModal([how](QDialog* d) {
        if (how == "return")
            QTest::keyClick(d, Qt::Key_Return);
        else if (how == "escape")
            QTest::keyClick(d, Qt::Key_Escape);
        else if (how == "close")
            d->close();
        else
            child<QPushButton>(d, how.toLatin1().constData())->click();
    });
    return dialog->exec();
}

}  // namespace

class HostKeyDialogTest : public QObject {
    Q_OBJECT

  private slots:
    // Only the two "go ahead" buttons go ahead: Return pressed out of habit, Escape and the close
    // box never trust a key.
    void everyWayOut() {
        const struct {
            bool changed;
            const char* way;
            int result;
        } cases[] = {{false, "acceptButton", HostKeyAcceptAndRemember},
                     {false, "onceButton", HostKeyConnectOnce},
                     {false, "cancelButton", HostKeyCancel},
                     {true, "onceButton", HostKeyConnectOnce},
                     {true, "cancelButton", HostKeyCancel}};
        for (const bool changed : {false, true})
            for (const char* way : {"return", "escape", "close"})
                QCOMPARE(answer(changed, way), int(HostKeyCancel));
        for (const auto& c : cases) QCOMPARE(answer(c.changed, c.way), c.result);
    }

    void texts() {
        UnknownHostKeyDialog unknown(nullptr, QString::fromUtf8("b\u00e4r.example"), 2222, 1024,
                                     kNew);
        QCOMPARE(unknown.windowTitle(), QStringLiteral("Unknown Host Key"));
        QCOMPARE(text(&unknown, "host"), QString::fromUtf8("b\u00e4r.example"));
        QStringList buttons;
        for (QPushButton* button : unknown.findChildren<QPushButton*>()) buttons << button->text();
        QCOMPARE(buttons, (QStringList{"Accept and remember", "Connect once", "Cancel"}));
        ChangedHostKeyDialog changed(nullptr, QStringLiteral("server.example"), 22, kOld, kNew);
        QCOMPARE(changed.windowTitle(), QStringLiteral("WARNING - Host Key Changed"));
        QCOMPARE(text(&changed, "oldFingerprint"), QString(kOld));
        QCOMPARE(text(&changed, "newFingerprint"), QString(kNew));
        QStringList all;
        for (QLabel* label : changed.findChildren<QLabel*>()) all << label->text();
        for (const char* warning : {"server.example", "THIS MAY BE AN ATTACK",
                                    "impersonating the server to read your password"})
            QVERIFY2(all.join('\n').contains(warning), warning);
        // Nothing files a key that may be an attacker's.
        QVERIFY(changed.findChild<QPushButton*>("acceptButton") == nullptr);
    }
};

QTEST_MAIN(HostKeyDialogTest)
#include "host_key_dialog_test.moc"
