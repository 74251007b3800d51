#include "crypto/cipher.h"

#include <cstring>

#include "crypto/blowfish_core.h"
#include "crypto/des_core.h"
#include "crypto/wipe.h"

namespace corvid1 {

CipherContext receiveContext;
CipherContext sendContext;

namespace {

using des_core::Word;

inline Word loadLittleEndian(const std::uint8_t* p) {
    return Word(p[0]) | Word(p[1]) << 8 | Word(p[2]) << 16 | Word(p[3]) << 24;
}
inline void storeLittleEndian(std::uint8_t* p, Word v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

// A DES block in the block function's working form (after the initial permutation).
struct DesHalves {
    Word left, right;
};

inline DesHalves loadPermuted(const std::uint8_t* bytes) {
    DesHalves h{des_core::loadBigEndian(bytes), des_core::loadBigEndian(bytes + 4)};
    des_core::desInitialPermutation(h.left, h.right);
    return h;
}
inline void storePermuted(std::uint8_t* bytes, DesHalves h) {
    des_core::desFinalPermutation(h.left, h.right);
    des_core::storeBigEndian(bytes, h.left);
    des_core::storeBigEndian(bytes + 4, h.right);
}

template <bool decrypt>
inline DesHalves des(const DesKeySchedule& schedule, DesHalves h) {
    des_core::desRounds<decrypt>(schedule.roundKeys, h.left, h.right);
    return h;
}
inline DesHalves operator^(DesHalves a, DesHalves b) {
    return {a.left ^ b.left, a.right ^ b.right};
}

}  // namespace

void tripleDesInitContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                          int /*direction*/) {
    secureWipe(&context, sizeof context);
    context.cipherNumber = CipherTripleDes;
    std::uint8_t buffer[32] = {};
    std::size_t used = keyLength < sizeof buffer ? keyLength : sizeof buffer;
    if (used > 0) std::memcpy(buffer, key, used);
    TripleDesCipherState& state = context.tripleDes;
    desSetKey(state.keySchedule1, buffer);
    desSetKey(state.keySchedule2, buffer + 8);
    desSetKey(state.keySchedule3, keyLength > 16 ? buffer + 16 : buffer);
    secureWipe(buffer, sizeof buffer);
}

void blowfishInitContext(CipherContext& context, const std::uint8_t* key, std::size_t keyLength,
                         int /*direction*/) {
    secureWipe(&context, sizeof context);
    context.cipherNumber = CipherBlowfish;
    blowfishSetKey(context.blowfish, key, keyLength);
}

void nullCipherInitContext(CipherContext& context, const std::uint8_t*, std::size_t, int) {
    secureWipe(&context, sizeof context);
    context.cipherNumber = CipherNone;
}

// The SSH-1 construction is three CBC passes over the whole range, each chaining on its own.
// Doing them one block at a time gives the same bytes, because block i of a pass depends only on
// blocks up to i of the pass before it. Fusing them keeps each block in the DES working form
// across all 48 rounds: the final and initial permutations between passes cancel, and so do
// those around the chain XORs, since the permutations are linear.
void tripleDesCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length) {
    TripleDesCipherState& s = context.tripleDes;
    DesHalves iv1 = loadPermuted(s.iv1), iv2 = loadPermuted(s.iv2), iv3 = loadPermuted(s.iv3);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        DesHalves c1 = des<false>(s.keySchedule1, loadPermuted(input) ^ iv1);
        iv1 = c1;
        DesHalves c2 = des<true>(s.keySchedule2, c1) ^ iv2;
        iv2 = c1;
        DesHalves c3 = des<false>(s.keySchedule3, c2 ^ iv3);
        iv3 = c3;
        storePermuted(output, c3);
    }
    storePermuted(s.iv1, iv1);
    storePermuted(s.iv2, iv2);
    storePermuted(s.iv3, iv3);
}

void tripleDesCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length) {
    TripleDesCipherState& s = context.tripleDes;
    DesHalves iv1 = loadPermuted(s.iv1), iv2 = loadPermuted(s.iv2), iv3 = loadPermuted(s.iv3);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        DesHalves c = loadPermuted(input);
        DesHalves p3 = des<true>(s.keySchedule3, c) ^ iv3;
        iv3 = c;
        DesHalves p2 = des<false>(s.keySchedule2, p3 ^ iv2);
        iv2 = p2;
        DesHalves p1 = des<true>(s.keySchedule1, p2) ^ iv1;
        iv1 = p2;
        storePermuted(output, p1);
    }
    storePermuted(s.iv1, iv1);
    storePermuted(s.iv2, iv2);
    storePermuted(s.iv3, iv3);
}

// Blowfish-CBC with each 32-bit half read and written little-endian; the IV is kept in the same
// form, so the chain XOR is still a plain byte-wise XOR.
void blowfishCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length) {
    BlowfishCipherState& s = context.blowfish;
    Word ivL = loadLittleEndian(s.iv), ivR = loadLittleEndian(s.iv + 4);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        Word l = loadLittleEndian(input) ^ ivL, r = loadLittleEndian(input + 4) ^ ivR;
        blowfish_core::encrypt(s, l, r);
        storeLittleEndian(output, l);
        storeLittleEndian(output + 4, r);
        ivL = l;
        ivR = r;
    }
    storeLittleEndian(s.iv, ivL);
    storeLittleEndian(s.iv + 4, ivR);
}

void blowfishCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length) {
    BlowfishCipherState& s = context.blowfish;
    Word ivL = loadLittleEndian(s.iv), ivR = loadLittleEndian(s.iv + 4);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        Word cL = loadLittleEndian(input), cR = loadLittleEndian(input + 4);
        Word l = cL, r = cR;
        blowfish_core::decrypt(s, l, r);
        storeLittleEndian(output, l ^ ivL);
        storeLittleEndian(output + 4, r ^ ivR);
        ivL = cL;
        ivR = cR;
    }
    storeLittleEndian(s.iv, ivL);
    storeLittleEndian(s.iv + 4, ivR);
}

void tripleDesCbcEncrypt(CipherContext& context, std::uint8_t* data, std::size_t length) {
    tripleDesCbcEncrypt(context, data, data, length);
}
void tripleDesCbcDecrypt(CipherContext& context, std::uint8_t* data, std::size_t length) {
    tripleDesCbcDecrypt(context, data, data, length);
}
void blowfishCbcEncrypt(CipherContext& context, std::uint8_t* data, std::size_t length) {
    blowfishCbcEncrypt(context, data, data, length);
}
void blowfishCbcDecrypt(CipherContext& context, std::uint8_t* data, std::size_t length) {
    blowfishCbcDecrypt(context, data, data, length);
}

}  // namespace corvid1
