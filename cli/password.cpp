#include "cli/password.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/local_terminal.h"
#include "crypto/wipe.h"

namespace corvid1::cli {

namespace {

// Closes a descriptor on every path out.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

std::string errnoText() {
    return std::strerror(errno);
}

}  // namespace

bool SecretText::append(char c) {
    if (length_ >= capacity) return false;
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
    return true;
}

void SecretText::popBack() {
    if (length_ > 0) buffer_[--length_] = '\0';
}

void SecretText::wipe() {
    secureWipe(buffer_, sizeof buffer_);
    length_ = 0;
}

bool takePasswordFromEnvironment(SecretText& out, std::string& error) {
    char* value = std::getenv(passwordVariable);
    if (value == nullptr) return false;
    out.wipe();
    bool fits = true;
    for (char* p = value; *p != '\0'; ++p) {
        if (!out.append(*p)) {
            fits = false;
            break;
        }
    }
    secureWipe(value, std::strlen(value));
    unsetenv(passwordVariable);
    if (!fits) {
        out.wipe();
        error = std::string(passwordVariable) + " is longer than " +
                std::to_string(SecretText::capacity) + " bytes";
    }
    return fits;
}

bool readPasswordFile(const std::string& path, SecretText& out, std::string& error) {
    out.wipe();
    FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) {
        error = "password file '" + path + "': " + errnoText();
        return false;
    }
    // The checks look at the file that was opened, not at whatever the name means by now.
    struct stat st {};
    if (fstat(file.fd, &st) != 0) {
        error = "password file '" + path + "': " + errnoText();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "password file '" + path + "' is not a regular file";
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != getuid()) {
        error = "password file '" + path + "' belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = "password file '" + path + "': permissions " + mode +
                " are too open; it must not be accessible to group or others (chmod 600)";
        return false;
    }
    char chunk[256];
    bool lineEnded = false;
    while (!lineEnded) {
        const ssize_t n = read(file.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            secureWipe(chunk, sizeof chunk);
            out.wipe();
            error = "password file '" + path + "': " + errnoText();
            return false;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n && !lineEnded; ++i) {
            const char c = chunk[i];
            if (c == '\n') {
                lineEnded = true;
            } else if (c == '\0' || !out.append(c)) {
                secureWipe(chunk, sizeof chunk);
                out.wipe();
                error = c == '\0' ? "password file '" + path + "' holds a NUL byte"
                                  : "password in '" + path + "' is longer than " +
                                        std::to_string(SecretText::capacity) + " bytes";
                return false;
            }
        }
    }
    secureWipe(chunk, sizeof chunk);
    // A file written on another system may end its line with CR LF.
    if (out.size() > 0 && out.data()[out.size() - 1] == '\r') out.popBack();
    return true;
}

namespace {

std::string noTerminalText() {
    return std::string("no terminal to ask for the password on; set ") + passwordVariable +
           " or use --password-file";
}

}  // namespace

bool canPromptForPassword(std::string& error) {
    FdCloser tty{open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (tty.fd >= 0) return true;
    error = noTerminalText();
    return false;
}

bool promptForPassword(const std::string& prompt, SecretText& out, std::string& error) {
    out.wipe();
    FdCloser tty{open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (tty.fd < 0) {
        error = noTerminalText();
        return false;
    }
    installTerminalRestorers();
    LocalTerminal terminal(tty.fd);
    const bool echoOff = terminal.disableEcho();
    if (write(tty.fd, prompt.data(), prompt.size()) < 0) {
        // Nothing to do: the read below still works or fails on its own.
    }
    bool ok = true;
    for (;;) {
        char c;
        const ssize_t n = read(tty.fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // End of input before a line: an interrupted prompt, not an empty password.
            ok = false;
            error = "no password given";
            break;
        }
        if (c == '\n' || c == '\r') break;
        if (!out.append(c)) {
            ok = false;
            error = "password is longer than " + std::to_string(SecretText::capacity) + " bytes";
            // Drain the rest of the line so it does not reach the shell afterwards.
            while (read(tty.fd, &c, 1) == 1 && c != '\n') {
            }
            break;
        }
    }
    terminal.restore();
    if (echoOff && write(tty.fd, "\n", 1) < 0) {
    }
    if (!ok) out.wipe();
    return ok;
}

}  // namespace corvid1::cli
