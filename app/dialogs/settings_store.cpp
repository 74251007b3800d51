#include "app/dialogs/settings_store.h"

#include <QVariant>
#include <limits>

namespace corvid1 {

QSettings openSettingsKey() {
    return QSettings(QStringLiteral("Kelm Software"), QStringLiteral("Corvid1"));
}

bool readString(const QSettings& key, const char* name, int maxLength, QString& out) {
    const QVariant value = key.value(QLatin1String(name));
    // An INI line with a bare comma reads back as a list; that is not one of our strings.
    if (!value.isValid() || value.typeId() == QMetaType::QStringList ||
        !value.canConvert<QString>()) {
        return false;
    }
    const QString text = value.toString();
    if (text.size() > maxLength) return false;
    out = text;
    return true;
}

bool readNumber(const QSettings& key, const char* name, int& out) {
    const QVariant value = key.value(QLatin1String(name));
    if (!value.isValid() || value.typeId() == QMetaType::QStringList) return false;
    bool ok = false;
    const qlonglong number = value.toLongLong(&ok);
    // The native registry gives back the 32-bit word as an unsigned number; a height of -13
    // must come back as -13.
    if (!ok || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<unsigned int>::max()) {
        return false;
    }
    out = static_cast<int>(static_cast<unsigned int>(number));
    return true;
}

namespace {

bool writeVariant(QSettings& key, const char* name, const QVariant& value) {
    if (!key.isWritable()) return false;
    key.setValue(QLatin1String(name), value);
    return key.status() == QSettings::NoError;
}

}  // namespace

bool writeValue(QSettings& key, const char* name, const QString& value) {
    return writeVariant(key, name, QVariant(value));
}

bool writeValue(QSettings& key, const char* name, int value) {
    return writeVariant(key, name, QVariant(value));
}

}  // namespace corvid1
