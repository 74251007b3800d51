#include "cli/host_key_prompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "session/known_hosts.h"

namespace corvid1::cli {

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

void say(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the read that follows fails or succeeds on its own
        done += static_cast<std::size_t>(n);
    }
}

// One line from the terminal, without its line end; false at the end of input or on an error.
// Only the start of a long line is kept: no answer is longer, and the terminal decides how much
// a line may hold, not us.
bool readLine(int fd, std::string& line) {
    constexpr std::size_t kept = 64;
    line.clear();
    for (;;) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n' || c == '\r') return true;
        if (line.size() < kept) line.push_back(c);
    }
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string unknownHostKeyQuestion(const std::string& name, const std::string& fingerprint) {
    return "The host key of " + name + " is not known. Its fingerprint is\n    " + fingerprint +
           "\nCompare it with the one the server's administrator gave you.\n"
           "Connect and remember the key (yes), connect this time only (once), or not (no)? ";
}

std::optional<UnknownHostKeyDecision> parseTrustAnswer(std::string_view line) {
    while (!line.empty() && blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && blank(line.back())) line.remove_suffix(1);
    std::string word;
    for (char c : line) word.push_back(lower(c));
    if (word == "yes") return UnknownHostKeyDecision::AcceptAndRemember;
    if (word == "once") return UnknownHostKeyDecision::ConnectOnce;
    if (word == "no") return UnknownHostKeyDecision::Refuse;
    return std::nullopt;
}

bool haveControllingTerminal() {
    FdCloser tty{open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)};
    return tty.fd >= 0;
}

UnknownHostKeyDecision TerminalHostKeyPrompt::decideUnknown(const std::string& host,
                                                            std::uint16_t port, std::uint32_t,
                                                            const std::string& fingerprint) {
    FdCloser tty{open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (tty.fd < 0) return UnknownHostKeyDecision::Refuse;
    // Keys typed before the question was shown must not answer it.
    tcflush(tty.fd, TCIFLUSH);
    say(tty.fd, unknownHostKeyQuestion(knownHostsName(host, port), fingerprint));
    std::string line;
    for (;;) {
        if (!readLine(tty.fd, line)) {
            // The end of input is no consent.
            say(tty.fd, "\n");
            return UnknownHostKeyDecision::Refuse;
        }
        if (const auto decision = parseTrustAnswer(line)) return *decision;
        say(tty.fd, trustAnswerReminder);
    }
}

}  // namespace corvid1::cli
