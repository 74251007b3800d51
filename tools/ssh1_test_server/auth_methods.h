// The login methods of the test server beyond the password: RSA keys from an authorized-keys
// file, and scripted TIS and CryptoCard challenges.
#pragma once

#include <cstdint>

#include "options.h"
#include "packet_channel.h"

namespace corvid1::testserver {

class ServerConnection;

enum : int {
    SSH_CMSG_AUTH_RSA = 6,
    SSH_SMSG_AUTH_RSA_CHALLENGE = 7,
    SSH_CMSG_AUTH_RSA_RESPONSE = 8,
    SSH_CMSG_AUTH_TIS = 39,
    SSH_SMSG_AUTH_TIS_CHALLENGE = 40,
    SSH_CMSG_AUTH_TIS_RESPONSE = 41,
    SSH_CMSG_AUTH_CCARD = 70,
    SSH_SMSG_AUTH_CCARD_CHALLENGE = 71,
    SSH_CMSG_AUTH_CCARD_RESPONSE = 72,
};

// The authentications mask announced: password (unless --no-password), RSA with
// --authorized-keys, TIS with --tis-challenge, CryptoCard with --ccard-challenge.
std::uint32_t announcedAuthMask(const Options& options);

// Serves one client login request other than the password: the request in `request`, and
// the rest of its exchange read through the connection. Anything not offered is refused.
// False when the connection ended; `accepted` when the user is now logged in.
bool serveLoginMethod(ServerConnection& connection, const Packet& request, bool userKnown,
                      const std::uint8_t sessionId[16], bool& accepted);

}  // namespace corvid1::testserver
