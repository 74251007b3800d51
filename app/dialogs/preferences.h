// The preference settings that outlast a run: the terminal font, the terminal type and the
// scrollback length, kept under QSettings("Kelm Software", "Corvid1") with the value names
// the registry key has always used. Registry failures are silent: the loads say false and
// the caller applies the defaults.
//
// `scrollbackLines` itself belongs to the terminal (TerminalScreen::scrollbackLines, set with
// `setScrollbackLines`), as do its limit and default. These functions only move the number to
// and from storage.
//
// User-interface thread only.
#pragma once

#include <QFont>
#include <QString>

#include "terminal/terminal_screen.h"

namespace corvid1 {

// Registry value names, exactly as stored.
inline constexpr char kFontNameValue[] = "CEChannelFontName";
inline constexpr char kFontSizeValue[] = "CEChannelFontSize";
inline constexpr char kFontWeightValue[] = "CEChannelFontWeight";
inline constexpr char kTermTypeValue[] = "CETermType";
inline constexpr char kScrollbackValue[] = "CENumScrollBackLines";
// Display settings of the terminal beyond the design's: colours shown (1) or not (0), the
// remote character set (0 Windows-1252, 1 ISO 8859-1, 2 UTF-8), and whether the window widens
// and narrows when the host switches between 80 and 132 columns (1) or keeps its size (0).
inline constexpr char kShowColourValue[] = "CEShowColour";
inline constexpr char kRemoteCharsetValue[] = "CERemoteCharset";
inline constexpr char kFitColumnsValue[] = "CEFitColumns";

// A face name longer than this is neither stored nor read back (and such families are left
// out of the Font dialog's list), so what is saved is always what is loaded.
inline constexpr int kMaxFaceLength = 63;

// The terminal font as the registry describes it: face name, height (negative: character
// height in pixels) and weight (0 default, 400 Regular, 700 Bold).
struct TerminalFont {
    QString face;
    int height = 0;
    int weight = 0;
    friend bool operator==(const TerminalFont&, const TerminalFont&) = default;
};

// Used when nothing is stored. The face does not exist on a desktop, so `makeTerminalFont`
// falls back on the system's fixed-pitch font; the height is readable on a desktop screen
// (11 points at 96 pixels per inch) instead of the 8 pixels of a handheld.
inline constexpr char kDefaultFontFace[] = "TERMINAL";
inline constexpr int kDefaultFontHeight = -14;
inline constexpr int kDefaultFontWeight = 0;
TerminalFont defaultTerminalFont();

// Process-wide settings of the user-interface side.
// 0: VT100, 1: VT52. The session reads it through the login parameters the window builds at
// connect time, so only the user-interface thread touches this variable.
extern int vt52Mode;
// The font the terminal view draws with; replaced by the Font dialog's OK.
extern TerminalFont terminalFont;
// The display settings above, as loaded or set by the Terminal Settings dialog. The remote
// character set itself lives in the interpreter (setRemoteCharset), which the window updates
// when no feed runs.
extern bool showColours;
extern int remoteCharsetChoice;
extern bool fitWindowToColumns;

// Reads the display settings; each missing or unreadable value keeps its default (colours on,
// Windows-1252, the window follows the column count).
void loadDisplaySettings();
void saveDisplaySettings();

// Reads face, height and weight in this order and stops at the first that is missing or
// unreadable; true only if all three were read. Outputs already read may have been written.
bool loadFontSettings(QString& face, int& height, int& weight);
// Writes all three; true only if they were all written (false for an over-long face).
bool saveFontSettings(const QString& face, int height, int weight);
// Reads the terminal type and the line count; true only if both were read. A type other than
// 0 reads as 1; a line count outside 0..kMaxScrollbackLines is brought into it, so a
// hand-edited registry cannot give the terminal a negative or huge scrollback.
bool loadTerminalSettings(int& type, int& lines);
void saveTerminalSettings(int type, int lines);

// `loadFontSettings`, or the defaults above when it fails.
TerminalFont loadTerminalFont();

// The QFont the view draws with: the face if it is an installed fixed-pitch family (compared
// without regard to case), else the system's fixed-pitch font; pixel size from the height
// (a height of 0 or one out of 4..200 pixels is brought into range), weight 0 as Normal.
QFont makeTerminalFont(const TerminalFont& font);

}  // namespace corvid1
