#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "session/host_key_policy.h"

namespace corvid1 {

// The window message that carries a host-key question from a session thread to the window,
// next to the terminal's 1524..1529. `first` points to a std::shared_ptr<HostKeyQuestion> on
// the sender's stack (valid only until the handler copies it), `second` is the connection
// serial.
inline constexpr int HostKeyQuestionMessage = 1530;

// One question and its answer. Shared, because the window may still hold it after the
// sending thread has been released (the window was closed with the dialog open).
struct HostKeyQuestion {
    bool changed = false;  // false: unknown key; true: differs from the key on record
    std::string host;      // 8-bit, as typed in the Connect dialog
    std::uint16_t port = 22;
    std::uint32_t bits = 0;
    std::string fingerprint;     // of the key presented, "BITS aa:bb:..."
    std::string oldFingerprint;  // changed: of the key on record
    // What the user chose; it stays Refuse unless the window answers for the connection that
    // asked while it is still the current one.
    std::atomic<UnknownHostKeyDecision> answer{UnknownHostKeyDecision::Refuse};
};

// The window's half of the host-key check for one connection: each question goes to the main
// window with the same synchronous send as the terminal's notifications and waits there for
// the user. A window that has gone, a disconnect and a close all answer Refuse.
class WindowHostKeyPrompt final : public HostKeyPrompt {
  public:
    explicit WindowHostKeyPrompt(int serial) : serial_(serial) {}

    UnknownHostKeyDecision decideUnknown(const std::string& host, std::uint16_t port,
                                         std::uint32_t bits,
                                         const std::string& fingerprint) override;
    ChangedHostKeyDecision decideChanged(const std::string& host, std::uint16_t port,
                                         std::uint32_t bits, const std::string& oldFingerprint,
                                         const std::string& newFingerprint) override;

  private:
    UnknownHostKeyDecision ask(std::shared_ptr<HostKeyQuestion> question);

    int serial_;
};

}  // namespace corvid1
