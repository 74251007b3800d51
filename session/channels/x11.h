#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvid1 {

struct LoginParameters;

// Where a DISPLAY value points: ":N" and "unix:N" are the local socket /tmp/.X11-unix/XN,
// "host:N" is TCP port 6000 + N on host. A screen suffix (".S") is allowed and ignored.
struct X11Display {
    bool local = true;
    std::string host;  // TCP displays only
    int number = 0;
};
std::optional<X11Display> parseX11Display(std::string_view display);

// The authorization a display wants, as xauth keeps it: protocol name and binary data. Empty
// protocol: none is sent.
struct X11Auth {
    std::string protocol;
    std::string data;
};

// The MIT-MAGIC-COOKIE-1 that `xauth list` gives for `display` (the front ends ask it, as ssh
// does); an empty X11Auth when there is none or xauth is missing.
X11Auth readXauthCookie(const std::string& display);

// Asks for X11 forwarding to this process's DISPLAY, with the real cookie xauth holds for it:
// what -X and the window's X11 check box both do.
void forwardX11ToLocalDisplay(LoginParameters& login);

// The first bytes of a forwarded X11 connection are its setup request, which carries the
// authorization. Once `setup` holds the whole request, it is checked against the fake cookie
// the server was given and rewritten in place to carry the real authorization instead.
enum class X11Setup { NeedMore, Refused, Accepted };
X11Setup rewriteX11Setup(std::string& setup, const std::string& fakeCookie, const X11Auth& real);

std::string toHex(const std::string& bytes);
// Nothing unless the text is an even number of hex digits.
std::optional<std::string> fromHex(std::string_view text);

}  // namespace corvid1
