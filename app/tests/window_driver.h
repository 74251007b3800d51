// Drives the real window the way a user does; shared by the window tests and the window driver.
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

// The test server as a child process, given "NAME=value" environment entries; it prints "PORT n".
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

// Fills the Connect dialog once it is up, then presses OK (or Cancel); call it right before
// the command that opens it.
void answerConnectDialogSoon(const QString& host, int port, const QString& user,
                             const QString& password, bool accept = true,
                             const QString& timeout = QString());

// Accepts and counts message boxes, hands other dialogs to `onDialog`; a host-key question still
// open after that is refused and counted as unplanned, so no test hangs.
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

// Waits for `done` while connected; a session that ends first fails at once, its last lines shown.
bool waitWhileConnected(const std::function<bool()>& done, int timeoutMs = 15000);

// The text of buffer line `line`, empty cells as blanks, trailing blanks cut.
std::string screenLine(const TerminalScreen& screen, int line);
// True if a line of the live screen (or the whole buffer with `wholeBuffer`) contains `text`.
bool screenContains(const TerminalScreen& screen, const std::string& text,
                    bool wholeBuffer = false);

// Types text into the terminal view as key presses.
void typeText(MainWindow& window, const QString& text);

QString testServerPath();

}  // namespace corvid1
