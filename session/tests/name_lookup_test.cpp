// The name lookup shares the connect's time limit. getaddrinfo is replaced in this program so
// that one name never answers (as a resolver that is down), one does not exist, and every
// other name goes to the real resolver.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "session/tcp_socket.h"

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    if (node != nullptr && std::strcmp(node, "stalled.test") == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(20));
        return EAI_AGAIN;
    }
    if (node != nullptr && std::strcmp(node, "missing.test") == 0) return EAI_NONAME;
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}

namespace corvid1 {
namespace {

TEST(NameLookup, IsBoundedByTheConnectTimeAndSaysWhyItFailed) {
    struct Case {
        const char* host;
        int timeoutMs;
        const char* reason;
    };
    const Case cases[] = {
        {"stalled.test", 700, "the name lookup timed out"},
        {"missing.test", 5000, "the name could not be resolved"},
        {"", 5000, "no host name"},
        {"1.2.3.4.5", 5000, "not a valid address"},
    };
    for (const Case& each : cases) {
        TcpSocket socket;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(socket.openConnection(each.host, 22, each.timeoutMs), -1) << each.host;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(each.timeoutMs + 2000)) << each.host;
        EXPECT_EQ(socket.failureReason(), each.reason) << each.host;
        EXPECT_EQ(socket.socketHandle(), -1);
    }
}

}  // namespace
}  // namespace corvid1
