#include "crypto/des.h"

namespace corvid1 {
void desSetKey(DesKeySchedule&, const std::uint8_t*) {}
void desEncryptBlock(const DesKeySchedule&, std::uint8_t*) {}
void desDecryptBlock(const DesKeySchedule&, std::uint8_t*) {}
void desCbcEncrypt(const DesKeySchedule&, std::uint8_t*, std::uint8_t*, const std::uint8_t*,
                   std::size_t) {}
void desCbcDecrypt(const DesKeySchedule&, std::uint8_t*, std::uint8_t*, const std::uint8_t*,
                   std::size_t) {}
}  // namespace corvid1
