// The SSH-1 bulk ciphers, one object per direction: triple DES over Nettle, Blowfish over
// libcrypto (both independent of the client's own code, which they test).
// Each keeps its chaining state across packets for the whole session, as the protocol does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvid1::testserver {

enum CipherNumber : int { CipherNone = 0, CipherTripleDes = 3, CipherBlowfish = 6 };

class PacketCipher {
  public:
    virtual ~PacketCipher() = default;
    // Transform `length` bytes in place; `length` is a multiple of 8.
    virtual void encrypt(std::uint8_t* data, std::size_t length) = 0;
    virtual void decrypt(std::uint8_t* data, std::size_t length) = 0;
};

// A cipher for `number` keyed with the 32-byte session key; null for an unknown number.
std::unique_ptr<PacketCipher> makePacketCipher(int number, const std::uint8_t key[32]);

}  // namespace corvid1::testserver
