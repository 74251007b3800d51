#include "cli/login_prompt.h"

#include <sys/stat.h>

#include <cstdlib>

#include "cli/password.h"

namespace corvid1::cli {
namespace {

// Copies a secret out of its fixed buffer into a string reserved first, so that no
// reallocation leaves a copy behind.
void takeSecret(SecretText& secret, std::string& out) {
    out.reserve(secret.size() + 1);
    out.assign(secret.data(), secret.size());
    secret.wipe();
}

}  // namespace

bool CliLoginPrompt::loadPassphraseFile(std::string& error) {
    if (passphraseFile_.empty()) return true;
    if (readPasswordFile(passphraseFile_, filePassphrase_, error)) return true;
    error = "passphrase file: " + error;
    return false;
}

bool CliLoginPrompt::passphrase(const std::string& keyFile, const std::string& comment, int attempt,
                                std::string& out) {
    if (!passphraseFile_.empty()) {
        // A file holds one passphrase: asking it again would only give the same wrong one.
        if (attempt > 1) return false;
        out.reserve(filePassphrase_.size() + 1);
        out.assign(filePassphrase_.data(), filePassphrase_.size());
        return true;
    }
    SecretText secret;
    std::string error;
    const std::string name = comment.empty() ? keyFile : comment;
    if (!promptForPassword("Enter passphrase for RSA key '" + name + "': ", secret, error))
        return false;
    takeSecret(secret, out);
    return true;
}

bool CliLoginPrompt::challengeResponse(LoginMethod, const std::string& challenge,
                                       std::string& out) {
    // The challenge is the prompt; one without a line of its own gets one, as ssh does it.
    const std::string prompt =
        challenge.find('\n') == std::string::npos ? challenge + "\nResponse: " : challenge;
    SecretText secret;
    std::string error;
    if (!promptForPassword(prompt, secret, error)) return false;
    takeSecret(secret, out);
    return true;
}

LoginPrompt::PasswordAnswer CliLoginPrompt::password(std::string& out) {
    if (passwordPrompt_.empty()) return PasswordAnswer::Given;
    SecretText secret;
    std::string error;
    if (!promptForPassword(passwordPrompt_, secret, error)) {
        std::lock_guard<std::mutex> hold(lock_);
        passwordError_ = error;
        return PasswordAnswer::Cancelled;
    }
    takeSecret(secret, out);
    return PasswordAnswer::Typed;
}

std::vector<std::string> identityFiles(const std::vector<std::string>& given) {
    if (!given.empty()) return given;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') return {};
    const std::string path = std::string(home) + "/.ssh/identity";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {};
    return {path};
}

}  // namespace corvid1::cli
