#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crypto/random_pool.h"
#include "session/auth/login_methods.h"
#include "session/channels/port_forward.h"
#include "session/connection.h"
#include "session/message_buffer.h"
#include "session/terminal_front_end.h"

namespace corvid1 {

class HostKeyVerifier;
class LoginTimer;
struct RsaPublicKey;

// SSH-1 message types of the conversation.
enum : std::uint8_t {
    SSH_MSG_DISCONNECT = 1,
    SSH_SMSG_PUBLIC_KEY = 2,
    SSH_CMSG_SESSION_KEY = 3,
    SSH_CMSG_USER = 4,
    SSH_CMSG_AUTH_PASSWORD = 9,
    SSH_CMSG_REQUEST_PTY = 10,
    SSH_CMSG_WINDOW_SIZE = 11,
    SSH_CMSG_EXEC_SHELL = 12,
    SSH_CMSG_EXEC_CMD = 13,
    SSH_SMSG_SUCCESS = 14,
    SSH_SMSG_FAILURE = 15,
    SSH_CMSG_STDIN_DATA = 16,
    SSH_SMSG_STDOUT_DATA = 17,
    SSH_SMSG_STDERR_DATA = 18,
    SSH_CMSG_EOF = 19,
    SSH_SMSG_EXITSTATUS = 20,
    SSH_CMSG_EXIT_CONFIRMATION = 33,
    SSH_CMSG_REQUEST_COMPRESSION = 37,
};

// The client's version line.
inline constexpr char clientVersionLine[] = "SSH-1.5-CORVID11.00.46\n";

// What the caller hands in for one login; the core knows nothing of the window.
struct LoginParameters {
    std::string user;
    std::string password;  // wiped as soon as it has been sent, or when the Session goes
    std::string terminalType = "vt100";  // "vt100" or "vt52"
    std::uint32_t cipherPreference = 3;  // 0 none, 3 triple DES, 6 Blowfish
    std::uint32_t rows = 24;
    std::uint32_t columns = 80;
    std::uint32_t widthPixels = 0;
    std::uint32_t heightPixels = 0;
    // Full path of the random pool's seed file (the caller picks the folder).
    std::string seedFilePath = "ssh_seedfile";
    // The login, from the TCP connect to the shell request, must finish within this time (zero:
    // no limit); the time the user spends answering a host-key question does not count. The
    // clock starts at `loginStarted`, which the caller sets before it connects; unset, when
    // runSession starts. The data phase has no limit: an idle shell is normal.
    std::chrono::milliseconds loginTimeout{60000};
    std::optional<std::chrono::steady_clock::time_point> loginStarted;
    // The remote command, sent with SSH_CMSG_EXEC_CMD instead of the shell request; empty: a
    // shell.
    std::string command;
    // Whether a pseudo-terminal is asked for before the shell or command.
    bool requestPty = true;
    // zlib level 1..9 asked of the server after the pty request; 0: no compression.
    int compressionLevel = 0;
    // After this many seconds without a packet either way in the data phase, an SSH_MSG_IGNORE
    // goes out; 0: never.
    int keepaliveSeconds = 0;
    // The password goes out among SSH_MSG_IGNORE packets of the neighbouring sizes, so that the
    // packet lengths on the wire (SSH-1 sends them in clear) do not tell its length. Some old
    // servers choke on IGNORE during the login; for them this is turned off.
    bool padPassword = true;
    // Port forwards, local and remote, set up after the pty request and before the shell.
    std::vector<PortForward> forwards;
    // X11 forwarding to the display x11Display names (DISPLAY's value). The server is given a
    // fake cookie; the display's real authorization (x11AuthProtocol empty: none) stays here.
    bool forwardX11 = false;
    std::string x11Display;
    std::string x11AuthProtocol;
    std::string x11AuthData;
    // The login methods beyond the password: SSH-1 key files tried in this order, the methods
    // the user allows, and who is asked for passphrases, challenge responses and a password
    // wanted only once the login reaches it (none: nobody can be asked).
    std::vector<std::string> keyFiles;
    LoginMethodSwitches loginMethods;
    std::shared_ptr<LoginPrompt> loginPrompt;
};

// The default of LoginParameters::loginTimeout, in seconds, for the front ends' own settings.
inline constexpr int defaultLoginTimeoutSeconds = 60;

// How a session ended.
enum class SessionEnd {
    NotEnded,            // runSession has not returned yet
    VersionFailure,      // no line beginning with "SSH-" (or the stream ended first)
    KeyExchangeFailure,  // public key missing or unusable, or the first encrypted packet bad
    HostKeyRejected,     // the HostKeyVerifier refused the host key
    LoginRefused,        // disconnect after the user name, or the password refused
    ServerDisconnect,    // SSH_MSG_DISCONNECT in the data phase; reason in disconnectReason
    ExitStatus,          // SSH_SMSG_EXITSTATUS; value in exitStatus
    StreamFailure,       // the stream failed or a packet was bad; detail in packetError
    Aborted,             // Session::abort was called
    TimedOut,            // the login did not finish within LoginParameters::loginTimeout
};

struct SessionResult {
    SessionEnd end = SessionEnd::NotEnded;
    std::optional<std::uint32_t> exitStatus;
    std::string disconnectReason;  // of any SSH_MSG_DISCONNECT received
    PacketError packetError = PacketError::None;
    bool serverOffersOnlySsh2 = false;  // its version line announced protocol 2 only
    std::string serverVersion;          // the server's version line as received
    int cipher = -1;                    // the cipher number chosen, once chosen
    bool loggedIn = false;              // the server accepted the user (and password)
};

// The per-connection protocol state. Threads: the front end (user-interface thread) holds the
// Session in a std::shared_ptr and calls sendInput, sendWindowSize and abort; the session thread
// holds another reference for the whole of runSession. The Session, its connections and its
// buffers therefore stay valid until runSession has returned, whatever the other thread does.
// Packet writes from both threads take one lock, held only for the write itself: the session
// thread never holds it while it calls the front end, so a front end that hands output to the
// user-interface thread synchronously cannot deadlock with that thread's sendInput.
class Session {
  public:
    // `connection` is already connected. `frontEnd` must outlive the Session.
    Session(std::unique_ptr<Connection> connection, LoginParameters login,
            SessionFrontEnd& frontEnd = terminalFrontEnd());
    // Shuts the socket down and closes it (once), then releases both connections.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Thread-safe: shuts the socket down (without closing it, so the descriptor cannot be
    // reused under the session thread) and a blocked read or send fails; runSession then ends
    // with SessionEnd::Aborted and prints nothing more of its own.
    void abort();
    bool aborted() const { return aborted_.load(std::memory_order_acquire); }

    // Hooks, set before runSession starts. The verifier sees the host key right after it is
    // read (none: every key is taken, see HostKeyPolicy). The inspector sees every encrypted
    // packet before it is decrypted; without one, a session keyed with triple DES or Blowfish
    // gets a CrcAttackInspector, so the attack detector is on unless replaced.
    void setHostKeyVerifier(std::shared_ptr<HostKeyVerifier> verifier);
    void setCiphertextInspector(std::shared_ptr<CiphertextInspector> inspector);

    // Valid once runSession has returned, on the thread that knows it has.
    const SessionResult& result() const { return result_; }

    // Sends through `connection` with packet writes from both threads serialised.
    int sendPacket(Connection& connection, MessageBuffer& buffer);
    // When a packet last went either way (for the keepalive).
    std::chrono::steady_clock::time_point lastTraffic() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(lastTraffic_.load(std::memory_order_relaxed)));
    }
    void noteTraffic() {
        lastTraffic_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                           std::memory_order_relaxed);
    }
    // The keyed encrypted connection, or null before the key exchange has finished.
    EncryptedConnection* encryptedConnection() const {
        return encrypted_.load(std::memory_order_acquire);
    }
    Connection& plainConnection() { return *connection_; }
    SessionFrontEnd& frontEnd() { return frontEnd_; }
    const LoginParameters& login() const { return login_; }
    // Supplies the password late, for a front end that asks for it only once the host key has
    // been accepted: call it on the session thread before authentication (the host-key verifier
    // runs there, during the key exchange). The previous value is wiped; `length` bytes are
    // copied and the caller wipes its own copy.
    void setPassword(const char* password, std::size_t length);

    // Key exchange state (written by the session thread during the exchange only).
    std::int8_t cipherNumber = 0;
    std::uint8_t cookie[8] = {};
    std::uint8_t sessionId[16] = {};
    std::uint32_t authMask = 0;  // the server's supported-authentications mask
    RandomPool randomPool{};

  private:
    friend class SessionDriver;
    friend SessionResult runSession(Session& session);
    friend bool exchangeKeys(Session& session, MessageBuffer& buffer,
                             const RsaPublicKey& serverKey);
    // Stores the keyed connection and only then makes it visible to the other thread.
    void publishEncryptedConnection(std::unique_ptr<EncryptedConnection> keyed);
    void wipePassword();

    std::unique_ptr<Connection> connection_;
    std::unique_ptr<EncryptedConnection> encryptedOwner_;
    std::atomic<EncryptedConnection*> encrypted_{nullptr};
    std::mutex writeLock_;
    std::atomic<bool> aborted_{false};
    // Set by runSession for the length of the login, so that the key exchange can stop the
    // clock while the user is asked about the host key.
    LoginTimer* loginTimer_ = nullptr;
    std::atomic<std::chrono::steady_clock::rep> lastTraffic_{0};
    SessionFrontEnd& frontEnd_;
    LoginParameters login_;
    SessionResult result_;
    std::shared_ptr<HostKeyVerifier> hostKeyVerifier_;
    std::shared_ptr<CiphertextInspector> inspector_;
};

// Runs the whole conversation; returns when the session has ended, for whatever reason, with
// the same record that Session::result gives. Call it once per Session, on its own thread.
SessionResult runSession(Session& session);

// Sends exactly `length` bytes as user input (NULs included; a negative length means the
// NUL-terminated length of `text`). Dropped before the key exchange has finished. Large input
// goes out in several packets. Any thread.
void sendInput(Session& session, const char* text, int length);

// Tells the server that the user's input has ended (SSH_CMSG_EOF): a command reading it sees
// the end of its input. Dropped before the key exchange has finished. Any thread.
void sendEof(Session& session);

// Sends the terminal size: rows + 1, then columns and the pixel sizes, as this client always
// has. Dropped before the key exchange has finished. Any thread.
void sendWindowSize(Session& session, std::uint32_t rows, std::uint32_t columns,
                    std::uint32_t widthPixels, std::uint32_t heightPixels);

}  // namespace corvid1
