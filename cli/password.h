#pragma once

#include <cstddef>
#include <string>

namespace corvid1::cli {

// A password held in one fixed buffer that never moves or grows, so no copy of it is left
// behind in freed memory; wiped when it goes away or on request.
class SecretText {
  public:
    static constexpr std::size_t capacity = 512;

    SecretText() = default;
    ~SecretText() { wipe(); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    // False (and nothing appended) when the byte would not fit.
    bool append(char c);
    // Drops the last byte, if any, and wipes it.
    void popBack();
    const char* data() const { return buffer_; }
    std::size_t size() const { return length_; }
    void wipe();

  private:
    char buffer_[capacity + 1] = {};  // one more for a terminating NUL
    std::size_t length_ = 0;
};

// The environment variable that may hold the password.
inline constexpr const char* passwordVariable = "CORVID1_PASSWORD";

// Takes the password from CORVID1_PASSWORD if it is set (an empty value is an empty password):
// the value is copied, then overwritten in place and removed from the environment, so neither
// this process's memory nor a child's environment keeps it. False when the variable is unset
// or its value does not fit (`error` then says why).
bool takePasswordFromEnvironment(SecretText& out, std::string& error);

// Reads the first line of `path` (without its CR LF or LF). Refused, as ssh refuses private
// keys, when the file is not a regular file owned by the user or root, or when group or others
// have any access to it; also when the line is too long or holds a NUL byte.
bool readPasswordFile(const std::string& path, SecretText& out, std::string& error);

// Asks on the controlling terminal (/dev/tty) with echo off, whatever standard input is.
bool promptForPassword(const std::string& prompt, SecretText& out, std::string& error);

// True when promptForPassword has a terminal to ask on; otherwise `error` says what to do
// instead, in the words promptForPassword would use.
bool canPromptForPassword(std::string& error);

}  // namespace corvid1::cli
