// Helpers that drive the real window the way a user does: the project's SSH-1 test server, the
// Connect dialog filled in while it runs, typing, and waiting for the screen to show something.
// Shared by the window tests and the screenshot and speed driver.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class QDialog;

namespace corvid1 {

struct TerminalScreen;
class MainWindow;

// The test server as a child process, given its arguments and "NAME=value" environment entries.
// Its port comes from its one line "PORT n" on stdout.
class TestServer {
  public:
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

// Fills the Connect dialog once it is the active modal window, then presses OK (or Cancel); a
// `timeout` given replaces the dialog's seconds. Call it right before the command that opens it.
void answerConnectDialogSoon(const QString& host, int port, const QString& user,
                             const QString& password, bool accept = true,
                             const QString& timeout = QString());

// Answers the window's modal dialogs every 20 ms while it lives: a message box (the "Connection
// Lost" box) is accepted and counted, so no test hangs on one; any other dialog goes to
// `onDialog`. A host-key question still open after that is refused and counted as unplanned.
class DialogWatch {
  public:
    DialogWatch();
    int boxes = 0;
    int unplanned = 0;
    QString boxTitle;
    QString boxText;
    std::function<void(QDialog*)> onDialog;

  private:
    QTimer timer_;
    bool busy_ = false;
};

// Waits until `done` holds while the window stays connected; fails at once when the session
// ends first, with the screen's last lines (the status line tells why) as a warning.
bool waitWhileConnected(const std::function<bool()>& done, int timeoutMs = 15000);

// The text of buffer line `line`, empty cells as blanks, trailing blanks cut.
std::string screenLine(const TerminalScreen& screen, int line);
// True if a line of the live screen (or the whole buffer with `wholeBuffer`) contains `text`.
bool screenContains(const TerminalScreen& screen, const std::string& text,
                    bool wholeBuffer = false);

// Types text into the terminal view as key presses.
void typeText(MainWindow& window, const QString& text);

// The test server: $CORVID1_TEST_SERVER, else its place in the build tree.
QString testServerPath();

}  // namespace corvid1
