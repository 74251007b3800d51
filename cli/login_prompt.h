#pragma once

#include <mutex>
#include <string>

#include "cli/password.h"
#include "session/auth/login_methods.h"

namespace corvid1::cli {

// Where the command-line client finds passphrases, challenge responses and a password asked
// only when the login reaches it: a file, else the controlling terminal.
class CliLoginPrompt : public LoginPrompt {
  public:
    // `passphraseFile` empty: passphrases are asked on the terminal. `passwordPrompt` empty: the
    // password is already in the login parameters.
    CliLoginPrompt(std::string passphraseFile, std::string passwordPrompt)
        : passphraseFile_(std::move(passphraseFile)), passwordPrompt_(std::move(passwordPrompt)) {}

    // Reads the passphrase file, if one was given, before the network is touched; false with
    // `error` set when it cannot be used (the rules of --password-file apply).
    bool loadPassphraseFile(std::string& error);

    bool passphrase(const std::string& keyFile, const std::string& comment, int attempt,
                    std::string& out) override;
    bool challengeResponse(LoginMethod method, const std::string& challenge,
                           std::string& out) override;
    PasswordAnswer password(std::string& out) override;

    // Why the password prompt failed; empty when it did not. Read once the session has ended.
    std::string passwordError() const {
        std::lock_guard<std::mutex> hold(lock_);
        return passwordError_;
    }

  private:
    std::string passphraseFile_;
    SecretText filePassphrase_;
    std::string passwordPrompt_;
    mutable std::mutex lock_;
    std::string passwordError_;
};

// The key files to try: those given with -i, else ~/.ssh/identity when it exists.
std::vector<std::string> identityFiles(const std::vector<std::string>& given);

}  // namespace corvid1::cli
