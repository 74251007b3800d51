#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvid1 {

class Session;
class MessageBuffer;

// SSH-1 messages of the login methods beyond the password.
enum : std::uint8_t {
    SSH_CMSG_AUTH_RSA = 6,
    SSH_SMSG_AUTH_RSA_CHALLENGE = 7,
    SSH_CMSG_AUTH_RSA_RESPONSE = 8,
    SSH_CMSG_AUTH_TIS = 39,
    SSH_SMSG_AUTH_TIS_CHALLENGE = 40,
    SSH_CMSG_AUTH_TIS_RESPONSE = 41,
    SSH_CMSG_AUTH_CCARD = 70,
    SSH_SMSG_AUTH_CCARD_CHALLENGE = 71,
    SSH_CMSG_AUTH_CCARD_RESPONSE = 72,
};

// Bit numbers of the server's authentications mask (bit 1 << n).
enum : unsigned { AuthMaskRsa = 2, AuthMaskPassword = 3, AuthMaskTis = 5, AuthMaskCryptoCard = 16 };

enum class LoginMethod { RsaKeys, Tis, CryptoCard, Password };

// The methods the user allows; all are on unless turned off.
struct LoginMethodSwitches {
    bool rsa = true;
    bool challenge = true;  // TIS and CryptoCard
    bool password = true;
};

// The order in which the login tries its methods: RSA keys (when there are any), then the
// challenge-response methods, then the password; each only when the server's mask offers it
// and the user has not turned it off.
std::vector<LoginMethod> loginMethodOrder(std::uint32_t serverMask,
                                          const LoginMethodSwitches& switches, bool haveKeys);

// How the login asks the user. Called on the session thread, which it may block. Every answer
// is wiped by the core once used.
class LoginPrompt {
  public:
    virtual ~LoginPrompt() = default;
    // The passphrase of an encrypted key file; `attempt` counts from 1 (three at most). False:
    // nobody gave one, and the key is skipped.
    virtual bool passphrase(const std::string& keyFile, const std::string& comment, int attempt,
                            std::string& out) = 0;
    // The response to a challenge the server shows; `method` is Tis or CryptoCard and
    // `challenge` has been made safe to print. False: nobody answered (an empty response goes).
    virtual bool challengeResponse(LoginMethod method, const std::string& challenge,
                                   std::string& out) = 0;
    // The password, asked only when the login reaches it: Given uses the one in the login
    // parameters, Typed the one now in `out`; Cancelled ends the login.
    enum class PasswordAnswer { Given, Typed, Cancelled };
    virtual PasswordAnswer password(std::string& out) {
        (void)out;
        return PasswordAnswer::Given;
    }
};

// Applies one ssh-style "-o Keyword=value" (or "Keyword value") setting that turns a method on
// or off: RSAAuthentication, ChallengeResponseAuthentication (TISAuthentication is the same),
// PasswordAuthentication; keywords in any letter case, values yes or no. Returns false with
// `error` set for an unknown keyword or value, and leaves `switches` alone then.
bool applyLoginMethodOption(const std::string& setting, LoginMethodSwitches& switches,
                            std::string& error);

// How many passphrases are asked for one key file.
inline constexpr int maxPassphraseAttempts = 3;
// Longest challenge text shown; the rest of a longer one is dropped.
inline constexpr std::size_t maxChallengeTextLength = 2048;

// The server's challenge as it may be printed: cut to maxChallengeTextLength, every control
// byte other than a line feed or tab shown as '?', so a server cannot drive the user's terminal.
std::string printableChallenge(const std::string& text);

// The login steps the session driver calls. Each returns the server's last answer:
// SSH_SMSG_SUCCESS (logged in), SSH_SMSG_FAILURE (refused or nothing to try: go on with the next
// method), SSH_MSG_DISCONNECT (its reason is in the buffer) or a negative value (the read failed).
// `prompt` may be null: nobody can be asked.
// Every key file of the login parameters in turn until one is accepted.
int tryRsaKeys(Session& session, MessageBuffer& buffer, LoginPrompt* prompt);
// One TIS or CryptoCard exchange.
int tryChallenge(Session& session, MessageBuffer& buffer, LoginMethod method, LoginPrompt* prompt);

}  // namespace corvid1
