// The Terminal Settings dialog: terminal type (VT-52 or VT-100) and scrollback length.
//
// Modeless: `openTerminalSettingsDialog` shows it and returns at once; it deletes itself
// when closed. It starts from `vt52Mode` and `currentLines`. OK sets `vt52Mode`, calls
// `applyLines` with the line count limited to 0..500 (the window gives it to the screen's
// `setScrollbackLines` and resets the scroll range), then stores both with
// `saveTerminalSettings`. Cancel or the close box changes nothing.
//
// Object names: "terminalSettingsDialog" (the QDialog, title "Terminal Settings"),
// "vt52" and "vt100" (QRadioButton), "scrollback" (QLineEdit, digits only), "buttonBox".
#pragma once

#include <QString>
#include <functional>

class QDialog;
class QWidget;

namespace corvid1 {

QDialog* openTerminalSettingsDialog(QWidget* parent, int currentLines,
                                    std::function<void(int lines)> applyLines);

// The line count for the edit box's text: its first 7 characters read as a decimal number
// (leading digits only, none gives 0), limited to 0..500.
int scrollbackFromText(const QString& text);

}  // namespace corvid1
