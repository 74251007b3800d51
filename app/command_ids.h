#pragma once

namespace corvid1 {

// Command ids of the menu, the command-bar buttons and the popup menu.
enum CommandId : int {
    kCmdCopy = 104,
    kCmdPaste = 105,
    kCmdConnect = 40001,  // Connect / Disconnect
    kCmdExit = 40002,
    kCmdAbout = 40003,
    kCmdTripleDes = 40004,
    kCmdBlowfish = 40006,
    kCmdFonts = 40008,
    kCmdPreferences = 40011,
    kCmdNoCipher = 40012,
    kCmdHelp = 40013,
    kCmdSelectAll = 40017,
    kCmdCompression = 40020,         // ask the server to compress the next session
    kCmdHidePasswordLength = 40021,  // the password among IGNORE packets of every size near it
    kCmdLogSession = 40023,          // File > Log Session... / Stop Logging
    kCmdNewWindow = 40024,           // another Corvid1 process, for another session
    kCmdTunnels = 40022,             // the port forwards and X11 of the next session
};

}  // namespace corvid1
