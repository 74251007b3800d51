#include "session/channels/port_forward.h"

#include <vector>

namespace corvid1 {
namespace {

// Splits at colons outside brackets; the brackets themselves are dropped.
bool splitFields(std::string_view text, std::vector<std::string>& fields) {
    std::string field;
    bool bracketed = false;
    bool wasBracketed = false;
    for (char c : text) {
        if (c == '[' && !bracketed && field.empty() && !wasBracketed) {
            bracketed = wasBracketed = true;
        } else if (c == ']' && bracketed) {
            bracketed = false;
        } else if (c == ':' && !bracketed) {
            fields.push_back(std::move(field));
            field.clear();
            wasBracketed = false;
        } else {
            if (wasBracketed && !bracketed) return false;  // text after "]" in one field
            field += c;
        }
    }
    if (bracketed) return false;
    fields.push_back(std::move(field));
    return true;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::string hostText(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::optional<PortForward> parsePortForward(std::string_view text, bool remote) {
    std::vector<std::string> fields;
    if (!splitFields(text, fields)) return std::nullopt;
    PortForward rule;
    rule.remote = remote;
    if (fields.size() == 4 && !remote) {
        rule.bindAddress = fields[0];
        fields.erase(fields.begin());
    }
    if (fields.size() != 3 || fields[1].empty()) return std::nullopt;
    if (!parsePort(fields[0], rule.listenPort) || !parsePort(fields[2], rule.hostPort))
        return std::nullopt;
    rule.host = fields[1];
    return rule;
}

std::string portForwardText(const PortForward& rule) {
    std::string text;
    if (!rule.bindAddress.empty()) text = hostText(rule.bindAddress) + ":";
    return text + std::to_string(rule.listenPort) + ":" + hostText(rule.host) + ":" +
           std::to_string(rule.hostPort);
}

}  // namespace corvid1
