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

    void imagesAreDrawnAndDistinct() {
        QList<QImage> images;
        for (int i = 0; i < kCommandBarImageCount; ++i) {
            images << commandBarImage(i).toImage();
            QCOMPARE(images.last().size(), QSize(16, 16));
            QSet<QRgb> colours;  // drawn, not blank
            for (int p = 0; p < 256; ++p) colours.insert(images.last().pixel(p % 16, p / 16));
            QVERIFY(colours.size() >= 3);
            for (int j = 0; j + 1 < images.size(); ++j) QVERIFY(images[j] != images.last());
        }
        QVERIFY(!applicationIcon().pixmap(16, 16).isNull());
        QVERIFY(commandBarImage(-1).isNull() && commandBarImage(kCommandBarImageCount).isNull());
        const QImage cursor = cursorImage().toImage();
        QCOMPARE(cursor.size(), QSize(70, 60));
        for (int p = 0; p < 70 * 60; ++p)
            QCOMPARE(cursor.pixel(p % 70, p / 70), qRgb(255, 255, 255));
    }

    void helpPageCoversConnectingCiphersPreferencesAndKeys() {
        QFile page(kHelpPagePath);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray html = page.readAll();
        for (const char* anchor : {"id=\"connecting\"", "id=\"hostkeys\"", "id=\"ciphers\"",
                                   "id=\"preferences\"", "id=\"keys\""}) {
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
