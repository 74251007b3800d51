#include "cli/client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "cli/cli_front_end.h"
#include "cli/escape_scanner.h"
#include "cli/host_key_prompt.h"
#include "cli/local_terminal.h"
#include "cli/login_prompt.h"
#include "cli/password.h"
#include "cli/paths.h"
#include "cli/screen_text.h"
#include "session/channels/x11.h"
#include "session/host_key_policy.h"
#include "session/known_hosts.h"
#include "session/session.h"
#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace corvid1::cli {

static_assert(maxColumns <= kMaxColumns && maxRows <= kMaxRows,
              "--size must stay within what the terminal screen holds");

namespace {

constexpr std::size_t inputChunk = 16384;

// Where the SIGWINCH handler reports; -1 once the pipe is gone. Lock-free, so safe in a handler.
std::atomic<int> wakeWriteFd{-1};

void onWindowChange(int) {
    wake(wakeWriteFd, WakeWindowSize);
}

struct WindowSize {
    int columns = 80;
    int rows = 24;
    int widthPixels = 0;
    int heightPixels = 0;
    bool operator==(const WindowSize&) const = default;
};

// The local terminal's size; a terminal that reports no size counts as 80x24.
WindowSize localWindowSize(int fd) {
    WindowSize size;
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        size.columns = ws.ws_col;
        size.rows = ws.ws_row;
        size.widthPixels = ws.ws_xpixel;
        size.heightPixels = ws.ws_ypixel;
    }
    return size;
}

// The window-size message carries one row more than it is given (the pty request carries the
// rows themselves); one row less is passed so the server's pty gets the local terminal's size.
void sendLocalWindowSize(Session& session, const WindowSize& size) {
    const std::uint32_t rows = size.rows > 1 ? static_cast<std::uint32_t>(size.rows - 1) : 0;
    sendWindowSize(session, rows, static_cast<std::uint32_t>(size.columns),
                   static_cast<std::uint32_t>(size.widthPixels),
                   static_cast<std::uint32_t>(size.heightPixels));
}

struct WakePipe {
    int readFd = -1;
    int writeFd = -1;
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        readFd = fds[0];
        writeFd = fds[1];
        return true;
    }
    ~WakePipe() {
        if (readFd >= 0) close(readFd);
        if (writeFd >= 0) close(writeFd);
    }
};

// The password sources that need no terminal; false with `error` empty when neither is given.
bool passwordWithoutPrompt(const CliOptions& options, SecretText& password, std::string& error) {
    if (!options.passwordFile.empty())
        return readPasswordFile(options.passwordFile, password, error);
    return takePasswordFromEnvironment(password, error);
}

// The host-key check. The password is asked for later, by the login prompt, only when the
// login reaches it: the user types nothing for a machine whose key was refused.
class CliHostKeyVerifier : public HostKeyVerifier {
  public:
    CliHostKeyVerifier(std::shared_ptr<HostKeyPolicy> policy, CliFrontEnd& frontEnd)
        : policy_(std::move(policy)), frontEnd_(frontEnd) {}

    bool verifyHostKey(const RsaPublicKey& hostKey) override {
        reportFrom_ = frontEnd_.statusCount();
        return policy_->verifyHostKey(hostKey);
    }

    // Read once runSession has returned.
    const HostKeyPolicy& policy() const { return *policy_; }
    // The first status line that belongs to the check, for a report of the refusal.
    std::size_t reportFrom() const { return reportFrom_; }

  private:
    std::shared_ptr<HostKeyPolicy> policy_;
    CliFrontEnd& frontEnd_;
    std::size_t reportFrom_ = 0;
};

// Everything the main loop tracks while the session runs.
struct LoopState {
    bool released = false;  // input and window sizes may go to the server
    bool ended = false;
    bool stdinOpen = true;
    bool userDisconnected = false;
    bool windowChanged = false;
};

class Client {
  public:
    Client(const CliOptions& options, bool interactive)
        : options_(options), interactive_(interactive), pty_(wantsPty(options)) {}
    // The handler must not write into a descriptor number that is closed, or reused, next.
    ~Client() {
        signal(SIGWINCH, SIG_DFL);
        wakeWriteFd = -1;
        if (errorLog_ >= 0) close(errorLog_);
    }
    int run();

  private:
    bool setUpScreen();
    bool openSocket(TcpSocket& socket);
    void startSession(TcpSocket& socket, LoginParameters login);
    KnownHosts knownHostsStore() const;
    int reportHostKeyRefusal();
    void mainLoop();
    void release();
    void handleWakeEvents();
    void pumpInput();
    int finish();

    const CliOptions& options_;
    bool interactive_;
    int errorLog_ = -1;
    SessionLog sessionLog_;
    // Without a pty the local terminal stays as it is and input goes through unchanged, as
    // with ssh: there is nothing on the far side to draw or to answer keystrokes.
    bool pty_;
    WakePipe wake_;
    std::unique_ptr<CliFrontEnd> frontEnd_;
    std::unique_ptr<TerminalScreen> screen_;
    std::unique_ptr<TerminalHostKeyPrompt> hostKeyPrompt_;  // null: no terminal to ask on
    std::shared_ptr<Session> session_;
    std::shared_ptr<CliHostKeyVerifier> verifier_;
    std::shared_ptr<CliLoginPrompt> loginPrompt_;
    std::thread sessionThread_;
    LocalTerminal terminal_{STDIN_FILENO};
    EscapeScanner escape_;
    LoopState state_;
    WindowSize sentSize_;
};

int Client::run() {
    if (!wake_.open()) {
        std::string text = std::string("corvid1-cli: ") + std::strerror(errno) + "\n";
        writeAll(STDERR_FILENO, text.data(), text.size());
        return exitFailure;
    }
    wakeWriteFd = wake_.writeFd;
    const bool screen = !interactive_ && options_.output == OutputMode::Screen;
    frontEnd_ = std::make_unique<CliFrontEnd>(
        screen ? CliFrontEnd::Sink::Screen : CliFrontEnd::Sink::StandardOutput, options_.verbose,
        wake_.writeFd);
    frontEnd_->setQuiet(options_.quiet);
    if (!options_.errorLogFile.empty()) {
        const int log =
            open(options_.errorLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log < 0) {
            frontEnd_->printError("corvid1-cli: " + options_.errorLogFile + ": " +
                                  std::strerror(errno) + "\n");
            return exitFailure;
        }
        errorLog_ = log;
        frontEnd_->setDiagnosticFd(log);
    }
    if (!options_.logFile.empty()) {
        std::string error;
        const std::time_t now = std::time(nullptr);
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", std::localtime(&now));
        const std::string header = "=== Corvid1 session log: " + options_.host + " port " +
                                   std::to_string(options_.port) + ", " + when + " ===";
        if (!sessionLog_.open(options_.logFile,
                              options_.logText ? SessionLog::Mode::Text : SessionLog::Mode::Raw,
                              true, options_.logText ? header : std::string(), error)) {
            frontEnd_->printError("corvid1-cli: " + error + "\n");
            return exitFailure;
        }
        frontEnd_->setLog(&sessionLog_);
    }

    const std::string user = options_.user.empty() ? localUserName() : options_.user;
    if (user.empty()) {
        frontEnd_->printError("corvid1-cli: no user name: give one with -l or user@host\n");
        return exitUsage;
    }
    // A password from a file or the environment is checked before the network is touched; one
    // typed on the terminal is asked for once the login reaches it, as ssh does. Without a
    // terminal to ask on, that is known now, unless a key may log in without one.
    SecretText password;
    std::string error;
    const std::vector<std::string> keyFiles = identityFiles(options_.identityFiles);
    const bool keysFirst = options_.loginMethods.rsa && !keyFiles.empty();
    const bool havePassword = passwordWithoutPrompt(options_, password, error);
    if (!havePassword && (!error.empty() || (!keysFirst && !canPromptForPassword(error)))) {
        frontEnd_->printError("corvid1-cli: " + error + "\n");
        return exitFailure;
    }
    loginPrompt_ = std::make_shared<CliLoginPrompt>(
        options_.passphraseFile,
        havePassword ? std::string() : user + "@" + options_.host + "'s password: ");
    if (!loginPrompt_->loadPassphraseFile(error)) {
        frontEnd_->printError("corvid1-cli: " + error + "\n");
        return exitFailure;
    }
    // StrictHostKeyChecking=yes: nobody is asked, so an unknown key is refused.
    if (options_.askHostKey && haveControllingTerminal())
        hostKeyPrompt_ = std::make_unique<TerminalHostKeyPrompt>();
    LoginParameters login;
    login.loginStarted = std::chrono::steady_clock::now();
    login.loginTimeout = std::chrono::seconds(options_.connectTimeoutSeconds);
    TcpSocket socket;
    if (!openSocket(socket)) return exitFailure;

    login.user = user;
    // Held on the heap from the start: a short string kept inside the object would leave a copy
    // behind in every moved-from LoginParameters on its way into the Session, which wipes its own.
    login.password.reserve(SecretText::capacity + 1);
    login.password.assign(password.data(), password.size());
    password.wipe();
    login.terminalType = options_.vt52 ? "vt52" : "vt100";
    login.cipherPreference = static_cast<std::uint32_t>(options_.cipher);
    login.command = options_.command;
    login.requestPty = pty_;
    login.compressionLevel = options_.compressionLevel;
    login.keepaliveSeconds = options_.keepaliveSeconds;
    login.padPassword = options_.padPassword;
    login.forwards = options_.forwards;
    if (options_.forwardX11) forwardX11ToLocalDisplay(login);
    if (interactive_) {
        sentSize_ = localWindowSize(STDIN_FILENO);
    } else {
        sentSize_.columns = options_.columns;
        sentSize_.rows = options_.rows;
    }
    login.rows = static_cast<std::uint32_t>(sentSize_.rows);
    login.columns = static_cast<std::uint32_t>(sentSize_.columns);
    login.widthPixels = static_cast<std::uint32_t>(sentSize_.widthPixels);
    login.heightPixels = static_cast<std::uint32_t>(sentSize_.heightPixels);
    login.seedFilePath = seedFilePath();
    login.keyFiles = keyFiles;
    login.loginMethods = options_.loginMethods;
    login.loginPrompt = loginPrompt_;

    if (screen) setUpScreen();
    startSession(socket, std::move(login));
    mainLoop();
    return finish();
}

bool Client::setUpScreen() {
    screen_ = createScreen();
    attachScreen(screen_.get());
    // A script wants as much of the output as the terminal can keep.
    screen_->setScrollbackLines(kMaxScrollbackLines);
    screen_->resize(options_.columns, options_.rows, 0, 0, frontEnd_.get());
    return true;
}

bool Client::openSocket(TcpSocket& socket) {
    if (options_.verbose)
        frontEnd_->printError("Connecting to " + options_.host + " port " +
                              std::to_string(options_.port) + "...\n");
    // The connect is part of the login's time; it also keeps the socket layer's own limit.
    int timeoutMs = TcpSocket::defaultConnectTimeoutMs;
    if (options_.connectTimeoutSeconds > 0)
        timeoutMs = std::min(timeoutMs, options_.connectTimeoutSeconds * 1000);
    if (socket.openConnection(options_.host.c_str(), options_.port, timeoutMs) == 1) return true;
    frontEnd_->printError("corvid1-cli: could not connect to " + options_.host + " port " +
                          std::to_string(options_.port) + ": " + socket.failureReason() + "\n");
    return false;
}

KnownHosts Client::knownHostsStore() const {
    if (!options_.knownHostsFile.empty()) return KnownHosts(options_.knownHostsFile, {});
    return KnownHosts::withDefaults();
}

void Client::startSession(TcpSocket& socket, LoginParameters login) {
    auto connection = std::make_unique<Connection>(socket.socketHandle());
    session_ = std::make_shared<Session>(std::move(connection), std::move(login), *frontEnd_);
    frontEnd_->setSession(session_.get());

    HostKeyPolicyOptions policyOptions;
    policyOptions.acceptNew = options_.acceptNew;
    policyOptions.acceptedFingerprints = options_.hostKeys;
    auto policy =
        std::make_shared<HostKeyPolicy>(options_.host, options_.port, knownHostsStore(), *frontEnd_,
                                        hostKeyPrompt_.get(), std::move(policyOptions));
    verifier_ = std::make_shared<CliHostKeyVerifier>(std::move(policy), *frontEnd_);
    session_->setHostKeyVerifier(verifier_);

    if (interactive_ && pty_) {
        struct sigaction action {};
        action.sa_handler = onWindowChange;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGWINCH, &action, nullptr);
    }
    // The thread keeps its own reference for the whole run; when the run is over it shuts the
    // socket down, so that input blocked in a send on the main thread fails instead of waiting.
    sessionThread_ = std::thread([session = session_, fd = wake_.writeFd] {
        runSession(*session);
        session->abort();
        wake(fd, WakeSessionEnded);
    });
}

void Client::release() {
    state_.released = true;
    if (!interactive_ || !pty_) return;
    installTerminalRestorers();
    if (terminal_.makeRaw()) frontEnd_->setRawTerminal(true);
    // The size may have changed while the login ran.
    const WindowSize now = localWindowSize(STDIN_FILENO);
    if (!(now == sentSize_)) {
        sentSize_ = now;
        sendLocalWindowSize(*session_, now);
    }
}

void Client::handleWakeEvents() {
    char events[64];
    for (;;) {
        const ssize_t n = read(wake_.readFd, events, sizeof events);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            switch (events[i]) {
                case WakeInteractive:
                    if (!state_.released) release();
                    break;
                case WakeWindowSize:
                    state_.windowChanged = true;
                    break;
                case WakeSessionEnded:
                    state_.ended = true;
                    break;
                case WakeOutputFailed:
                    session_->abort();
                    break;
                default:
                    break;
            }
        }
    }
}

void Client::pumpInput() {
    char buffer[inputChunk];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        // Input has ended; the server hears of it, and the session goes on until it ends it.
        state_.stdinOpen = false;
        sendEof(*session_);
        return;
    }
    if (!interactive_ || !pty_ || !options_.escapes) {
        sendInput(*session_, buffer, static_cast<int>(n));
        return;
    }
    std::string out;
    const auto result = escape_.feed(buffer, static_cast<std::size_t>(n), out);
    if (!out.empty()) sendInput(*session_, out.data(), static_cast<int>(out.size()));
    if (result == EscapeScanner::Result::Disconnect) {
        state_.userDisconnected = true;
        state_.stdinOpen = false;
        session_->abort();
    }
}

void Client::mainLoop() {
    while (!state_.ended) {
        if (state_.released && state_.windowChanged) {
            state_.windowChanged = false;
            const WindowSize now = localWindowSize(STDIN_FILENO);
            if (!(now == sentSize_)) {
                sentSize_ = now;
                sendLocalWindowSize(*session_, now);
            }
        }

        pollfd fds[2] = {{wake_.readFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = state_.released && state_.stdinOpen ? 2 : 1;
        const int ready = poll(fds, count, -1);
        if (ready < 0 && errno != EINTR) {
            session_->abort();  // the thread then ends on its own and can be joined
            break;
        }
        if (ready <= 0) continue;
        if (fds[0].revents != 0) handleWakeEvents();
        if (count == 2 && fds[1].revents != 0 && !state_.ended) pumpInput();
    }
    sessionThread_.join();
}

int Client::finish() {
    // Back to the terminal's own modes before anything more is printed.
    terminal_.restore();
    frontEnd_->setRawTerminal(false);

    const SessionResult& result = session_->result();
    // A log that could not be written was closed; the session itself went on.
    if (const std::string failure = sessionLog_.takeFailure(); !failure.empty())
        frontEnd_->printError("corvid1-cli: the session log stopped: " + failure + "\n");
    if (screen_) {
        const std::string text = screenText(*screen_);
        if (state_.released) writeAll(STDOUT_FILENO, text.data(), text.size());
        attachScreen(nullptr);
    }
    if (frontEnd_->outputFailed()) {
        frontEnd_->printError(std::string("corvid1-cli: standard output: ") +
                              "cannot be written; the session was ended\n");
        return exitFailure;
    }
    switch (result.end) {
        case SessionEnd::ExitStatus:
            return static_cast<int>(result.exitStatus.value_or(0) & 0xFF);
        case SessionEnd::ServerDisconnect:
            // A session the server ended without an exit status did not succeed. Its parting
            // words went to standard error (to the screen with --screen) and end a line there.
            if (frontEnd_->errorLineOpen()) frontEnd_->printError("\n");
            if (!state_.released) frontEnd_->printError(frontEnd_->unshownStatus());
            if (screen_ || !state_.released)
                frontEnd_->printError(
                    "corvid1-cli: disconnected by the server: " + result.disconnectReason + "\n");
            return exitFailure;
        case SessionEnd::HostKeyRejected:
            return reportHostKeyRefusal();
        case SessionEnd::LoginRefused:
            // A password prompt that ended without one is the user's doing, not the server's.
            if (!loginPrompt_->passwordError().empty()) {
                frontEnd_->printError("corvid1-cli: " + loginPrompt_->passwordError() + "\n");
                return exitFailure;
            }
            break;
        case SessionEnd::Aborted:
            // "~." after the login is an ordinary end; anything else that aborts is not.
            return state_.userDisconnected && result.loggedIn ? exitOk : exitFailure;
        case SessionEnd::StreamFailure:
            if (result.loggedIn) {
                frontEnd_->printError(frontEnd_->unshownStatus());
                frontEnd_->printError("corvid1-cli: connection to " + options_.host + " lost\n");
                return exitFailure;
            }
            break;
        default:
            break;
    }
    // The login did not complete: tell which step failed and why, in the driver's words.
    frontEnd_->printError(frontEnd_->unshownStatus());
    return exitFailure;
}

int Client::reportHostKeyRefusal() {
    // The policy's own lines say what was presented and what is on record; the steps before
    // the check went well and are left out.
    frontEnd_->printError(frontEnd_->unshownStatus(verifier_->reportFrom()));
    if (verifier_->policy().outcome() == HostKeyOutcome::RefusedUnknown && !hostKeyPrompt_)
        frontEnd_->printError(
            "corvid1-cli: no terminal to ask whether to trust the key; check its fingerprint and "
            "give it with --host-key, or use --accept-new\n");
    return exitFailure;
}

}  // namespace

int runClient(const CliOptions& options) {
    // A closed reader of standard output shows as a failed write, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    const bool interactive = isatty(STDIN_FILENO) != 0;
    if (interactive && options.output == OutputMode::Screen) {
        const char text[] = "corvid1-cli: --screen needs standard input that is not a terminal\n";
        writeAll(STDERR_FILENO, text, sizeof text - 1);
        return exitUsage;
    }
    Client client(options, interactive);
    return client.run();
}

}  // namespace corvid1::cli
