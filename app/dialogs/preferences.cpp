#include "app/dialogs/preferences.h"

#include <QFontDatabase>
#include <QSettings>
#include <algorithm>

#include "app/dialogs/settings_store.h"

namespace corvid1 {

int vt52Mode = 0;
TerminalFont terminalFont = defaultTerminalFont();
bool showColours = true;
int remoteCharsetChoice = 0;
bool fitWindowToColumns = true;

namespace {

// Pixel sizes the view can lay out: below 4 no glyph is legible, above 200 a cell would
// not fit a screen. A stored height outside them is brought into range.
constexpr int kMinPixelSize = 4;
constexpr int kMaxPixelSize = 200;

}  // namespace

TerminalFont defaultTerminalFont() {
    return TerminalFont{QString::fromLatin1(kDefaultFontFace), kDefaultFontHeight,
                        kDefaultFontWeight};
}

bool loadFontSettings(QString& face, int& height, int& weight) {
    QSettings key = openSettingsKey();
    return readString(key, kFontNameValue, kMaxFaceLength, face) &&
           readNumber(key, kFontSizeValue, height) && readNumber(key, kFontWeightValue, weight);
}

bool saveFontSettings(const QString& face, int height, int weight) {
    if (face.size() > kMaxFaceLength) return false;
    QSettings key = openSettingsKey();
    return writeValue(key, kFontNameValue, face) && writeValue(key, kFontSizeValue, height) &&
           writeValue(key, kFontWeightValue, weight);
}

bool loadTerminalSettings(int& type, int& lines) {
    QSettings key = openSettingsKey();
    if (!readNumber(key, kTermTypeValue, type)) return false;
    type = type != 0 ? 1 : 0;
    if (!readNumber(key, kScrollbackValue, lines)) return false;
    lines = std::clamp(lines, 0, kMaxScrollbackLines);
    return true;
}

void saveTerminalSettings(int type, int lines) {
    QSettings key = openSettingsKey();
    writeValue(key, kTermTypeValue, type);
    writeValue(key, kScrollbackValue, lines);
}

void loadDisplaySettings() {
    QSettings key = openSettingsKey();
    int value = 0;
    if (readNumber(key, kShowColourValue, value)) showColours = value != 0;
    if (readNumber(key, kRemoteCharsetValue, value)) remoteCharsetChoice = std::clamp(value, 0, 2);
    if (readNumber(key, kFitColumnsValue, value)) fitWindowToColumns = value != 0;
}

void saveDisplaySettings() {
    QSettings key = openSettingsKey();
    writeValue(key, kShowColourValue, showColours ? 1 : 0);
    writeValue(key, kRemoteCharsetValue, remoteCharsetChoice);
    writeValue(key, kFitColumnsValue, fitWindowToColumns ? 1 : 0);
}

TerminalFont loadTerminalFont() {
    TerminalFont font;
    if (loadFontSettings(font.face, font.height, font.weight)) return font;
    return defaultTerminalFont();
}

QFont makeTerminalFont(const TerminalFont& font) {
    QFont result = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QStringList families = QFontDatabase::families();
    for (const QString& family : families) {
        if (family.compare(font.face, Qt::CaseInsensitive) == 0 &&
            QFontDatabase::isFixedPitch(family)) {
            result.setFamilies({family});
            break;
        }
    }
    int pixels = font.height < 0 ? -font.height : font.height;
    if (pixels == 0) pixels = -kDefaultFontHeight;
    result.setPixelSize(std::clamp(pixels, kMinPixelSize, kMaxPixelSize));
    // Weights share the 1..1000 scale with Qt's (400 Normal, 700 Bold); 0 asks for Normal.
    result.setWeight(font.weight <= 0 ? QFont::Normal
                                      : static_cast<QFont::Weight>(std::min(font.weight, 1000)));
    result.setStyleHint(QFont::Monospace);
    result.setFixedPitch(true);
    result.setKerning(false);
    return result;
}

}  // namespace corvid1
