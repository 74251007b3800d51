// The About box: modal, title "About Corvid", one centred text and an OK button.
// Object name "aboutDialog"; the text label is "aboutText".
#pragma once

class QWidget;

namespace corvid1 {

void showAboutDialog(QWidget* parent);

}  // namespace corvid1
