#include "session/host_key_policy.h"

#include <gmp.h>

#include "session/session.h"

namespace corvid1 {
namespace {

std::vector<std::uint8_t> exportBytes(const mpz_t value) {
    std::vector<std::uint8_t> bytes((mpz_sizeinbase(value, 2) + 7) / 8);
    std::size_t count = 0;
    if (mpz_sgn(value) != 0) mpz_export(bytes.data(), &count, 1, 1, 1, 0, value);
    bytes.resize(count);
    return bytes;
}

}  // namespace

ChangedHostKeyDecision HostKeyPrompt::decideChanged(const std::string&, std::uint16_t,
                                                    std::uint32_t, const std::string&,
                                                    const std::string&) {
    return ChangedHostKeyDecision::Refuse;
}

HostKey hostKeyOf(const RsaPublicKey& key) {
    const std::vector<std::uint8_t> exponent = exportBytes(key.exponent);
    const std::vector<std::uint8_t> modulus = exportBytes(key.modulus);
    return makeHostKey(key.bits, exponent, modulus);
}

HostKeyPolicy::HostKeyPolicy(std::string host, std::uint16_t port, KnownHosts store,
                             SessionFrontEnd& frontEnd, HostKeyPrompt* prompt,
                             HostKeyPolicyOptions options)
    : host_(std::move(host)),
      port_(port),
      name_(knownHostsName(host_, port)),
      store_(std::move(store)),
      frontEnd_(frontEnd),
      prompt_(prompt),
      options_(std::move(options)) {}

bool HostKeyPolicy::verifyHostKey(const RsaPublicKey& hostKey) {
    const HostKey key = hostKeyOf(hostKey);
    fingerprint_ = hostKeyFingerprint(key);
    if (!options_.acceptedFingerprints.empty()) return decideFromGiven(key);

    const HostKeyCheck check = store_.check(host_, port_, key);
    if (!check.readError.empty())
        status("Warning - Known hosts file could not be read: " + check.readError + "\n");
    storedAt_ = check.storedAt;
    switch (check.status) {
        case HostKeyStatus::Known:
            outcome_ = HostKeyOutcome::Known;
            status("Host key matches the one on record\n");
            return true;
        case HostKeyStatus::Unknown:
            return decideUnknown(key);
        case HostKeyStatus::Changed:
            stored_ = check.storedFingerprint;
            return decideChanged(key);
    }
    return false;
}

bool HostKeyPolicy::decideFromGiven(const HostKey& key) {
    for (const ParsedFingerprint& given : options_.acceptedFingerprints) {
        if (fingerprintMatches(given, key)) {
            outcome_ = HostKeyOutcome::MatchedGiven;
            status("Host key matches a fingerprint given\n");
            return true;
        }
    }
    outcome_ = HostKeyOutcome::RefusedNotGiven;
    status("The host key of " + name_ + " is not one of the fingerprints given.\n");
    status("Host key fingerprint: " + fingerprint_ + "\n");
    return false;
}

bool HostKeyPolicy::decideUnknown(const HostKey& key) {
    status("The host key of " + name_ + " is not known.\n");
    status("Host key fingerprint: " + fingerprint_ + "\n");
    UnknownHostKeyDecision decision = UnknownHostKeyDecision::Refuse;
    if (options_.acceptNew) {
        decision = UnknownHostKeyDecision::AcceptAndRemember;
    } else if (prompt_ != nullptr) {
        decision = prompt_->decideUnknown(host_, port_, key.bits, fingerprint_);
    } else {
        status("Nobody can be asked whether to trust it; not connecting.\n");
    }
    switch (decision) {
        case UnknownHostKeyDecision::AcceptAndRemember: {
            std::string error;
            if (store_.add(host_, port_, key, &error)) {
                outcome_ = HostKeyOutcome::AcceptedAndSaved;
                status("Host key accepted and saved in " + store_.userStore() + "\n");
            } else {
                // The user has accepted the key; failing to file it is no reason to refuse.
                outcome_ = HostKeyOutcome::AcceptedOnce;
                status("Warning - Host key accepted for this connection only; saving it failed: " +
                       error + "\n");
            }
            return true;
        }
        case UnknownHostKeyDecision::ConnectOnce:
            outcome_ = HostKeyOutcome::AcceptedOnce;
            status("Host key accepted for this connection only\n");
            return true;
        case UnknownHostKeyDecision::Refuse:
            break;
    }
    outcome_ = HostKeyOutcome::RefusedUnknown;
    return false;
}

bool HostKeyPolicy::decideChanged(const HostKey& key) {
    status("WARNING - THE HOST KEY OF " + name_ + " HAS CHANGED!\n");
    status("This may be an attack: someone may be posing as the server to read your password.\n");
    status("Key on record: " + stored_ + " (" + storedAt_ + ")\n");
    status("Key presented: " + fingerprint_ + "\n");
    ChangedHostKeyDecision decision = ChangedHostKeyDecision::Refuse;
    if (prompt_ != nullptr)
        decision = prompt_->decideChanged(host_, port_, key.bits, stored_, fingerprint_);
    if (decision == ChangedHostKeyDecision::ConnectOnce) {
        outcome_ = HostKeyOutcome::AcceptedOnce;
        status("Warning - Changed host key accepted for this connection only\n");
        return true;
    }
    outcome_ = HostKeyOutcome::RefusedChanged;
    status("Remove the entry at " + storedAt_ +
           " only once the server's administrator has confirmed the new key.\n");
    return false;
}

std::shared_ptr<HostKeyPolicy> installHostKeyPolicy(Session& session, std::string host,
                                                    std::uint16_t port, KnownHosts store,
                                                    HostKeyPrompt* prompt,
                                                    HostKeyPolicyOptions options) {
    auto policy = std::make_shared<HostKeyPolicy>(std::move(host), port, std::move(store),
                                                  session.frontEnd(), prompt, std::move(options));
    session.setHostKeyVerifier(policy);
    return policy;
}

}  // namespace corvid1
