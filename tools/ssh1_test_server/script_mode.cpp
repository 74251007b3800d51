// Scripted conversations: fixed outputs that client tests can assert on, byte for byte.
#include <string>

#include "server_connection.h"

namespace corvid1::testserver {

namespace {

constexpr const char kGreeting[] = "Corvid1 test server\r\n";
constexpr const char kPrompt[] = "$ ";
constexpr std::size_t kBulkPacket = 16384;
constexpr std::size_t kBulkPeriod = 65536;  // bulkPatternByte(i) depends on i mod 2^16 only
constexpr std::size_t kMaxLine = 1024;

constexpr const char kColourListing[] =
    "\x1b[0mtotal 6\r\n"
    "\x1b[01;34mbin\x1b[0m  \x1b[01;32mrun.sh\x1b[0m  \x1b[31mcore\x1b[0m  "
    "\x1b[33;44mfifo\x1b[0m\r\n"
    "\x1b[7mreverse\x1b[0m  \x1b[4munderline\x1b[0m  \x1b[1;37;41mbold-white-on-red\x1b[0m\r\n";

constexpr const char kScreen[] =
    "\x1b[H\x1b[2J\x1b[1;1HTOP-LEFT\x1b[1;73HTOP-RIGHT\x1b[12;35H\x1b[7mCENTRE\x1b[0m"
    "\x1b[24;1HBOTTOM-LEFT\x1b[24;70HBOTTOM-RIGHT\x1b[5;10H";

bool sendOutput(ServerConnection& c, std::string_view text) {
    return c.sendString(SSH_SMSG_STDOUT_DATA, text);
}

// The bulk pattern repeats every 65536 bytes, so one period (and a packet's worth past it) is
// built once and every packet is a slice of it.
const std::string& bulkPattern() {
    static const std::string pattern = [] {
        std::string p(kBulkPeriod + kBulkPacket, '\0');
        for (std::size_t j = 0; j < p.size(); ++j) p[j] = static_cast<char>(bulkPatternByte(j));
        return p;
    }();
    return pattern;
}

bool sendBulk(ServerConnection& c, std::uint64_t total) {
    const std::string_view pattern = bulkPattern();
    std::uint64_t sent = 0;
    return c.sendStringStream(SSH_SMSG_STDOUT_DATA, [&](std::string_view& text) {
        if (sent == total) return false;
        std::size_t n =
            total - sent < kBulkPacket ? static_cast<std::size_t>(total - sent) : kBulkPacket;
        text = pattern.substr(sent % kBulkPeriod, n);
        sent += n;
        return true;
    });
}

// Sends the query and reports the first input that follows as the terminal's answer.
void askTerminal(ServerConnection& c, const char* query, const char* label, const char* tag,
                 bool thenExit) {
    if (!c.sendAt(Stage::Data, SSH_SMSG_STDOUT_DATA, [&] {
            Writer w;
            w.string(std::string(query));
            return w.take();
        }()))
        return;
    Packet p;
    while (c.readAndRecord(p)) {
        if (p.type == SSH_MSG_DISCONNECT) return;
        if (p.type != SSH_CMSG_STDIN_DATA) continue;
        Reader r(p.payload);
        std::string answer = r.string();
        c.record(std::string(tag) + " " + escapeText(answer));
        if (!sendOutput(c, std::string(label) + " answer: \"" + escapeText(answer) + "\"\r\n"))
            return;
        if (thenExit) c.finishWithExitStatus(c.options().exitStatus);
        return;
    }
}

// The interactive echo conversation with its few line commands.
class EchoConversation {
  public:
    explicit EchoConversation(ServerConnection& c) : c_(c) {}

    void run() {
        if (!c_.sendAt(Stage::Data, SSH_SMSG_STDOUT_DATA,
                       payload(std::string(kGreeting) + kPrompt)))
            return;
        Packet p;
        while (c_.readAndRecord(p)) {
            if (p.type == SSH_MSG_DISCONNECT) return;
            if (p.type != SSH_CMSG_STDIN_DATA) continue;
            Reader r(p.payload);
            std::string data = r.string();
            if (pendingQuery_) {
                c_.record(std::string(pendingQuery_) + " " + escapeText(data));
                std::string label = pendingQuery_ == std::string("ENQ_ANSWER") ? "ENQ" : "ESC Z";
                pendingQuery_ = nullptr;
                if (!sendOutput(c_, label + " answer: \"" + escapeText(data) + "\"\r\n" + kPrompt))
                    return;
                continue;
            }
            if (!typed(data)) return;
        }
    }

  private:
    static Bytes payload(const std::string& text) {
        Writer w;
        w.string(text);
        return w.take();
    }

    // Echoes the bytes; returns false when the conversation is over.
    bool typed(const std::string& data) {
        std::string echo;
        for (char ch : data) {
            const bool lineEnd = ch == '\r' || (ch == '\n' && !lastWasCr_);
            const bool crlfTail = ch == '\n' && lastWasCr_;
            lastWasCr_ = ch == '\r';
            if (crlfTail) continue;
            if (lineEnd) {
                echo += "\r\n";
                if (!sendOutput(c_, echo)) return false;
                echo.clear();
                if (!command()) return false;
                line_.clear();
            } else if (ch == '\b' || ch == '\x7f') {
                if (!line_.empty()) {
                    line_.pop_back();
                    echo += "\b \b";
                }
            } else {
                echo += ch;
                if (line_.size() < kMaxLine) line_ += ch;
            }
        }
        return echo.empty() || sendOutput(c_, echo);
    }

    bool command() {
        const auto& o = c_.options();
        if (line_ == "exit") {
            if (sendOutput(c_, "logout\r\n")) c_.finishWithExitStatus(o.exitStatus);
            return false;
        }
        if (line_ == "enq" || line_ == "escz") {
            pendingQuery_ = line_ == "enq" ? "ENQ_ANSWER" : "ESCZ_ANSWER";
            return sendOutput(c_, line_ == "enq" ? "\x05" : "\x1bZ");
        }
        bool ok = true;
        if (line_ == "bulk") {
            ok = sendBulk(c_, o.bulkBytes);
        } else if (line_ == "colours") {
            ok = sendOutput(c_, kColourListing);
        } else if (line_ == "screen") {
            ok = sendOutput(c_, kScreen);
        } else if (!line_.empty()) {
            ok = sendOutput(c_, "unknown: " + line_ + "\r\n");
        }
        return ok && sendOutput(c_, kPrompt);
    }

    ServerConnection& c_;
    std::string line_;
    bool lastWasCr_ = false;
    const char* pendingQuery_ = nullptr;
};

// Scenarios that send one fixed output and then the exit status.
void sendThenExit(ServerConnection& c, const std::string& text) {
    Writer w;
    w.string(text);
    if (c.sendAt(Stage::Data, SSH_SMSG_STDOUT_DATA, w.bytes()))
        c.finishWithExitStatus(c.options().exitStatus);
}

}  // namespace

void runScript(ServerConnection& c) {
    const auto& o = c.options();
    const std::string& s = o.scenario;
    if (s == "enq") {
        askTerminal(c, "\x05", "ENQ", "ENQ_ANSWER", true);
    } else if (s == "escz") {
        askTerminal(c, "\x1bZ", "ESC Z", "ESCZ_ANSWER", true);
    } else if (s == "exit-status" || s == "refuse-compression") {
        sendThenExit(c, "exit status " + std::to_string(o.exitStatus) + "\r\n");
    } else if (s == "colours") {
        sendThenExit(c, kColourListing);
    } else if (s == "screen") {
        sendThenExit(c, kScreen);
    } else if (s == "bulk") {
        if (sendBulk(c, o.bulkBytes)) c.finishWithExitStatus(o.exitStatus);
    } else if (s == "stderr") {
        // Both streams, interleaved, so a client can be checked for keeping them apart.
        if (c.sendAt(Stage::Data, SSH_SMSG_STDOUT_DATA,
                     [] {
                         Writer w;
                         w.string(std::string("out 1\r\n"));
                         return w.take();
                     }()) &&
            c.sendString(SSH_SMSG_STDERR_DATA, "err 1\r\n") && sendOutput(c, "out 2\r\n") &&
            c.sendString(SSH_SMSG_STDERR_DATA, "err 2\r\n"))
            c.finishWithExitStatus(o.exitStatus);
    } else if (s == "compression-bomb") {
        // A few hundred bytes on the wire that unpack to more than any packet may hold.
        if (c.sendString(SSH_SMSG_STDOUT_DATA, std::string(300 * 1024, 'A'))) c.waitForClose();
    } else if (s == "bogus-channel") {
        // Channel messages for channels that were never opened, then ordinary output.
        Writer data, close;
        data.u32(4242);
        data.string(std::string("x"));
        close.u32(7);
        if (c.send(SSH_MSG_CHANNEL_DATA, data.bytes()) &&
            c.send(SSH_MSG_CHANNEL_CLOSE, close.bytes()) && sendOutput(c, "still here\r\n"))
            c.finishWithExitStatus(o.exitStatus);
    } else if (s == "disconnect-in-data") {
        Writer w;
        w.string(std::string("goodbye\r\n"));
        if (c.sendAt(Stage::Data, SSH_SMSG_STDOUT_DATA, w.bytes())) c.disconnect(o.reason);
    } else {
        EchoConversation(c).run();
    }
}

}  // namespace corvid1::testserver
