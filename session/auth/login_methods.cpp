#include "session/auth/login_methods.h"

#include <cctype>
#include <cstring>

#include "crypto/wipe.h"
#include "session/auth/user_key.h"
#include "session/session.h"

namespace corvid1 {
namespace {

bool offered(std::uint32_t mask, unsigned bit) {
    return (mask >> bit) & 1u;
}

void wipeText(std::string& text) {
    secureWipe(text.data(), text.size());
    text.clear();
}

int exchange(Session& session, MessageBuffer& buffer) {
    session.sendPacket(*session.encryptedConnection(), buffer);
    return session.encryptedConnection()->readPacket(buffer);
}

void keyStatus(Session& session, const std::string& path, const char* text) {
    session.frontEnd().status(("Key file " + path + ": " + text + "\n").c_str());
}

// The private part, decrypted with the passphrases the user gives (three tries).
bool unlockKey(Session& session, LoginPrompt* prompt, const std::string& path,
               const std::string& contents, UserKey& key) {
    if (!key.encrypted) {
        const std::string none;
        const KeyFileStatus status = parseKeyFile(contents, &none, key);
        if (status != KeyFileStatus::Ok) keyStatus(session, path, keyFileStatusText(status));
        return status == KeyFileStatus::Ok;
    }
    for (int attempt = 1; attempt <= maxPassphraseAttempts; ++attempt) {
        std::string passphrase;
        if (prompt == nullptr || !prompt->passphrase(path, key.comment, attempt, passphrase)) {
            wipeText(passphrase);
            keyStatus(session, path, "no passphrase given; key skipped");
            return false;
        }
        const KeyFileStatus status = parseKeyFile(contents, &passphrase, key);
        wipeText(passphrase);
        if (status == KeyFileStatus::Ok) return true;
        keyStatus(session, path, keyFileStatusText(status));
        if (status != KeyFileStatus::WrongPassphrase) return false;
    }
    return false;
}

// One key: offer its modulus, and answer the challenge if the server takes it.
int tryRsaKey(Session& session, MessageBuffer& buffer, LoginPrompt* prompt,
              const std::string& path) {
    std::string contents;
    UserKey key;
    KeyFileStatus status = readKeyFile(path, contents);
    if (status == KeyFileStatus::Ok) status = parseKeyFile(contents, nullptr, key);
    if (status != KeyFileStatus::Ok) {
        keyStatus(session, path, keyFileStatusText(status));
        wipeText(contents);
        return SSH_SMSG_FAILURE;
    }
    session.frontEnd().status(("Trying RSA key " + path + "\n").c_str());
    buffer.beginPacket(SSH_CMSG_AUTH_RSA);
    buffer.putMpint(key.modulus);
    int reply = exchange(session, buffer);
    if (reply != SSH_SMSG_AUTH_RSA_CHALLENGE) {
        wipeText(contents);
        if (reply == SSH_SMSG_FAILURE) session.frontEnd().status("Server refused our key\n");
        return reply < 0 || reply == SSH_MSG_DISCONNECT ? reply : SSH_SMSG_FAILURE;
    }
    mpz_t challenge;
    mpz_init(challenge);
    buffer.getMpint(challenge);
    const bool challengeRead = !buffer.broken();
    // A key that cannot be unlocked still owes the server a response, or the conversation
    // would lose step; sixteen zero bytes are never the right one.
    std::uint8_t response[16] = {};
    std::uint8_t plain[32];
    if (challengeRead && unlockKey(session, prompt, path, contents, key)) {
        if (decryptChallenge(key, challenge, plain)) {
            challengeResponse(plain, session.sessionId, response);
        } else {
            session.frontEnd().status("ERROR - The server's RSA challenge does not decrypt\n");
        }
    }
    key.wipePrivate();
    wipeText(contents);
    secureWipe(plain, sizeof plain);
    mpz_clear(challenge);
    buffer.beginPacket(SSH_CMSG_AUTH_RSA_RESPONSE);
    buffer.append(response, sizeof response);
    secureWipe(response, sizeof response);
    reply = exchange(session, buffer);
    if (reply == SSH_SMSG_SUCCESS) {
        session.frontEnd().status("Authenticated with RSA key\n");
        return reply;
    }
    if (reply == SSH_SMSG_FAILURE) session.frontEnd().status("RSA authentication refused\n");
    return reply < 0 || reply == SSH_MSG_DISCONNECT ? reply : SSH_SMSG_FAILURE;
}

}  // namespace

std::vector<LoginMethod> loginMethodOrder(std::uint32_t serverMask,
                                          const LoginMethodSwitches& switches, bool haveKeys) {
    std::vector<LoginMethod> order;
    if (switches.rsa && haveKeys && offered(serverMask, AuthMaskRsa))
        order.push_back(LoginMethod::RsaKeys);
    if (switches.challenge && offered(serverMask, AuthMaskTis)) order.push_back(LoginMethod::Tis);
    if (switches.challenge && offered(serverMask, AuthMaskCryptoCard))
        order.push_back(LoginMethod::CryptoCard);
    if (switches.password && offered(serverMask, AuthMaskPassword))
        order.push_back(LoginMethod::Password);
    return order;
}

std::string printableChallenge(const std::string& text) {
    std::string shown = text.substr(0, maxChallengeTextLength);
    for (char& c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f ||
            (byte >= 0x80 && byte < 0xa0))
            c = '?';
    }
    return shown;
}

bool applyLoginMethodOption(const std::string& setting, LoginMethodSwitches& switches,
                            std::string& error) {
    const std::size_t split = setting.find_first_of("= ");
    std::string keyword = setting.substr(0, split);
    std::string value = split == std::string::npos ? "" : setting.substr(split + 1);
    for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const struct {
        const char* keyword;
        bool LoginMethodSwitches::*flag;
    } table[] = {{"rsaauthentication", &LoginMethodSwitches::rsa},
                 {"challengeresponseauthentication", &LoginMethodSwitches::challenge},
                 {"tisauthentication", &LoginMethodSwitches::challenge},
                 {"passwordauthentication", &LoginMethodSwitches::password}};
    for (const auto& row : table) {
        if (keyword != row.keyword) continue;
        if (value != "yes" && value != "no") {
            error = "'" + setting + "': the value must be yes or no";
            return false;
        }
        switches.*row.flag = value == "yes";
        return true;
    }
    error = "unsupported option '" + setting +
            "' (RSAAuthentication, ChallengeResponseAuthentication or PasswordAuthentication)";
    return false;
}

int tryRsaKeys(Session& session, MessageBuffer& buffer, LoginPrompt* prompt) {
    for (const std::string& path : session.login().keyFiles) {
        const int reply = tryRsaKey(session, buffer, prompt, path);
        if (reply != SSH_SMSG_FAILURE) return reply;
    }
    return SSH_SMSG_FAILURE;
}

int tryChallenge(Session& session, MessageBuffer& buffer, LoginMethod method, LoginPrompt* prompt) {
    const bool tis = method == LoginMethod::Tis;
    const char* name = tis ? "TIS" : "CryptoCard";
    buffer.beginPacket(tis ? SSH_CMSG_AUTH_TIS : SSH_CMSG_AUTH_CCARD);
    int reply = exchange(session, buffer);
    if (reply != (tis ? SSH_SMSG_AUTH_TIS_CHALLENGE : SSH_SMSG_AUTH_CCARD_CHALLENGE)) {
        if (reply == SSH_SMSG_FAILURE)
            session.frontEnd().status((std::string("Server refused ") + name + " login\n").c_str());
        return reply < 0 || reply == SSH_MSG_DISCONNECT ? reply : SSH_SMSG_FAILURE;
    }
    const std::string challenge = printableChallenge(buffer.getString());
    std::string response;
    if (buffer.broken() || prompt == nullptr ||
        !prompt->challengeResponse(method, challenge, response))
        wipeText(response);
    buffer.beginPacket(tis ? SSH_CMSG_AUTH_TIS_RESPONSE : SSH_CMSG_AUTH_CCARD_RESPONSE);
    buffer.putString(response.data(), response.size());
    wipeText(response);
    session.sendPacket(*session.encryptedConnection(), buffer);
    buffer.wipe();  // with cipher 0 it still holds the response in clear
    reply = session.encryptedConnection()->readPacket(buffer);
    if (reply == SSH_SMSG_FAILURE)
        session.frontEnd().status((std::string(name) + " response refused\n").c_str());
    return reply < 0 || reply == SSH_MSG_DISCONNECT || reply == SSH_SMSG_SUCCESS ? reply
                                                                                 : SSH_SMSG_FAILURE;
}

}  // namespace corvid1
