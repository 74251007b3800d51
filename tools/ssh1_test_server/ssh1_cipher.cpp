#include "ssh1_cipher.h"

#include <nettle/blowfish.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

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
// reads big-endian. Swapping the bytes of every word around ordinary CBC gives exactly that,
// the IV chain staying in the swapped domain.
class Blowfish : public PacketCipher {
  public:
    explicit Blowfish(const std::uint8_t key[32]) {
        blowfish_set_key(&key_, 32, key);
        std::memset(iv_, 0, sizeof(iv_));
    }
    ~Blowfish() override {
        std::memset(&key_, 0, sizeof(key_));
        std::memset(iv_, 0, sizeof(iv_));
    }
    void encrypt(std::uint8_t* data, std::size_t length) override {
        swapWords(data, length);
        cbc_encrypt(&key_, reinterpret_cast<nettle_cipher_func*>(&blowfish_encrypt),
                    BLOWFISH_BLOCK_SIZE, iv_, length, data, data);
        swapWords(data, length);
    }
    void decrypt(std::uint8_t* data, std::size_t length) override {
        swapWords(data, length);
        cbc_decrypt(&key_, reinterpret_cast<nettle_cipher_func*>(&blowfish_decrypt),
                    BLOWFISH_BLOCK_SIZE, iv_, length, data, data);
        swapWords(data, length);
    }

  private:
    static void swapWords(std::uint8_t* data, std::size_t length) {
        for (std::size_t i = 0; i + 4 <= length; i += 4) {
            std::swap(data[i], data[i + 3]);
            std::swap(data[i + 1], data[i + 2]);
        }
    }
    blowfish_ctx key_;
    std::uint8_t iv_[BLOWFISH_BLOCK_SIZE];
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
