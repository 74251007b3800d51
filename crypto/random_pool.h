#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvid1 {

// The system's only source of random bytes: noise is XORed into a 1024-byte pool that is stirred
// with the MD5 compression function in cipher-feedback fashion. The pool is carried between runs
// in a 512-byte seed file whose full path the caller supplies.
struct RandomPool {
    static constexpr std::uint32_t poolSize = 1024;
    static constexpr std::uint32_t stirKeySize = 64;
    static constexpr std::uint32_t keptBack = 64;     // first bytes, the next stir key
    static constexpr std::size_t seedFileSize = 512;  // bytes written
    static constexpr std::size_t seedFileReadLimit = 16384;

    std::uint8_t pool[poolSize];
    std::uint8_t stirKey[stirKeySize];
    std::uint32_t nextByte;     // next byte to hand out; 64 after every stir
    std::uint32_t addPosition;  // next byte noise is XORed into; 0 after every stir

    // Resets the pool and fills it from the seed file and the environment. When the file cannot
    // be opened it gathers noise and writes a fresh one. Never fails, reports nothing.
    void initialize(const std::string& seedFilePath);
    void addNoise(const void* bytes, std::size_t length);
    void stir();
    std::uint8_t getByte();
    void acquireLightNoise();
    void acquireHeavyNoise();
    // Running commands for noise is not done on this system: it adds nothing.
    void noiseFromCommand(const char* commandLine);
    // Writes 512 fresh bytes of pool output to the file (mode 0600, missing folders created).
    // Failures are silent.
    void saveSeed(const std::string& seedFilePath);
    // The key exchange's extra step: up to 16 bytes from the start of the seed file go to
    // addNoise, followed by a stir if at least one byte was read. A missing file adds nothing.
    void addSeedFileStart(const std::string& seedFilePath);
};

// Where the pool's environmental inputs come from. Tests replace the entries (before any pool is
// in use, on one thread) to make initialisation reproducible; the defaults read the real-time
// clock and fold real addresses. The program itself never changes them.
struct RandomPoolEnvironment {
    // The milliseconds field (0..999) of the current real-time clock.
    std::uint32_t (*clockMilliseconds)();
    // Folds a process-specific value (an address) into the 32 bits the pool mixes in.
    std::uint32_t (*processValue)(std::uintptr_t value);
};
RandomPoolEnvironment& randomPoolEnvironment();

}  // namespace corvid1
