#include "session/known_hosts.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

#include "crypto/sha1.h"

namespace corvid1 {

namespace {

// Longer lines are no SSH-1 key we could use (a 65535-bit modulus needs under 20000 digits).
constexpr std::size_t kMaxLineLength = 64 * 1024;
constexpr std::uint32_t kMaxKeyBits = 65535;  // what an SSH-1 mpint can carry
constexpr std::uint32_t kBitsSlack = 8;

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Glob match with '*' (any run) and '?' (one character), ignoring ASCII case. Backtracks only
// to the last '*', so the cost stays linear in practice and quadratic at worst.
bool globMatch(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || lowerAscii(pattern[p]) == lowerAscii(text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits off the next blank-separated field.
std::string_view nextField(std::string_view& rest) {
    while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
    std::size_t end = 0;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    return field;
}

std::optional<std::uint32_t> parseBits(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + std::uint32_t(c - '0');
    }
    if (value == 0 || value > kMaxKeyBits) return std::nullopt;
    return value;
}

// A modulus far shorter or longer than its bit count marks a damaged line (typically one cut
// short), not a key the host ever had; taking it would raise a false alarm. Small differences
// are left alone: some servers announce a bit count that is one off.
bool bitsFitModulus(std::uint32_t bits, const std::vector<std::uint8_t>& modulus) {
    if (modulus.empty() || modulus.front() == 0) return false;
    const std::uint32_t actual =
        std::uint32_t(modulus.size() * 8 - std::size_t(std::countl_zero(modulus.front())));
    return actual + kBitsSlack >= bits && actual <= bits + kBitsSlack;
}

// Standard base64 (with '=' padding) into `out`; false for anything else or a wrong size.
bool decodeBase64(std::string_view text, std::uint8_t* out, std::size_t expected) {
    std::size_t produced = 0;
    std::uint32_t accumulator = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else
            return false;
        if (padding > 0) return false;  // nothing may follow the padding
        accumulator = (accumulator << 6) | std::uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (produced == expected) return false;
            out[produced++] = std::uint8_t(accumulator >> bits);
        }
    }
    return produced == expected && padding <= 2;
}

// OpenSSH's HashKnownHosts form, "|1|base64(salt)|base64(HMAC-SHA1(salt, name))": the name
// cannot be read back, only tested. ssh lowercases the host before hashing it, so do we.
bool hashedNameMatches(std::string_view field, std::string_view name) {
    constexpr std::string_view magic = "|1|";
    if (field.substr(0, magic.size()) != magic) return false;
    field.remove_prefix(magic.size());
    const std::size_t bar = field.find('|');
    if (bar == std::string_view::npos) return false;
    std::uint8_t salt[kSha1DigestSize];
    std::uint8_t hash[kSha1DigestSize];
    if (!decodeBase64(field.substr(0, bar), salt, sizeof salt) ||
        !decodeBase64(field.substr(bar + 1), hash, sizeof hash))
        return false;
    std::string lowered(name);
    for (char& c : lowered) c = lowerAscii(c);
    const Sha1Digest mac = hmacSha1(salt, sizeof salt, lowered.data(), lowered.size());
    return std::memcmp(mac.data(), hash, sizeof hash) == 0;
}

bool entryNamesHost(std::string_view patterns, std::string_view name) {
    if (patterns.front() == '|') return hashedNameMatches(patterns, name);
    return knownHostsPatternsMatch(patterns, name);
}

struct Entry {
    std::string_view patterns;
    HostKey key;
};

// One line of a store; std::nullopt for comments, blank lines and anything that is not a
// readable SSH-1 entry. Numbers are converted only for lines whose patterns name the host.
std::optional<Entry> parseLineFor(std::string_view line, std::string_view name) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = line;
    const std::string_view patterns = nextField(rest);
    if (patterns.empty() || patterns.front() == '#' || patterns.front() == '@') return std::nullopt;
    const auto bits = parseBits(nextField(rest));  // an SSH-2 key type fails here
    if (!bits || !entryNamesHost(patterns, name)) return std::nullopt;
    const auto exponent = decimalToBytes(nextField(rest));
    const auto modulus = decimalToBytes(nextField(rest));
    if (!exponent || !modulus || exponent->empty() || modulus->empty()) return std::nullopt;
    if (!bitsFitModulus(*bits, *modulus)) return std::nullopt;
    Entry entry{patterns, {}};
    entry.key.bits = *bits;
    entry.key.exponent = *exponent;
    entry.key.modulus = *modulus;
    return entry;
}

// The reason for the last failed call; unlike strerror, safe when two threads fail at once.
std::string errnoText() {
    return std::error_code(errno, std::generic_category()).message();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct LineBuffer {
    char* data = nullptr;
    std::size_t capacity = 0;
    ~LineBuffer() { std::free(data); }
};

enum class ScanResult { Missing, Read, Failed };

// Calls `visit(line, number)` for each line of `path` until it returns true.
template <typename Visit>
ScanResult scanStore(const std::string& path, std::string& error, Visit visit) {
    if (path.empty()) return ScanResult::Missing;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ScanResult::Missing;
        error = path + ": " + errnoText();
        return ScanResult::Failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = path + ": not a regular file";
        return ScanResult::Failed;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "r"));
    if (!file) {
        ::close(fd);
        error = path + ": " + errnoText();
        return ScanResult::Failed;
    }
    LineBuffer buffer;
    unsigned long number = 0;
    ssize_t length;
    while ((length = ::getline(&buffer.data, &buffer.capacity, file.get())) >= 0) {
        ++number;
        std::string_view line(buffer.data, std::size_t(length));
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (line.size() > kMaxLineLength) continue;
        if (visit(line, number)) break;
    }
    if (std::ferror(file.get())) {
        error = path + ": read error";
        return ScanResult::Failed;
    }
    return ScanResult::Read;
}

bool sameKey(const HostKey& a, const HostKey& b) {
    return a.modulus == b.modulus && a.exponent == b.exponent;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    struct passwd entry {};
    struct passwd* result = nullptr;
    std::vector<char> scratch(16384);
    if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return result->pw_dir;
    return {};
}

// Where a name could be mistaken for a pattern, a marker, a hash or a field boundary, it
// cannot be filed without changing what the line means.
bool fileableHost(std::string_view host) {
    if (host.empty() || host.front() == '|' || host.front() == '@') return false;
    return std::none_of(host.begin(), host.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || std::strchr(",#*?![]", c) != nullptr;
    });
}

bool makeFolders(const std::string& path, std::string& error) {
    // Every missing folder on the way to the file, owner-only like the file itself.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = folder + ": " + errnoText();
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

}  // namespace

bool knownHostsPatternsMatch(std::string_view patterns, std::string_view name) {
    bool matched = false;
    while (!patterns.empty()) {
        const std::size_t comma = patterns.find(',');
        std::string_view pattern = patterns.substr(0, comma);
        patterns.remove_prefix(comma == std::string_view::npos ? patterns.size() : comma + 1);
        const bool negated = !pattern.empty() && pattern.front() == '!';
        if (negated) pattern.remove_prefix(1);
        if (pattern.empty() || !globMatch(pattern, name)) continue;
        if (negated) return false;
        matched = true;
    }
    return matched;
}

std::string defaultKnownHostsPath() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return std::string(config) + "/corvid1/known_hosts";
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.config/corvid1/known_hosts";
}

std::string defaultOpenSshKnownHostsPath() {
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.ssh/known_hosts";
}

std::string knownHostsName(std::string_view host, std::uint16_t port) {
    if (port == 22) return std::string(host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

KnownHosts::KnownHosts(std::string userStore, std::vector<std::string> readOnlyStores)
    : userStore_(std::move(userStore)), readOnlyStores_(std::move(readOnlyStores)) {}

KnownHosts KnownHosts::withDefaults() {
    std::vector<std::string> readOnly;
    if (std::string openSsh = defaultOpenSshKnownHostsPath(); !openSsh.empty())
        readOnly.push_back(std::move(openSsh));
    return KnownHosts(defaultKnownHostsPath(), std::move(readOnly));
}

HostKeyCheck KnownHosts::check(std::string_view host, std::uint16_t port,
                               const HostKey& key) const {
    const std::string name = knownHostsName(host, port);
    HostKeyCheck result;
    std::optional<HostKey> firstOther;
    std::string firstOtherAt;

    std::vector<const std::string*> stores{&userStore_};
    for (const std::string& path : readOnlyStores_) stores.push_back(&path);
    for (const std::string* path : stores) {
        std::string error;
        bool known = false;
        const ScanResult scanned =
            scanStore(*path, error, [&](std::string_view line, unsigned long number) {
                auto entry = parseLineFor(line, name);
                if (!entry) return false;
                const std::string at = *path + ":" + std::to_string(number);
                if (sameKey(entry->key, key)) {
                    result.storedAt = at;
                    known = true;
                    return true;
                }
                if (!firstOther) {
                    firstOther = std::move(entry->key);
                    firstOtherAt = at;
                }
                return false;
            });
        if (scanned == ScanResult::Failed && result.readError.empty()) result.readError = error;
        if (known) {
            result.status = HostKeyStatus::Known;
            return result;
        }
    }
    if (firstOther) {
        result.status = HostKeyStatus::Changed;
        result.storedFingerprint = hostKeyFingerprint(*firstOther);
        result.storedAt = firstOtherAt;
    }
    return result;
}

bool KnownHosts::add(std::string_view host, std::uint16_t port, const HostKey& key,
                     std::string* error) const {
    std::string reason;
    const auto fail = [&](std::string text) {
        if (error != nullptr) *error = std::move(text);
        return false;
    };
    if (userStore_.empty()) return fail("no folder for the known hosts file");
    if (!fileableHost(host)) return fail("host name cannot be stored: " + std::string(host));
    if (key.bits == 0 || key.bits > kMaxKeyBits || key.exponent.empty() || key.exponent[0] == 0 ||
        !bitsFitModulus(key.bits, key.modulus))
        return fail("host key's bit count does not fit its modulus");
    if (!makeFolders(userStore_, reason)) return fail(reason);

    const std::string line = knownHostsName(host, port) + " " + std::to_string(key.bits) + " " +
                             bytesToDecimal(key.exponent) + " " + bytesToDecimal(key.modulus) +
                             "\n";

    int fd = ::open(userStore_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);  // exactly owner-only, whatever the umask left
    } else if (errno == EEXIST) {
        fd = ::open(userStore_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0) return fail(userStore_ + ": " + errnoText());

    // The lock keeps two of our own processes from interleaving; one write of the whole line
    // and a truncate back on failure keep a reader from ever seeing half an entry for long.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat info {};
    bool written = false;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::string text = line;
        char last = '\n';
        if (info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
            text.insert(text.begin(), '\n');  // never glue our entry to an unfinished line
        written = writeAll(fd, text) && ::fsync(fd) == 0;
        if (!written) {
            reason = userStore_ + ": " + errnoText();
            if (::ftruncate(fd, info.st_size) != 0) {
                // Nothing more can be done; the partial line is ignored when read.
            }
        }
    } else {
        reason = userStore_ + ": not a regular file";
    }
    ::close(fd);
    return written ? true : fail(reason);
}

}  // namespace corvid1
