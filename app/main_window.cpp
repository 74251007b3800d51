#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QScrollBar>
#include <QSettings>
#include <QToolBar>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialogs/about_dialog.h"
#include "app/dialogs/code_page.h"
#include "app/dialogs/connect_dialog.h"
#include "app/dialogs/font_dialog.h"
#include "app/dialogs/host_key_dialog.h"
#include "app/dialogs/log_dialog.h"
#include "app/dialogs/preferences.h"
#include "app/dialogs/settings_store.h"
#include "app/dialogs/terminal_settings_dialog.h"
#include "app/dialogs/tunnels_dialog.h"
#include "app/host_key_prompt.h"
#include "app/login_prompt.h"
#include "app/screen_bridge.h"
#include "app/session_link.h"
#include "crypto/wipe.h"
#include "resources/resources.h"
#include "session/channels/x11.h"
#include "session/host_key_policy.h"
#include "session/known_hosts.h"
#include "session/session.h"
#include "terminal/interpreter.h"
#include "terminal/notification.h"
#include "terminal/terminal_screen.h"

namespace corvid1 {
namespace {

constexpr int kRedrawPeriodMs = 900;
constexpr int kRetryMs = 15;

// The menu bar, as the popups and their items read. A command of 0 is a separator.
struct MenuItem {
    const char* text;
    int command;
};
struct MenuPopup {
    const char* title;
    std::initializer_list<MenuItem> items;
};
const MenuPopup kMenus[] = {
    {"&File",
     {{"&Connect", kCmdConnect},
      {"&Log Session...", kCmdLogSession},
      {"&New Window", kCmdNewWindow},
      {nullptr, 0},
      {"E&xit", kCmdExit}}},
    {"&Edit",
     {{"Copy", kCmdCopy}, {"Paste", kCmdPaste}, {nullptr, 0}, {"Select &All", kCmdSelectAll}}},
    {"&Settings",
     {{"3DES", kCmdTripleDes},
      {"Blowfish", kCmdBlowfish},
      {"None", kCmdNoCipher},
      {nullptr, 0},
      {"Compression", kCmdCompression},
      {"Hide Password Length", kCmdHidePasswordLength},
      {"Tunnels...", kCmdTunnels},
      {nullptr, 0},
      {"Fonts...", kCmdFonts}}},
    {"&Terminal", {{"&Preferences", kCmdPreferences}}},
    {"&Help", {{"&Contents", kCmdHelp}, {"&About", kCmdAbout}}},
};

// The command-bar buttons in order; an image of -1 is the separator.
struct Button {
    int image;
    int command;
    const char* toolTip;
};
constexpr Button kButtons[] = {
    {0, kCmdConnect, "Connect/Disconnect"},
    {-1, 0, nullptr},
    {1, kCmdPreferences, "Terminal Preferences"},
    {2, kCmdFonts, "Fonts"},
    {3, kCmdCopy, "Copy"},
    {4, kCmdPaste, "Paste"},
};

// The cipher items and the cipher number each selects.
struct CipherItem {
    int command;
    int cipher;
};
constexpr CipherItem kCipherItems[] = {{kCmdTripleDes, 3}, {kCmdBlowfish, 6}, {kCmdNoCipher, 0}};

// Check items that describe the next connection, each remembered under its value name with
// its default.
struct SessionToggle {
    int command;
    const char* valueName;
    bool byDefault;
};
constexpr SessionToggle kSessionToggles[] = {
    {kCmdCompression, "CECompression", false},
    {kCmdHidePasswordLength, "CEHidePasswordLength", true},
};

constexpr const char* kBanner[] = {
    "Corvid1 v1.00.46 Initialized.\r\n",
    "Copyright (c) Kelm Software. Free to use and to pass on.\r\n",
    "For an updated version, look where you found this one.\r\n",
    " \r\n",
    "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.\n",
    "SSH Version 1.5 protocol only.\n",
};

// The port text as a number: at most its first 8 characters, decimal digits up to the first
// other character (none gives 0). -1 for a number that does not fit in a TCP port, which would
// otherwise wrap around to some other port.
long portNumber(const char* text) {
    long value = 0;
    for (int i = 0; i < 8 && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 65535) return -1;
    }
    return value;
}

// Overwrites the whole buffer a string has used, including bytes past its size (a moved-from
// short string keeps its old characters in place).
void wipeString(std::string& text) {
    text.resize(text.capacity());
    secureWipe(text.data(), text.size());
    text.clear();
}

// The server's saved tunnels for the next session.
void applyTunnels(LoginParameters& login, const TunnelSettings& tunnels) {
    login.forwards = tunnels.forwards;
    if (tunnels.x11) forwardX11ToLocalDisplay(login);
}

}  // namespace

MainWindow::MainWindow(AppState& state, ScreenBridge& bridge, QWidget* parent)
    : QMainWindow(parent), state_(state), bridge_(bridge) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Corvid1"));
    setWindowIcon(applicationIcon());
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    buildMenus();
    buildCommandBar();

    view_ = new TerminalView(*state_.screen, bridge_, *this, this);
    view_->setObjectName(QStringLiteral("terminalView"));
    view_->setTerminalFont(makeTerminalFont(terminalFont));
    setCentralWidget(view_);
    view_->setFocus();

    bridge_.attachWindow(
        this,
        [this](int message, std::intptr_t first, std::intptr_t second) {
            handleMessage(message, first, second);
        },
        [view = view_](int message, std::intptr_t first, std::intptr_t second) {
            switch (message) {
                case RepaintAll:
                    view->noteRepaintAll();
                    return true;
                case RepaintCells:
                    view->noteRepaintCells(first, second);
                    return true;
                case LiveTopChanged:
                    view->noteLiveTopChanged(static_cast<int>(first));
                    return true;
                case ColumnsChanged:
                    view->noteColumnsChanged(static_cast<int>(first));
                    return true;
                default:
                    return false;  // SendToHost needs the session, on this thread's behalf
            }
        });

    redrawTimer_.setInterval(kRedrawPeriodMs);
    connect(&redrawTimer_, &QTimer::timeout, this, [this] {
        view_->onRedrawTimer();
        // A log that could not be written has closed itself; the user hears of it here.
        const std::string failure = WindowFrontEnd::instance().log().takeFailure();
        if (!failure.empty()) stopLogging(("\r\nLogging stopped: " + failure + "\r\n").c_str());
    });
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(kRetryMs);
    connect(&retryTimer_, &QTimer::timeout, this, [this] {
        if (relayoutWaiting_) {
            relayoutWaiting_ = false;
            onRelayout();
        }
        if (scrollbackWaiting_ >= 0) {
            const int lines = scrollbackWaiting_;
            scrollbackWaiting_ = -1;
            applyScrollbackLines(lines);
        }
        flushPrints();
    });
}

MainWindow::~MainWindow() {
    shutDown();
}

void MainWindow::buildMenus() {
    QMenuBar* bar = menuBar();
    for (const MenuPopup& popup : kMenus) {
        QMenu* menu = bar->addMenu(QString::fromLatin1(popup.title));
        for (const MenuItem& item : popup.items) {
            if (item.command == 0) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(item.text));
            action->setData(item.command);
            const int command = item.command;
            connect(action, &QAction::triggered, this, [this, command] { onCommand(command); });
            menuActions_[command] = action;
        }
    }
    for (const CipherItem& item : kCipherItems) menuActions_[item.command]->setCheckable(true);
    menuActions_[kCmdTripleDes]->setChecked(true);
    const QSettings key = openSettingsKey();
    for (const SessionToggle& toggle : kSessionToggles) {
        int stored = toggle.byDefault ? 1 : 0;
        readNumber(key, toggle.valueName, stored);
        menuActions_[toggle.command]->setCheckable(true);
        menuActions_[toggle.command]->setChecked(stored != 0);
    }
}

bool MainWindow::toggleChecked(int command) const {
    return menuActions_.at(command)->isChecked();
}

void MainWindow::storeToggle(int command) {
    for (const SessionToggle& toggle : kSessionToggles) {
        if (toggle.command != command) continue;
        QSettings key = openSettingsKey();
        writeValue(key, toggle.valueName, toggleChecked(command) ? 1 : 0);
    }
}

void MainWindow::buildCommandBar() {
    toolBar_ = addToolBar(QStringLiteral("Command bar"));
    toolBar_->setObjectName(QStringLiteral("commandBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    for (const Button& button : kButtons) {
        if (button.image < 0) {
            toolBar_->addSeparator();
            continue;
        }
        QAction* action =
            toolBar_->addAction(commandBarImage(button.image), QString::fromLatin1(button.toolTip));
        action->setToolTip(QString::fromLatin1(button.toolTip));
        action->setData(button.command);
        const int command = button.command;
        connect(action, &QAction::triggered, this, [this, command] { onCommand(command); });
    }
}

QAction* MainWindow::menuAction(int command) const {
    const auto found = menuActions_.find(command);
    return found == menuActions_.end() ? nullptr : found->second;
}

void MainWindow::setConnectedMenu(bool connected) {
    menuActions_[kCmdConnect]->setText(connected ? QStringLiteral("Disconnect")
                                                 : QStringLiteral("Connect"));
    for (const CipherItem& item : kCipherItems) menuActions_[item.command]->setEnabled(!connected);
    for (const SessionToggle& toggle : kSessionToggles)
        menuActions_[toggle.command]->setEnabled(!connected);
}

void MainWindow::selectCipher(int cipher) {
    state_.cipher = cipher;
    choicesTouched_ = true;
    for (const CipherItem& item : kCipherItems) {
        menuActions_[item.command]->setChecked(item.cipher == cipher);
    }
}

// ---------------------------------------------------------------------------------------------
// Commands

void MainWindow::onCommand(int command) {
    switch (command & 0xFFFF) {
        case kCmdConnect:
            if (state_.connected) {
                disconnect();
            } else {
                connectCommand();
            }
            break;
        case kCmdExit:
            close();
            break;
        case kCmdCopy:
            view_->copySelection();
            break;
        case kCmdPaste:
            view_->pasteClipboard();
            break;
        case kCmdSelectAll:
            view_->selectAll();
            break;
        case kCmdTripleDes:
            selectCipher(3);
            break;
        case kCmdBlowfish:
            selectCipher(6);
            break;
        case kCmdCompression:
        case kCmdHidePasswordLength:
            // The action has checked itself already when the menu triggered it.
            storeToggle(command & 0xFFFF);
            choicesTouched_ = true;
            break;
        case kCmdNoCipher:
            selectCipher(0);
            break;
        case kCmdLogSession:
            if (WindowFrontEnd::instance().log().isOpen()) {
                stopLogging(nullptr);
            } else {
                LogChoice choice = lastLog_;
                if (runLogDialog(this, choice)) {
                    lastLog_ = choice;
                    QString error;
                    if (!startLogging(choice.path, choice.text, choice.append, &error))
                        QMessageBox::warning(this, QStringLiteral("Log Session"), error);
                }
            }
            break;
        case kCmdNewWindow:
            // One window holds one session; another session gets a process of its own.
            QProcess::startDetached(QCoreApplication::applicationFilePath(), {});
            break;
        case kCmdTunnels:
            runTunnelsDialog(this, fromCodePage(state_.login.host).trimmed());
            break;
        case kCmdFonts:
            openFontDialog(this, [this] {
                view_->setTerminalFont(makeTerminalFont(terminalFont));
                queueRelayout();
            });
            break;
        case kCmdPreferences: {
            int lines = 0;
            {
                ScreenBridge::Access access(bridge_);
                lines = state_.screen->scrollbackLines;
            }
            openTerminalSettingsDialog(this, lines,
                                       [this](int newLines) { applyScrollbackLines(newLines); });
            view_->resetScrollRange();
            break;
        }
        case kCmdHelp: {
            // A failure to open the page is not reported.
            const QUrl url = helpPageUrl();
            if (!url.isEmpty()) QDesktopServices::openUrl(url);
            break;
        }
        case kCmdAbout:
            showAboutDialog(this);
            break;
        default:
            break;
    }
}

void MainWindow::connectCommand() {
    if (state_.connected) return;
    if (runConnectDialog(this, state_.login) != 0) return;
    waitForEarlierSessionThreads();
    // The server brings back the cipher and compression last used with it, unless the user
    // has chosen in the Settings menu since the last connection; what this connection uses is
    // remembered for the next one.
    const QString server = fromCodePage(state_.login.host);
    int cipher = state_.cipher;
    bool compression = toggleChecked(kCmdCompression);
    if (!choicesTouched_ && loadServerChoices(server, cipher, compression)) {
        selectCipher(cipher);
        menuActions_[kCmdCompression]->setChecked(compression);
    }
    choicesTouched_ = false;
    saveServerChoices(server, state_.cipher, toggleChecked(kCmdCompression));

    const long port = portNumber(state_.login.port);
    state_.connected = true;
    print("\nConnecting to host...\n");
    // The connect blocks this thread for as long as it takes; show the line before it does.
    view_->repaint();
    LoginParameters login;
    // The login's clock runs from the connect on; the connect keeps its own shorter limit.
    login.loginStarted = std::chrono::steady_clock::now();
    login.loginTimeout = std::chrono::seconds(state_.login.timeoutSeconds);
    int connectTimeoutMs = TcpSocket::defaultConnectTimeoutMs;
    if (state_.login.timeoutSeconds > 0)
        connectTimeoutMs = std::min(connectTimeoutMs, state_.login.timeoutSeconds * 1000);
    auto connection = std::make_unique<Connection>();
    const int opened =
        port < 0 ? -1
                 : connection->socket().openConnection(
                       state_.login.host, static_cast<std::uint16_t>(port), connectTimeoutMs);
    setConnectedMenu(true);
    if (opened == -1) {
        wipePassword(state_.login);
        print("Could not connect to host.\n");
        if (!connection->socket().failureReason().empty())
            print(("(" + connection->socket().failureReason() + ")\n").c_str());
        disconnect();
        return;
    }
    print("Connected to host.\n");
    if (WindowFrontEnd::instance().log().isOpen())
        WindowFrontEnd::instance().log().note(logHeader());

    login.user = state_.login.user;
    login.password = state_.login.password;
    wipePassword(state_.login);
    login.terminalType = vt52Mode != 0 ? "vt52" : "vt100";
    // No session runs yet, so no feed can be using the interpreter.
    bridge_.tryChange([] {
        setRemoteCharset(static_cast<RemoteCharset>(remoteCharsetChoice));
        selectTerminalType(vt52Mode != 0);
    });
    login.cipherPreference = static_cast<std::uint32_t>(state_.cipher);
    {
        ScreenBridge::Access access(bridge_);
        login.rows = static_cast<std::uint32_t>(state_.screen->rows);
        login.columns = static_cast<std::uint32_t>(state_.screen->columns);
    }
    login.widthPixels = static_cast<std::uint32_t>(view_->areaWidth());
    login.heightPixels = static_cast<std::uint32_t>(view_->areaHeight());
    login.seedFilePath = seedFilePath();
    login.compressionLevel = toggleChecked(kCmdCompression) ? 6 : 0;
    login.padPassword = toggleChecked(kCmdHidePasswordLength);
    login.keepaliveSeconds = state_.login.keepaliveSeconds;
    const int serial = ++state_.sessionSerial;
    if (!state_.login.keyFile.empty()) login.keyFiles.push_back(state_.login.keyFile);
    login.loginMethods = {state_.login.rsaLogin, state_.login.challengeLogin,
                          state_.login.passwordLogin};
    login.loginPrompt = std::make_shared<WindowLoginPrompt>(serial);
    applyTunnels(login, loadTunnels(fromCodePage(state_.login.host).trimmed()));
    auto session = std::make_shared<Session>(std::move(connection), std::move(login),
                                             WindowFrontEnd::instance());
    wipeString(login.password);
    state_.session = session;
    // The server's key is checked against the user's known_hosts (and ~/.ssh/known_hosts, read
    // only) before the session key, and so the password, goes out; an unknown or changed key
    // is put to the user. The session thread keeps the prompt until it has finished.
    auto prompt = std::make_shared<WindowHostKeyPrompt>(serial);
    installHostKeyPolicy(*session, state_.login.host, static_cast<std::uint16_t>(port),
                         KnownHosts::withDefaults(), prompt.get());
    startSessionThread(std::move(session), serial, std::move(prompt));
}

std::string MainWindow::logHeader() const {
    const std::time_t now = std::time(nullptr);
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", std::localtime(&now));
    return std::string("=== Corvid1 session log: ") + state_.login.host + " port " +
           state_.login.port + ", " + when + " ===";
}

bool MainWindow::startLogging(const QString& path, bool text, bool append, QString* error) {
    // Opened while connected, the log names the server now; otherwise at the next connect.
    std::string problem;
    if (!WindowFrontEnd::instance().log().open(
            QFile::encodeName(path).toStdString(),
            text ? SessionLog::Mode::Text : SessionLog::Mode::Raw, append,
            state_.connected ? logHeader() : std::string(), problem)) {
        if (error) *error = QString::fromLocal8Bit(problem.c_str());
        return false;
    }
    menuActions_[kCmdLogSession]->setText(QStringLiteral("Stop &Logging"));
    return true;
}

void MainWindow::stopLogging(const char* reason) {
    WindowFrontEnd::instance().log().close();
    menuActions_[kCmdLogSession]->setText(QStringLiteral("&Log Session..."));
    if (reason != nullptr) print(reason);
}

void MainWindow::waitForEarlierSessionThreads() {
    // The two cipher contexts are process-wide: the thread of an earlier connection, aborted a
    // moment ago, must have left runSession before this session's key exchange keys them. That
    // thread may be waiting for this one in a synchronous send, so events are handled meanwhile
    // (user input excluded, so no second Connect can start here); its SessionEnded finds
    // nothing connected and is ignored.
    QElapsedTimer waited;
    waited.start();
    while (runningSessionThreads() > 0 && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
}

void MainWindow::disconnect() {
    setConnectedMenu(false);
    // The session thread is waiting for this answer; it must not wait for ever.
    if (hostKeyDialog_) hostKeyDialog_->reject();
    cancelLoginQuestion();
    if (state_.session) {
        // The session thread keeps its own reference; abort makes its blocked read fail, and its
        // SessionEnded then finds nothing connected.
        state_.session->abort();
        state_.session.reset();
    }
    state_.connected = false;
}

void MainWindow::onSessionEnded(std::intptr_t serial) {
    if (!state_.connected || serial != state_.sessionSerial) return;
    // The session thread has left runSession (it sends this afterwards), so its result is
    // settled and ours to read.
    const bool hostKeyRefused =
        state_.session && state_.session->result().end == SessionEnd::HostKeyRejected;
    state_.connected = false;
    disconnect();
    if (state_.closing) return;
    if (hostKeyRefused) {
        // The status lines above say why; a box saying the connection was lost would hide it.
        print("Disconnected: the server's host key was not accepted.\n");
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Connection Lost"),
                    QStringLiteral("Connection to server lost."), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("connectionLostBox"));
    box.exec();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    shutDown();
    QMainWindow::closeEvent(event);
}

void MainWindow::shutDown() {
    if (shutDownDone_) return;
    shutDownDone_ = true;
    state_.closing = true;
    disconnect();
    redrawTimer_.stop();
    retryTimer_.stop();
    // Releases every session thread waiting in a send to this window; from now on their
    // notifications are dropped. The screen itself stays until the process ends, because a
    // session thread may still be finishing a feed.
    bridge_.detachWindow();
}

// ---------------------------------------------------------------------------------------------
// Messages

void MainWindow::sendMessage(int message, std::intptr_t first, std::intptr_t second) {
    bridge_.sendMessage(message, first, second);
}

void MainWindow::handleMessage(int message, std::intptr_t first, std::intptr_t second) {
    switch (message) {
        case SessionEnded:
            onSessionEnded(first);
            break;
        case Relayout:
            onRelayout();
            break;
        case RepaintAll:
            view_->onRepaintAll();
            break;
        case RepaintCells:
            view_->onRepaintCells(first, second);
            break;
        case SendToHost:
            // The answer is NUL-terminated; its length is not needed.
            if (state_.session && first != 0) {
                sendInput(*state_.session, reinterpret_cast<const char*>(first), -1);
            }
            break;
        case LiveTopChanged:
            view_->onLiveTopChanged(static_cast<int>(first));
            break;
        case ColumnsChanged:  // from a feed on this thread (a status line, a print)
            view_->noteColumnsChanged(static_cast<int>(first));
            break;
        case HostKeyQuestionMessage:
            onHostKeyQuestion(first, second);
            break;
        case LoginQuestionMessage:
            // A question from a connection the user has already left goes unanswered.
            if (state_.connected && !state_.closing && second == state_.sessionSerial)
                answerLoginQuestion(this, first);
            break;
        default:
            break;
    }
}

void MainWindow::onHostKeyQuestion(std::intptr_t question, std::intptr_t serial) {
    if (question == 0) return;
    // Our own reference: the sender may be released (window closed) before the user answers.
    const std::shared_ptr<HostKeyQuestion> asked =
        *reinterpret_cast<const std::shared_ptr<HostKeyQuestion>*>(question);
    auto current = [this, serial] {
        return state_.connected && !state_.closing && serial == state_.sessionSerial;
    };
    // A question from a connection the user has already left is refused unseen.
    if (!current() || hostKeyDialog_) return;

    const QString host = fromCodePage(asked->host.c_str());
    const QString fingerprint = QString::fromStdString(asked->fingerprint);
    QDialog* dialog = nullptr;
    if (asked->changed) {
        dialog = new ChangedHostKeyDialog(
            this, host, asked->port, QString::fromStdString(asked->oldFingerprint), fingerprint);
    } else {
        dialog = new UnknownHostKeyDialog(this, host, asked->port, asked->bits, fingerprint);
    }
    hostKeyDialog_ = dialog;
    const int result = dialog->exec();
    // exec returns here even when the window is being torn down; the dialog is ours to free
    // unless the window (its parent) has freed it already.
    if (hostKeyDialog_) delete dialog;
    hostKeyDialog_ = nullptr;
    if (!current()) return;
    switch (result) {
        case HostKeyAcceptAndRemember:
            if (!asked->changed) asked->answer = UnknownHostKeyDecision::AcceptAndRemember;
            break;
        case HostKeyConnectOnce:
            asked->answer = UnknownHostKeyDecision::ConnectOnce;
            break;
        default:
            break;
    }
}

bool MainWindow::layoutNow() {
    const bool done = view_->layoutView();
    view_->setBarHeight(view_->mapTo(this, QPoint(0, 0)).y());
    return done;
}

void MainWindow::onRelayout() {
    if (!layoutNow()) {
        // A session thread is in the middle of a feed; the screen may not change size under it.
        relayoutWaiting_ = true;
        retryTimer_.start();
        return;
    }
    view_->resetScrollRange();
    if (state_.session) {
        int rows = 0;
        int columns = 0;
        {
            ScreenBridge::Access access(bridge_);
            rows = state_.screen->rows;
            columns = state_.screen->columns;
        }
        sendWindowSize(*state_.session, static_cast<std::uint32_t>(rows),
                       static_cast<std::uint32_t>(columns),
                       static_cast<std::uint32_t>(view_->areaWidth()),
                       static_cast<std::uint32_t>(view_->areaHeight()));
    }
    view_->update();
}

void MainWindow::queueRelayout() {
    if (relayoutQueued_) return;
    relayoutQueued_ = true;
    // Coalesced: a window being dragged larger reports many sizes; one layout follows them.
    QTimer::singleShot(0, this, [this] {
        relayoutQueued_ = false;
        sendMessage(Relayout, 0, 0);
    });
}

void MainWindow::viewResized() {
    if (!layoutDone_) {
        layoutDone_ = true;
        if (!layoutNow()) {
            relayoutWaiting_ = true;
            retryTimer_.start();
        }
        return;
    }
    queueRelayout();
}

void MainWindow::applyScrollbackLines(int lines) {
    const bool done = bridge_.tryChange([&] {
        TerminalScreen& screen = *state_.screen;
        screen.setScrollbackLines(lines);
        screen.viewTop = screen.liveTop;
        screen.viewEnd = screen.liveTop + screen.rows;
    });
    if (!done) {
        scrollbackWaiting_ = lines;
        retryTimer_.start();
        return;
    }
    view_->resetScrollRange();
    view_->syncScrollPosition();
    view_->update();
}

void MainWindow::print(const char* text) {
    pendingPrints_.emplace_back(text);
    flushPrints();
}

void MainWindow::flushPrints() {
    while (!pendingPrints_.empty()) {
        const std::string& text = pendingPrints_.front();
        if (!bridge_.tryChange([&] { printText(text.c_str()); })) {
            retryTimer_.start();
            return;
        }
        pendingPrints_.pop_front();
    }
}

// ---------------------------------------------------------------------------------------------
// ViewHost

bool MainWindow::connected() const {
    return state_.connected;
}

void MainWindow::sendToSession(const char* text, int length) {
    if (state_.session) sendInput(*state_.session, text, length);
}

int MainWindow::terminalType() const {
    return vt52Mode;
}

void MainWindow::openFonts() {
    onCommand(kCmdFonts);
}

// ---------------------------------------------------------------------------------------------
// Start-up

namespace {

void beepOnUiThread() {
    // The bell may ring on the session thread; the beep belongs to the user-interface thread
    // and nobody needs to wait for it.
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

}  // namespace

std::unique_ptr<MainWindow> startUp(bool show) {
    AppState& state = appState();
    ScreenBridge& bridge = ScreenBridge::instance();
    if (!state.screen) {
        state.screen = createScreen();
        attachScreen(state.screen.get());
    }
    setBellHook(&beepOnUiThread);

    int type = 0;
    int lines = 0;
    if (!loadTerminalSettings(type, lines)) {
        type = 0;
        lines = kDefaultScrollbackLines;
    }
    vt52Mode = type;
    terminalFont = loadTerminalFont();
    loadDisplaySettings();
    bridge.tryChange([&] { state.screen->setScrollbackLines(lines); });

    state.connected = false;
    state.session.reset();
    state.cipher = 3;
    state.login = ConnectValues{};
    state.defaultServerList = QStringList{QString()};
    state.closing = false;

    auto window = std::make_unique<MainWindow>(state, bridge);
    // A desktop window has no work area of its own to fill: start at 80 x 24 cells.
    {
        const QFontMetricsF metrics(window->view()->terminalFont());
        const int width = 80 * qRound(metrics.horizontalAdvance(QLatin1Char('H'))) +
                          window->view()->scrollBar()->sizeHint().width();
        const int height = 24 * qRound(metrics.height());
        window->view()->resize(width, height);
        window->resize(width, height + window->menuBar()->sizeHint().height() +
                                  window->commandBar()->sizeHint().height());
    }
    window->layoutNow();
    if (show) window->show();
    window->redrawTimer().start();
    for (const char* line : kBanner) window->print(line);
    return window;
}

}  // namespace corvid1
