// corvid1-test-server: a scriptable SSH-1.5 server for the project's tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"
#include "recorder.h"
#include "server_connection.h"

using namespace corvid1::testserver;

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

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
        logLine("not a numeric address: %s", o.bindAddress.c_str());
        return -1;
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logLine("cannot create a socket: %s", std::strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 16) != 0) {
        logLine("cannot listen on %s port %u: %s", o.bindAddress.c_str(), o.port,
                std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

unsigned boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    return ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                            : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
}

bool serveOne(int client, const Options& options, const ServerKeys& keys) {
    Recorder recorder(options.recordFile);
    ServerConnection connection(client, options, keys, recorder);
    bool loggedIn = connection.run();
    close(client);
    return loggedIn;
}

void reapChildren() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto parsed = parseOptions(argc, argv, error);
    if (!parsed) {
        std::fprintf(stderr, "corvid1-test-server: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    const Options& options = *parsed;
    ServerKeys keys;
    keys.host = RsaPrivateKey::generate(options.hostBits, options.hostKeySeed);
    if (options.printFingerprint || options.printKnownHostsLine) {
        std::printf("%s\n", options.printFingerprint ? keys.host->md5Fingerprint().c_str()
                                                     : keys.host->knownHostsKey().c_str());
        return 0;
    }
    // The server key is fresh for every run, as on a real server.
    std::uint64_t serverSeed = 0;
    randomBytes(reinterpret_cast<std::uint8_t*>(&serverSeed), sizeof(serverSeed));
    keys.server = RsaPrivateKey::generate(options.serverBits, serverSeed);

    // The outer key must hold the inner one's whole block plus 11 bytes of PKCS#1 framing.
    // Smaller gaps are allowed on purpose (clients must refuse such keys) but are flagged.
    unsigned smaller = std::min(options.hostBits, options.serverBits);
    unsigned larger = std::max(options.hostBits, options.serverBits);
    if ((larger + 7) / 8 < (smaller + 7) / 8 + 11 || (smaller + 7) / 8 < 32 + 11)
        logLine(
            "warning: keys of %u and %u bits leave no room for the PKCS#1 padding of a "
            "32-byte session key; clients cannot log in",
            options.serverBits, options.hostBits);

    signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    int listener = listenOn(options);
    if (listener < 0) return 1;
    logLine("listening on %s port %u; host key %u bits, fingerprint %s; server key %u bits",
            options.bindAddress.c_str(), boundPort(listener), keys.host->bits(),
            keys.host->md5Fingerprint().c_str(), keys.server->bits());
    std::printf("PORT %u\n", boundPort(listener));
    std::fflush(stdout);

    while (!stopRequested) {
        pollfd p{listener, POLLIN, 0};
        int ready = poll(&p, 1, 200);
        reapChildren();
        if (ready <= 0) continue;
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        logLine("connection accepted");
        // As real servers do for interactive sessions: small packets such as the exit status
        // after bulk output are sent at once instead of waiting on a delayed acknowledgement.
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (options.once) {
            close(listener);
            return serveOne(client, options, keys) ? 0 : 1;
        }
        pid_t pid = fork();
        if (pid == 0) {
            // A connection's process must not outlive the server.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            close(listener);
            _exit(serveOne(client, options, keys) ? 0 : 1);
        }
        if (pid < 0) logLine("cannot fork: %s", std::strerror(errno));
        close(client);
    }
    logLine("stopping");
    close(listener);
    return 0;
}
