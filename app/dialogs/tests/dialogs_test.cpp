// The dialogs against real settings in a temporary folder, and the Windows-1252 conversion.
#include <QtTest>
#include <QtWidgets>
#include <cstring>

#include "app/dialogs/code_page.h"
#include "app/dialogs/connect_dialog.h"
#include "app/dialogs/font_dialog.h"
#include "app/dialogs/host_key_dialog.h"
#include "app/dialogs/preferences.h"
#include "app/dialogs/terminal_settings_dialog.h"
#include "app/dialogs/tunnels_dialog.h"

using namespace corvid1;

namespace {

QSettings programKey() {
    return QSettings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
}

// Runs `work` on the modal dialog once it is up; `work` ends it.
void whenModal(std::function<void(QDialog*)> work) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, work] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        poll->deleteLater();
        poll->stop();
        work(dialog);
    });
    poll->start(10);
}

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found) qFatal("no child named %s", name);
    return found;
}
QLineEdit* field(QDialog* dialog, const char* name) {
    return std::strcmp(name, "server") == 0 ? child<QComboBox>(dialog, "server")->lineEdit()
                                            : child<QLineEdit>(dialog, name);
}
// Types `text` key by key; unlike QTest::keyClicks this takes characters beyond ASCII.
void retype(QDialog* dialog, const char* name, const QString& text) {
    QLineEdit* line = field(dialog, name);
    line->selectAll();
    QTest::keyClick(line, Qt::Key_Delete);
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(line, &press);
    }
}
void press(QDialog* dialog, QDialogButtonBox::StandardButton which) {
    child<QDialogButtonBox>(dialog, "buttonBox")->button(which)->click();
}
// The server list as words, in the box and in the settings.
QString entries(QDialog* dialog) {
    auto* box = child<QComboBox>(dialog, "server");
    QStringList list;
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list.join(' ');
}
void storeServers(const QString& words) {
    const QStringList servers = words.split(' ', Qt::SkipEmptyParts);
    QSettings key = programKey();
    key.setValue("CENumservers", int(servers.size()));
    for (int i = 0; i < servers.size(); ++i) key.setValue(QString("CEServer%1").arg(i), servers[i]);
}
QString storedServers() {
    QSettings key = programKey();
    QStringList list;
    for (int i = 0; i < key.value("CENumservers").toInt(); ++i)
        list << key.value(QString("CEServer%1").arg(i)).toString();
    return list.join(' ');
}
// "server|port|user|key file" as the dialog shows them.
QString shown(QDialog* dialog) {
    QStringList values;
    for (const char* name : {"server", "port", "user", "keyFile"})
        values << field(dialog, name)->text();
    return values.join('|');
}
QByteArray bytes(const char* array, std::size_t size) {
    return QByteArray(array, qsizetype(size));
}

const QString kOld = "1024 a4:24:50:0f:21:2e:23:41:52:58:21:55:71:37:91:c5";
const QString kNew = "1024 0b:91:74:34:09:2a:b1:7a:54:9c:c6:45:2c:5e:3e:d7";

// The result of the question when the user leaves it by `way`: a button's name, or a key.
int answer(bool changed, const QString& way) {
    std::unique_ptr<QDialog> dialog;
    if (changed)
        dialog = std::make_unique<ChangedHostKeyDialog>(nullptr, "h", 22, kOld, kNew);
    else
        dialog = std::make_unique<UnknownHostKeyDialog>(nullptr, "h", 22, 1024, kNew);
    whenModal([way](QDialog* d) {
        if (way == "return" || way == "escape")
            QTest::keyClick(d, way == "return" ? Qt::Key_Return : Qt::Key_Escape);
        else if (way == "close")
            d->close();
        else
            child<QPushButton>(d, way.toLatin1().constData())->click();
    });
    return dialog->exec();
}

TerminalFont storedFont() {
    TerminalFont font;
    if (!loadFontSettings(font.face, font.height, font.weight)) return {};
    return font;
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QWidget window_;

  private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
    }
    void init() {
        programKey().clear();
        terminalFont = defaultTerminalFont();
        vt52Mode = 0;
        showColours = fitWindowToColumns = true;
        remoteCharsetChoice = 0;
    }

    // Lists are written as words; Delete is followed by Cancel.
    void theServerList() {
        enum Ending { Ok, ReturnKey, Escape, Delete };
        const struct {
            const char *stored, *typed;  // typed into the server field; nullptr leaves it
            Ending ending;               // Ok and Return give 0, the others 1
            const char *shownFirst, *storedAfter, *shownAfterDelete, *storedAtDelete;
        } cases[] = {
            {"", nullptr, Escape, "", "", "", ""},  // first run: Cancel stores an empty list
            {"zeta alpha", "Mid", Ok, "alpha zeta", "alpha Mid zeta", "", ""},
            {"b", "a", Escape, "b", "a b", "", ""},
            {"Alpha beta", "ALPHA", ReturnKey, "Alpha beta", "Alpha beta", "", ""},
            {"gamma alpha beta", "BETA", Delete, "alpha beta gamma", "alpha gamma", "gamma",
             "alpha gamma"},
            {"a", "nothere", Delete, "a", "a nothere", "nothere", "a"},
            {"solo", nullptr, Delete, "solo", "", "", ""},
        };
        for (const auto& c : cases) {
            programKey().clear();
            storeServers(c.stored);
            QString first, afterDelete, storedAtDelete;
            whenModal([&](QDialog* dialog) {
                first = entries(dialog);
                if (c.typed) retype(dialog, "server", c.typed);
                if (c.ending == Delete) {
                    child<QPushButton>(dialog, "deleteButton")->click();
                    afterDelete = field(dialog, "server")->text();
                    storedAtDelete = storedServers();
                }
                if (c.ending == Ok) dialog->accept();
                if (c.ending == ReturnKey) QTest::keyClick(field(dialog, "server"), Qt::Key_Return);
                if (c.ending >= Escape) QTest::keyClick(dialog, Qt::Key_Escape);
            });
            ConnectValues values;
            QCOMPARE(runConnectDialog(nullptr, values), c.ending <= ReturnKey ? 0 : 1);
            QCOMPARE(
                QStringList({first, afterDelete, storedAtDelete, storedServers()}),
                QStringList({c.shownFirst, c.shownAfterDelete, c.storedAtDelete, c.storedAfter}));
            QCOMPARE(QByteArray(values.host), c.ending <= ReturnKey ? QByteArray(c.typed) : " ");
        }
    }

    // Port, user name and key file are kept per server, never the password; Cancel keeps all.
    void okCancelAndEachServersOwnValues() {
        storeServers("b.example a.example");
        programKey().setValue("CEUsername", "carol");
        QStringList seen;
        for (const bool ok : {false, true}) {
            whenModal([&](QDialog* dialog) {
                seen << shown(dialog);
                retype(dialog, "server", "A.EXAMPLE");  // names differing in case are one server
                retype(dialog, "keyFile", "/id");
                retype(dialog, "port", "2222");
                retype(dialog, "user", "bob");
                retype(dialog, "password", "s3cr3t-pass");
                child<QCheckBox>(dialog, "challengeLogin")->setChecked(false);
                QCOMPARE(field(dialog, "password")->echoMode(), QLineEdit::Password);
                ok ? QTest::keyClick(field(dialog, "user"), Qt::Key_Return) : dialog->reject();
            });
            ConnectValues v;
            QCOMPARE(runConnectDialog(nullptr, v), ok ? 0 : 1);
            seen << QString("%1|%2|%3|%4|%5%6%7 %8")
                        .arg(v.port, v.user, v.password, QString::fromStdString(v.keyFile))
                        .arg(v.rsaLogin)
                        .arg(v.challengeLogin)
                        .arg(v.passwordLogin)
                        .arg(programKey().value("CEUsername").toString());
        }
        whenModal([&](QDialog* dialog) {
            seen << shown(dialog);
            retype(dialog, "port", "1");
            retype(dialog, "user", "mallory");
            retype(dialog, "server", "B.EXAMPLE");
            seen << shown(dialog);
            child<QComboBox>(dialog, "server")->setCurrentIndex(0);
            seen << shown(dialog) +
                        (child<QCheckBox>(dialog, "challengeLogin")->isChecked() ? "+" : "");
            dialog->reject();
        });
        ConnectValues values;
        runConnectDialog(nullptr, values);
        QCOMPARE(seen, (QStringList{"a.example|22|carol|", "22|username|||111 carol",
                                    "a.example|22|carol|", "2222|bob|s3cr3t-pass|/id|101 bob",
                                    "a.example|2222|bob|/id", "B.EXAMPLE|1|mallory|",
                                    "a.example|2222|bob|/id"}));
        QSettings key = programKey();
        QCOMPARE(key.value("CEServerPort").typeId(), QMetaType::QString);
        QCOMPARE(key.value("CENumservers").typeId(), QMetaType::Int);
        key.sync();
        QFile file(key.fileName());
        QVERIFY(file.open(QIODevice::ReadOnly) && !file.readAll().contains("s3cr3t"));
    }

    // A huge server count must not make the dialog read for minutes (the time limit catches it).
    void damagedStoredValuesCountAsMissing() {
        const QString longName(80, QChar('x'));
        QSettings key = programKey();
        key.setValue("CENumservers", 2000000000);
        key.setValue("CEServer0", longName);
        key.setValue("CEServer1", "ok.example");
        key.setValue("CEUsername", longName);
        ConnectValues values;
        std::strcpy(values.user, "dave");
        QString seen;
        whenModal([&](QDialog* dialog) {
            seen = entries(dialog) + "|" + field(dialog, "user")->text();
            dialog->reject();
        });
        runConnectDialog(nullptr, values);
        QCOMPARE(seen, QStringLiteral("ok.example|dave"));
        QCOMPARE(programKey().value("CEUsername").toString(), QStringLiteral("dave"));
    }

    void fieldsTakeOnlyWhatTheWireCarries() {
        ConnectValues values;
        std::strcpy(values.password, "an-older-password");
        const struct {
            const char* password;
            QByteArray stored;
        } passwords[] = {{"ppppppppppppppppppppppppp", QByteArray(19, 'p') + '\0'},
                         {"new", QByteArray("new") + QByteArray(17, '\0')}};
        for (const auto& p : passwords) {
            whenModal([&](QDialog* dialog) {
                retype(dialog, "server", QString(100, QChar('h')));
                retype(dialog, "port", "12a345678");
                retype(dialog, "user", QString::fromUtf8("J\u00fcrgen\u20ac\u0436"));
                retype(dialog, "password", p.password);
                dialog->accept();
            });
            QCOMPARE(runConnectDialog(nullptr, values), 0);
            QCOMPARE(bytes(values.password, sizeof values.password), p.stored);
        }
        // Windows-1252: u-umlaut is 0xFC, the euro sign 0x80; Cyrillic has no byte: refused.
        QCOMPARE(QList<QByteArray>({values.host, values.port, values.user}),
                 QList<QByteArray>({QByteArray(79, 'h'), "12345", "J\xfcrgen\x80"}));
        wipePassword(values);
        QCOMPARE(bytes(values.password, sizeof values.password), QByteArray(20, '\0'));
        // An owner that goes away while the dialog is open: Cancel, and the password wiped.
        auto* owner = new QWidget;
        whenModal([&](QDialog* dialog) {
            retype(dialog, "password", "secret");
            delete owner;
        });
        QCOMPARE(runConnectDialog(owner, values), 1);
        QCOMPARE(values.password[0], '\0');
    }

    void tunnelsAreKeptPerServerAndBadValuesAreSkipped() {
        const std::vector<PortForward> forwards{*parsePortForward("[::1]:8080:db:5432", false),
                                                *parsePortForward("9000:localhost:22", true)};
        saveTunnels("Gate.Example", {forwards, true});
        const TunnelSettings back = loadTunnels(" gate.example");
        QVERIFY(back.forwards == forwards && back.x11);
        QVERIFY(loadTunnels("other.example").forwards.empty() && !loadTunnels("other").x11);
        // Hand-edited or damaged settings: what does not parse is left out.
        const QString name = "CETunnels/" + QString::fromLatin1(QByteArray("gate.example").toHex());
        programKey().setValue(name, "L80 X1:a:2 R1.2.3.4:1:a:2 L1:a:2");
        QCOMPARE(loadTunnels("gate.example").forwards.size(), std::size_t{1});
    }

    // Add refuses a bad rule and keeps it for correcting; Remove, X11; saved on OK only.
    void addRemoveAndX11AreSavedOnOkOnly() {
        for (const bool ok : {false, true}) {
            QStringList listed;
            whenModal([&](QDialog* dialog) {
                auto* list = child<QListWidget>(dialog, "forwards");
                auto* rule = child<QLineEdit>(dialog, "rule");
                auto add = [&](const char* text) {
                    rule->setText(text);
                    child<QPushButton>(dialog, "addButton")->click();
                    listed << QString("%1 %2").arg(list->count()).arg(rule->text());
                };
                add("8080:db:5432");
                child<QComboBox>(dialog, "kind")->setCurrentIndex(1);  // Remote
                add("1.2.3.4:9000:localhost:22");  // -R takes no bind address: kept to correct
                add("9000:localhost:22");
                list->setCurrentRow(0);
                child<QPushButton>(dialog, "removeButton")->click();
                listed << list->item(0)->text();
                child<QCheckBox>(dialog, "x11")->setChecked(true);
                press(dialog, ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel);
            });
            QCOMPARE(runTunnelsDialog(nullptr, "gate"), ok ? 0 : 1);
            QCOMPARE(listed, (QStringList{"1 ", "1 1.2.3.4:9000:localhost:22", "2 ",
                                          "Remote 9000:localhost:22"}));
            const TunnelSettings saved = loadTunnels("gate");
            QCOMPARE(QPair(saved.forwards.size(), saved.x11), QPair(std::size_t{ok ? 1u : 0u}, ok));
        }
    }

    // Return pressed out of habit, Escape and the close box never trust a key.
    void everyWayOutOfTheHostKeyQuestions() {
        const char* ways[] = {"return",       "escape",     "close",
                              "cancelButton", "onceButton", "acceptButton"};
        QList<int> got;  // the changed-key question has no accept button: its last way is left out
        for (int i = 0; i < 11; ++i) got << answer(i >= 6, ways[i % 6]);
        const int no = HostKeyCancel, once = HostKeyConnectOnce, yes = HostKeyAcceptAndRemember;
        QCOMPARE(got, (QList<int>{no, no, no, no, once, yes, no, no, no, no, once}));
        ChangedHostKeyDialog changed(nullptr, QStringLiteral("server.example"), 22, kOld, kNew);
        QVERIFY(changed.findChild<QPushButton*>("acceptButton") == nullptr);
        QStringList all;
        for (QLabel* label : changed.findChildren<QLabel*>()) all << label->text();
        for (const QString& shown : {QString("server.example"), QString("THIS MAY BE AN ATTACK"),
                                     kOld.section(' ', 1), kNew.section(' ', 1)})
            QVERIFY2(all.join('\n').contains(shown), qPrintable(shown));
    }

    void storedTerminalValues() {
        int type = -1, lines = -1;
        QVERIFY(!loadTerminalSettings(type, lines));
        const struct {
            QVariant type, lines;
            bool ok;
            int wantType, wantLines;
        } cases[] = {{1, QVariant(), false, 0, 0},
                     {1, 250, true, 1, 250},
                     {7, -5, true, 1, 0},
                     {0, 9999, true, 0, kMaxScrollbackLines},
                     {0, "abc", false, 0, 0},
                     {"x", 100, false, 0, 0},
                     {QStringList{"1", "2"}, 100, false, 0, 0}};
        for (const auto& c : cases) {
            programKey().clear();
            programKey().setValue("CETermType", c.type);
            if (c.lines.isValid()) programKey().setValue("CENumScrollBackLines", c.lines);
            QCOMPARE(loadTerminalSettings(type, lines), c.ok);
            if (c.ok) QCOMPARE(QPair(type, lines), QPair(c.wantType, c.wantLines));
        }
    }

    void storedFontValues() {
        QCOMPARE(loadTerminalFont(), defaultTerminalFont());
        const QString face29 = QString::fromUtf8("Abcdefghijklmnopqrstuvwxyz\u00e9\u00df!");
        QVERIFY(saveFontSettings(face29, -13, 700));
        QCOMPARE(storedFont(), (TerminalFont{face29, -13, 700}));
        // The native registry hands a 32-bit word back as unsigned.
        programKey().setValue("CEChannelFontSize", qulonglong(0xFFFFFFF3u));
        QCOMPARE(loadTerminalFont().height, -13);
        // An overlong face is neither stored nor read.
        const QString tooLong(kMaxFaceLength + 1, QChar('m'));
        QVERIFY(!saveFontSettings(tooLong, -13, 400));
        QCOMPARE(storedFont().face, face29);
        programKey().setValue("CEChannelFontName", tooLong);
        QCOMPARE(loadTerminalFont(), defaultTerminalFont());
    }

    void theFontARecordDescribes() {
        const QString system = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
        QString proportional, otherFixed;
        for (const QString& family : QFontDatabase::families()) {
            if (!QFontDatabase::isFixedPitch(family) && proportional.isEmpty())
                proportional = family;
            if (QFontDatabase::isFixedPitch(family) && family != system && otherFixed.isEmpty())
                otherFixed = family;
        }
        const struct {
            TerminalFont record;
            QString expected;  // family, pixel size, weight
        } cases[] = {{{"TERMINAL", -13, 700}, system + " 13 700"},
                     {{"TERMINAL", 0, 0}, system + QString(" %1 400").arg(-kDefaultFontHeight)},
                     {{"TERMINAL", -100000, 0}, system + " 200 400"},
                     {{"TERMINAL", 20, 99999}, system + " 20 1000"},
                     {{proportional, -13, 0}, system + " 13 400"},
                     {{otherFixed.toUpper(), -13, 0}, otherFixed + " 13 400"}};
        for (const auto& c : cases) {
            if (c.record.face.isEmpty()) continue;  // no such family on this machine
            const QFont f = makeTerminalFont(c.record);
            QCOMPARE(QString("%1 %2 %3").arg(f.family()).arg(f.pixelSize()).arg(int(f.weight())),
                     c.expected);
        }
        // What the view relies on: every character advances by the width of "H".
        const QFontMetrics metrics(makeTerminalFont(defaultTerminalFont()));
        for (char ch : {'i', 'W', ' '})
            QCOMPARE(metrics.horizontalAdvance(ch), metrics.horizontalAdvance('H'));
    }

    void fontDialogFacesAndTheirSearch() {
        const QStringList families{"Z", "Sans Serif", "mono Two", "Mono one",
                                   QString(kMaxFaceLength + 1, 'M')};
        auto fixed = [](const QString& f) {
            return f.contains("ono", Qt::CaseInsensitive) || f == "Z" || f.startsWith("MM");
        };
        QCOMPARE(faceListEntries(families, fixed), (QStringList{"Mono one", "mono Two"}));
        const QStringList list{"Courier", "courier New", "COURIER Prime", "Mono"};
        QList<int> found;
        for (const char* typed : {"courier", "COURIER P", "cour", "Terminal"})
            found << findFaceEntry(list, typed);
        // The first entry is tried last.
        found << findFaceEntry({}, "x") << findFaceEntry({"Courier", "Mono"}, "cOUR")
              << fontHeightForPoints(10, 96) << fontHeightForPoints(28, 120);
        QCOMPARE(found, (QList<int>{1, 2, 1, -1, -1, 0, -13, -46}));
    }

    // What OK stores and applies, starting from what is on record; the close box changes nothing.
    void fontDialogOkAndCancel() {
        const QStringList faces = faceListEntries(QFontDatabase::families(), [](const QString& f) {
            return QFontDatabase::isFixedPitch(f);
        });
        QVERIFY(!faces.isEmpty());
        const int bold = fontHeightForPoints(10, window_.logicalDpiX());
        const struct {
            TerminalFont stored;  // empty face: nothing on record
            bool choose, ok;
            TerminalFont want;
        } cases[] = {{{}, false, true, defaultTerminalFont()},
                     {{faces.last().toUpper(), -20, 700}, false, true, {faces.last(), -20, 700}},
                     {{"TERMINAL", -8, 0}, true, true, {faces.last(), bold, 700}},
                     {{"TERMINAL", -8, 0}, true, false, {"TERMINAL", -8, 0}}};
        for (const auto& c : cases) {
            init();
            if (!c.stored.face.isEmpty())
                saveFontSettings(c.stored.face, c.stored.height, c.stored.weight);
            int changed = 0;
            QPointer<QDialog> dialog = openFontDialog(&window_, [&] { ++changed; });
            auto* face = child<QComboBox>(dialog, "face");
            if (c.stored.face.isEmpty()) QCOMPARE(face->currentIndex(), -1);
            if (c.choose) {
                face->setCurrentIndex(face->count() - 1);
                child<QComboBox>(dialog, "style")->setCurrentIndex(0);  // Bold
                child<QComboBox>(dialog, "size")->setCurrentText("10");
            }
            c.ok ? press(dialog, QDialogButtonBox::Ok) : void(dialog->close());
            QCOMPARE(changed, c.ok ? 1 : 0);
            QCOMPARE(storedFont(), c.want);
            QCOMPARE(terminalFont, c.ok ? c.want : defaultTerminalFont());
            QTRY_VERIFY(dialog.isNull());  // deletes itself
        }
    }

    // The line count is read as at most seven digits and limited; Escape changes nothing.
    void terminalSettingsDialog() {
        const struct {
            const char *type, *typed;
            bool ok;
            int lines;
        } cases[] = {{"vt100", "1000", true, 500},    {"vt100", "", true, 0},
                     {"vt52", "12345678", true, 500}, {"vt100", "00000420", true, 42},
                     {"vt52", "1a2b", true, 12},      {"vt52", "7", false, -1}};
        for (const auto& c : cases) {
            init();
            int applied = -1;
            QDialog* dialog =
                openTerminalSettingsDialog(&window_, 321, [&](int n) { applied = n; });
            QVERIFY(child<QRadioButton>(dialog, "vt100")->isChecked());
            auto* lines = child<QLineEdit>(dialog, "scrollback");
            QCOMPARE(lines->text(), QStringLiteral("321"));
            lines->clear();
            QTest::keyClicks(lines, c.typed);
            child<QRadioButton>(dialog, c.type)->click();
            c.ok ? press(dialog, QDialogButtonBox::Ok) : QTest::keyClick(dialog, Qt::Key_Escape);
            QCOMPARE(applied, c.lines);
            QCOMPARE(vt52Mode, c.ok && c.type[2] == '5' ? 1 : 0);
            int type = -1, stored = -1;
            QCOMPARE(loadTerminalSettings(type, stored), c.ok);
            if (c.ok) QCOMPARE(QPair(type, stored), QPair(vt52Mode, c.lines));
        }
        QDialog* dialog = openTerminalSettingsDialog(&window_, 100, [](int) {});
        child<QComboBox>(dialog, "remoteCharset")->setCurrentIndex(2);
        child<QCheckBox>(dialog, "showColours")->click();
        child<QCheckBox>(dialog, "fitColumns")->click();
        press(dialog, QDialogButtonBox::Ok);
        QVERIFY(remoteCharsetChoice == 2 && !showColours && !fitWindowToColumns);
        showColours = fitWindowToColumns = true;
        remoteCharsetChoice = 0;
        loadDisplaySettings();
        QVERIFY(remoteCharsetChoice == 2 && !showColours && !fitWindowToColumns);
    }

    void codePage() {
        char all[256];
        for (int i = 0; i < 256; ++i) all[i] = char(i + 1);  // no terminator inside
        const QString text = fromCodePage(all, 255);
        QCOMPARE(text.size(), 255);
        // Checked against Python's cp1252 codec (its undefined bytes as their C1 controls).
        QCOMPARE(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex(),
                 "6a7c9cab2d6ebcbd1e8c82bed7ab3231fa3f6149");
        char back[256];
        QCOMPARE(toCodePage(text, back, sizeof back), std::size_t(255));
        QCOMPARE(bytes(back, 255), bytes(all, 255));
        char out[4];
        const std::size_t written = toCodePage("abcdef", out, sizeof out);
        QCOMPARE(QByteArray(out) + char('0' + written), QByteArray("abc3"));
        // A character outside the code page, even a surrogate pair, is one '?'.
        char wide[8];
        toCodePage(QString::fromUtf8("a\u0436\U0001F600b"), wide, sizeof wide);
        QCOMPARE(QByteArray(wide), QByteArray("a??b"));
        QVERIFY(inCodePage(QChar(0x2122)) && !inCodePage(QChar(0x0436)));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
