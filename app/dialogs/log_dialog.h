// File > Log Session...: where the session's log goes and what goes in it. Object names, for
// tests: "logDialog" (title "Log Session"), "logFile" (QLineEdit), "logBrowse" (QPushButton
// "..."), "logText" and "logRaw" (QRadioButton: the printable text as the screen shows it, or the
// raw bytes from the server), "logAppend" and "logOverwrite" (QRadioButton), "buttonBox".
#pragma once

#include <QString>

class QWidget;

namespace corvid1 {

struct LogChoice {
    QString path;
    bool text = true;
    bool append = true;
};

// Runs the dialog modally; true for OK with a file named (`choice` then holds the answers).
bool runLogDialog(QWidget* parent, LogChoice& choice);

}  // namespace corvid1
