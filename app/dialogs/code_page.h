// Conversion between the 8-bit text of the terminal, the wire and the shell's state
// (Windows-1252) and the UTF-16 text of widgets and settings.
#pragma once

#include <QString>
#include <cstddef>

namespace corvid1 {

// Decodes `length` bytes of Windows-1252. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value, so every byte
// survives a round trip.
QString fromCodePage(const char* text, std::size_t length);
QString fromCodePage(const char* text);  // NUL-terminated

// True if `ch` has a Windows-1252 byte.
bool inCodePage(QChar ch);

// Encodes at most `capacity` - 1 characters of `text` into `out` and terminates it;
// characters without a byte become '?'. Returns the number of bytes written before the
// terminator. `capacity` must be at least 1.
std::size_t toCodePage(const QString& text, char* out, std::size_t capacity);

// Overwrites memory that held a secret; the compiler may not drop these stores.
void wipeMemory(void* data, std::size_t length);
void wipeString(QString& text);

}  // namespace corvid1
