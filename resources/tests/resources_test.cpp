// The compiled-in images and help page, and the copy of the page the URL opener is given.
#include "resources/resources.h"

#include <QtGui>
#include <QtTest>

using namespace corvid1;

class ResourcesTest : public QObject {
    Q_OBJECT
    QTemporaryDir data_;

  private slots:
    void initTestCase() { qputenv("XDG_DATA_HOME", data_.path().toUtf8()); }

    // Each command-bar image is drawn (not blank) and differs from the others.
    void imagesAreDrawnAndDistinct() {
        QList<QImage> images;
        for (int i = 0; i < kCommandBarImageCount; ++i) {
            const QImage image = commandBarImage(i).toImage();
            QSet<QRgb> colours;
            for (int p = 0; p < 256; ++p) colours.insert(image.pixel(p % 16, p / 16));
            QVERIFY(image.size() == QSize(16, 16) && colours.size() >= 3 &&
                    !images.contains(image));
            images << image;
        }
        QVERIFY(!applicationIcon().pixmap(16, 16).isNull());
        QVERIFY(commandBarImage(-1).isNull() && commandBarImage(kCommandBarImageCount).isNull());
        QImage white(70, 60, QImage::Format_ARGB32);
        white.fill(Qt::white);
        QCOMPARE(cursorImage().toImage().convertToFormat(QImage::Format_ARGB32), white);
    }

    // The page has its sections, is written out beside the user's data, and a stale copy from
    // an older version is replaced.
    void helpPageIsWrittenOutAndRefreshed() {
        QFile page(kHelpPagePath);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray compiledIn = page.readAll();
        for (const char* id : {"connecting", "hostkeys", "ciphers", "preferences", "keys"})
            QVERIFY2(compiledIn.contains(QByteArray("id=\"") + id + '"'), id);
        const QUrl url = helpPageUrl();
        QVERIFY(url.toLocalFile().startsWith(data_.path() + "/corvid1/"));
        QFile installed(url.toLocalFile());
        QVERIFY(installed.open(QIODevice::ReadWrite));
        QCOMPARE(installed.readAll(), compiledIn);
        installed.resize(0);
        installed.write("old");
        installed.close();
        QCOMPARE(helpPageUrl(), url);
        QVERIFY(installed.open(QIODevice::ReadOnly));
        QCOMPARE(installed.readAll(), compiledIn);
    }
};

QTEST_MAIN(ResourcesTest)
#include "resources_test.moc"
