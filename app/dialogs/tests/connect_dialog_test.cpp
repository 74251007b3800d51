// The Connect dialog against real settings in a temporary folder: what it shows on opening,
// what OK and Cancel hand back and store, the sorted server list and Delete.
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

struct Fields {
    QComboBox* server;
    QLineEdit* port;
    QLineEdit* user;
    QLineEdit* password;
    QPushButton* deleteButton;
};

Fields fieldsOf(QDialog* dialog) {
    return {child<QComboBox>(dialog, "server"), child<QLineEdit>(dialog, "port"),
            child<QLineEdit>(dialog, "user"), child<QLineEdit>(dialog, "password"),
            child<QPushButton>(dialog, "deleteButton")};
}

// Types `text` key by key; unlike QTest::keyClicks this takes characters beyond ASCII.
void type(QLineEdit* field, const QString& text) {
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(field, &press);
    }
}

void retype(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    type(field, text);
}

QStringList entries(const QComboBox* box) {
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
    const int n = key.value("CENumservers").toInt();
    for (int i = 0; i < n; ++i) list << key.value(QString("CEServer%1").arg(i)).toString();
    return list;
}

void clickOk(QDialog* dialog) {
    child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
}

}  // namespace

class ConnectDialogTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;

  private slots:
    void init() { sandbox_.clear(); }

    void firstRunShowsDefaultsAndStoresUserAndPort() {
        ConnectValues values;
        QStringList shown;
        QString user, port, server;
        whenModal([&](QDialog* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("Connect"));
            Fields f = fieldsOf(dialog);
            shown = entries(f.server);
            server = f.server->currentText();
            user = f.user->text();
            port = f.port->text();
            QVERIFY(f.password->text().isEmpty());
            QCOMPARE(f.password->echoMode(), QLineEdit::Password);
            // Already written when the dialog opened, before any button.
            QSettings key = programKey();
            QCOMPARE(key.value("CEUsername").toString(), QString("username"));
            QCOMPARE(key.value("CEServerPort").toString(), QString("22"));
            dialog->reject();
        });
        QCOMPARE(runConnectDialog(nullptr, values), 1);
        QCOMPARE(shown, QStringList{QString()});
        QCOMPARE(server, QString());
        QCOMPARE(user, QString("username"));
        QCOMPARE(port, QString("22"));
        // Cancel with only the empty entry stores an empty list.
        QSettings key = programKey();
        QVERIFY(key.contains("CENumservers"));
        QCOMPARE(key.value("CENumservers").toInt(), 0);
    }

    void okReturnsFieldsAndStoresSortedListWithoutPassword() {
        storeServers({"zeta.example", "alpha.example"});
        programKey().setValue("CEUsername", "carol");
        ConnectValues values;
        QStringList shown;
        QString firstShown, userShown;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            shown = entries(f.server);
            firstShown = f.server->currentText();
            userShown = f.user->text();
            retype(f.server->lineEdit(), "Mid.example");
            retype(f.port, "2222");
            retype(f.user, "bob");
            type(f.password, "s3cr3t-pass");
            clickOk(dialog);
        });
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(shown, (QStringList{"alpha.example", "zeta.example"}));
        QCOMPARE(firstShown, QString("alpha.example"));
        QCOMPARE(userShown, QString("carol"));

        QCOMPARE(QByteArray(values.host), QByteArray("Mid.example"));
        QCOMPARE(QByteArray(values.port), QByteArray("2222"));
        QCOMPARE(QByteArray(values.user), QByteArray("bob"));
        QCOMPARE(QByteArray(values.password), QByteArray("s3cr3t-pass"));

        QCOMPARE(storedServers(), (QStringList{"alpha.example", "Mid.example", "zeta.example"}));
        QSettings key = programKey();
        QCOMPARE(key.value("CEUsername").toString(), QString("bob"));
        QCOMPARE(key.value("CEServerPort").toString(), QString("2222"));
        QCOMPARE(key.value("CENumservers").typeId(), QMetaType::Int);
        QCOMPARE(key.value("CEServerPort").typeId(), QMetaType::QString);
        QVERIFY(!sandbox_.fileContents().contains("s3cr3t"));
    }

    void keyFilePortAndUserAreRememberedPerServerAndMethodsForAll() {
        storeServers({"a.example", "b.example"});
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            auto* keyFile = child<QLineEdit>(dialog, "keyFile");
            QVERIFY(keyFile->text().isEmpty());
            for (const char* box : {"rsaLogin", "challengeLogin", "passwordLogin"})
                QVERIFY(child<QCheckBox>(dialog, box)->isChecked());
            retype(keyFile, "/home/u/.ssh/identity");
            retype(fieldsOf(dialog).port, "2222");
            retype(fieldsOf(dialog).user, "alice");
            child<QCheckBox>(dialog, "challengeLogin")->setChecked(false);
            clickOk(dialog);
        });
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(values.keyFile, std::string("/home/u/.ssh/identity"));
        QVERIFY(values.rsaLogin && !values.challengeLogin && values.passwordLogin);

        QString first, second, firstAgain, portAgain, userAgain;
        bool challenge = true;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            auto* keyFile = child<QLineEdit>(dialog, "keyFile");
            first = keyFile->text();
            challenge = child<QCheckBox>(dialog, "challengeLogin")->isChecked();
            retype(f.port, "1");
            retype(f.user, "mallory");
            retype(f.server->lineEdit(), "B.EXAMPLE");
            second = keyFile->text();
            f.server->setCurrentIndex(0);
            firstAgain = keyFile->text();
            portAgain = f.port->text();
            userAgain = f.user->text();
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        QCOMPARE(runConnectDialog(nullptr, values), 1);
        QCOMPARE(first, QString("/home/u/.ssh/identity"));
        QCOMPARE(second, QString());
        QCOMPARE(firstAgain, QString("/home/u/.ssh/identity"));
        QCOMPARE(portAgain, QString("2222"));  // the server brings its own back
        QCOMPARE(userAgain, QString("alice"));
        QVERIFY(!challenge);
    }

    void cancelKeepsValuesButSavesTypedServer() {
        storeServers({"b.example"});
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            retype(f.server->lineEdit(), "a.example");
            retype(f.user, "mallory");
            type(f.password, "pw");
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        QCOMPARE(runConnectDialog(nullptr, values), 1);
        QCOMPARE(QByteArray(values.host), QByteArray(" "));
        QCOMPARE(QByteArray(values.user), QByteArray("username"));
        QCOMPARE(values.password[0], '\0');
        QCOMPARE(storedServers(), (QStringList{"a.example", "b.example"}));
        // The user name is stored only by OK.
        QCOMPARE(programKey().value("CEUsername").toString(), QString("username"));
    }

    void serverDifferingOnlyInCaseIsNotAddedTwice() {
        storeServers({"Alpha.example", "beta.example"});
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            QLineEdit* server = fieldsOf(dialog).server->lineEdit();
            retype(server, "ALPHA.EXAMPLE");
            QTest::keyClick(server, Qt::Key_Return);  // Return in the field means OK
        });
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(QByteArray(values.host), QByteArray("ALPHA.EXAMPLE"));
        QCOMPARE(storedServers(), (QStringList{"Alpha.example", "beta.example"}));
    }

    void deleteRemovesNamedEntryAndSavesAtOnce() {
        storeServers({"gamma.example", "alpha.example", "beta.example"});
        QStringList afterDelete, afterMiss, storedAfterDelete;
        QString shownAfterDelete;
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            retype(f.server->lineEdit(), "BETA.example");
            f.deleteButton->click();
            afterDelete = entries(f.server);
            shownAfterDelete = f.server->currentText();
            storedAfterDelete = storedServers();
            retype(f.server->lineEdit(), "nothere.example");
            f.deleteButton->click();
            afterMiss = entries(f.server);
            dialog->reject();
        });
        runConnectDialog(nullptr, values);
        QCOMPARE(afterDelete, (QStringList{"alpha.example", "gamma.example"}));
        QCOMPARE(shownAfterDelete, QString("gamma.example"));  // the next in sorted order
        QCOMPARE(storedAfterDelete, (QStringList{"alpha.example", "gamma.example"}));
        QCOMPARE(afterMiss, afterDelete);
    }

    void deletingTheOnlyEntryEmptiesTheStoredList() {
        storeServers({"solo.example"});
        ConnectValues values;
        QString shown;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            f.deleteButton->click();
            shown = f.server->currentText();
            dialog->reject();
        });
        runConnectDialog(nullptr, values);
        QCOMPARE(shown, QString());
        QCOMPARE(storedServers(), QStringList());
    }

    void overlongOrDamagedStoredValuesCountAsMissing() {
        const QString longName(80, QChar('x'));
        {
            QSettings key = programKey();
            // A damaged count must not make the dialog read for minutes.
            key.setValue("CENumservers", 2000000000);
            key.setValue("CEServer0", longName);
            key.setValue("CEServer1", "ok.example");
            key.setValue("CEServer2", "");
            key.setValue("CEUsername", longName);
        }
        ConnectValues values;
        std::strcpy(values.user, "dave");
        QStringList shown;
        QString user;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            shown = entries(f.server);
            user = f.user->text();
            dialog->reject();
        });
        QElapsedTimer clock;
        clock.start();
        runConnectDialog(nullptr, values);
        QVERIFY(clock.elapsed() < 20000);
        QCOMPARE(shown, QStringList{"ok.example"});
        QCOMPARE(user, QString("dave"));
        QCOMPARE(programKey().value("CEUsername").toString(), QString("dave"));
    }

    void ownerDestroyedWhileOpenCountsAsCancel() {
        auto* owner = new QWidget;
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            type(fieldsOf(dialog).password, "secret");
            delete owner;
        });
        QCOMPARE(runConnectDialog(owner, values), 1);
        QCOMPARE(values.password[0], '\0');
    }

    void fieldsTakeOnlyWhatTheWireCarries() {
        ConnectValues values;
        whenModal([&](QDialog* dialog) {
            Fields f = fieldsOf(dialog);
            retype(f.server->lineEdit(), QString(100, QChar('h')));
            retype(f.port, "12a345678");
            retype(f.user, QString::fromUtf8("J\u00fcrgen\u20ac\u0436"));
            type(f.password, QString(25, QChar('p')));
            clickOk(dialog);
        });
        QCOMPARE(runConnectDialog(nullptr, values), 0);
        QCOMPARE(QByteArray(values.host), QByteArray(79, 'h'));
        QCOMPARE(QByteArray(values.port), QByteArray("12345"));
        // Windows-1252: u-umlaut is 0xFC, the euro sign 0x80; Cyrillic has no byte and was refused.
        QCOMPARE(QByteArray(values.user), QByteArray("J\xfcrgen\x80"));
        QCOMPARE(QByteArray(values.password), QByteArray(19, 'p'));
        ConnectValues second;
        std::strcpy(second.password, "an-older-password");
        whenModal([&](QDialog* dialog) {
            type(fieldsOf(dialog).password, "new");
            clickOk(dialog);
        });
        QCOMPARE(runConnectDialog(nullptr, second), 0);
        // Nothing of the older password is left behind the terminator.
        QCOMPARE(QByteArray(second.password, sizeof second.password),
                 QByteArray("new") + QByteArray(17, '\0'));
        wipePassword(values);
        QCOMPARE(QByteArray(values.password, sizeof values.password), QByteArray(20, '\0'));
    }
};

QTEST_MAIN(ConnectDialogTest)
#include "connect_dialog_test.moc"
