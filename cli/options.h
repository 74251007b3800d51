#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "session/auth/login_methods.h"
#include "session/channels/port_forward.h"
#include "session/host_key_fingerprint.h"
#include "terminal/interpreter.h"

namespace corvid1::cli {

// What the server's output becomes when standard input is not a terminal.
enum class OutputMode {
    Raw,     // the bytes, unchanged, to standard output
    Screen,  // fed through the terminal; the buffer's text is printed at the end
};

struct CliOptions {
    std::string host;
    std::uint16_t port = 22;
    std::string user;   // empty: the local login name is used
    int cipher = 3;     // SSH-1 cipher number: 0 none, 3 triple DES, 6 Blowfish
    bool vt52 = false;  // terminal type asked for in the pty request
    // The remote command: the words after the host, joined by blanks as ssh does; empty for
    // a shell.
    std::string command;
    // -t / -T: a pseudo-terminal asked for or not whatever the default (a shell gets one, a
    // command does not).
    bool forcePty = false;
    bool noPty = false;
    int compressionLevel = 0;  // -C: 6, as ssh and plink ask
    int keepaliveSeconds = 0;  // an SSH_MSG_IGNORE after this long without traffic; 0 never
    bool padPassword = true;   // the password hidden among IGNOREs of the neighbouring sizes
    RemoteCharset charset = kDefaultRemoteCharset;  // how --screen shows bytes 128..255
    bool verbose = false;      // the driver's status lines go to standard error
    std::string passwordFile;  // empty: none given
    OutputMode output = OutputMode::Raw;
    int columns = 80;  // pty size when standard input is not a terminal
    int rows = 24;
    // Tunnels: -L and -R in the order given; -X asks for X11 forwarding, -x (the default) not.
    std::vector<PortForward> forwards;
    bool forwardX11 = false;
    // Host keys. Without --host-key the key is looked up in the known-hosts store: this file
    // when given (and nothing else), else the user's store and ~/.ssh/known_hosts.
    std::string knownHostsFile;
    bool acceptNew = false;                   // an unknown key is saved without asking
    std::vector<ParsedFingerprint> hostKeys;  // only these keys are accepted; no store is used
    // The connect and the login together must finish within this many seconds; 0: no limit.
    int connectTimeoutSeconds = 60;
    // Login methods: key files to try (-i; none given: ~/.ssh/identity when it exists), the file
    // holding their passphrase (none: asked on the terminal), and the methods -o turned off.
    std::vector<std::string> identityFiles;
    std::string passphraseFile;
    LoginMethodSwitches loginMethods;
    // The configuration: -F FILE (else $XDG_CONFIG_HOME/corvid1/config when it exists), the
    // -o settings in order, and the keywords a flag of the command line already decided (a
    // flag wins over -o and the file, as with ssh).
    std::string configFile;
    std::vector<std::string> settings;
    std::set<std::string> given;
    bool askHostKey = true;    // StrictHostKeyChecking=yes: an unknown key is refused unasked
    bool quiet = false;        // -q: warnings are not shown
    bool escapes = true;       // -e none: '~' is an ordinary character
    std::string errorLogFile;  // -E: the client's own messages go here instead
    // --log: the server's bytes, raw; --log-text: its printable text. Appended to.
    std::string logFile;
    bool logText = false;
    bool help = false;
    bool version = false;
};

// Limits of --size: those of the terminal screen that --screen feeds (checked where the two meet).
inline constexpr int maxColumns = 255;
inline constexpr int maxRows = 1000;
// Limit of --keepalive, as of --connect-timeout.
inline constexpr int maxKeepaliveSeconds = 86400;
// Limit of --connect-timeout: a day; a longer wait is no limit in practice, and 0 says so.
inline constexpr int maxConnectTimeoutSeconds = 86400;

struct ParseResult {
    bool ok = false;
    CliOptions options;
    std::string error;  // what was wrong, without the program name; empty when ok
};

// Parses the command line in the manner of ssh and plink: short options take their value
// attached ("-p2222") or as the next word, long options as "--name=value" or the next word,
// "--" ends the options, and so does the host, as with ssh: the words after it are the remote
// command. A host is required unless --help or --version is given. "-l USER" wins over a
// "user@" prefix, since it is the more explicit of the two.
ParseResult parseOptions(int argc, const char* const* argv);

// Whether the session asks for a pseudo-terminal: a shell does, a command does not, unless
// -t or -T says otherwise.
bool wantsPty(const CliOptions& options);

const char* usageLine();
const char* helpText();

// Applies the configuration to options the command line has parsed: the -o settings, then
// those of the configuration file for the host as typed, the first value of a keyword winning
// and a flag of the command line winning over both (list keywords add up). False with `error`
// for a file that cannot be read or a line that makes no sense ("FILE:LINE: ...").
bool applyConfiguration(CliOptions& options, const std::string& defaultFile, std::string& error);

// Parses "COLSxROWS" within the limits above; false leaves the outputs alone.
bool parseSize(const std::string& text, int& columns, int& rows);

}  // namespace corvid1::cli
