// Reading and writing single values under the program's settings key, with the checks every
// caller needs: strings stay strings, numbers stay 32-bit integers, and a value that is
// missing, of the wrong shape or too long counts as unreadable.
#pragma once

#include <QSettings>
#include <QString>

namespace corvid1 {

// The program's key; each operation opens it, uses it and lets it go (which writes it out).
QSettings openSettingsKey();

// True and `out` set if `name` holds a string of at most `maxLength` characters.
bool readString(const QSettings& key, const char* name, int maxLength, QString& out);
// True and `out` set if `name` holds a whole number that fits 32 bits.
bool readNumber(const QSettings& key, const char* name, int& out);

// Write a string or a 32-bit number; false if the key cannot be written.
bool writeValue(QSettings& key, const char* name, const QString& value);
bool writeValue(QSettings& key, const char* name, int value);

}  // namespace corvid1
