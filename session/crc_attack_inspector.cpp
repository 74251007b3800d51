#include "session/crc_attack_inspector.h"

#include <cstring>

namespace corvid1 {

bool CrcAttackInspector::inspect(const std::uint8_t* ciphertext, std::size_t length) {
    lastResult_ = detector_.check(ciphertext, length, chain_);
    if (lastResult_ != DeattackResult::Fine) return false;
    std::memcpy(chain_, ciphertext + length - kDeattackBlockSize, kDeattackBlockSize);
    return true;
}

}  // namespace corvid1
