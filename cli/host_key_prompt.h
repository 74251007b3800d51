#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "session/host_key_policy.h"

namespace corvid1::cli {

// The question for a host key that no store knows, as the controlling terminal shows it.
std::string unknownHostKeyQuestion(const std::string& name, const std::string& fingerprint);
// Shown after an answer that is none of the three.
inline constexpr char trustAnswerReminder[] = "Please type yes, once or no: ";

// "yes", "once" or "no", in any case, blanks around them ignored; nothing else is an answer.
std::optional<UnknownHostKeyDecision> parseTrustAnswer(std::string_view line);

// True when the process has a controlling terminal to ask on (/dev/tty opens), whatever its
// standard streams are.
bool haveControllingTerminal();

// Asks on the controlling terminal, as the password prompt does. A changed key is never
// offered: the base class refuses it, and the policy's lines, which show both fingerprints,
// are the client's report.
class TerminalHostKeyPrompt : public HostKeyPrompt {
  public:
    UnknownHostKeyDecision decideUnknown(const std::string& host, std::uint16_t port,
                                         std::uint32_t bits,
                                         const std::string& fingerprint) override;
};

}  // namespace corvid1::cli
