#include "crypto/md5.h"

namespace corvid1 {
void md5Init(Md5Context&) {}
void md5Update(Md5Context&, const void*, std::size_t) {}
void md5Final(std::uint8_t*, Md5Context&) {}
void md5Transform(std::uint32_t*, const std::uint8_t*) {}
}  // namespace corvid1
