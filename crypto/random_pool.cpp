#include "crypto/random_pool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "crypto/md5.h"
#include "crypto/wipe.h"

namespace corvid1 {

namespace {

constexpr std::uint32_t kPoolWords = RandomPool::poolSize / 4;

// The noise commands of the original Unix noise gatherer, kept so that the order of mix-ins is
// the same everywhere; running them is not done here (see noiseFromCommand).
constexpr const char* kNoiseCommands[] = {
    "ps laxww 2>/dev/null",    "ps -al 2>/dev/null",     "ls -alni /tmp/. 2>/dev/null",
    "w 2>/dev/null",           "netstat -s 2>/dev/null", "netstat -an 2>/dev/null",
    "netstat -in 2>/dev/null",
};

std::uint32_t realClockMilliseconds() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000);
}

std::uint32_t foldProcessValue(std::uintptr_t value) {
    std::uint64_t wide = value;
    return std::uint32_t(wide ^ (wide >> 32));
}

std::uint32_t addressValue(const void* address) {
    return randomPoolEnvironment().processValue(reinterpret_cast<std::uintptr_t>(address));
}

// Pool words are stored little-endian whatever the host's byte order.
std::uint32_t poolWord(const std::uint8_t* pool, std::uint32_t index) {
    const std::uint8_t* p = pool + 4 * index;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void setPoolWord(std::uint8_t* pool, std::uint32_t index, std::uint32_t value) {
    std::uint8_t* p = pool + 4 * index;
    p[0] = std::uint8_t(value);
    p[1] = std::uint8_t(value >> 8);
    p[2] = std::uint8_t(value >> 16);
    p[3] = std::uint8_t(value >> 24);
}

// Reads up to `capacity` bytes, riding over short reads and interruptions; a read error ends
// the reading with what came so far.
std::size_t readUpTo(int fd, std::uint8_t* buffer, std::size_t capacity) {
    std::size_t total = 0;
    while (total < capacity) {
        ssize_t n = ::read(fd, buffer + total, capacity - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += std::size_t(n);
    }
    return total;
}

// Opens an existing file for reading. Non-blocking, so that a FIFO put in the file's place
// cannot stall the key exchange.
int openForReading(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// Creates the folders leading to `path` that do not exist yet, private to the user.
void createParentFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (!folder.empty()) ::mkdir(folder.c_str(), 0700);
    }
}

}  // namespace

RandomPoolEnvironment& randomPoolEnvironment() {
    static RandomPoolEnvironment environment{realClockMilliseconds, foldProcessValue};
    return environment;
}

void RandomPool::initialize(const std::string& seedFilePath) {
    secureWipe(this, sizeof *this);
    addPosition = 0;
    nextByte = keptBack;
    // The name is mixed in as its bytes are stored here (UTF-8 path), without a terminator.
    addNoise(seedFilePath.data(), seedFilePath.size());

    std::uint8_t buffer[seedFileReadLimit];
    int fd = openForReading(seedFilePath);
    if (fd >= 0) {
        setPoolWord(pool, 0, poolWord(pool, 0) + std::uint32_t(fd));
        std::size_t got = readUpTo(fd, buffer, sizeof buffer);
        ::close(fd);
        addNoise(buffer, got);
        secureWipe(buffer, sizeof buffer);
    } else {
        acquireHeavyNoise();
        saveSeed(seedFilePath);
    }

    // A failed open leaves fd at -1, all bits set as a 32-bit value.
    const std::uint32_t processValues[4] = {addressValue(this), addressValue(buffer),
                                            addressValue(seedFilePath.data()), std::uint32_t(fd)};
    for (std::uint32_t i = 0; i < 4; ++i) {
        setPoolWord(pool, i, poolWord(pool, i) ^ processValues[i]);
    }
    addNoise(seedFilePath.data(), seedFilePath.size());
    acquireLightNoise();
}

void RandomPool::addNoise(const void* bytes, std::size_t length) {
    const auto* input = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < length; ++i) {
        // Tested before each byte: a pool filled exactly to its end stirs only when more comes.
        if (addPosition >= poolSize) stir();
        pool[addPosition++] ^= input[i];
    }
}

void RandomPool::stir() {
    std::uint32_t iv[4];
    for (std::uint32_t j = 0; j < 4; ++j) iv[j] = poolWord(pool, kPoolWords - 4 + j);
    for (int pass = 0; pass < 2; ++pass) {
        // MD5's compression function as a block cipher in cipher-feedback mode over the pool.
        for (std::uint32_t group = 0; group < kPoolWords; group += 4) {
            md5Transform(iv, stirKey);
            for (std::uint32_t j = 0; j < 4; ++j) {
                std::uint32_t word = poolWord(pool, group + j) ^ iv[j];
                setPoolWord(pool, group + j, word);
                iv[j] = word;
            }
        }
        if (pass == 0) std::memcpy(stirKey, pool, stirKeySize);
    }
    secureWipe(iv, sizeof iv);
    addPosition = 0;
    nextByte = keptBack;
}

std::uint8_t RandomPool::getByte() {
    if (nextByte >= poolSize) acquireLightNoise();
    return pool[nextByte++];
}

void RandomPool::acquireLightNoise() {
    std::uint32_t milliseconds = randomPoolEnvironment().clockMilliseconds();
    // One word per pool object, chosen by where the object lives.
    std::uint32_t index = (addressValue(this) / 8) % kPoolWords;
    setPoolWord(pool, index, poolWord(pool, index) + milliseconds);
    stir();
}

void RandomPool::acquireHeavyNoise() {
    for (const char* command : kNoiseCommands) noiseFromCommand(command);
    acquireLightNoise();
}

void RandomPool::noiseFromCommand(const char* /*commandLine*/) {}

void RandomPool::saveSeed(const std::string& seedFilePath) {
    acquireLightNoise();
    std::uint8_t buffer[seedFileSize];
    for (auto& byte : buffer) byte = getByte();
    // Stir again so the pool no longer holds the saved bytes where they were drawn from.
    acquireLightNoise();

    createParentFolders(seedFilePath);
    // The file holds pool output: private to the user, and never written through a link.
    int fd = ::open(seedFilePath.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);  // an older file may have been created with wider permissions
        std::size_t written = 0;
        while (written < sizeof buffer) {
            ssize_t n = ::write(fd, buffer + written, sizeof buffer - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            written += std::size_t(n);
        }
        ::close(fd);
    }
    secureWipe(buffer, sizeof buffer);
}

void RandomPool::addSeedFileStart(const std::string& seedFilePath) {
    int fd = openForReading(seedFilePath);
    if (fd < 0) return;
    std::uint8_t buffer[16];
    std::size_t got = readUpTo(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got > 0) {
        addNoise(buffer, got);
        stir();
    }
    secureWipe(buffer, sizeof buffer);
}

}  // namespace corvid1
