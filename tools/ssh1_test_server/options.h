// Command line of the SSH-1 test server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvid1::testserver {

enum class Mode { Script, Shell };

// Where a failure scenario strikes: the packet the server would send next.
enum class Stage { Version, PublicKey, KeyAck, User, Password, Pty, Data };

struct Options {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 0;
    std::string user = "test";
    std::string password = "secret";
    std::uint32_t cipherMask = 0x49;
    unsigned serverBits = 768;
    unsigned hostBits = 1024;
    std::uint64_t hostKeySeed = 1;
    Mode mode = Mode::Script;
    std::string scenario = "echo";
    Stage stage = Stage::Data;
    std::uint64_t bulkBytes = 1048576;
    std::uint32_t exitStatus = 0;
    std::string reason = "Permission denied";
    unsigned kexDelayMs = 0;
    unsigned timeoutSeconds = 60;
    std::string recordFile;
    bool once = false;
    bool printFingerprint = false;
    bool printKnownHostsLine = false;
    // Login methods beyond the password (see auth_methods.h).
    std::string authorizedKeysFile;
    std::string tisChallenge, tisResponse;
    std::string ccardChallenge, ccardResponse;
    bool noPassword = false;
};

// The scenario names that script mode knows.
const std::vector<std::string>& knownScenarios();

// Parses argv; on a bad command line returns nothing and fills `error`.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::string& error);

const char* usageText();

}  // namespace corvid1::testserver
