#include "ssh1_cipher.h"

#include <nettle/cbc.h>
#include <nettle/des.h>
// The one-block Blowfish of libcrypto takes the two halves as words, so the SSH-1 byte order
// costs nothing; it is deprecated only in favour of EVP, whose Blowfish needs the legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <cstring>

namespace corvid1::testserver {

namespace {

class NoCipher : public PacketCipher {
  public:
    void encrypt(std::uint8_t*, std::size_t) override {}
    void decrypt(std::uint8_t*, std::size_t) override {}
};

// SSH-1 "3DES" is not the usual EDE triple DES in outer CBC mode: it is three separate CBC
// passes (encrypt with k1, decrypt with k2, encrypt with k3), each with an IV chain of its own.
class TripleDes : public PacketCipher {
  public:
    explicit TripleDes(const std::uint8_t key[32]) {
        for (int i = 0; i < 3; ++i) {
            des_set_key(&keys_[i], key + 8 * i);  // weak keys are still usable; parity ignored
            std::memset(ivs_[i], 0, sizeof(ivs_[i]));
        }
    }
    ~TripleDes() override {
        std::memset(keys_, 0, sizeof(keys_));
        std::memset(ivs_, 0, sizeof(ivs_));
    }
    void encrypt(std::uint8_t* data, std::size_t length) override {
        cbc_encrypt(&keys_[0], encryptFn(), DES_BLOCK_SIZE, ivs_[0], length, data, data);
        cbc_decrypt(&keys_[1], decryptFn(), DES_BLOCK_SIZE, ivs_[1], length, data, data);
        cbc_encrypt(&keys_[2], encryptFn(), DES_BLOCK_SIZE, ivs_[2], length, data, data);
    }
    void decrypt(std::uint8_t* data, std::size_t length) override {
        cbc_decrypt(&keys_[2], decryptFn(), DES_BLOCK_SIZE, ivs_[2], length, data, data);
        cbc_encrypt(&keys_[1], encryptFn(), DES_BLOCK_SIZE, ivs_[1], length, data, data);
        cbc_decrypt(&keys_[0], decryptFn(), DES_BLOCK_SIZE, ivs_[0], length, data, data);
    }

  private:
    static nettle_cipher_func* encryptFn() {
        return reinterpret_cast<nettle_cipher_func*>(&des_encrypt);
    }
    static nettle_cipher_func* decryptFn() {
        return reinterpret_cast<nettle_cipher_func*>(&des_decrypt);
    }
    des_ctx keys_[3];
    std::uint8_t ivs_[3][DES_BLOCK_SIZE];
};

// SSH-1 Blowfish reads each 32-bit half of a block little-endian, where the published cipher
// reads big-endian; with the halves loaded little-endian as words the rounds are the usual
// ones. Keys are scheduled by libcrypto. Encryption runs the rounds here, on libcrypto's
// tables, rather than through BF_encrypt: the bulk benchmarks send hundreds of megabytes
// through it, CBC encryption cannot overlap blocks, and a call per block cost the server a
// sixth of its speed, which it needs to stay ahead of the clients it measures.
class Blowfish : public PacketCipher {
  public:
    explicit Blowfish(const std::uint8_t key[32]) { BF_set_key(&key_, 32, key); }
    ~Blowfish() override {
        std::memset(&key_, 0, sizeof(key_));
        std::memset(iv_, 0, sizeof(iv_));
    }
    void encrypt(std::uint8_t* data, std::size_t length) override {
        const BF_LONG* p = key_.P;
        BF_LONG a = iv_[0], b = iv_[1];
        for (std::size_t i = 0; i + 8 <= length; i += 8) {
            BF_LONG l = (load(data + i) ^ a) ^ p[0];
            BF_LONG r = load(data + i + 4) ^ b;
#pragma GCC unroll 8
            for (int k = 1; k < 17; k += 2) {
                r ^= round(l) ^ p[k];
                l ^= round(r) ^ p[k + 1];
            }
            a = r ^ p[17];
            b = l;
            store(data + i, a);
            store(data + i + 4, b);
        }
        iv_[0] = a;
        iv_[1] = b;
    }
    void decrypt(std::uint8_t* data, std::size_t length) override {
        BF_LONG a = iv_[0], b = iv_[1];
        for (std::size_t i = 0; i + 8 <= length; i += 8) {
            BF_LONG c0 = load(data + i), c1 = load(data + i + 4);
            BF_LONG block[2] = {c0, c1};
            BF_decrypt(block, &key_);
            store(data + i, block[0] ^ a);
            store(data + i + 4, block[1] ^ b);
            a = c0;
            b = c1;
        }
        iv_[0] = a;
        iv_[1] = b;
    }

  private:
    BF_LONG round(BF_LONG x) const {
        // One pointer a box, so each lookup is a single addressed load.
        const BF_LONG *s0 = key_.S, *s1 = s0 + 256, *s2 = s0 + 512, *s3 = s0 + 768;
        return ((s0[x >> 24] + s1[(x >> 16) & 0xff]) ^ s2[(x >> 8) & 0xff]) + s3[x & 0xff];
    }
    static BF_LONG load(const std::uint8_t* p) {
        using W = BF_LONG;  // a macro naming a two-word type
        return W{p[0]} | W{p[1]} << 8 | W{p[2]} << 16 | W{p[3]} << 24;
    }
    static void store(std::uint8_t* p, BF_LONG v) {
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
        p[2] = static_cast<std::uint8_t>(v >> 16);
        p[3] = static_cast<std::uint8_t>(v >> 24);
    }
    BF_KEY key_;
    BF_LONG iv_[2] = {0, 0};
};

}  // namespace

std::unique_ptr<PacketCipher> makePacketCipher(int number, const std::uint8_t key[32]) {
    switch (number) {
        case CipherNone:
            return std::make_unique<NoCipher>();
        case CipherTripleDes:
            return std::make_unique<TripleDes>(key);
        case CipherBlowfish:
            return std::make_unique<Blowfish>(key);
        default:
            return nullptr;
    }
}

}  // namespace corvid1::testserver
