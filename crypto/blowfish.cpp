#include "crypto/blowfish.h"

namespace corvid1 {
void blowfishSetKey(BlowfishKeySchedule&, const std::uint8_t*, std::size_t) {}
void blowfishEncryptBlock(const BlowfishKeySchedule&, std::uint32_t&, std::uint32_t&) {}
void blowfishDecryptBlock(const BlowfishKeySchedule&, std::uint32_t&, std::uint32_t&) {}
}  // namespace corvid1
