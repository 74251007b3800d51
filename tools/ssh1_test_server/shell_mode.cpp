// Shell mode: a real /bin/sh, in a pseudo-terminal when the client asked for one, with pipes
// otherwise, relayed until it exits.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "server_connection.h"

namespace corvid1::testserver {

namespace {

constexpr std::size_t kReadChunk = 16384;
// Input waiting for the child beyond this stops the reading of client packets until it drains.
constexpr std::size_t kMaxPendingInput = 256 * 1024;
// After the child has exited, output still arriving within this gap is sent before the status.
constexpr int kDrainGapMs = 200;
// After the child has exited, open channels are given this long to close before the status.
constexpr auto kChannelGrace = std::chrono::seconds(10);

struct Child {
    pid_t pid = -1;
    int input = -1;   // what we write the client's data to
    int output = -1;  // the child's output (the pty master for a pty)
    int errors = -1;  // the child's standard error, with pipes only
    bool pty = false;
};

[[noreturn]] void execShell(const std::string* command) {
    signal(SIGPIPE, SIG_DFL);
    if (command)
        execl("/bin/sh", "sh", "-c", command->c_str(), static_cast<char*>(nullptr));
    else
        execl("/bin/sh", "sh", "-i", static_cast<char*>(nullptr));
    _exit(127);
}

bool startWithPty(const PtyRequest& req, const std::string* command, Child& child) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(req.rows);
    ws.ws_col = static_cast<unsigned short>(req.columns);
    ws.ws_xpixel = static_cast<unsigned short>(req.xpixels);
    ws.ws_ypixel = static_cast<unsigned short>(req.ypixels);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return false;
    if (pid == 0) {
        setenv("TERM", req.term.empty() ? "dumb" : req.term.c_str(), 1);
        execShell(command);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    child = {pid, master, master, -1, true};
    return true;
}

bool startWithPipes(const std::string* command, Child& child) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        setsid();
        execShell(command);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    child = {pid, in[1], out[0], err[0], false};
    return true;
}

class ShellRelay {
  public:
    ShellRelay(ServerConnection& c, Child child) : c_(c), child_(child) {
        fcntl(child_.input, F_SETFL, fcntl(child_.input, F_GETFL) | O_NONBLOCK);
        // One packet per readiness: a keepalive IGNORE must not hold the relay in a read that
        // waits for the next real packet while the command's output and exit go unserved.
        c_.channel().setDeliverIgnored(true);
    }

    void run() {
        while (!finished()) {
            pollfd fds[4];
            int n = 0;
            int socketSlot = -1, outSlot = -1, errSlot = -1, inSlot = -1;
            const bool channelsOpen = c_.forwarding().hasChannels() && !graceOver();
            if (pending_.size() < kMaxPendingInput && (!exited_ || channelsOpen) &&
                !c_.forwarding().paused()) {
                socketSlot = n;
                fds[n++] = {c_.channel().fd(), POLLIN, 0};
            }
            if (child_.output >= 0) {
                outSlot = n;
                fds[n++] = {child_.output, POLLIN, 0};
            }
            if (child_.errors >= 0) {
                errSlot = n;
                fds[n++] = {child_.errors, POLLIN, 0};
            }
            if (child_.input >= 0 && !pending_.empty()) {  // for a pty, the master again
                inSlot = n;
                fds[n++] = {child_.input, POLLOUT, 0};
            }
            std::vector<pollfd> polled(fds, fds + n);
            c_.forwarding().addPollFds(polled);
            int ready = poll(polled.data(), polled.size(), exited_ ? kDrainGapMs : 100);
            std::copy_n(polled.begin(), n, fds);
            if (ready < 0 && errno != EINTR) break;
            reapChild();
            // Nothing more came after the exit, and no channel is left to close.
            if (ready == 0 && exited_ && !channelsOpen) break;
            if (ready <= 0) continue;
            if (outSlot >= 0 && fds[outSlot].revents)
                relayOutput(child_.output, SSH_SMSG_STDOUT_DATA);
            if (errSlot >= 0 && fds[errSlot].revents)
                relayOutput(child_.errors, SSH_SMSG_STDERR_DATA);
            if (inSlot >= 0 && fds[inSlot].revents) writeInput();
            if (!c_.forwarding().onPoll(polled, static_cast<std::size_t>(n))) clientGone_ = true;
            if (socketSlot >= 0 && fds[socketSlot].revents && !clientMessage()) {
                stopChild();
                return;
            }
        }
        stopChild();
        if (!clientGone_) c_.finishWithExitStatus(exitStatus_);
    }

  private:
    bool finished() const {
        return clientGone_ || (exited_ && child_.output < 0 && child_.errors < 0 &&
                               (!c_.forwarding().hasChannels() || graceOver()));
    }
    bool graceOver() const {
        return exited_ && std::chrono::steady_clock::now() - exitedAt_ > kChannelGrace;
    }

    void reapChild() {
        if (exited_) return;
        int status = 0;
        if (waitpid(child_.pid, &status, WNOHANG) == child_.pid) {
            exited_ = true;
            exitedAt_ = std::chrono::steady_clock::now();
            exitStatus_ = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                            : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
        }
    }

    void relayOutput(int& fd, int type) {
        char buffer[kReadChunk];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {  // EIO on a pty master once the last slave holder has gone
            close(fd);
            if (child_.pty) child_.input = -1;  // the master was both ends
            fd = -1;
            return;
        }
        if (!c_.sendString(type, std::string(buffer, static_cast<std::size_t>(n))))
            clientGone_ = true;
    }

    void writeInput() {
        while (!pending_.empty() && child_.input >= 0) {
            ssize_t n = write(child_.input, pending_.data(), pending_.size());
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
                pending_.clear();  // the child closed its input; the data has nowhere to go
                return;
            }
            pending_.erase(0, static_cast<std::size_t>(n));
        }
        if (pending_.empty() && eofPending_ && !child_.pty) closeInput();
    }

    void closeInput() {
        if (child_.input >= 0) close(child_.input);
        child_.input = -1;
        eofPending_ = false;
    }

    // One client packet; false when the client has gone.
    bool clientMessage() {
        Packet p;
        if (!c_.readAndRecord(p)) {
            clientGone_ = true;
            return false;
        }
        Reader r(p.payload);
        switch (p.type) {
            case SSH_CMSG_STDIN_DATA: {
                std::string data = r.string();
                if (child_.input >= 0) pending_ += data;
                break;
            }
            case SSH_CMSG_WINDOW_SIZE: {
                winsize ws{};
                ws.ws_row = static_cast<unsigned short>(r.u32());
                ws.ws_col = static_cast<unsigned short>(r.u32());
                ws.ws_xpixel = static_cast<unsigned short>(r.u32());
                ws.ws_ypixel = static_cast<unsigned short>(r.u32());
                if (child_.pty && !r.failed()) ioctl(child_.output, TIOCSWINSZ, &ws);
                break;
            }
            case SSH_CMSG_EOF:
                // With a pty, end of input is the user's business (Ctrl+D), as real servers do.
                if (!child_.pty) {
                    eofPending_ = true;
                    if (pending_.empty()) closeInput();
                }
                break;
            case SSH_MSG_DISCONNECT:
                clientGone_ = true;
                return false;
            case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
            case SSH_MSG_CHANNEL_OPEN_FAILURE:
            case SSH_MSG_CHANNEL_DATA:
            case SSH_MSG_CHANNEL_CLOSE:
            case SSH_MSG_CHANNEL_CLOSE_CONFIRMATION:
            case SSH_MSG_PORT_OPEN:
                if (!c_.forwarding().clientMessage(p)) {
                    clientGone_ = true;
                    return false;
                }
                break;
            default:
                break;
        }
        return true;
    }

    void stopChild() {
        if (!exited_) {
            kill(-child_.pid, SIGHUP);
            kill(child_.pid, SIGHUP);
            for (int i = 0; i < 20 && !exited_; ++i) {
                reapChild();
                if (!exited_) poll(nullptr, 0, 50);
            }
            if (!exited_) {
                kill(child_.pid, SIGKILL);
                waitpid(child_.pid, nullptr, 0);
                exited_ = true;
            }
        }
        if (child_.output >= 0) close(child_.output);
        if (child_.errors >= 0) close(child_.errors);
        if (!child_.pty && child_.input >= 0) close(child_.input);  // a pty's is the output
        child_.output = child_.errors = child_.input = -1;
    }

    ServerConnection& c_;
    Child child_;
    std::string pending_;
    bool eofPending_ = false;
    bool exited_ = false;
    std::chrono::steady_clock::time_point exitedAt_;
    bool clientGone_ = false;
    std::uint32_t exitStatus_ = 0;
};

}  // namespace

void runShell(ServerConnection& c, const std::string* command) {
    Child child;
    c.forwarding().exportEnvironment();  // this process serves one connection only
    bool started =
        c.pty().granted ? startWithPty(c.pty(), command, child) : startWithPipes(command, child);
    if (!started) {
        logLine("cannot start the shell: %s", std::strerror(errno));
        c.disconnect("Cannot start the shell");
        return;
    }
    logLine("started %s (pid %d) %s", command ? "a command" : "a shell", child.pid,
            child.pty ? "in a pty" : "with pipes");
    ShellRelay(c, child).run();
}

}  // namespace corvid1::testserver
