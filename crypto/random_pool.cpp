#include "crypto/random_pool.h"

namespace corvid1 {
void RandomPool::initialize(const std::string&) {}
void RandomPool::addNoise(const void*, std::size_t) {}
void RandomPool::stir() {}
std::uint8_t RandomPool::getByte() { return 0; }
void RandomPool::acquireLightNoise() {}
void RandomPool::acquireHeavyNoise() {}
void RandomPool::noiseFromCommand(const char*) {}
void RandomPool::saveSeed(const std::string&) {}
void RandomPool::addSeedFileStart(const std::string&) {}
RandomPoolEnvironment& randomPoolEnvironment() {
    static RandomPoolEnvironment environment{};
    return environment;
}
}  // namespace corvid1
