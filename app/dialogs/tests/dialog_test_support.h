// Shared by the dialog tests: settings in a temporary folder, and a way to work inside a modal
// dialog while its exec() runs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

namespace corvid1::test {

// Points the program's settings at a fresh temporary folder for the life of the object.
class SettingsSandbox {
  public:
    SettingsSandbox() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir_.path());
    }
    // Empties the program's key between test functions.
    void clear() {
        QSettings key(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
        key.clear();
        key.sync();
    }
    // The settings file as bytes, to look for what must never be stored.
    QByteArray fileContents() {
        QSettings key(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
        key.sync();
        QFile file(key.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

  private:
    QTemporaryDir dir_;
};

inline QSettings programKey() {
    return QSettings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
}

// Runs `work` on the modal dialog once it is up; `work` ends it (accept/reject).
inline void whenModal(std::function<void(QDialog*)> work) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, work] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        poll->stop();
        poll->deleteLater();
        work(dialog);
    });
    poll->start();
}

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found) qFatal("no child named %s", name);
    return found;
}

}  // namespace corvid1::test
