#include "app/host_key_prompt.h"

#include "app/screen_bridge.h"

namespace corvid1 {

UnknownHostKeyDecision WindowHostKeyPrompt::ask(std::shared_ptr<HostKeyQuestion> question) {
    // A dropped message (no window) leaves the answer at Refuse.
    ScreenBridge::instance().sendMessage(HostKeyQuestionMessage,
                                         reinterpret_cast<std::intptr_t>(&question), serial_);
    return question->answer.load();
}

UnknownHostKeyDecision WindowHostKeyPrompt::decideUnknown(const std::string& host,
                                                          std::uint16_t port, std::uint32_t bits,
                                                          const std::string& fingerprint) {
    auto question = std::make_shared<HostKeyQuestion>();
    question->host = host;
    question->port = port;
    question->bits = bits;
    question->fingerprint = fingerprint;
    return ask(std::move(question));
}

ChangedHostKeyDecision WindowHostKeyPrompt::decideChanged(const std::string& host,
                                                          std::uint16_t port, std::uint32_t bits,
                                                          const std::string& oldFingerprint,
                                                          const std::string& newFingerprint) {
    auto question = std::make_shared<HostKeyQuestion>();
    question->changed = true;
    question->host = host;
    question->port = port;
    question->bits = bits;
    question->fingerprint = newFingerprint;
    question->oldFingerprint = oldFingerprint;
    // Only "once" can come back for a changed key; anything else refuses.
    return ask(std::move(question)) == UnknownHostKeyDecision::ConnectOnce
               ? ChangedHostKeyDecision::ConnectOnce
               : ChangedHostKeyDecision::Refuse;
}

}  // namespace corvid1
