#include "resources/resources.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace corvid1 {

QPixmap commandBarImage(int index) {
    if (index < 0 || index >= kCommandBarImageCount) return QPixmap();
    const QPixmap strip(QString::fromLatin1(kCommandBarStripPath));
    return strip.copy(index * 16, 0, 16, 16);
}

QIcon applicationIcon() {
    QIcon icon;
    icon.addFile(QString::fromLatin1(kIconPath), QSize(16, 16));
    icon.addFile(QString::fromLatin1(kIconLargePath), QSize(32, 32));
    return icon;
}

QPixmap cursorImage() {
    return QPixmap(QString::fromLatin1(kCursorImagePath));
}

namespace {

// The user's data folder for the program: $XDG_DATA_HOME/corvid1, else
// ~/.local/share/corvid1 (the same place as the random pool's seed file).
QString dataFolder() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = xdg.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : xdg;
    return base + QStringLiteral("/corvid1");
}

}  // namespace

QUrl helpPageUrl() {
    QFile page(QString::fromLatin1(kHelpPagePath));
    if (!page.open(QIODevice::ReadOnly)) return QUrl();
    const QByteArray content = page.readAll();

    const QString folder = dataFolder() + QStringLiteral("/help");
    const QString path = folder + QStringLiteral("/corvid1.html");
    QFile installed(path);
    if (installed.open(QIODevice::ReadOnly) && installed.readAll() == content) {
        return QUrl::fromLocalFile(path);
    }
    installed.close();
    if (!QDir().mkpath(folder)) return QUrl();
    // Written whole or not at all, so a browser never shows half a page.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit()) {
        return QUrl();
    }
    return QUrl::fromLocalFile(path);
}

}  // namespace corvid1
