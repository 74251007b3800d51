#include "session/channels/x11.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/session.h"

namespace corvid1 {
namespace {

constexpr char cookieProtocol[] = "MIT-MAGIC-COOKIE-1";
// A setup request's authorization fields longer than this are refused unread.
constexpr std::size_t maxAuthField = 1024;

std::size_t padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

std::uint16_t load16(const std::string& s, std::size_t at, bool bigEndian) {
    const auto hi = static_cast<std::uint8_t>(s[at + (bigEndian ? 0 : 1)]);
    const auto lo = static_cast<std::uint8_t>(s[at + (bigEndian ? 1 : 0)]);
    return static_cast<std::uint16_t>(hi << 8 | lo);
}

void store16(std::string& s, std::size_t at, std::size_t value, bool bigEndian) {
    s[at + (bigEndian ? 0 : 1)] = static_cast<char>((value >> 8) & 0xff);
    s[at + (bigEndian ? 1 : 0)] = static_cast<char>(value & 0xff);
}

}  // namespace

std::optional<X11Display> parseX11Display(std::string_view display) {
    const auto colon = display.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    X11Display result;
    const std::string_view host = display.substr(0, colon);
    result.local = host.empty() || host == "unix";
    if (!result.local) result.host = std::string(host);
    std::string_view rest = display.substr(colon + 1);
    if (const auto dot = rest.find('.'); dot != std::string_view::npos) rest = rest.substr(0, dot);
    if (rest.empty() || rest.size() > 4) return std::nullopt;
    for (char c : rest) {
        if (c < '0' || c > '9') return std::nullopt;
        result.number = result.number * 10 + (c - '0');
    }
    if (6000 + result.number > 65535) return std::nullopt;
    return result;
}

X11Auth readXauthCookie(const std::string& display) {
    // The display text reaches a shell: only the characters a display name uses pass.
    for (char c : display)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr(":._-/", c)) return {};
    const std::string command = "xauth list '" + display + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    X11Auth auth;
    char line[1024];
    while (auth.protocol.empty() && std::fgets(line, sizeof line, pipe) != nullptr) {
        char name[256], protocol[64], hex[512];
        if (std::sscanf(line, "%255s %63s %511s", name, protocol, hex) != 3) continue;
        if (std::strcmp(protocol, cookieProtocol) != 0) continue;
        if (const auto data = fromHex(hex)) auth = {protocol, *data};
    }
    pclose(pipe);
    return auth;
}

void forwardX11ToLocalDisplay(LoginParameters& login) {
    login.forwardX11 = true;
    const char* display = std::getenv("DISPLAY");
    login.x11Display = display != nullptr ? display : "";
    X11Auth real = readXauthCookie(login.x11Display);
    login.x11AuthProtocol = std::move(real.protocol);
    login.x11AuthData = std::move(real.data);
}

X11Setup rewriteX11Setup(std::string& setup, const std::string& fakeCookie, const X11Auth& real) {
    if (setup.size() < 12) return X11Setup::NeedMore;
    if (setup[0] != 'B' && setup[0] != 'l') return X11Setup::Refused;
    const bool bigEndian = setup[0] == 'B';
    const std::size_t nameLength = load16(setup, 6, bigEndian);
    const std::size_t dataLength = load16(setup, 8, bigEndian);
    if (nameLength > maxAuthField || dataLength > maxAuthField) return X11Setup::Refused;
    const std::size_t end = 12 + padded(nameLength) + padded(dataLength);
    if (setup.size() < end) return X11Setup::NeedMore;
    const std::string name = setup.substr(12, nameLength);
    const std::string data = setup.substr(12 + padded(nameLength), dataLength);
    if (name != cookieProtocol || data != fakeCookie) return X11Setup::Refused;
    std::string head = setup.substr(0, 12);
    store16(head, 6, real.protocol.size(), bigEndian);
    store16(head, 8, real.data.size(), bigEndian);
    head += real.protocol;
    head.resize(padded(head.size()), '\0');
    head += real.data;
    head.resize(padded(head.size()), '\0');
    setup.replace(0, end, head);
    return X11Setup::Accepted;
}

std::string toHex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::optional<std::string> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (char c : text.substr(i, 2)) {
            const char* at = std::strchr("0123456789abcdef", std::tolower(c));
            if (at == nullptr || c == '\0') return std::nullopt;
            value = value * 16 + static_cast<int>(at - "0123456789abcdef");
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

}  // namespace corvid1
