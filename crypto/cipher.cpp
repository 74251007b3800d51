#include "crypto/cipher.h"

#include <cstring>

#include "crypto/blowfish_core.h"
#include "crypto/des_core.h"
#include "crypto/wipe.h"

namespace corvid1 {

CipherContext receiveContext;
CipherContext sendContext;

namespace blowfish_core {
#if defined(__x86_64__) || defined(__i386__)
bool useBitFieldExtract = __builtin_cpu_supports("bmi");
#else
bool useBitFieldExtract = false;
#endif
}  // namespace blowfish_core

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
// Block i of a pass depends only on blocks up to i of the pass before it, so the passes can run
// together block by block and give the same bytes. Two things make that fast. Each block stays
// in the DES working form across all three passes: the final and initial permutations between
// passes cancel, and so do those around the chain XORs, since the permutations are linear. And
// the passes are software-pipelined: in step t the first pass works on block t, the second on
// block t - 1 and the third on block t - 2, three independent DES operations run interleaved.
// Steps 0, 1, n and n + 1 have fewer than three blocks to work on.

namespace {

// Runs the DES operations of one step: all three interleaved, or those present one by one.
template <bool a, bool b, bool c, bool decryptA, bool decryptB, bool decryptC>
[[gnu::always_inline]] inline void runLanes(const DesKeySchedule& kA, DesHalves& x,
                                            const DesKeySchedule& kB, DesHalves& y,
                                            const DesKeySchedule& kC, DesHalves& z) {
    if constexpr (a && b && c) {
        des_core::desRounds3<decryptA, decryptB, decryptC>(kA.roundKeys, x.left, x.right,
                                                           kB.roundKeys, y.left, y.right,
                                                           kC.roundKeys, z.left, z.right);
    } else {
        if constexpr (a) x = des<decryptA>(kA, x);
        if constexpr (b) y = des<decryptB>(kB, y);
        if constexpr (c) z = des<decryptC>(kC, z);
    }
}

struct TripleDesPipeline {
    const TripleDesCipherState& s;
    const std::uint8_t* input;
    std::uint8_t* output;
    DesHalves iv1, iv2, iv3;
    DesHalves pending1{}, pending2{};  // outputs of one pass waiting for the next pass

    explicit TripleDesPipeline(TripleDesCipherState& state, std::uint8_t* out,
                               const std::uint8_t* in)
        : s(state),
          input(in),
          output(out),
          iv1(loadPermuted(state.iv1)),
          iv2(loadPermuted(state.iv2)),
          iv3(loadPermuted(state.iv3)) {}

    // Encryption: pass 1 encrypts with key 1 (chain iv1), pass 2 decrypts with key 2 (chain
    // iv2), pass 3 encrypts with key 3 (chain iv3). pending1 is not needed: pass 1's output is
    // iv1 itself.
    template <bool a, bool b, bool c>
    [[gnu::always_inline]] void encryptStep(std::size_t t) {
        DesHalves x{}, y{}, z{};
        if constexpr (a) x = loadPermuted(input + 8 * t) ^ iv1;
        if constexpr (b) y = iv1;
        if constexpr (c) z = pending2 ^ iv3;
        runLanes<a, b, c, false, true, false>(s.keySchedule1, x, s.keySchedule2, y, s.keySchedule3,
                                              z);
        if constexpr (c) {
            iv3 = z;
            storePermuted(output + 8 * (t - 2), z);
        }
        if constexpr (b) {
            pending2 = y ^ iv2;
            iv2 = iv1;
        }
        if constexpr (a) iv1 = x;
    }

    // Decryption: pass 1 decrypts with key 3 (chain iv3), pass 2 encrypts with key 2 (chain
    // iv2), pass 3 decrypts with key 1 (chain iv1).
    template <bool a, bool b, bool c>
    [[gnu::always_inline]] void decryptStep(std::size_t t) {
        DesHalves x{}, y{}, z{}, ciphertext{};
        if constexpr (a) x = ciphertext = loadPermuted(input + 8 * t);
        if constexpr (b) y = pending1 ^ iv2;
        if constexpr (c) z = pending2;
        runLanes<a, b, c, true, false, true>(s.keySchedule3, x, s.keySchedule2, y, s.keySchedule1,
                                             z);
        if constexpr (c) {
            storePermuted(output + 8 * (t - 2), z ^ iv1);
            iv1 = pending2;
        }
        if constexpr (b) pending2 = iv2 = y;
        if constexpr (a) {
            pending1 = x ^ iv3;
            iv3 = ciphertext;
        }
    }

    void finish(TripleDesCipherState& state) {
        storePermuted(state.iv1, iv1);
        storePermuted(state.iv2, iv2);
        storePermuted(state.iv3, iv3);
    }
};

}  // namespace

void tripleDesCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length) {
    const std::size_t blocks = length / 8;
    if (blocks == 0) return;
    TripleDesPipeline p(context.tripleDes, output, input);
    p.encryptStep<true, false, false>(0);
    if (blocks == 1) {
        p.encryptStep<false, true, false>(1);
    } else {
        p.encryptStep<true, true, false>(1);
        for (std::size_t t = 2; t < blocks; ++t) p.encryptStep<true, true, true>(t);
        p.encryptStep<false, true, true>(blocks);
    }
    p.encryptStep<false, false, true>(blocks + 1);
    p.finish(context.tripleDes);
}

void tripleDesCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                         std::size_t length) {
    const std::size_t blocks = length / 8;
    if (blocks == 0) return;
    TripleDesPipeline p(context.tripleDes, output, input);
    p.decryptStep<true, false, false>(0);
    if (blocks == 1) {
        p.decryptStep<false, true, false>(1);
    } else {
        p.decryptStep<true, true, false>(1);
        for (std::size_t t = 2; t < blocks; ++t) p.decryptStep<true, true, true>(t);
        p.decryptStep<false, true, true>(blocks);
    }
    p.decryptStep<false, false, true>(blocks + 1);
    p.finish(context.tripleDes);
}

// Blowfish-CBC with each 32-bit half read and written little-endian; the IV is kept in the same
// form, so the chain XOR is still a plain byte-wise XOR.
namespace {

template <bool bitFieldExtract>
void blowfishCbcEncryptBlocks(BlowfishCipherState& s, std::uint8_t* output,
                              const std::uint8_t* input, std::size_t length) {
    const Word whitening = s.pArray[0] ^ s.pArray[17];
    // Encryption is one chain from block to block. The chain carries the left result before
    // its final XOR with P[17]; the next block's first XOR with P[0] is folded into that one,
    // so only one XOR sits between the rounds of two blocks.
    Word chainL = loadLittleEndian(s.iv) ^ s.pArray[17], chainR = loadLittleEndian(s.iv + 4);
    for (std::size_t n = length / 8; n > 0; --n, input += 8, output += 8) {
        Word l = chainL ^ (loadLittleEndian(input) ^ whitening);
        Word r = chainR ^ loadLittleEndian(input + 4);
        blowfish_core::encryptRounds<bitFieldExtract>(s, l, r);
        chainL = r;
        chainR = l;
        storeLittleEndian(output, chainL ^ s.pArray[17]);
        storeLittleEndian(output + 4, chainR);
    }
    storeLittleEndian(s.iv, chainL ^ s.pArray[17]);
    storeLittleEndian(s.iv + 4, chainR);
}

}  // namespace

void blowfishCbcEncrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length) {
    if (blowfish_core::useBitFieldExtract) {
        blowfishCbcEncryptBlocks<true>(context.blowfish, output, input, length);
    } else {
        blowfishCbcEncryptBlocks<false>(context.blowfish, output, input, length);
    }
}

void blowfishCbcDecrypt(CipherContext& context, std::uint8_t* output, const std::uint8_t* input,
                        std::size_t length) {
    BlowfishCipherState& s = context.blowfish;
    Word ivL = loadLittleEndian(s.iv), ivR = loadLittleEndian(s.iv + 4);
    std::size_t n = length / 8;
    // All four ciphertext blocks are read before any output is written, so output may equal
    // input.
    for (; n >= 4; n -= 4, input += 32, output += 32) {
        Word cL[4], cR[4], l[4], r[4];
        for (int i = 0; i < 4; ++i) {
            l[i] = cL[i] = loadLittleEndian(input + 8 * i);
            r[i] = cR[i] = loadLittleEndian(input + 8 * i + 4);
        }
        blowfish_core::decrypt4(s, l, r);
        storeLittleEndian(output, l[0] ^ ivL);
        storeLittleEndian(output + 4, r[0] ^ ivR);
        for (int i = 1; i < 4; ++i) {
            storeLittleEndian(output + 8 * i, l[i] ^ cL[i - 1]);
            storeLittleEndian(output + 8 * i + 4, r[i] ^ cR[i - 1]);
        }
        ivL = cL[3];
        ivR = cR[3];
    }
    for (; n > 0; --n, input += 8, output += 8) {
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
