// The compiled-in images and help page, and the copy of the page the URL opener is given.
#include "resources/resources.h"

#include <QFile>
#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace corvid1;

class ResourcesTest : public QObject {
    Q_OBJECT
    QTemporaryDir data_;

  private slots:
    void initTestCase() { qputenv("XDG_DATA_HOME", data_.path().toUtf8()); }

    void commandBarHasFiveDistinctImages() {
        QList<QImage> images;
        for (int i = 0; i < kCommandBarImageCount; ++i) {
            const QPixmap image = commandBarImage(i);
            QCOMPARE(image.size(), QSize(16, 16));
            images.append(image.toImage());
            // Drawn, not blank: several colours, some of them opaque.
            QSet<QRgb> colours;
            for (int y = 0; y < 16; ++y) {
                for (int x = 0; x < 16; ++x) colours.insert(images.last().pixel(x, y));
            }
            QVERIFY(colours.size() >= 3);
        }
        for (int i = 0; i < images.size(); ++i) {
            for (int j = i + 1; j < images.size(); ++j) QVERIFY(images[i] != images[j]);
        }
        QVERIFY(!applicationIcon().pixmap(16, 16).isNull());
        QVERIFY(commandBarImage(-1).isNull());
        QVERIFY(commandBarImage(kCommandBarImageCount).isNull());
    }

    void cursorImageIsWhiteEverywhere() {
        const QImage cursor = cursorImage().toImage();
        QCOMPARE(cursor.size(), QSize(70, 60));
        for (int y = 0; y < cursor.height(); ++y) {
            for (int x = 0; x < cursor.width(); ++x) {
                if (cursor.pixel(x, y) != qRgb(255, 255, 255)) QFAIL("cursor pixel not white");
            }
        }
    }

    void helpPageCoversConnectingCiphersPreferencesAndKeys() {
        QFile page(kHelpPagePath);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray html = page.readAll();
        for (const char* anchor :
             {"id=\"connecting\"", "id=\"hostkeys\"", "id=\"ciphers\"", "id=\"preferences\"",
              "id=\"keys\""}) {
            QVERIFY2(html.contains(anchor), anchor);
        }
    }

    void helpPageIsWrittenOutAndRefreshed() {
        const QUrl url = helpPageUrl();
        QVERIFY(url.isLocalFile());
        QVERIFY(url.toLocalFile().startsWith(data_.path() + "/corvid1/"));
        QFile page(kHelpPagePath);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray compiledIn = page.readAll();
        auto installed = [&] {
            QFile file(url.toLocalFile());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QCOMPARE(installed(), compiledIn);
        {
            // A stale copy from an older version is replaced.
            QFile file(url.toLocalFile());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("old");
        }
        QCOMPARE(helpPageUrl(), url);
        QCOMPARE(installed(), compiledIn);
    }
};

QTEST_MAIN(ResourcesTest)
#include "resources_test.moc"
