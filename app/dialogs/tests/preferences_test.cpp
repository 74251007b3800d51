// The preference settings in storage, the terminal font they describe, and the Windows-1252
// conversion the dialogs use.
#include "app/dialogs/preferences.h"

#include <QFontDatabase>
#include <QFontMetrics>

#include "app/dialogs/code_page.h"
#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

class PreferencesTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;

  private slots:
    void init() { sandbox_.clear(); }

    void startUpWithNothingStored() {
        int type = -1, lines = -1;
        QVERIFY(!loadTerminalSettings(type, lines));
        QString face;
        int height = 1, weight = 1;
        QVERIFY(!loadFontSettings(face, height, weight));
        QCOMPARE(loadTerminalFont(), defaultTerminalFont());
        QCOMPARE(defaultTerminalFont().face, QString("TERMINAL"));
        QCOMPARE(defaultTerminalFont().weight, 0);
    }

    void terminalSettingsNeedBothValues() {
        programKey().setValue("CETermType", 1);
        int type = 0, lines = 0;
        QVERIFY(!loadTerminalSettings(type, lines));
        saveTerminalSettings(1, 250);
        QVERIFY(loadTerminalSettings(type, lines));
        QCOMPARE(type, 1);
        QCOMPARE(lines, 250);
        QSettings key = programKey();
        QCOMPARE(key.value("CETermType").typeId(), QMetaType::Int);
        QCOMPARE(key.value("CENumScrollBackLines").typeId(), QMetaType::Int);
    }

    void storedTerminalValuesOutsideTheDialogsRangeAreBroughtIn() {
        struct Case {
            QVariant type, lines;
            bool ok;
            int wantType, wantLines;
        };
        const Case cases[] = {
            {7, -5, true, 1, 0},
            {0, 9999, true, 0, kMaxScrollbackLines},
            {0, "abc", false, 0, 0},
            {"x", 100, false, 0, 0},
            {QStringList{"1", "2"}, 100, false, 0, 0},
        };
        for (const Case& c : cases) {
            {
                QSettings key = programKey();
                key.setValue("CETermType", c.type);
                key.setValue("CENumScrollBackLines", c.lines);
            }
            int type = 0, lines = 0;
            QCOMPARE(loadTerminalSettings(type, lines), c.ok);
            if (c.ok) {
                QCOMPARE(type, c.wantType);
                QCOMPARE(lines, c.wantLines);
            }
        }
    }

    void fontSettingsRoundTrip() {
        const QString face29 = QString("Abcdefghijklmnopqrstuvwxyz\u00e9\u00df!");
        QCOMPARE(face29.size(), 29);
        QVERIFY(saveFontSettings(face29, -13, 700));
        QString face;
        int height = 0, weight = 0;
        QVERIFY(loadFontSettings(face, height, weight));
        QCOMPARE(face, face29);
        QCOMPARE(height, -13);
        QCOMPARE(weight, 700);
        QSettings key = programKey();
        QCOMPARE(key.value("CEChannelFontName").typeId(), QMetaType::QString);
        QCOMPARE(key.value("CEChannelFontSize").typeId(), QMetaType::Int);
    }

    void overlongFaceIsNeitherStoredNorRead() {
        const QString tooLong(kMaxFaceLength + 1, QChar('m'));
        QVERIFY(!saveFontSettings(tooLong, -13, 400));
        QVERIFY(!programKey().contains("CEChannelFontName"));
        QVERIFY(saveFontSettings(QString(kMaxFaceLength, QChar('m')), -13, 400));
        {
            QSettings key = programKey();
            key.setValue("CEChannelFontName", tooLong);
        }
        QString face;
        int height = 0, weight = 0;
        QVERIFY(!loadFontSettings(face, height, weight));
        QCOMPARE(loadTerminalFont(), defaultTerminalFont());
    }

    void heightStoredAsUnsignedWordReadsBackNegative() {
        // The native registry hands a 32-bit word back as unsigned.
        programKey().setValue("CEChannelFontName", "Mono");
        programKey().setValue("CEChannelFontSize", qulonglong(0xFFFFFFF3u));
        programKey().setValue("CEChannelFontWeight", 400);
        QCOMPARE(loadTerminalFont().height, -13);
    }

    void missingOrProportionalFaceFallsBackOnSystemFixedFont() {
        const QString systemFamily = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
        QCOMPARE(makeTerminalFont({"TERMINAL", -13, 0}).family(), systemFamily);
        for (const QString& family : QFontDatabase::families()) {
            if (!QFontDatabase::isFixedPitch(family)) {
                QCOMPARE(makeTerminalFont({family, -13, 0}).family(), systemFamily);
                break;
            }
        }
        for (const QString& family : QFontDatabase::families()) {
            if (QFontDatabase::isFixedPitch(family) && family != systemFamily) {
                QCOMPARE(makeTerminalFont({family.toUpper(), -13, 0}).family(), family);
                break;
            }
        }
    }

    void fontSizeAndWeightFollowTheRecord() {
        QFont font = makeTerminalFont({"TERMINAL", -13, 700});
        QCOMPARE(font.pixelSize(), 13);
        QCOMPARE(font.weight(), QFont::Bold);
        QVERIFY(font.fixedPitch());
        font = makeTerminalFont({"TERMINAL", 0, 0});
        QCOMPARE(font.pixelSize(), -kDefaultFontHeight);
        QCOMPARE(font.weight(), QFont::Normal);
        QCOMPARE(makeTerminalFont({"TERMINAL", -100000, 0}).pixelSize(), 200);
        QCOMPARE(makeTerminalFont({"TERMINAL", 20, 99999}).pixelSize(), 20);
        // What the view relies on: every character advances by the width of "H".
        const QFontMetrics metrics(makeTerminalFont(defaultTerminalFont()));
        QCOMPARE(metrics.horizontalAdvance('i'), metrics.horizontalAdvance('H'));
        QCOMPARE(metrics.horizontalAdvance('W'), metrics.horizontalAdvance('H'));
    }

    void codePageRoundTripsEveryByte() {
        char bytes[256];
        for (int i = 0; i < 256; ++i) bytes[i] = char(i + 1);  // no terminator inside
        const QString text = fromCodePage(bytes, 255);
        QCOMPARE(text.size(), 255);
        QCOMPARE(text.at(0x80 - 1), QChar(0x20AC));
        QCOMPARE(text.at(0xFC - 1), QChar(0xFC));
        char back[256];
        QCOMPARE(toCodePage(text, back, sizeof back), std::size_t(255));
        QCOMPARE(QByteArray(back, 255), QByteArray(bytes, 255));
    }

    void codePageEncodingLimitsAndReplacements() {
        char out[4];
        QCOMPARE(toCodePage("abcdef", out, sizeof out), std::size_t(3));
        QCOMPARE(QByteArray(out), QByteArray("abc"));
        // A character outside the code page, even one written as a surrogate pair, is one '?'.
        char wide[8];
        toCodePage(QString::fromUtf8("a\u0436\U0001F600b"), wide, sizeof wide);
        QCOMPARE(QByteArray(wide), QByteArray("a??b"));
        QVERIFY(inCodePage(QChar(0x2122)));
        QVERIFY(!inCodePage(QChar(0x0436)));
    }
};

QTEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
