#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvid1 {

// Holder of the one stream socket that joins the client to the server; -1 when there is none.
// Destruction leaves the socket alone: only shutdownAndClose closes it, so several holders may
// name one socket and exactly one of them decides when it goes away.
class TcpSocket {
  public:
    // A connect that neither succeeds nor fails within this time is given up.
    static constexpr int defaultConnectTimeoutMs = 15000;
    // The line buffer of readLine; a longer line is refused rather than cut.
    static constexpr std::size_t lineBufferSize = 500;

    TcpSocket() = default;
    // Takes an already-connected stream socket (tests, or a caller that connected it itself).
    explicit TcpSocket(int handle) : handle_(handle) {}
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // From now on receives read ahead into a buffer of this holder's own, so that a stream of
    // small packets (compressed output) costs one system call per many packets, not two per
    // packet. Only for the one holder that does all the reading from here on: bytes it has
    // read ahead are invisible to every other holder of the socket.
    void readAhead();

    // Connects by host text and port: 1 on success, -1 on failure. A text starting with a digit
    // 1-9 is a numeric address (dotted IPv4, else IPv6) and never looked up; any other text
    // ("::1", a host name) is resolved for IPv4 and IPv6 and each address is tried in turn, all
    // within timeoutMs, the name lookup included. A failed attempt closes what it created,
    // leaves the handle at -1 and says why in failureReason.
    int openConnection(const char* host, std::uint16_t port,
                       int timeoutMs = defaultConnectTimeoutMs);
    // Why the last openConnection failed, in words for the user ("the name lookup timed out",
    // "Connection refused"); empty after a success.
    const std::string& failureReason() const { return failure_; }

    // Shuts both directions down and closes the socket; the handle becomes -1. No effect at -1.
    void shutdownAndClose();
    // Shuts both directions down without closing, so that a read or send blocked on another
    // thread fails at once while the handle stays valid for that thread. Safe from any thread.
    void shutdownOnly() const;

    int socketHandle() const { return handle_; }

    // Sends the whole range, retrying partial sends and interruptions. The peer having gone
    // never raises SIGPIPE. Returns 0, or -1 when the stream failed (callers may ignore it: a
    // broken connection also shows itself at the next receive). No effect at -1.
    int sendBytes(const void* data, std::size_t length) const;
    // Sends the characters of a NUL-terminated text, without the terminator.
    int sendText(const char* text) const;

    // Fills `buffer` with exactly `length` bytes: returns `length`, or -1 when the stream closed
    // or failed first. A length of 0 returns 0 and receives nothing.
    int receiveExactly(void* buffer, std::size_t length) const;

    // One line exactly as received, through its line feed (a carriage return stays). Returns an
    // empty text when the stream fails first or no line feed arrives within lineBufferSize
    // bytes; a real line is never empty because it holds at least its line feed. With
    // `streamFailed`, it tells which of the two an empty result was.
    std::string readLine(bool* streamFailed = nullptr) const;

  private:
    static constexpr std::size_t readAheadSize = 65536;

    int handle_ = -1;
    std::string failure_;
    // Read-ahead (receives run on one thread only: the session's).
    mutable std::unique_ptr<std::uint8_t[]> ahead_;
    mutable std::size_t aheadStart_ = 0;
    mutable std::size_t aheadEnd_ = 0;
};

}  // namespace corvid1
