#pragma once

#include <cstdint>

namespace corvid1 {

// Window-message numbers (the platform's first user message 1024 plus 500..506). The screen
// sends RepaintAll, RepaintCells, SendToHost, LiveTopChanged and ColumnsChanged; the others belong
// to the shell.
enum WindowMessage : int {
    SessionEnded = 1524,
    Relayout = 1525,
    RepaintAll = 1526,      // first 0, second 0
    RepaintCells = 1527,    // first: end cell, second: start cell, each row x 256 + column
    SendToHost = 1528,      // first: const char* to the text (NUL-terminated), second: its length
    LiveTopChanged = 1529,  // first: the new liveTop, second 0
    // The host switched between 80 and 132 columns (first: the new count, second 0); the window
    // may widen or narrow to fit. Its number is clear of 1530 and 1531, the window's own
    // questions from the session thread, which share the same entry point.
    ColumnsChanged = 1532
};

// What the screen knows of the window that shows it. Sends are synchronous: the sender waits
// until the receiver has handled the message.
struct NotificationTarget {
    virtual ~NotificationTarget() = default;
    virtual void send(int message, std::intptr_t first, std::intptr_t second) = 0;
};

}  // namespace corvid1
