// Takes arbitrary bytes apart as an SSH-1 private key file, once for the public part and once
// with a passphrase, and checks what a loaded key promises: a modulus of the announced size in
// bounds, and private values only when the whole file was read and they make the modulus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/auth/user_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvid1;
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const std::string passphrase = "correct horse";
    for (const std::string* given : {static_cast<const std::string*>(nullptr), &passphrase}) {
        UserKey key;
        if (parseKeyFile(contents, given, key) != KeyFileStatus::Ok) {
            if (key.hasPrivate) std::abort();
            continue;
        }
        const std::size_t bits = mpz_sizeinbase(key.modulus, 2);
        if (bits != key.bits || bits < minUserKeyBits || bits > maxUserKeyBits) std::abort();
        if (key.hasPrivate != (given != nullptr)) std::abort();
        if (key.hasPrivate) {
            mpz_t product;
            mpz_init(product);
            mpz_mul(product, key.p, key.q);
            if (mpz_cmp(product, key.modulus) != 0) std::abort();
            mpz_clear(product);
        }
    }
    return 0;
}
