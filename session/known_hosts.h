#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "session/host_key_fingerprint.h"

namespace corvid1 {

// Host keys the user has accepted, in OpenSSH's known_hosts format for SSH-1 keys:
//   host-patterns bits exponent modulus [comment]
// with decimal numbers, comma-separated patterns ('*' and '?' wildcards, '!' to exclude), and
// "[host]:port" for a port other than 22. Hashed names ("|1|salt|hash", as ssh writes them with
// HashKnownHosts) are matched but never written. Comments, blank lines, marker ("@...") lines
// and SSH-2 lines are passed over; a line that cannot be read is ignored.

enum class HostKeyStatus {
    Known,    // an entry for this host holds exactly this key
    Unknown,  // no entry names this host
    Changed,  // entries name this host, but none holds this key
};

struct HostKeyCheck {
    HostKeyStatus status = HostKeyStatus::Unknown;
    std::string storedFingerprint;  // Changed: the fingerprint of the key on record
    std::string storedAt;           // Known and Changed: "FILE:LINE" of the deciding entry
    std::string readError;          // "FILE: reason" when a store exists but cannot be read
};

// $XDG_CONFIG_HOME/corvid1/known_hosts when XDG_CONFIG_HOME is an absolute path, else
// ~/.config/corvid1/known_hosts; empty when no home folder can be found.
std::string defaultKnownHostsPath();
// ~/.ssh/known_hosts, where ssh1 keeps what the user accepted before; empty without a home.
std::string defaultOpenSshKnownHostsPath();

// The name a host is filed under: "host" on port 22, "[host]:port" otherwise.
std::string knownHostsName(std::string_view host, std::uint16_t port);

class KnownHosts {
  public:
    // `userStore` is read and appended to; `readOnlyStores` are only read, after it.
    KnownHosts(std::string userStore, std::vector<std::string> readOnlyStores);
    // The user's store at defaultKnownHostsPath() plus ~/.ssh/known_hosts, read only.
    static KnownHosts withDefaults();

    // Looks the host up in every store. An entry holding the same exponent and modulus makes
    // the key Known wherever it stands; otherwise the first entry for the host decides Changed.
    // Host names compare without regard to ASCII case.
    HostKeyCheck check(std::string_view host, std::uint16_t port, const HostKey& key) const;

    // Appends one line for the host and key to the user's store, creating its folder (0700)
    // and the file (0600) when missing. Never rewrites existing lines. Returns false, with the
    // reason in `error` when given, if the host name cannot be filed (blanks, control
    // characters, ',', '#', '*', '?', '!', '[', ']', a leading '|' or '@'), the key is empty,
    // or the file cannot be written; a failed write leaves the file as it was.
    bool add(std::string_view host, std::uint16_t port, const HostKey& key,
             std::string* error = nullptr) const;

    const std::string& userStore() const { return userStore_; }
    const std::vector<std::string>& readOnlyStores() const { return readOnlyStores_; }

  private:
    std::string userStore_;
    std::vector<std::string> readOnlyStores_;
};

// True when `name` (already "host" or "[host]:port") is selected by the comma-separated
// `patterns` of a known_hosts line: some pattern matches and no '!' pattern does.
bool knownHostsPatternsMatch(std::string_view patterns, std::string_view name);

}  // namespace corvid1
