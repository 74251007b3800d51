#pragma once

// Counts freed heap blocks still holding a watched secret. Replaces global new and delete.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace corvid1::test::freed {

inline std::vector<std::string> secrets;  // changed only while disarmed
inline std::atomic<bool> armed{false};
inline std::atomic<int> unwiped{0};

// Arms the search for `names` (those shorter than four bytes are too common to look for).
inline void watch(std::vector<std::string> names) {
    armed = false;
    secrets = std::move(names);
    unwiped = 0;
    armed = true;
}

// Disarms; the number of freed blocks that still held a secret.
inline int stop() { return armed = false, unwiped.load(); }

[[gnu::noinline]] inline void scanAndFree(void* block) {
    if (block != nullptr && armed.load()) {
        const std::size_t size = malloc_usable_size(block);
        for (const std::string& secret : secrets)
            if (secret.size() >= 4 && size >= secret.size() &&
                memmem(block, size, secret.data(), secret.size()) != nullptr)
                unwiped.fetch_add(1);
    }
    std::free(block);
}

}  // namespace corvid1::test::freed

// New and delete go through malloc and free, so that the sanitizers see matching pairs.
void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// clang-format off
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { corvid1::test::freed::scanAndFree(block); }
void operator delete(void* block, std::size_t) noexcept { corvid1::test::freed::scanAndFree(block); }
void operator delete[](void* block) noexcept { corvid1::test::freed::scanAndFree(block); }
void operator delete[](void* block, std::size_t) noexcept { corvid1::test::freed::scanAndFree(block); }
// clang-format on
