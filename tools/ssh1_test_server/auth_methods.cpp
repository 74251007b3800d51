#include "auth_methods.h"

#include <nettle/md5.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "server_connection.h"

namespace corvid1::testserver {

namespace {

constexpr std::uint32_t kAuthRsa = 1u << 2;
constexpr std::uint32_t kAuthPassword = 1u << 3;
constexpr std::uint32_t kAuthTis = 1u << 5;
constexpr std::uint32_t kAuthCryptoCard = 1u << 16;
constexpr std::size_t kMaxAuthorizedKeysLine = 20000;

// The exponent of the authorized key whose modulus is `modulus`, from lines
// "BITS EXPONENT MODULUS [COMMENT]" in decimal (the SSH-1 authorized_keys form; options before
// the key are not supported). False when no line has that modulus.
bool findAuthorizedKey(const std::string& path, const mpz_t modulus, mpz_t exponent) {
    std::ifstream file(path);
    std::string line;
    bool found = false;
    mpz_t n;
    mpz_init(n);
    while (!found && std::getline(file, line)) {
        if (line.size() > kMaxAuthorizedKeysLine || line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string bits, e, m;
        if (!(words >> bits >> e >> m)) continue;
        if (mpz_set_str(n, m.c_str(), 10) != 0 || mpz_cmp(n, modulus) != 0) continue;
        found = mpz_set_str(exponent, e.c_str(), 10) == 0;
    }
    mpz_clear(n);
    return found;
}

// PKCS#1 v1.5 type 2 under (e, n): 00 02, nonzero random padding, 00, the data.
bool encryptPkcs1(mpz_t out, const std::uint8_t* data, std::size_t length, const mpz_t e,
                  const mpz_t n) {
    const std::size_t k = (mpz_sizeinbase(n, 2) + 7) / 8;
    if (k < length + 11) return false;
    Bytes block(k);
    block[1] = 2;
    for (std::size_t i = 2; i < k - length - 1; ++i) {
        do randomBytes(&block[i], 1);
        while (block[i] == 0);
    }
    std::memcpy(&block[k - length], data, length);
    mpz_t m;
    mpz_init(m);
    bytesToInteger(m, block.data(), block.size());
    mpz_powm(out, m, e, n);
    mpz_clear(m);
    return true;
}

bool refuse(ServerConnection& connection) {
    return connection.send(SSH_SMSG_FAILURE, {});
}

bool serveRsa(ServerConnection& connection, const Packet& request, bool userKnown,
              const std::uint8_t sessionId[16], bool& accepted) {
    const Options& options = connection.options();
    Reader r(request.payload);
    mpz_t n, e, c;
    mpz_inits(n, e, c, nullptr);
    bool offered = r.mpint(n) && userKnown && !options.authorizedKeysFile.empty() &&
                   findAuthorizedKey(options.authorizedKeysFile, n, e);
    std::uint8_t challenge[32];
    randomBytes(challenge, sizeof challenge);
    offered = offered && encryptPkcs1(c, challenge, sizeof challenge, e, n);
    Writer w;
    if (offered) w.mpint(c);
    mpz_clears(n, e, c, nullptr);
    connection.record(offered ? "RSA key accepted for a challenge" : "RSA key refused");
    if (!offered) return refuse(connection);
    if (!connection.send(SSH_SMSG_AUTH_RSA_CHALLENGE, w.bytes())) return false;

    Packet reply;
    if (!connection.readAndRecord(reply)) return false;
    std::uint8_t expected[MD5_DIGEST_SIZE];
    md5_ctx md5;
    md5_init(&md5);
    md5_update(&md5, sizeof challenge, challenge);
    md5_update(&md5, 16, sessionId);
    md5_digest(&md5, sizeof expected, expected);
    accepted = reply.type == SSH_CMSG_AUTH_RSA_RESPONSE &&
               reply.payload.size() == sizeof expected &&
               std::memcmp(reply.payload.data(), expected, sizeof expected) == 0;
    connection.record(accepted ? "RSA response right" : "RSA response wrong");
    return connection.send(accepted ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE, {});
}

// TIS and CryptoCard: the scripted challenge, then the expected response.
bool serveChallenge(ServerConnection& connection, bool userKnown, bool tis, bool& accepted) {
    const Options& options = connection.options();
    const std::string& challenge = tis ? options.tisChallenge : options.ccardChallenge;
    const std::string& expected = tis ? options.tisResponse : options.ccardResponse;
    if (challenge.empty() || !userKnown) return refuse(connection);
    Writer w;
    w.string(challenge);
    if (!connection.send(tis ? SSH_SMSG_AUTH_TIS_CHALLENGE : SSH_SMSG_AUTH_CCARD_CHALLENGE,
                         w.bytes()))
        return false;
    Packet reply;
    if (!connection.readAndRecord(reply)) return false;
    Reader r(reply.payload);
    std::string response = r.string();
    // OpenSSH pads a response with NUL bytes as it pads passwords; the text is what counts.
    response.resize(std::strlen(response.c_str()));
    accepted = !r.failed() &&
               reply.type == (tis ? SSH_CMSG_AUTH_TIS_RESPONSE : SSH_CMSG_AUTH_CCARD_RESPONSE) &&
               response == expected;
    return connection.send(accepted ? SSH_SMSG_SUCCESS : SSH_SMSG_FAILURE, {});
}

}  // namespace

std::uint32_t announcedAuthMask(const Options& options) {
    std::uint32_t mask = options.noPassword ? 0 : kAuthPassword;
    if (!options.authorizedKeysFile.empty()) mask |= kAuthRsa;
    if (!options.tisChallenge.empty()) mask |= kAuthTis;
    if (!options.ccardChallenge.empty()) mask |= kAuthCryptoCard;
    return mask;
}

bool serveLoginMethod(ServerConnection& connection, const Packet& request, bool userKnown,
                      const std::uint8_t sessionId[16], bool& accepted) {
    accepted = false;
    switch (request.type) {
        case SSH_CMSG_AUTH_RSA:
            return serveRsa(connection, request, userKnown, sessionId, accepted);
        case SSH_CMSG_AUTH_TIS:
            return serveChallenge(connection, userKnown, true, accepted);
        case SSH_CMSG_AUTH_CCARD:
            return serveChallenge(connection, userKnown, false, accepted);
        default:  // rhosts and the rest are never offered
            return refuse(connection);
    }
}

}  // namespace corvid1::testserver
