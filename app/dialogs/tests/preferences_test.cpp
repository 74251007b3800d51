// The preferences: their values in storage, the terminal font they describe, the Font and
// Terminal Settings dialogs (what they offer, what OK applies and stores, Cancel changes
// nothing), and the Windows-1252 conversion the dialogs use.
#include "app/dialogs/preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

#include "app/dialogs/code_page.h"
#include "app/dialogs/font_dialog.h"
#include "app/dialogs/terminal_settings_dialog.h"
#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

void press(QDialog* dialog, QDialogButtonBox::StandardButton which) {
    child<QDialogButtonBox>(dialog, "buttonBox")->button(which)->click();
}
TerminalFont storedFont() {
    TerminalFont font;
    if (!loadFontSettings(font.face, font.height, font.weight)) return {};
    return font;
}

}  // namespace

class PreferencesTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;
    QWidget window_;

  private slots:
    void init() {
        sandbox_.clear();
        terminalFont = defaultTerminalFont();
        vt52Mode = 0;
        showColours = fitWindowToColumns = true;
        remoteCharsetChoice = 0;
    }

    // Terminal type and scrollback are read only as a pair, and brought into the dialog's range.
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
            sandbox_.clear();
            programKey().setValue("CETermType", c.type);
            if (c.lines.isValid()) programKey().setValue("CENumScrollBackLines", c.lines);
            QCOMPARE(loadTerminalSettings(type, lines), c.ok);
            if (c.ok) QCOMPARE(QPair(type, lines), QPair(c.wantType, c.wantLines));
        }
    }

    void storedFontValues() {
        QCOMPARE(loadTerminalFont(), defaultTerminalFont());
        QCOMPARE(defaultTerminalFont().face, QStringLiteral("TERMINAL"));
        const QString face29 = QString::fromUtf8("Abcdefghijklmnopqrstuvwxyz\u00e9\u00df!");
        QVERIFY(saveFontSettings(face29, -13, 700));
        QCOMPARE(storedFont(), (TerminalFont{face29, -13, 700}));
        QCOMPARE(programKey().value("CEChannelFontSize").typeId(), QMetaType::Int);
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
            QString family;
            int pixels;
            QFont::Weight weight;
        } cases[] = {{{"TERMINAL", -13, 700}, system, 13, QFont::Bold},
                     {{"TERMINAL", 0, 0}, system, -kDefaultFontHeight, QFont::Normal},
                     {{"TERMINAL", -100000, 0}, system, 200, QFont::Normal},
                     {{"TERMINAL", 20, 99999}, system, 20, QFont::Bold},
                     {{proportional, -13, 0}, system, 13, QFont::Normal},
                     {{otherFixed.toUpper(), -13, 0}, otherFixed, 13, QFont::Normal}};
        for (const auto& c : cases) {
            if (c.record.face.isEmpty()) continue;  // no such family on this machine
            const QFont font = makeTerminalFont(c.record);
            QCOMPARE(font.family(), c.family);
            QCOMPARE(font.pixelSize(), c.pixels);
            QCOMPARE(font.weight() >= QFont::Bold, c.weight == QFont::Bold);
        }
        // What the view relies on: every character advances by the width of "H".
        const QFontMetrics metrics(makeTerminalFont(defaultTerminalFont()));
        for (char ch : {'i', 'W', ' '})
            QCOMPARE(metrics.horizontalAdvance(ch), metrics.horizontalAdvance('H'));
    }

    void fontDialogFacesAndTheirSearch() {
        const QStringList families{"Z", "Sans Serif", "mono Two", "Mono one",
                                   QString(kMaxFaceLength + 1, 'M')};
        QCOMPARE(faceListEntries(families,
                                 [](const QString& f) {
                                     return f.contains("ono", Qt::CaseInsensitive) || f == "Z" ||
                                            f.startsWith("MM");
                                 }),
                 (QStringList{"Mono one", "mono Two"}));
        const QStringList list{"Courier", "courier New", "COURIER Prime", "Mono"};
        const struct {
            QStringList list;
            const char* typed;
            int found;
        } cases[] = {{list, "courier", 1},   {list, "COURIER P", 2},           {list, "cour", 1},
                     {list, "Terminal", -1}, {{"Courier", "Mono"}, "cOUR", 0},  // the first entry
                                                                                // is tried last
                     {{}, "x", -1}};
        for (const auto& c : cases) QCOMPARE(findFaceEntry(c.list, c.typed), c.found);
        QCOMPARE(fontHeightForPoints(10, 96), -13);
        QCOMPARE(fontHeightForPoints(28, 120), -46);
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
            if (c.stored.face.isEmpty()) {
                QCOMPARE(face->currentIndex(), -1);
                QCOMPARE(child<QComboBox>(dialog, "size")->itemText(10), QStringLiteral("24"));
            }
            if (c.choose) {
                face->setCurrentIndex(face->count() - 1);
                child<QComboBox>(dialog, "style")->setCurrentIndex(0);  // Bold
                child<QComboBox>(dialog, "size")->setCurrentText("10");
            }
            if (c.ok)
                press(dialog, QDialogButtonBox::Ok);
            else
                dialog->close();
            QCOMPARE(changed, c.ok ? 1 : 0);
            QCOMPARE(storedFont(), c.want);
            QCOMPARE(terminalFont, c.ok ? c.want : defaultTerminalFont());
            QTRY_VERIFY(dialog.isNull());  // deletes itself
        }
    }

    // The line count is read as at most seven digits and limited; OK applies and stores the
    // pair, Escape changes nothing.
    void terminalSettingsDialog() {
        const struct {
            const char* type;
            const char* typed;
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
            if (c.ok)
                press(dialog, QDialogButtonBox::Ok);
            else
                QTest::keyClick(dialog, Qt::Key_Escape);
            QCOMPARE(applied, c.lines);
            QCOMPARE(vt52Mode, c.ok && c.type[2] == '5' ? 1 : 0);
            int type = -1, stored = -1;
            QCOMPARE(loadTerminalSettings(type, stored), c.ok);
            if (c.ok) QCOMPARE(QPair(type, stored), QPair(vt52Mode, c.lines));
        }
        QCOMPARE(scrollbackFromText("7x9"), 7);
        // The display settings go with OK and load back.
        QDialog* dialog = openTerminalSettingsDialog(&window_, 100, [](int) {});
        QCOMPARE(child<QComboBox>(dialog, "remoteCharset")->currentIndex(), 0);
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
        char bytes[256];
        for (int i = 0; i < 256; ++i) bytes[i] = char(i + 1);  // no terminator inside
        const QString text = fromCodePage(bytes, 255);
        QCOMPARE(text.size(), 255);
        QCOMPARE(text.at(0x80 - 1), QChar(0x20AC));
        QCOMPARE(text.at(0xFC - 1), QChar(0xFC));
        char back[256];
        QCOMPARE(toCodePage(text, back, sizeof back), std::size_t(255));
        QCOMPARE(QByteArray(back, 255), QByteArray(bytes, 255));
        char out[4];
        QCOMPARE(toCodePage("abcdef", out, sizeof out), std::size_t(3));
        QCOMPARE(QByteArray(out), QByteArray("abc"));
        // A character outside the code page, even a surrogate pair, is one '?'.
        char wide[8];
        toCodePage(QString::fromUtf8("a\u0436\U0001F600b"), wide, sizeof wide);
        QCOMPARE(QByteArray(wide), QByteArray("a??b"));
        QVERIFY(inCodePage(QChar(0x2122)) && !inCodePage(QChar(0x0436)));
    }
};

QTEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
