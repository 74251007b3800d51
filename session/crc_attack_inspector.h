#pragma once

#include <cstddef>
#include <cstdint>

#include "session/connection.h"
#include "session/deattack.h"

namespace corvid1 {

// The CRC-32 compensation attack detector on the receive path of one encrypted connection.
// Every Session keyed with a real cipher gets one unless the caller installed an inspector of
// its own. Session thread only.
class CrcAttackInspector : public CiphertextInspector {
  public:
    bool inspect(const std::uint8_t* ciphertext, std::size_t length) override;
    DeattackResult lastResult() const { return lastResult_; }

  private:
    DeattackDetector detector_;
    // The block before the packet in the cipher's outer CBC chain: SSH-1 starts the chain at
    // zero, and each packet continues from the last ciphertext block of the one before, so an
    // attacker cannot splice an earlier block in at the packet's start unnoticed.
    std::uint8_t chain_[kDeattackBlockSize] = {};
    DeattackResult lastResult_ = DeattackResult::Fine;
};

}  // namespace corvid1
