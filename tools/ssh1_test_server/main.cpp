// corvid1-test-server: a scriptable SSH-1.5 server for the project's tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"

using namespace corvid1::testserver;

namespace {

int listenOn(const Options& o) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, o.bindAddress.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(o.port);
        len = sizeof(*v4);
    } else if (inet_pton(AF_INET6, o.bindAddress.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(o.port);
        len = sizeof(*v6);
    } else {
        std::fprintf(stderr, "corvid1-test-server: not a numeric address: %s\n",
                     o.bindAddress.c_str());
        return -1;
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) {
        std::fprintf(stderr, "corvid1-test-server: cannot listen: %s\n", std::strerror(errno));
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = parseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "corvid1-test-server: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    int fd = listenOn(*options);
    if (fd < 0) return 1;
    sockaddr_storage bound{};
    socklen_t len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    unsigned port = ntohs(bound.ss_family == AF_INET
                              ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                              : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    std::printf("PORT %u\n", port);
    std::fflush(stdout);
    for (;;) {
        int client = accept(fd, nullptr, nullptr);
        if (client < 0) continue;
        close(client);
        if (options->once) break;
    }
    return 0;
}
