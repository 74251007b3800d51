#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/blowfish.h"
#include "crypto/des.h"

namespace corvid1 {

// SSH-1 cipher numbers this system speaks.
enum : std::uint32_t { CipherNone = 0, CipherTripleDes = 3, CipherBlowfish = 6 };

// Three independent DES-CBC chains, one per pass.
struct TripleDesCipherState {
    DesKeySchedule keySchedule1;
    std::uint8_t iv1[8];
    DesKeySchedule keySchedule2;
    std::uint8_t iv2[8];
    DesKeySchedule keySchedule3;
    std::uint8_t iv3[8];
};

// sBoxes, pArray, then the CBC chaining block.
struct BlowfishCipherState : BlowfishKeySchedule {
    std::uint8_t iv[8];
};

// Per-direction cipher state. The two layouts share storage; key setup clears all of it.
struct CipherContext {
    std::uint32_t cipherNumber;
    union {
        TripleDesCipherState tripleDes;
        BlowfishCipherState blowfish;
    };
};

// One connection runs at a time, so one pair of contexts serves the whole process.
// receiveContext is used by the session thread only; calls on sendContext from the two
// threads must be serialised by the caller (the packet writer's lock).
extern CipherContext receiveContext;
extern CipherContext sendContext;

// Key setup. `direction` is 0 for the receive side and 1 for the send side; it does not change
// the result. Triple DES takes key bytes 0-7, 8-15 and 16-23 (key 3 = key 1 when the key has 16
// bytes or fewer; missing bytes are zeros; bytes past 32 are ignored). Blowfish takes all bytes.
void tripleDesInitContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                          int direction);
void blowfishInitContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                         int direction);
// The null cipher's context setup: cleared, cipher number 0.
void nullCipherInitContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                           int direction);

// Packet transforms. The in-place forms are what the packet layer uses; in the others `output`
// may be the same bytes as `input` (other overlaps are not supported). The IVs chain on from
// call to call. Nothing is allocated. A length that is not a multiple
// of 8 is never produced by the packet layer; should one arrive, only the whole blocks are
// transformed and the trailing length % 8 bytes are left as they are (never read or written).
void tripleDesCbcEncrypt(CipherContext& context, std::uint8_t* data, std::size_t length);
void tripleDesCbcDecrypt(CipherContext& context, std::uint8_t* data, std::size_t length);
void blowfishCbcEncrypt(CipherContext& context, std::uint8_t* data, std::size_t length);
void blowfishCbcDecrypt(CipherContext& context, std::uint8_t* data, std::size_t length);

void tripleDesCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length);
void tripleDesCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length);
void blowfishCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length);
void blowfishCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length);

}  // namespace corvid1
