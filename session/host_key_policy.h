#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/host_key_fingerprint.h"
#include "session/key_exchange.h"
#include "session/known_hosts.h"
#include "session/terminal_front_end.h"

namespace corvid1 {

class Session;

// What the user chose for a host key that no store knows.
enum class UnknownHostKeyDecision { AcceptAndRemember, ConnectOnce, Refuse };
// What the user chose for a host key that differs from the one on record. There is no
// "remember": the old entry stays until the user removes it, so a key stolen once is not
// trusted for ever.
enum class ChangedHostKeyDecision { Refuse, ConnectOnce };

// The front end's half of the check: asks the user. Called on the session thread, during the
// key exchange, before anything has been sent that depends on the key; it may block (a dialog
// reached with the window's synchronous send, a question on the controlling terminal). A front
// end that aborts the session while a question is open must still let the call return.
class HostKeyPrompt {
  public:
    virtual ~HostKeyPrompt() = default;
    // `name` is how the host is filed ("host", or "[host]:port" for a port other than 22);
    // `fingerprint` is "BITS aa:bb:...", as OpenSSH and PuTTY show it.
    virtual UnknownHostKeyDecision decideUnknown(const std::string& host, std::uint16_t port,
                                                 std::uint32_t bits,
                                                 const std::string& fingerprint) = 0;
    // The default refuses: only a front end that shows the warning may offer more.
    virtual ChangedHostKeyDecision decideChanged(const std::string& host, std::uint16_t port,
                                                 std::uint32_t bits,
                                                 const std::string& oldFingerprint,
                                                 const std::string& newFingerprint);
};

// Choices that need no question, for the command-line client.
struct HostKeyPolicyOptions {
    // An unknown key is accepted and saved without asking. A changed key is still refused.
    bool acceptNew = false;
    // When not empty, exactly the keys these fingerprints name are accepted and no store is
    // consulted or written.
    std::vector<ParsedFingerprint> acceptedFingerprints;
};

// How the check ended; the same as the status lines say, for a front end that wants to add
// its own words or choose an exit code.
enum class HostKeyOutcome {
    NotChecked,        // the key exchange did not get as far as the host key
    Known,             // on record in a store
    MatchedGiven,      // one of acceptedFingerprints
    AcceptedOnce,      // unknown or changed, accepted for this connection only
    AcceptedAndSaved,  // unknown, accepted and appended to the user's store
    RefusedUnknown,    // unknown: the user said no, or nobody could be asked
    RefusedChanged,    // differs from the key on record
    RefusedNotGiven,   // not one of acceptedFingerprints
};

// The session core's host-key check: converts the server's key, looks (host, port) up in the
// stores and asks the prompt only when the answer is not already on record. Each outcome prints
// its status lines through the front end; a refusal ends the key exchange before the session key
// is sent, and the session with SessionEnd::HostKeyRejected.
class HostKeyPolicy : public HostKeyVerifier {
  public:
    // `frontEnd` and `prompt` (null: nobody to ask) must outlive the session's run.
    HostKeyPolicy(std::string host, std::uint16_t port, KnownHosts store, SessionFrontEnd& frontEnd,
                  HostKeyPrompt* prompt = nullptr, HostKeyPolicyOptions options = {});

    bool verifyHostKey(const RsaPublicKey& hostKey) override;

    // Read once runSession has returned (on the thread that knows it has).
    HostKeyOutcome outcome() const { return outcome_; }
    const std::string& fingerprint() const { return fingerprint_; }   // of the key presented
    const std::string& storedFingerprint() const { return stored_; }  // Changed: on record
    const std::string& storedAt() const { return storedAt_; }         // Known, Changed: "FILE:LINE"

  private:
    bool decideFromGiven(const HostKey& key);
    bool decideUnknown(const HostKey& key);
    bool decideChanged(const HostKey& key);
    void status(const std::string& text) { frontEnd_.status(text.c_str()); }

    std::string host_;
    std::uint16_t port_;
    std::string name_;
    KnownHosts store_;
    SessionFrontEnd& frontEnd_;
    HostKeyPrompt* prompt_;
    HostKeyPolicyOptions options_;
    HostKeyOutcome outcome_ = HostKeyOutcome::NotChecked;
    std::string fingerprint_, stored_, storedAt_;
};

// The host key as the stores and the fingerprint know it.
HostKey hostKeyOf(const RsaPublicKey& key);

// Builds a HostKeyPolicy that prints through the session's front end and installs it as the
// session's verifier; returns it so that the caller can read the outcome afterwards. Call
// before runSession starts.
std::shared_ptr<HostKeyPolicy> installHostKeyPolicy(Session& session, std::string host,
                                                    std::uint16_t port, KnownHosts store,
                                                    HostKeyPrompt* prompt = nullptr,
                                                    HostKeyPolicyOptions options = {});

}  // namespace corvid1
