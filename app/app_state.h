#pragma once

#include <QStringList>
#include <memory>

#include "app/dialogs/connect_dialog.h"

namespace corvid1 {

struct TerminalScreen;
class Session;

// The shell's one process-wide record, owned by the user-interface thread. Nothing here
// changes while a session is connected: the Connect dialog cannot be opened then, and the
// session thread gets its own copy of the login values when it starts.
struct AppState {
    // The one character grid of the process; created at start-up, lives as long as the process,
    // so a session thread that is still finishing never writes into freed cells.
    std::unique_ptr<TerminalScreen> screen;

    // True while the shell counts as connected: set by the Connect command before the TCP
    // connection is opened, cleared by `disconnect`.
    bool connected = false;
    // The running session. The session thread holds its own reference until `runSession` has
    // returned, so dropping this one never frees a session that is still in use.
    std::shared_ptr<Session> session;
    // Numbers the connections, so that a `SessionEnded` from an old session thread cannot tear
    // down a newer session.
    int sessionSerial = 0;

    int cipher = 3;  // 3 triple DES, 6 Blowfish, 0 none; handed to each new session

    // Host, port, user name and password from the Connect dialog, 8-bit and NUL-terminated.
    // The password is kept in memory only and wiped once the session has copied it.
    ConnectValues login;

    bool closing = false;  // the main window is being destroyed: no "Connection Lost" box

    // Offered by the Connect dialog when the registry holds no server list: one empty entry.
    QStringList defaultServerList{QString()};
};

// The process-wide instance.
AppState& appState();

}  // namespace corvid1
