#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace corvid1::testserver {

const std::vector<std::string>& knownScenarios() {
    static const std::vector<std::string> names = {"echo",
                                                   "enq",
                                                   "escz",
                                                   "exit-status",
                                                   "bulk",
                                                   "colours",
                                                   "screen",
                                                   "disconnect-after-user",
                                                   "disconnect-in-data",
                                                   "stderr",
                                                   "bogus-channel",
                                                   "user-only",
                                                   "refuse-password",
                                                   "refuse-pty",
                                                   "ignore-debug",
                                                   "bad-crc",
                                                   "oversize-length",
                                                   "truncated",
                                                   "close-mid-packet",
                                                   "close",
                                                   "stall",
                                                   "refuse-compression",
                                                   "compression-bomb",
                                                   "garbage-version",
                                                   "ssh2-version"};
    return names;
}

const char* usageText() {
    return "usage: corvid1-test-server [--bind ADDR] [--port N] [--user NAME] [--password PW]\n"
           "         [--ciphers MASK] [--server-bits N] [--host-bits N] [--host-key-seed N]\n"
           "         [--mode shell|script] [--scenario NAME] [--at STAGE] [--bulk N]\n"
           "         [--exit-status N] [--reason TEXT] [--kex-delay MS] [--timeout S]\n"
           "         [--record FILE] [--once] [--print-fingerprint] [--print-known-hosts-line]\n"
           "         [--authorized-keys FILE] [--no-password] [--tis-challenge TEXT]\n"
           "         [--tis-response TEXT] [--ccard-challenge TEXT] [--ccard-response TEXT]\n";
}

namespace {

// Decimal, or hexadecimal with a 0x prefix; the whole text must be the number.
bool parseNumber(const std::string& text, std::uint64_t max, std::uint64_t& out) {
    int base = 10;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        first += 2;
    }
    if (first == last) return false;
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || value > max) return false;
    out = value;
    return true;
}

bool parseStage(const std::string& text, Stage& out) {
    static const struct {
        const char* name;
        Stage stage;
    } table[] = {{"version", Stage::Version},   {"public-key", Stage::PublicKey},
                 {"key-ack", Stage::KeyAck},    {"user", Stage::User},
                 {"password", Stage::Password}, {"pty", Stage::Pty},
                 {"data", Stage::Data}};
    for (const auto& row : table) {
        if (text == row.name) {
            out = row.stage;
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<Options> parseOptions(int argc, const char* const* argv, std::string& error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto flag = [&](const char* name) { return arg == name; };
        if (flag("--once")) {
            o.once = true;
            continue;
        }
        if (flag("--print-fingerprint")) {
            o.printFingerprint = true;
            continue;
        }
        if (flag("--print-known-hosts-line")) {
            o.printKnownHostsLine = true;
            continue;
        }
        if (flag("--no-password")) {
            o.noPassword = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "unknown option or missing value: " + arg;
            return std::nullopt;
        }
        const std::string value = argv[++i];
        std::uint64_t n = 0;
        auto number = [&](std::uint64_t min, std::uint64_t max) {
            if (!parseNumber(value, max, n) || n < min) {
                error = "bad value for " + arg + ": " + value;
                return false;
            }
            return true;
        };
        if (flag("--bind")) {
            o.bindAddress = value;
        } else if (flag("--port")) {
            if (!number(0, 65535)) return std::nullopt;
            o.port = static_cast<std::uint16_t>(n);
        } else if (flag("--user")) {
            o.user = value;
        } else if (flag("--password")) {
            o.password = value;
        } else if (flag("--ciphers")) {
            if (!number(0, 0xffffffffu)) return std::nullopt;
            o.cipherMask = static_cast<std::uint32_t>(n);
        } else if (flag("--server-bits")) {
            if (!number(256, 2048)) return std::nullopt;
            o.serverBits = static_cast<unsigned>(n);
        } else if (flag("--host-bits")) {
            if (!number(256, 4096)) return std::nullopt;
            o.hostBits = static_cast<unsigned>(n);
        } else if (flag("--host-key-seed")) {
            if (!number(0, UINT64_MAX)) return std::nullopt;
            o.hostKeySeed = n;
        } else if (flag("--mode")) {
            if (value == "shell") {
                o.mode = Mode::Shell;
            } else if (value == "script") {
                o.mode = Mode::Script;
            } else {
                error = "bad mode: " + value;
                return std::nullopt;
            }
        } else if (flag("--scenario")) {
            const auto& names = knownScenarios();
            if (std::find(names.begin(), names.end(), value) == names.end()) {
                error = "unknown scenario: " + value;
                return std::nullopt;
            }
            o.scenario = value;
        } else if (flag("--at")) {
            if (!parseStage(value, o.stage)) {
                error = "unknown stage: " + value;
                return std::nullopt;
            }
        } else if (flag("--bulk")) {
            if (!number(0, std::uint64_t{1} << 40)) return std::nullopt;
            o.bulkBytes = n;
        } else if (flag("--exit-status")) {
            if (!number(0, 0xffffffffu)) return std::nullopt;
            o.exitStatus = static_cast<std::uint32_t>(n);
        } else if (flag("--reason")) {
            o.reason = value;
        } else if (flag("--kex-delay")) {
            if (!number(0, 600000)) return std::nullopt;
            o.kexDelayMs = static_cast<unsigned>(n);
        } else if (flag("--timeout")) {
            if (!number(1, 86400)) return std::nullopt;
            o.timeoutSeconds = static_cast<unsigned>(n);
        } else if (flag("--record")) {
            o.recordFile = value;
        } else if (flag("--authorized-keys")) {
            o.authorizedKeysFile = value;
        } else if (flag("--tis-challenge")) {
            o.tisChallenge = value;
        } else if (flag("--tis-response")) {
            o.tisResponse = value;
        } else if (flag("--ccard-challenge")) {
            o.ccardChallenge = value;
        } else if (flag("--ccard-response")) {
            o.ccardResponse = value;
        } else {
            error = "unknown option: " + arg;
            return std::nullopt;
        }
    }
    return o;
}

}  // namespace corvid1::testserver
