// The Connect dialog against real settings in a temporary folder: what it shows, what OK and
// Cancel hand back and store, the sorted server list with Delete, the values each server brings
// back, and what the fields let through.
#include "app/dialogs/connect_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

// Types `text` key by key; unlike QTest::keyClicks this takes characters beyond ASCII.
void retype(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(field, &press);
    }
}
QLineEdit* field(QDialog* dialog, const char* name) {
    return std::strcmp(name, "server") == 0 ? child<QComboBox>(dialog, "server")->lineEdit()
                                            : child<QLineEdit>(dialog, name);
}
QStringList entries(QDialog* dialog) {
    auto* box = child<QComboBox>(dialog, "server");
    QStringList list;
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list;
}
void storeServers(const QStringList& servers) {
    QSettings key = programKey();
    key.setValue("CENumservers", int(servers.size()));
    for (int i = 0; i < servers.size(); ++i) key.setValue(QString("CEServer%1").arg(i), servers[i]);
}
QStringList storedServers() {
    QSettings key = programKey();
    QStringList list;
    for (int i = 0; i < key.value("CENumservers").toInt(); ++i)
        list << key.value(QString("CEServer%1").arg(i)).toString();
    return list;
}
// "server|port|user" as the dialog shows them.
QString shown(QDialog* dialog) {
    return field(dialog, "server")->text() + "|" + field(dialog, "port")->text() + "|" +
           field(dialog, "user")->text();
}

}  // namespace

class ConnectDialogTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;

  private slots:
    void init() { sandbox_.clear(); }

    // What the user does to the server list, and what the dialog returns and stores. Lists are
    // written as words; Delete is followed by Cancel.
    void theServerList() {
        enum Ending { Ok, ReturnKey, Escape, Delete };
        const struct {
            const char *stored, *typed;  // typed into the server field; nullptr leaves it
            Ending ending;
            int result;
            const char *shownFirst, *storedAfter, *shownAfterDelete, *storedAtDelete;
        } cases[] = {
            {"", nullptr, Escape, 1, "", "", "", ""},  // first run: Cancel stores an empty list
            {"zeta alpha", "Mid", Ok, 0, "alpha zeta", "alpha Mid zeta", "", ""},
            {"b", "a", Escape, 1, "b", "a b", "", ""},
            {"Alpha beta", "ALPHA", ReturnKey, 0, "Alpha beta", "Alpha beta", "", ""},
            {"gamma alpha beta", "BETA", Delete, 1, "alpha beta gamma", "alpha gamma", "gamma",
             "alpha gamma"},
            {"a", "nothere", Delete, 1, "a", "a nothere", "nothere", "a"},
            {"solo", nullptr, Delete, 1, "solo", "", "", ""},
        };
        for (const auto& c : cases) {
            sandbox_.clear();
            storeServers(QString(c.stored).split(' ', Qt::SkipEmptyParts));
            QString first, afterDelete, storedAtDelete;
            whenModal([&](QDialog* dialog) {
                first = entries(dialog).join(' ');
                if (c.typed) retype(field(dialog, "server"), c.typed);
                if (c.ending == Delete) {
                    child<QPushButton>(dialog, "deleteButton")->click();
                    afterDelete = field(dialog, "server")->text();
                    storedAtDelete = storedServers().join(' ');
                }
                if (c.ending == Ok) dialog->accept();
                if (c.ending == ReturnKey) QTest::keyClick(field(dialog, "server"), Qt::Key_Return);
                if (c.ending >= Escape) QTest::keyClick(dialog, Qt::Key_Escape);
            });
            ConnectValues values;
            QCOMPARE(runConnectDialog(nullptr, values), c.result);
            QCOMPARE(first, QString(c.shownFirst));
            QCOMPARE(afterDelete, QString(c.shownAfterDelete));
            QCOMPARE(storedAtDelete, QString(c.storedAtDelete));
            QCOMPARE(storedServers().join(' '), QString(c.storedAfter));
            QCOMPARE(QByteArray(values.host),
                     c.result == 0 ? QByteArray(c.typed) : QByteArray(" "));
        }
    }

    // OK hands back and stores the fields, never the password; Cancel keeps the old values and
    // stores no user name. Older settings, which hold no values per server, still load.
    void okAndCancelWithTheFieldsValues() {
        storeServers({"b.example", "a.example"});
        programKey().setValue("CEUsername", "carol");  // as older versions left it
        for (const bool ok : {false, true}) {
            QString before;
            whenModal([&](QDialog* dialog) {
                before = shown(dialog);
                retype(field(dialog, "port"), "2222");
                retype(field(dialog, "user"), "bob");
                retype(field(dialog, "password"), "s3cr3t-pass");
                QCOMPARE(field(dialog, "password")->echoMode(), QLineEdit::Password);
                if (ok)
                    QTest::keyClick(field(dialog, "user"), Qt::Key_Return);
                else
                    dialog->reject();
            });
            ConnectValues values;
            QCOMPARE(runConnectDialog(nullptr, values), ok ? 0 : 1);
            QCOMPARE(before, QStringLiteral("a.example|22|carol"));
            QCOMPARE(QByteArray(values.port), QByteArray(ok ? "2222" : "22"));
            QCOMPARE(QByteArray(values.user), QByteArray(ok ? "bob" : "username"));
            QCOMPARE(QByteArray(values.password), QByteArray(ok ? "s3cr3t-pass" : ""));
            if (!ok) QCOMPARE(programKey().value("CEUsername").toString(), QStringLiteral("carol"));
        }
        QSettings key = programKey();
        QCOMPARE(key.value("CEUsername").toString(), QStringLiteral("bob"));
        QCOMPARE(key.value("CEServerPort").typeId(), QMetaType::QString);
        QCOMPARE(key.value("CENumservers").typeId(), QMetaType::Int);
        QVERIFY(!sandbox_.fileContents().contains("s3cr3t"));
    }

    // Port, user name and key file come back with their server; the login methods are for all.
    void eachServerBringsBackItsOwnValues() {
        storeServers({"a.example", "b.example"});
        whenModal([&](QDialog* dialog) {
            retype(field(dialog, "keyFile"), "/home/u/.ssh/identity");
            retype(field(dialog, "port"), "2222");
            retype(field(dialog, "user"), "alice");
            child<QCheckBox>(dialog, "challengeLogin")->setChecked(false);
            dialog->accept();
        });
        ConnectValues values;
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(values.keyFile, std::string("/home/u/.ssh/identity"));
        QVERIFY(values.rsaLogin && !values.challengeLogin && values.passwordLogin);
        QStringList seen;
        whenModal([&](QDialog* dialog) {
            seen << shown(dialog) + "|" + field(dialog, "keyFile")->text();
            retype(field(dialog, "port"), "1");
            retype(field(dialog, "user"), "mallory");
            retype(field(dialog, "server"), "B.EXAMPLE");
            seen << shown(dialog) + "|" + field(dialog, "keyFile")->text();
            child<QComboBox>(dialog, "server")->setCurrentIndex(0);
            seen << shown(dialog) + "|" + field(dialog, "keyFile")->text();
            QVERIFY(!child<QCheckBox>(dialog, "challengeLogin")->isChecked());
            dialog->reject();
        });
        QCOMPARE(runConnectDialog(nullptr, values), 1);
        QCOMPARE(seen,
                 (QStringList{"a.example|2222|alice|/home/u/.ssh/identity", "B.EXAMPLE|1|mallory|",
                              "a.example|2222|alice|/home/u/.ssh/identity"}));
    }

    void damagedStoredValuesCountAsMissing() {
        const QString longName(80, QChar('x'));
        {
            QSettings key = programKey();
            key.setValue("CENumservers", 2000000000);  // must not make the dialog read for minutes
            key.setValue("CEServer0", longName);
            key.setValue("CEServer1", "ok.example");
            key.setValue("CEServer2", "");
            key.setValue("CEUsername", longName);
        }
        ConnectValues values;
        std::strcpy(values.user, "dave");
        QStringList list;
        QString user;
        whenModal([&](QDialog* dialog) {
            list = entries(dialog);
            user = field(dialog, "user")->text();
            dialog->reject();
        });
        QElapsedTimer clock;
        clock.start();
        runConnectDialog(nullptr, values);
        QVERIFY(clock.elapsed() < 20000);
        QCOMPARE(list, QStringList{"ok.example"});
        QCOMPARE(user, QStringLiteral("dave"));
        QCOMPARE(programKey().value("CEUsername").toString(), QStringLiteral("dave"));
    }

    // The fields take only what the wire carries, and no password is left behind.
    void fieldsTakeOnlyWhatTheWireCarries() {
        whenModal([&](QDialog* dialog) {
            retype(field(dialog, "server"), QString(100, QChar('h')));
            retype(field(dialog, "port"), "12a345678");
            retype(field(dialog, "user"), QString::fromUtf8("J\u00fcrgen\u20ac\u0436"));
            retype(field(dialog, "password"), QString(25, QChar('p')));
            dialog->accept();
        });
        ConnectValues values;
        std::strcpy(values.password, "an-older-password");
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(QByteArray(values.host), QByteArray(79, 'h'));
        QCOMPARE(QByteArray(values.port), QByteArray("12345"));
        // Windows-1252: u-umlaut is 0xFC, the euro sign 0x80; Cyrillic has no byte: refused.
        QCOMPARE(QByteArray(values.user), QByteArray("J\xfcrgen\x80"));
        QCOMPARE(QByteArray(values.password, sizeof values.password), QByteArray(19, 'p') + '\0');
        whenModal([&](QDialog* dialog) {
            retype(field(dialog, "password"), "new");
            dialog->accept();
        });
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(QByteArray(values.password, sizeof values.password),
                 QByteArray("new") + QByteArray(17, '\0'));
        wipePassword(values);
        QCOMPARE(QByteArray(values.password, sizeof values.password), QByteArray(20, '\0'));
        // An owner that goes away while the dialog is open: Cancel, and the password wiped.
        auto* owner = new QWidget;
        whenModal([&](QDialog* dialog) {
            retype(field(dialog, "password"), "secret");
            delete owner;
        });
        QCOMPARE(runConnectDialog(owner, values), 1);
        QCOMPARE(values.password[0], '\0');
    }
};

QTEST_MAIN(ConnectDialogTest)
#include "connect_dialog_test.moc"
