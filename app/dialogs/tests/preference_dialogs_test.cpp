// The Font and Terminal Settings dialogs: what they offer, what OK applies and stores, and
// that Cancel changes nothing.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

#include "app/dialogs/font_dialog.h"
#include "app/dialogs/preferences.h"
#include "app/dialogs/terminal_settings_dialog.h"
#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

QStringList entries(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list;
}

void press(QDialog* dialog, QDialogButtonBox::StandardButton which) {
    child<QDialogButtonBox>(dialog, "buttonBox")->button(which)->click();
}

TerminalFont storedFont() {
    TerminalFont font;
    if (!loadFontSettings(font.face, font.height, font.weight)) return {};
    return font;
}

}  // namespace

class PreferenceDialogsTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;
    QWidget window_;

  private slots:
    void init() {
        sandbox_.clear();
        terminalFont = defaultTerminalFont();
        vt52Mode = 0;
        showColours = true;
        remoteCharsetChoice = 0;
        fitWindowToColumns = true;
    }

    // --- Font dialog ---

    void faceListHoldsOnlyFixedPitchNamesOfMoreThanOneCharacter() {
        const QStringList families{"Z", "Sans Serif", "mono Two", "Mono one",
                                   QString(kMaxFaceLength + 1, QChar('M'))};
        const QStringList faces = faceListEntries(families, [](const QString& f) {
            return f.contains("ono", Qt::CaseInsensitive) || f == "Z" || f.startsWith("MM");
        });
        QCOMPARE(faces, (QStringList{"Mono one", "mono Two"}));
    }

    void faceSearchStartsBehindTheFirstEntry() {
        const QStringList list{"Courier", "courier New", "COURIER Prime", "Mono"};
        QCOMPARE(findFaceEntry(list, "courier"), 1);
        QCOMPARE(findFaceEntry(list, "COURIER P"), 2);
        QCOMPARE(findFaceEntry(list, "cour"), 1);
        QCOMPARE(findFaceEntry({"Courier", "Mono"}, "cOUR"), 0);  // the first is tried last
        QCOMPARE(findFaceEntry(list, "Terminal"), -1);
        QCOMPARE(findFaceEntry({}, "x"), -1);
    }

    void dialogOffersFixedFacesStylesAndSizes() {
        QPointer<QDialog> dialog = openFontDialog(&window_);
        QCOMPARE(dialog->windowTitle(), QString("Font"));
        auto* face = child<QComboBox>(dialog, "face");
        auto* style = child<QComboBox>(dialog, "style");
        auto* size = child<QComboBox>(dialog, "size");
        QVERIFY(face->count() > 0);
        for (const QString& name : entries(face)) {
            QVERIFY2(QFontDatabase::isFixedPitch(name), qPrintable(name));
            QVERIFY(name.size() > 1);
        }
        QCOMPARE(entries(style), (QStringList{"Bold", "Regular"}));
        QCOMPARE(style->itemData(0).toInt(), 700);
        QCOMPARE(style->itemData(1).toInt(), 400);
        QCOMPARE(entries(size),
                 (QStringList{"4", "6", "8", "9", "10", "11", "12", "14", "16", "18", "24", "28"}));
        QCOMPARE(face->currentIndex(), -1);  // nothing stored, nothing selected
        QCOMPARE(style->currentIndex(), -1);
        QCOMPARE(size->currentIndex(), -1);
        press(dialog, QDialogButtonBox::Cancel);
        QTRY_VERIFY(dialog.isNull());  // deletes itself
    }

    void firstOkWithoutSelectionsStoresTheDefaults() {
        int changed = 0;
        QDialog* dialog = openFontDialog(&window_, [&] { ++changed; });
        press(dialog, QDialogButtonBox::Ok);
        QCOMPARE(changed, 1);
        QCOMPARE(storedFont(), defaultTerminalFont());
        QCOMPARE(terminalFont, defaultTerminalFont());
    }

    void okWithoutTouchingKeepsTheStoredFont() {
        const QStringList faces = faceListEntries(QFontDatabase::families(), [](const QString& f) {
            return QFontDatabase::isFixedPitch(f);
        });
        QVERIFY(!faces.isEmpty());
        saveFontSettings(faces.last().toUpper(), -20, 700);
        QDialog* dialog = openFontDialog(&window_);
        // The stored face is found whatever the case of its letters, and OK takes the entry.
        QCOMPARE(child<QComboBox>(dialog, "face")->currentText(), faces.last());
        press(dialog, QDialogButtonBox::Ok);
        const TerminalFont want{faces.last(), -20, 700};
        QCOMPARE(terminalFont, want);
        QCOMPARE(storedFont(), want);
    }

    void okTakesTheSelectedFaceStyleAndSize() {
        saveFontSettings("TERMINAL", -8, 0);
        int changed = 0;
        QDialog* dialog = openFontDialog(&window_, [&] { ++changed; });
        auto* face = child<QComboBox>(dialog, "face");
        face->setCurrentIndex(face->count() - 1);
        const QString chosen = face->currentText();
        child<QComboBox>(dialog, "style")->setCurrentIndex(0);  // Bold
        child<QComboBox>(dialog, "size")->setCurrentText("10");
        press(dialog, QDialogButtonBox::Ok);
        const TerminalFont want{chosen, fontHeightForPoints(10, window_.logicalDpiX()), 700};
        QCOMPARE(storedFont(), want);
        QCOMPARE(terminalFont, want);
        QCOMPARE(changed, 1);
        QCOMPARE(fontHeightForPoints(10, 96), -13);
        QCOMPARE(fontHeightForPoints(28, 120), -46);
    }

    void fontCancelChangesNothing() {
        saveFontSettings("TERMINAL", -8, 0);
        int changed = 0;
        QDialog* dialog = openFontDialog(&window_, [&] { ++changed; });
        child<QComboBox>(dialog, "style")->setCurrentIndex(0);
        child<QComboBox>(dialog, "size")->setCurrentIndex(11);
        dialog->close();  // the close box
        QCOMPARE(changed, 0);
        QCOMPARE(storedFont(), (TerminalFont{"TERMINAL", -8, 0}));
        QCOMPARE(terminalFont, defaultTerminalFont());
    }

    // --- Terminal Settings dialog ---

    void scrollbackTextIsReadAsSevenDigitsAndLimited() {
        QCOMPARE(scrollbackFromText("1000"), 500);
        QCOMPARE(scrollbackFromText(""), 0);
        QCOMPARE(scrollbackFromText("12345678"), 500);
        QCOMPARE(scrollbackFromText("0000042"), 42);
        QCOMPARE(scrollbackFromText("00000420"), 42);  // the eighth character is not read
        QCOMPARE(scrollbackFromText("250"), 250);
        QCOMPARE(scrollbackFromText("7x9"), 7);
    }

    void dialogShowsCurrentSettings() {
        vt52Mode = 1;
        QDialog* dialog = openTerminalSettingsDialog(&window_, 321, {});
        QCOMPARE(dialog->windowTitle(), QString("Terminal Settings"));
        QVERIFY(child<QRadioButton>(dialog, "vt52")->isChecked());
        QVERIFY(!child<QRadioButton>(dialog, "vt100")->isChecked());
        QCOMPARE(child<QLineEdit>(dialog, "scrollback")->text(), QString("321"));
        auto* lines = child<QLineEdit>(dialog, "scrollback");
        lines->clear();
        QTest::keyClicks(lines, "12ab3");
        QCOMPARE(lines->text(), QString("123"));  // digits only
        press(dialog, QDialogButtonBox::Cancel);
    }

    void okAppliesAndStoresLimitedLineCount() {
        struct Case {
            QString typed;
            int lines;
        };
        for (const Case& c :
             {Case{"1000", 500}, Case{"", 0}, Case{"12345678", 500}, Case{"42", 42}}) {
            int applied = -1;
            QDialog* dialog =
                openTerminalSettingsDialog(&window_, 100, [&](int n) { applied = n; });
            auto* lines = child<QLineEdit>(dialog, "scrollback");
            lines->clear();
            QTest::keyClicks(lines, c.typed);
            press(dialog, QDialogButtonBox::Ok);
            QCOMPARE(applied, c.lines);
            int type = -1, stored = -1;
            QVERIFY(loadTerminalSettings(type, stored));
            QCOMPARE(stored, c.lines);
            QCOMPARE(type, 0);
        }
    }

    void okSwitchesTheTerminalType() {
        QDialog* dialog = openTerminalSettingsDialog(&window_, 100, [](int) {});
        child<QRadioButton>(dialog, "vt52")->click();
        press(dialog, QDialogButtonBox::Ok);
        QCOMPARE(vt52Mode, 1);
        int type = 0, lines = 0;
        QVERIFY(loadTerminalSettings(type, lines));
        QCOMPARE(type, 1);
        QCOMPARE(lines, 100);
    }

    void okStoresTheDisplaySettingsAndTheyLoadBack() {
        QDialog* dialog = openTerminalSettingsDialog(&window_, 100, [](int) {});
        QCOMPARE(child<QComboBox>(dialog, "remoteCharset")->currentIndex(), 0);
        QVERIFY(child<QCheckBox>(dialog, "showColours")->isChecked());
        child<QComboBox>(dialog, "remoteCharset")->setCurrentIndex(2);
        child<QCheckBox>(dialog, "showColours")->click();
        child<QCheckBox>(dialog, "fitColumns")->click();
        press(dialog, QDialogButtonBox::Ok);
        QCOMPARE(remoteCharsetChoice, 2);
        QVERIFY(!showColours && !fitWindowToColumns);
        showColours = fitWindowToColumns = true;
        remoteCharsetChoice = 0;
        loadDisplaySettings();
        QCOMPARE(remoteCharsetChoice, 2);
        QVERIFY(!showColours && !fitWindowToColumns);
    }

    void terminalCancelChangesNothing() {
        int applied = -1;
        QDialog* dialog = openTerminalSettingsDialog(&window_, 100, [&](int n) { applied = n; });
        child<QRadioButton>(dialog, "vt52")->click();
        child<QLineEdit>(dialog, "scrollback")->setText("7");
        QTest::keyClick(dialog, Qt::Key_Escape);
        QCOMPARE(applied, -1);
        QCOMPARE(vt52Mode, 0);
        QVERIFY(!programKey().contains("CETermType"));
    }
};

QTEST_MAIN(PreferenceDialogsTest)
#include "preference_dialogs_test.moc"
