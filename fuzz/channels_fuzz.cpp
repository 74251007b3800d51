// Channel messages from a hostile server, one after another, into the table of forwarded
// channels; and the same bytes as an X11 connection setup to be checked and rewritten.
//
// Input layout: records of a type byte, a 16-bit big-endian length and that many payload bytes
// (cut short at the end of the input).
#include <cstddef>
#include <cstdint>
#include <string>

#include "session/channels/forwarder.h"
#include "session/channels/x11.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvid1;
    std::string setup(reinterpret_cast<const char*>(data), size);
    rewriteX11Setup(setup, "0123456789abcdef", {"MIT-MAGIC-COOKIE-1", "REAL-COOKIE-16by"});

    // Not started: replies go out at once to a sink that drops them, and nothing connects, so
    // the run touches no socket.
    Forwarder forwarder([](MessageBuffer&) {}, [](const char*) {});
    forwarder.allowRemote(*parsePortForward("2222:a:80", true));
    forwarder.allowX11(*parseX11Display("fuzz.invalid:1"), "0123456789abcdef", {});
    std::size_t at = 0;
    while (at + 3 <= size) {
        const int type = data[at];
        std::size_t length = static_cast<std::size_t>(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        if (length > size - at) length = size - at;
        MessageBuffer message;
        message.append(data + at, length);
        message.skip(-static_cast<std::ptrdiff_t>(length));
        at += length;
        if (Forwarder::handles(type) && !forwarder.handleMessage(type, message)) break;
    }
    return 0;
}
