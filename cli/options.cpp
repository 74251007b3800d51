#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "session/config/ssh_config.h"

namespace corvid1::cli {

namespace {

// The options that take a value, with both spellings where a short one exists.
enum class Opt {
    Port,
    User,
    Cipher,
    Terminal,
    Charset,
    PasswordFile,
    Size,
    KnownHosts,
    HostKey,
    ConnectTimeout,
    Keepalive,
    LocalForward,
    RemoteForward,
    Identity,
    PassphraseFile,
    SshOption,
    ConfigFile,
    Escape,
    ErrorLog,
    Log,
    LogText
};

struct ValueOption {
    char shortName;  // 0: long form only
    const char* longName;
    Opt id;
};

constexpr ValueOption valueOptions[] = {
    {'p', "port", Opt::Port},
    {'l', "login", Opt::User},
    {'c', "cipher", Opt::Cipher},
    {0, "terminal", Opt::Terminal},
    {0, "charset", Opt::Charset},
    {0, "password-file", Opt::PasswordFile},
    {0, "size", Opt::Size},
    {0, "known-hosts", Opt::KnownHosts},
    {0, "host-key", Opt::HostKey},
    {0, "connect-timeout", Opt::ConnectTimeout},
    {0, "keepalive", Opt::Keepalive},
    {'L', "local-forward", Opt::LocalForward},
    {'R', "remote-forward", Opt::RemoteForward},
    {'i', "identity", Opt::Identity},
    {0, "passphrase-file", Opt::PassphraseFile},
    {'o', "option", Opt::SshOption},
    {'F', "config", Opt::ConfigFile},
    {'e', "escape", Opt::Escape},
    {'E', "error-log", Opt::ErrorLog},
    {0, "log", Opt::Log},
    {0, "log-text", Opt::LogText},
};

struct CipherName {
    const char* name;
    int number;
};

constexpr CipherName cipherNames[] = {{"3des", 3}, {"blowfish", 6}, {"none", 0}};

const ValueOption* findShort(char c) {
    for (const auto& o : valueOptions)
        if (o.shortName == c) return &o;
    return nullptr;
}

const ValueOption* findLong(std::string_view name) {
    for (const auto& o : valueOptions)
        if (name == o.longName) return &o;
    return nullptr;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseBoundedInt(std::string_view text, int limit, int& out, int least = 1) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < least || value > limit) return false;
    out = value;
    return true;
}

// The configuration keyword an option decides, so that the configuration leaves it alone.
const char* keywordOf(Opt id) {
    switch (id) {
        case Opt::Port:
            return "Port";
        case Opt::User:
            return "User";
        case Opt::Cipher:
            return "Cipher";
        case Opt::KnownHosts:
            return "UserKnownHostsFile";
        case Opt::ConnectTimeout:
            return "ConnectTimeout";
        case Opt::Keepalive:
            return "ServerAliveInterval";
        default:
            return nullptr;
    }
}

// Applies one option value; returns the error text, empty on success.
std::string applyValue(Opt id, const std::string& value, CliOptions& o, bool& userGiven) {
    if (const char* keyword = keywordOf(id)) o.given.insert(keyword);
    switch (id) {
        case Opt::Port:
            if (!parsePort(value, o.port)) return "bad port '" + value + "'";
            return {};
        case Opt::User:
            if (value.empty()) return "empty user name";
            o.user = value;
            userGiven = true;
            return {};
        case Opt::Cipher:
            for (const auto& c : cipherNames) {
                if (value == c.name) {
                    o.cipher = c.number;
                    return {};
                }
            }
            return "unknown cipher '" + value + "' (3des, blowfish or none)";
        case Opt::Terminal:
            if (value == "vt100" || value == "vt52") {
                o.vt52 = value == "vt52";
                return {};
            }
            return "unknown terminal type '" + value + "' (vt100 or vt52)";
        case Opt::Charset:
            if (parseRemoteCharset(value, o.charset)) return {};
            return "unknown character set '" + value + "' (windows-1252, iso-8859-1 or utf-8)";
        case Opt::PasswordFile:
            if (value.empty()) return "empty password file name";
            o.passwordFile = value;
            return {};
        case Opt::Size:
            if (!parseSize(value, o.columns, o.rows))
                return "bad size '" + value + "' (COLSxROWS, at most " +
                       std::to_string(maxColumns) + "x" + std::to_string(maxRows) + ")";
            return {};
        case Opt::KnownHosts:
            // Two stores on one command line would leave open which one an answer goes to.
            if (!o.knownHostsFile.empty()) return "--known-hosts given more than once";
            if (value.empty()) return "empty known-hosts file name";
            o.knownHostsFile = value;
            return {};
        case Opt::HostKey:
            if (const auto fingerprint = parseHostKeyFingerprint(value)) {
                o.hostKeys.push_back(*fingerprint);
                return {};
            }
            return "bad host key fingerprint '" + value +
                   "' (16 colon-separated hex bytes, the bit count and a blank before them if "
                   "wanted)";
        case Opt::ConnectTimeout:
            if (!parseBoundedInt(value, maxConnectTimeoutSeconds, o.connectTimeoutSeconds, 0))
                return "bad connect timeout '" + value + "' (seconds, 0 for no limit, at most " +
                       std::to_string(maxConnectTimeoutSeconds) + ")";
            return {};
        case Opt::Keepalive:
            if (!parseBoundedInt(value, maxKeepaliveSeconds, o.keepaliveSeconds, 0))
                return "bad keepalive interval '" + value + "' (seconds, 0 for none, at most " +
                       std::to_string(maxKeepaliveSeconds) + ")";
            return {};
        case Opt::LocalForward:
        case Opt::RemoteForward: {
            const bool remote = id == Opt::RemoteForward;
            const auto rule = parsePortForward(value, remote);
            if (!rule)
                return "bad forward '" + value + "' (" +
                       (remote ? "port:host:hostport" : "[bind:]port:host:hostport") + ")";
            o.forwards.push_back(*rule);
            return {};
        }
        case Opt::Identity:
            if (value.empty()) return "empty key file name";
            o.identityFiles.push_back(value);
            return {};
        case Opt::PassphraseFile:
            if (value.empty()) return "empty passphrase file name";
            o.passphraseFile = value;
            return {};
        case Opt::SshOption: {
            ConfigSetting setting;
            std::string error;
            if (!parseSetting(value, setting, error)) return "-o " + value + ": " + error;
            o.settings.push_back(value);
            return {};
        }
        case Opt::ConfigFile:
            if (value.empty()) return "empty configuration file name";
            o.configFile = value;
            return {};
        case Opt::Escape:
            // Only the two ssh users pass: the default, and none for an 8-bit clean line.
            if (value != "none" && value != "~")
                return "escape character '" + value + "' (~ or none)";
            o.escapes = value == "~";
            return {};
        case Opt::ErrorLog:
            if (value.empty()) return "empty log file name";
            o.errorLogFile = value;
            return {};
        case Opt::Log:
        case Opt::LogText:
            if (value.empty()) return "empty log file name";
            if (!o.logFile.empty()) return "one session log at a time (--log or --log-text)";
            o.logFile = value;
            o.logText = id == Opt::LogText;
            return {};
    }
    return "internal error";
}

// Flags without a value; returns false if the name is not one.
bool applyFlag(std::string_view name, CliOptions& o, bool& rawGiven, bool& screenGiven) {
    if (name == "v" || name == "verbose") {
        o.verbose = true;
    } else if (name == "raw") {
        rawGiven = true;
    } else if (name == "screen") {
        screenGiven = true;
    } else if (name == "accept-new") {
        o.acceptNew = true;
        o.given.insert("StrictHostKeyChecking");
    } else if (name == "q") {
        o.quiet = true;
    } else if (name == "1" || name == "a") {
        // SSH protocol 1 is the only one spoken, and agent forwarding is never offered: the
        // flags scripts pass to ssh -1 are accepted as the requests they already are.
    } else if (name == "t") {
        o.forcePty = true;
    } else if (name == "T") {
        o.noPty = true;
    } else if (name == "C" || name == "compress") {
        o.compressionLevel = 6;
        o.given.insert("Compression");
    } else if (name == "X" || name == "x") {
        o.forwardX11 = name == "X";
        o.given.insert("ForwardX11");
    } else if (name == "no-password-padding") {
        o.padPassword = false;
    } else if (name == "h" || name == "help") {
        o.help = true;
    } else if (name == "V" || name == "version") {
        o.version = true;
    } else {
        return false;
    }
    return true;
}

ParseResult failure(std::string error) {
    ParseResult r;
    r.error = std::move(error);
    return r;
}

}  // namespace

bool parseSize(const std::string& text, int& columns, int& rows) {
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    int c = 0, r = 0;
    if (!parseBoundedInt(std::string_view(text).substr(0, x), maxColumns, c)) return false;
    if (!parseBoundedInt(std::string_view(text).substr(x + 1), maxRows, r)) return false;
    columns = c;
    rows = r;
    return true;
}

bool wantsPty(const CliOptions& options) {
    if (options.forcePty) return true;
    if (options.noPty) return false;
    return options.command.empty();
}

ParseResult parseOptions(int argc, const char* const* argv) {
    CliOptions o;
    bool userGiven = false, rawGiven = false, screenGiven = false;
    std::string target;
    int positional = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool optionsEnded = arg == "--";
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            // The host, and everything after it (or after "--"), is positional: the command's
            // own options are its own.
            for (int k = optionsEnded ? i + 1 : i; k < argc; ++k) {
                if (positional++ == 0) {
                    target = argv[k];
                } else {
                    if (!o.command.empty()) o.command += ' ';
                    o.command += argv[k];
                }
            }
            break;
        }
        // "-t vt100" and "-t vt52" keep their older meaning, the terminal type; any other -t
        // asks for a pty, as ssh's does.
        if (arg == "-t" && i + 1 < argc &&
            (std::string_view(argv[i + 1]) == "vt100" || std::string_view(argv[i + 1]) == "vt52")) {
            o.vt52 = std::string_view(argv[++i]) == "vt52";
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            std::string name = arg.substr(2), value;
            const auto eq = name.find('=');
            const bool attached = eq != std::string::npos;
            if (attached) {
                value = name.substr(eq + 1);
                name.resize(eq);
            }
            if (const ValueOption* vo = findLong(name)) {
                if (!attached) {
                    if (i + 1 >= argc) return failure("option --" + name + " needs a value");
                    value = argv[++i];
                }
                std::string err = applyValue(vo->id, value, o, userGiven);
                if (!err.empty()) return failure(err);
                continue;
            }
            if (attached || !applyFlag(name, o, rawGiven, screenGiven))
                return failure("unknown option '" + arg + "'");
            continue;
        }
        // A cluster of short options: flags may be combined ("-vv"); a value option takes the
        // rest of the word or the next one.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char c = arg[k];
            if (const ValueOption* vo = findShort(c)) {
                std::string value;
                if (k + 1 < arg.size()) {
                    value = arg.substr(k + 1);
                } else if (i + 1 < argc) {
                    value = argv[++i];
                } else {
                    return failure(std::string("option -") + c + " needs a value");
                }
                std::string err = applyValue(vo->id, value, o, userGiven);
                if (!err.empty()) return failure(err);
                break;
            }
            if (!applyFlag(std::string_view(&arg[k], 1), o, rawGiven, screenGiven))
                return failure(std::string("unknown option '-") + c + "'");
        }
    }

    if (rawGiven && screenGiven) return failure("--raw and --screen exclude each other");
    if (screenGiven) o.output = OutputMode::Screen;
    // Saving an unknown key into a store that --host-key leaves unread would be a promise the
    // next run does not keep.
    if (o.acceptNew && !o.hostKeys.empty())
        return failure("--accept-new and --host-key exclude each other");

    if (o.help || o.version) {
        ParseResult r;
        r.ok = true;
        r.options = std::move(o);
        return r;
    }
    if (positional == 0) return failure("no host given");
    if (o.forcePty && o.noPty) return failure("-t and -T exclude each other");

    // "user@host": the last '@' separates, so a user name may itself hold one.
    const auto at = target.rfind('@');
    if (at != std::string::npos) {
        std::string userPart = target.substr(0, at);
        target.erase(0, at + 1);
        if (userPart.empty()) return failure("empty user name before '@'");
        if (!userGiven) o.user = std::move(userPart);
        o.given.insert("User");
    }
    if (target.empty()) return failure("no host given");
    o.host = std::move(target);

    ParseResult r;
    r.ok = true;
    r.options = std::move(o);
    return r;
}

const char* usageLine() {
    return "usage: corvid1-cli [-CtTvXx] [-p PORT] [-l USER] [-c 3des|blowfish|none]\n"
           "                   [--terminal vt100|vt52] [--charset SET] [--password-file F]\n"
           "                   [--raw | --screen] [--size COLSxROWS] [--known-hosts FILE]\n"
           "                   [--accept-new | --host-key FP...] [--connect-timeout SECONDS]\n"
           "                   [--keepalive SECONDS] [--no-password-padding]\n"
           "                   [-L [bind:]port:host:hostport] [-R port:host:hostport]\n"
           "                   [-i KEYFILE]... [--passphrase-file F] [-o KEY=VALUE]...\n"
           "                   [-F CONFIG] [-e none] [-E LOGFILE] [-1aq]\n"
           "                   [--log FILE | --log-text FILE]\n"
           "                   [user@]host [command ...]\n";
}

const char* helpText() {
    return "An SSH-1.5 client for scripts and terminals.\n"
           "\n"
           "  -p, --port PORT         TCP port of the server (default 22)\n"
           "  -l, --login USER        user name (default: user@ prefix, else the local name)\n"
           "  -c, --cipher NAME       3des (default), blowfish or none\n"
           "      --terminal TYPE     terminal type for the pty: vt100 (default) or vt52\n"
           "                          (\"-t vt100\" and \"-t vt52\" are understood too)\n"
           "  -t                      ask for a pseudo-terminal even for a command\n"
           "  -T                      ask for no pseudo-terminal, even for a shell\n"
           "  -C, --compress          ask the server to compress the session (zlib level 6)\n"
           "      --charset SET       the host's character set: windows-1252 (default),\n"
           "                          iso-8859-1 or utf-8; --screen shows its text by it\n"
           "  -v, --verbose           the session's progress lines on standard error\n"
           "      --password-file F   read the password from the first line of F, which must\n"
           "                          not be accessible to group or others\n"
           "      --raw               when standard input is not a terminal, write the\n"
           "                          server's bytes unchanged to standard output (default)\n"
           "      --screen            when standard input is not a terminal, run the output\n"
           "                          through the terminal and print its text at the end\n"
           "      --size COLSxROWS    pty size when standard input is not a terminal (80x24)\n"
           "      --known-hosts FILE  read and save host keys in FILE only\n"
           "      --accept-new        accept and save a host key that is not known yet,\n"
           "                          without asking; a changed key is still refused\n"
           "      --host-key FP       accept exactly the host key with this fingerprint,\n"
           "                          \"aa:bb:...\" or \"1024 aa:bb:...\" (may be repeated);\n"
           "                          no known-hosts file is then read or written\n"
           "      --connect-timeout S give up when the connect and the login have not\n"
           "                          finished within S seconds (default 60, 0: no limit;\n"
           "                          the time spent answering a question does not count)\n"
           "  -L [BIND:]PORT:HOST:HOSTPORT\n"
           "                          listen on BIND:PORT here (127.0.0.1 unless given) and\n"
           "                          reach HOST:HOSTPORT from the server (repeatable)\n"
           "  -R PORT:HOST:HOSTPORT   ask the server to listen on PORT and reach\n"
           "                          HOST:HOSTPORT from here (repeatable)\n"
           "  -X                      forward X11 connections to the local DISPLAY, the\n"
           "                          server seeing only a fake cookie\n"
           "  -x                      no X11 forwarding (the default)\n"
           "      --keepalive S       send an SSH_MSG_IGNORE after S seconds without traffic\n"
           "                          (default 0: never), to keep NAT and firewalls open\n"
           "      --no-password-padding  send the password alone, for servers that choke\n"
           "                          on the IGNORE packets that hide its length\n"
           "  -i, --identity FILE     try the SSH-1 RSA key in FILE (may be repeated;\n"
           "                          default ~/.ssh/identity when it exists); see below\n"
           "      --passphrase-file F read the keys' passphrase from the first line of F,\n"
           "                          which must not be accessible to group or others\n"
           "  -o, --option K=V        a configuration setting (see below), before the\n"
           "                          file's; RSAAuthentication=no,\n"
           "                          ChallengeResponseAuthentication=no or\n"
           "                          PasswordAuthentication=no turns that method off\n"
           "  -F, --config FILE       read FILE instead of $XDG_CONFIG_HOME/corvid1/config\n"
           "  -e none                 no escape character: '~' is sent as typed\n"
           "  -E, --error-log FILE    the client's own messages go to FILE\n"
           "  -q                      quiet: warnings are not shown\n"
           "      --log FILE          append the server's bytes, as they came, to FILE\n"
           "      --log-text FILE     append the server's printable text to FILE, with a\n"
           "                          header line naming the server and the time\n"
           "  -1, -a                  accepted as ssh -1 takes them (SSH-1 is all this\n"
           "                          client speaks; it never forwards an agent)\n"
           "  -h, --help              this text\n"
           "  -V, --version           the program's version\n"
           "\n"
           "Host keys are kept in $XDG_CONFIG_HOME/corvid1/known_hosts (default\n"
           "~/.config/corvid1/known_hosts); keys that ssh1 saved in ~/.ssh/known_hosts are\n"
           "honoured too. A key on record is taken without a word. For an unknown key the\n"
           "terminal shows its fingerprint and asks whether to connect and remember it\n"
           "(yes), connect this time only (once) or not (no); with no terminal it is refused\n"
           "unless --accept-new or --host-key is given. A key that differs from the one on\n"
           "record is refused (exit status 255). No password is asked for or sent before the\n"
           "host key is accepted.\n"
           "\n"
           "The password comes from --password-file, else from the environment variable\n"
           "CORVID1_PASSWORD, else it is asked for on the terminal. It is never taken from\n"
           "the command line.\n"
           "\n"
           "With a command after the host (its words joined by blanks, as ssh does), the\n"
           "server runs it instead of a shell, without a pseudo-terminal unless -t is given;\n"
           "the end of standard input is passed on to it, its error output goes to standard\n"
           "error and its exit status becomes ours.\n"
           "\n"
           "The login tries the RSA keys first, then the server's TIS or CryptoCard\n"
           "challenge (shown on the terminal, the response typed without echo), then the\n"
           "password, each only when the server offers it. An encrypted key's passphrase is\n"
           "asked for on the terminal (three tries) only when the server accepts the key. A\n"
           "key file that group or others may read is refused, as ssh refuses it. Make a\n"
           "key with 'puttygen -t rsa1 -o ~/.ssh/identity'.\n"
           "\n"
           "The configuration file has ssh_config's form: Host blocks of HostName, Port,\n"
           "User, Cipher, IdentityFile, Compression, LocalForward, RemoteForward,\n"
           "ForwardX11, ServerAliveInterval, StrictHostKeyChecking (yes, accept-new, ask),\n"
           "UserKnownHostsFile, ConnectTimeout and the login methods' keywords. A flag wins,\n"
           "then the first value found, -o before the file.\n"
           "\n"
           "In a terminal, '~.' at the start of a line disconnects and '~~' sends one '~'.\n"
           "\n"
           "The server's error output goes to standard error, except with --screen.\n"
           "\n"
           "Exit status: the remote exit status if the server sent one; 0 after '~.' once\n"
           "logged in; 255 if the connection, key exchange, host key check or login failed\n"
           "or timed out, or the session ended in any other way (the server disconnected\n"
           "without an exit status, the connection was lost); 2 for a bad command line.\n";
}

}  // namespace corvid1::cli
