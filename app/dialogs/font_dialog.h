// The Font dialog: face (fixed-pitch families), style and size of the terminal font.
//
// Modeless: `openFontDialog` shows it and returns at once; it deletes itself when closed.
// OK replaces `terminalFont`, stores it with `saveFontSettings` and then calls `onChanged`
// (the window relayouts and repaints with `makeTerminalFont(terminalFont)`); Cancel or the
// close box changes nothing. Choosing the command again opens another dialog.
//
// Object names: "fontDialog" (the QDialog, title "Font"), "face", "style", "size" (QComboBox,
// not editable; the style items carry 400 and 700 as item data), "buttonBox" (OK, Cancel).
#pragma once

#include <QStringList>
#include <functional>

class QDialog;
class QWidget;

namespace corvid1 {

inline constexpr int kFontSizes[] = {4, 6, 8, 9, 10, 11, 12, 14, 16, 18, 24, 28};

QDialog* openFontDialog(QWidget* parent, std::function<void()> onChanged = {});

// The index of the face to preselect for the stored face name: the first entry that begins
// with `face` (case-insensitive), searching from the second entry to the end and trying the
// first entry last; -1 if none.
int findFaceEntry(const QStringList& entries, const QString& face);

// The names the face list offers: fixed-pitch families with more than one character and at
// most kMaxFaceLength, sorted without regard to case. `isFixedPitch` is asked per family.
QStringList faceListEntries(const QStringList& families,
                            const std::function<bool(const QString&)>& isFixedPitch);

// Height stored for a size in points at `dotsPerInch`: -(points * dpi / 72), truncated.
int fontHeightForPoints(int points, int dotsPerInch);

}  // namespace corvid1
