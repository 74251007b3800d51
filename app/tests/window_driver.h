// Helpers that drive the real window the way a user does: start the project's SSH-1 test server,
// fill in the Connect dialog while it runs, type, and wait for the screen to show something.
// Shared by the window tests and the screenshot and speed driver.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class QDialog;

namespace corvid1 {

struct TerminalScreen;
class MainWindow;

// The test server as a child process. Its port comes from its one line "PORT n" on stdout.
class TestServer {
  public:
    // `arguments` are passed on (for example {"--mode", "shell"}); `environment` entries are
    // "NAME=value" added to the server's environment.
    bool start(const QString& program, const QStringList& arguments,
               const QStringList& environment = {});
    ~TestServer();
    int port() const { return port_; }

  private:
    std::unique_ptr<QProcess> process_;
    int port_ = 0;
};

// Runs the event loop until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// Fills the Connect dialog as soon as it is the active modal window, then presses OK (or
// Cancel). Call it right before the command that opens the dialog. A `timeout` given replaces
// the dialog's seconds.
void answerConnectDialogSoon(const QString& host, int port, const QString& user,
                             const QString& password, bool accept = true,
                             const QString& timeout = QString());

// Answers the window's modal dialogs every 20 ms while it lives: a message box (the "Connection
// Lost" box) is accepted and remembered, so no test ever hangs on one; any other dialog goes to
// `onDialog`, when set. A host-key question still open after that is refused and counted.
class DialogWatch {
  public:
    DialogWatch();
    ~DialogWatch();
    int boxes = 0;
    int unplanned = 0;
    QString boxTitle;
    QString boxText;
    std::function<void(QDialog*)> onDialog;

  private:
    std::unique_ptr<QTimer> timer_;
    bool busy_ = false;
};

// Waits until `done` holds while the window stays connected. Fails at once, with the screen's
// last lines as a warning, when the session ends first (the status line tells why), instead of
// waiting out `timeoutMs`.
bool waitWhileConnected(const std::function<bool()>& done, int timeoutMs = 15000);

// The text of buffer line `line` of the screen, empty cells as blanks, trailing blanks cut.
std::string screenLine(const TerminalScreen& screen, int line);
// True if any line of the live screen (or the whole buffer with `wholeBuffer`) contains `text`.
bool screenContains(const TerminalScreen& screen, const std::string& text,
                    bool wholeBuffer = false);

// Types text into the terminal view as key presses.
void typeText(MainWindow& window, const QString& text);

// Path of the test server: $CORVID1_TEST_SERVER, else next to the build's tools folder.
QString testServerPath();

}  // namespace corvid1
