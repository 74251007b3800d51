#pragma once

#include <cstdint>

namespace corvid1 {

// SSH-1 messages of the forwarded channels. Every channel id a message carries first is the
// receiver's own id for the channel.
enum : std::uint8_t {
    SSH_MSG_CHANNEL_OPEN_CONFIRMATION = 21,   // receiver's id, sender's id
    SSH_MSG_CHANNEL_OPEN_FAILURE = 22,        // receiver's id
    SSH_MSG_CHANNEL_DATA = 23,                // receiver's id, string
    SSH_MSG_CHANNEL_CLOSE = 24,               // receiver's id: the sender sends no more data
    SSH_MSG_CHANNEL_CLOSE_CONFIRMATION = 25,  // receiver's id: the sender takes no more data
    SSH_SMSG_X11_OPEN = 27,                   // server's id [, originator]
    SSH_CMSG_PORT_FORWARD_REQUEST = 28,       // server port, host, port
    SSH_MSG_PORT_OPEN = 29,                   // sender's id, host, port [, originator]
    SSH_CMSG_X11_REQUEST_FORWARDING = 34,     // protocol, cookie in hex
};

}  // namespace corvid1
