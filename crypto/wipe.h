#pragma once

#include <cstddef>
#include <cstring>

namespace corvid1 {

// Overwrites `length` bytes with zeros in a way the optimiser may not drop, even when the
// memory is about to go out of scope: key material, pool output and seed bytes must not
// linger in freed stack or heap memory.
inline void secureWipe(void* data, std::size_t length) noexcept {
    if (data == nullptr || length == 0) return;
    std::memset(data, 0, length);
    // The empty assembly statement claims to read the memory, so the stores above are live.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace corvid1
