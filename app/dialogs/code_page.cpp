#include "app/dialogs/code_page.h"

#include <array>
#include <cstring>

namespace corvid1 {
namespace {

// Windows-1252 0x80..0x9F; the undefined bytes keep their C1 control value.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

// Every byte's character, so decoding a row of cells is one lookup per byte.
constexpr auto kDecodeTable = [] {
    std::array<char16_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        table[byte] =
            byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : static_cast<char16_t>(byte);
    }
    return table;
}();

// The byte for `ch`, or -1 if the code page has none.
int encodeChar(char16_t ch) {
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return ch;
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] == ch) return 0x80 + i;
    }
    return -1;
}

}  // namespace

QString fromCodePage(const char* text, std::size_t length) {
    QString result(static_cast<qsizetype>(length), Qt::Uninitialized);
    QChar* out = result.data();
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = QChar(kDecodeTable[static_cast<unsigned char>(text[i])]);
    }
    return result;
}

QString fromCodePage(const char* text) {
    return fromCodePage(text, std::strlen(text));
}

bool inCodePage(QChar ch) {
    return encodeChar(ch.unicode()) >= 0;
}

std::size_t toCodePage(const QString& text, char* out, std::size_t capacity) {
    std::size_t written = 0;
    for (qsizetype i = 0; i < text.size() && written + 1 < capacity; ++i) {
        const int byte = encodeChar(text.at(i).unicode());
        out[written++] = static_cast<char>(byte < 0 ? '?' : byte);
        // A surrogate pair is one character and one '?'.
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            ++i;
        }
    }
    out[written] = '\0';
    return written;
}

void wipeMemory(void* data, std::size_t length) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
}

void wipeString(QString& text) {
    // A buffer shared with another QString is that one's too: only the sole owner may
    // overwrite it (data() on a shared string would detach and wipe a fresh copy instead).
    if (text.isDetached() && !text.isEmpty()) {
        wipeMemory(const_cast<QChar*>(text.constData()),
                   static_cast<std::size_t>(text.size()) * sizeof(QChar));
    }
    text.clear();
}

}  // namespace corvid1
