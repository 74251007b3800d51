#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "app/dialogs/log_dialog.h"
#include "app/terminal_view.h"

class QAction;
class QToolBar;

namespace corvid1 {

struct AppState;
class ScreenBridge;

// The one top-level window: the command bar (menu bar and a row of buttons), the terminal view
// with its scroll bar, the command table, the connect and disconnect sequences and the window
// messages 1524..1529. Everything here runs on the user-interface thread; other threads reach
// the window only through `sendMessage`, with the window messages 1524..1529 and
// HostKeyQuestionMessage (1530).
class MainWindow : public QMainWindow, private ViewHost {
    Q_OBJECT

  public:
    MainWindow(AppState& state, ScreenBridge& bridge, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The window's message entry point. On the user-interface thread the message is handled at
    // once; from any other thread the call waits until it has been handled here (or the window
    // has gone).
    void sendMessage(int message, std::intptr_t first, std::intptr_t second);

    // The command table. Only the low 16 bits of `command` count.
    void onCommand(int command);
    void connectCommand();
    void disconnect();
    // `serial` names the connection whose thread ended; an older one changes nothing.
    void onSessionEnded(std::intptr_t serial);
    // A session thread's question about the server's host key (HostKeyQuestionMessage):
    // `question` points to a std::shared_ptr<HostKeyQuestion>; `serial` names the connection.
    void onHostKeyQuestion(std::intptr_t question, std::intptr_t serial);
    // The host-key question open right now, if any (tests answer it).
    QDialog* hostKeyDialog() const { return hostKeyDialog_; }
    void onRelayout();

    // Prints a NUL-terminated 8-bit text into the terminal. While a session thread's feed is
    // suspended in a notification the text waits (in order) and goes in a moment later.
    void print(const char* text);

    TerminalView* view() const { return view_; }
    QToolBar* commandBar() const { return toolBar_; }
    // The menu item of a command id (menu bar only).
    QAction* menuAction(int command) const;
    QTimer& redrawTimer() { return redrawTimer_; }
    AppState& state() { return state_; }

    // Lays the view out once now (start-up step 8); false while a feed is suspended.
    bool layoutNow();

    // File > Log Session: from now on the server's output also goes to `path`, after a header
    // line naming the server and the time; the menu item becomes Stop Logging. False (and why)
    // when the file cannot be opened. `reason`, when given, is printed as logging stops.
    bool startLogging(const QString& path, bool text, bool append, QString* error = nullptr);
    void stopLogging(const char* reason);
    // The log's header line: the server, its port and the time.
    std::string logHeader() const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void buildCommandBar();
    void setConnectedMenu(bool connected);
    void waitForEarlierSessionThreads();
    // The check items of the Settings menu that describe the next connection.
    bool toggleChecked(int command) const;
    void storeToggle(int command);
    // The user chose a cipher or compression since the last connection: that choice, not the
    // one remembered for the server, goes to the next connection.
    bool choicesTouched_ = false;
    LogChoice lastLog_;
    void selectCipher(int cipher);
    void handleMessage(int message, std::intptr_t first, std::intptr_t second);
    void shutDown();
    void queueRelayout();
    void flushPrints();
    void applyScrollbackLines(int lines);

    // ViewHost
    bool connected() const override;
    void sendToSession(const char* text, int length) override;
    int terminalType() const override;
    void openFonts() override;
    void viewResized() override;

    AppState& state_;
    ScreenBridge& bridge_;
    TerminalView* view_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    std::map<int, QAction*> menuActions_;
    QTimer redrawTimer_;
    QTimer retryTimer_;  // prints, layouts and scrollback changes that had to wait
    std::deque<std::string> pendingPrints_;
    bool layoutDone_ = false;
    bool relayoutQueued_ = false;
    bool relayoutWaiting_ = false;
    int scrollbackWaiting_ = -1;
    bool shutDownDone_ = false;
    // Open while a session thread waits for the user's answer about its host key; a
    // disconnect or close rejects it, so the thread is never left waiting.
    QPointer<QDialog> hostKeyDialog_;
};

// The start-up sequence up to the message loop: screen, terminal settings, window, first
// layout, redraw timer, icon, banner. The window is shown unless `show` is false (tests).
std::unique_ptr<MainWindow> startUp(bool show = true);

}  // namespace corvid1
