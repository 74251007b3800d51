#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvid1 {

// One port forward asked for by the user. A local forward listens here on bindAddress:listenPort
// and reaches host:hostPort from the server; a remote forward asks the server to listen on
// listenPort and reaches host:hostPort from here.
struct PortForward {
    bool remote = false;
    std::string bindAddress;  // local forwards only; empty: 127.0.0.1, as ssh does
    std::uint16_t listenPort = 0;
    std::string host;
    std::uint16_t hostPort = 0;
    bool operator==(const PortForward&) const = default;
};

// "[bind:]port:host:hostport" as ssh takes it; an IPv6 address goes in brackets ("[::1]").
// A remote forward takes no bind address. Nothing on any fault (a port outside 1..65535, an
// empty host, a field too many or too few).
std::optional<PortForward> parsePortForward(std::string_view text, bool remote);

// The same text back, without the L/R: what the status lines and the saved settings show.
std::string portForwardText(const PortForward& rule);

}  // namespace corvid1
