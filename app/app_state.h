#pragma once

#include <QStringList>

#include <memory>

namespace corvid1 {

class TerminalScreen;
class Session;

// The shell's one process-wide record, owned by the user-interface thread. The session thread
// reads `user`, `password` and the screen's size only while a login runs; nothing here changes
// while a session is connected, because the Connect dialog cannot be opened then.
struct AppState {
    // The one character grid of the process; created at start-up, lives as long as the process.
    TerminalScreen* screen = nullptr;

    // Non-zero while the shell counts as connected: set by the Connect command before the TCP
    // connection is opened, cleared by `disconnect`.
    bool connected = false;
    // The running session; the session thread holds its own reference until `runSession`
    // has returned, so dropping this one never frees a session that is still in use.
    std::shared_ptr<Session> session;
    // Counts connections, so that a `SessionEnded` from an old session thread cannot tear
    // down a newer session.
    int sessionSerial = 0;

    int cipher = 3;  // 3 triple DES, 6 Blowfish, 0 none; handed to each new session

    // 8-bit texts (Windows-1252), NUL-terminated, with the buffer sizes of the Connect dialog.
    char host[80] = " ";
    char port[8] = "22";
    char user[20] = "username";
    // Kept in memory only, never written anywhere; wiped as soon as the login has used it.
    char password[20] = {};

    bool closing = false;  // the main window is being destroyed: no "Connection Lost" box

    // Offered by the Connect dialog when the registry holds no server list: one empty entry.
    QStringList defaultServerList{QString()};
};

// The process-wide instance.
AppState& appState();

}  // namespace corvid1
