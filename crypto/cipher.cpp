#include "crypto/cipher.h"

namespace corvid1 {
CipherContext receiveContext;
CipherContext sendContext;
void tripleDesInitContext(CipherContext&, const std::uint8_t*, std::size_t, int) {}
void blowfishInitContext(CipherContext&, const std::uint8_t*, std::size_t, int) {}
void nullCipherInitContext(CipherContext&, const std::uint8_t*, std::size_t, int) {}
void tripleDesCbcEncrypt(CipherContext&, std::uint8_t*, std::size_t) {}
void tripleDesCbcDecrypt(CipherContext&, std::uint8_t*, std::size_t) {}
void blowfishCbcEncrypt(CipherContext&, std::uint8_t*, std::size_t) {}
void blowfishCbcDecrypt(CipherContext&, std::uint8_t*, std::size_t) {}
void tripleDesCbcEncrypt(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t) {}
void tripleDesCbcDecrypt(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t) {}
void blowfishCbcEncrypt(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t) {}
void blowfishCbcDecrypt(CipherContext&, std::uint8_t*, const std::uint8_t*, std::size_t) {}
}  // namespace corvid1
