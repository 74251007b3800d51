#include "crypto/random_pool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

namespace corvid1 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Fixes the clock and the process-specific values so that initialisations can be compared.
class PoolTest : public ::testing::Test {
  protected:
    static std::uint32_t clock() { return milliseconds; }
    static std::uint32_t constantValue(std::uintptr_t) { return 0x5EED1234; }

    void SetUp() override {
        saved = randomPoolEnvironment();
        randomPoolEnvironment() = {clock, constantValue};
        milliseconds = 500;
        char pattern[] = "/tmp/corvid1-pool-XXXXXX";
        folder = mkdtemp(pattern);
    }
    void TearDown() override {
        randomPoolEnvironment() = saved;
        fs::remove_all(folder);
    }

    std::string path(const std::string& name) const { return (folder / name).string(); }

    static void writeFile(const std::string& file, const Bytes& content) {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    static Bytes readFile(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static Bytes draw(RandomPool& pool, int count) {
        Bytes out;
        for (int i = 0; i < count; ++i) out.push_back(pool.getByte());
        return out;
    }
    // A pool whose state is fully known: initialised from a seed file in the test folder.
    std::unique_ptr<RandomPool> seededPool() {
        std::string seed = path("seed");
        Bytes content(300);
        std::iota(content.begin(), content.end(), 0);
        writeFile(seed, content);
        auto pool = std::make_unique<RandomPool>();
        pool->initialize(seed);
        return pool;
    }

    static inline std::uint32_t milliseconds = 0;
    RandomPoolEnvironment saved{};
    fs::path folder;
};

TEST_F(PoolTest, StirResetsPositionsAndMixesEveryPart) {
    auto pool = seededPool();
    pool->addNoise("abc", 3);
    pool->getByte();
    RandomPool before = *pool;
    pool->stir();
    EXPECT_EQ(pool->addPosition, 0u);
    EXPECT_EQ(pool->nextByte, 64u);
    EXPECT_NE(0, std::memcmp(pool->stirKey, before.stirKey, 64));
    // Cipher feedback reaches every 16-byte group of the pool.
    for (int group = 0; group < 64; ++group) {
        EXPECT_NE(0, std::memcmp(pool->pool + 16 * group, before.pool + 16 * group, 16))
            << "group " << group;
    }
}

TEST_F(PoolTest, NoiseStirsOnlyWhenTheByteAfterAFullPoolArrives) {
    auto pool = seededPool();
    ASSERT_EQ(pool->addPosition, 0u);
    Bytes noise(1024);
    std::mt19937 random(1);
    for (auto& b : noise) b = std::uint8_t(random());
    RandomPool before = *pool;
    pool->addNoise(noise.data(), noise.size());
    // Exactly 1024 bytes: no stir, every byte XORed in place.
    EXPECT_EQ(pool->addPosition, 1024u);
    EXPECT_EQ(0, std::memcmp(pool->stirKey, before.stirKey, 64));
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(pool->pool[i], before.pool[i] ^ noise[i]);

    // The 1025th byte stirs first and lands at position 0.
    RandomPool expected = *pool;
    expected.stir();
    const std::uint8_t extra = 0xC3;
    pool->addNoise(&extra, 1);
    EXPECT_EQ(pool->addPosition, 1u);
    EXPECT_EQ(pool->nextByte, 64u);
    EXPECT_EQ(pool->pool[0], expected.pool[0] ^ extra);
    EXPECT_EQ(0, std::memcmp(pool->pool + 1, expected.pool + 1, 1023));
}

TEST_F(PoolTest, StirInTheMiddleOfOneNoiseCall) {
    auto pool = seededPool();
    pool->getByte();
    Bytes noise(1500, 0x11);
    pool->addNoise(noise.data(), noise.size());
    EXPECT_EQ(pool->addPosition, 1500u - 1024u);
    EXPECT_EQ(pool->nextByte, 64u);  // the stir inside the call reset it
}

TEST_F(PoolTest, At960DrawsTheNextDrawStirsAndReturnsByte64) {
    auto pool = seededPool();
    RandomPool before = *pool;
    Bytes first = draw(*pool, 960);
    EXPECT_EQ(pool->nextByte, 1024u);
    EXPECT_EQ(0, std::memcmp(pool->pool, before.pool, 1024)) << "no stir within 960 draws";
    EXPECT_TRUE(std::equal(first.begin(), first.end(), before.pool + 64));

    RandomPool expected = *pool;
    expected.acquireLightNoise();
    std::uint8_t byte = pool->getByte();
    EXPECT_EQ(byte, expected.pool[64]);
    EXPECT_EQ(pool->nextByte, 65u);
    EXPECT_EQ(0, std::memcmp(pool->pool, expected.pool, 1024));
}

TEST_F(PoolTest, MissingSeedFileIsCreatedPrivateInMissingFolders) {
    std::string seed = path("a/b/ssh_seedfile");
    RandomPool pool;
    pool.initialize(seed);
    Bytes afterInitialize = readFile(seed);
    EXPECT_EQ(afterInitialize.size(), 512u);
    struct stat info {};
    ASSERT_EQ(0, ::stat(seed.c_str(), &info));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The key exchange draws the session key, then saves again: a new 512-byte file.
    draw(pool, 32);
    pool.saveSeed(seed);
    Bytes afterSave = readFile(seed);
    EXPECT_EQ(afterSave.size(), 512u);
    EXPECT_NE(afterSave, afterInitialize);
    // The saved bytes are pool output that is no longer in the pool where it was drawn from.
    EXPECT_EQ(std::search(pool.pool, pool.pool + 1024, afterSave.begin(), afterSave.begin() + 16),
              pool.pool + 1024);
}

TEST_F(PoolTest, SaveSeedMakesAnOlderFilePrivate) {
    std::string seed = path("ssh_seedfile");
    writeFile(seed, Bytes(700, 1));
    ::chmod(seed.c_str(), 0644);
    RandomPool pool;
    pool.initialize(seed);
    EXPECT_EQ(readFile(seed).size(), 700u) << "an existing file is not rewritten by initialize";
    pool.saveSeed(seed);
    EXPECT_EQ(readFile(seed).size(), 512u);
    struct stat info {};
    ASSERT_EQ(0, ::stat(seed.c_str(), &info));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(PoolTest, EmptySeedFileCountsAsPresentAndItsStartAddsNothing) {
    std::string seed = path("ssh_seedfile");
    writeFile(seed, {});
    RandomPool pool;
    pool.initialize(seed);
    EXPECT_EQ(readFile(seed).size(), 0u) << "no save during initialize";
    pool.getByte();
    RandomPool before = pool;
    pool.addSeedFileStart(seed);
    EXPECT_EQ(0, std::memcmp(&pool, &before, sizeof pool)) << "nothing added, no stir";

    // A file with content: its first 16 bytes go in, followed by a stir.
    writeFile(seed, Bytes(40, 7));
    RandomPool expected = pool;
    expected.addNoise(Bytes(16, 7).data(), 16);
    expected.stir();
    pool.addSeedFileStart(seed);
    EXPECT_EQ(0, std::memcmp(&pool, &expected, sizeof pool));

    // A missing file adds nothing either.
    before = pool;
    pool.addSeedFileStart(path("missing"));
    EXPECT_EQ(0, std::memcmp(&pool, &before, sizeof pool));
}

TEST_F(PoolTest, OnlyTheFirst16384SeedBytesCount) {
    std::mt19937 random(3);
    Bytes content(20000);
    for (auto& b : content) b = std::uint8_t(random());
    std::string seed = path("ssh_seedfile");
    auto initialized = [&](const Bytes& fileContent) {
        writeFile(seed, fileContent);
        auto pool = std::make_unique<RandomPool>();
        pool->initialize(seed);
        return draw(*pool, 64);
    };
    Bytes reference = initialized(content);
    Bytes changedPastLimit = content;
    changedPastLimit[16384] ^= 1;
    changedPastLimit.back() ^= 1;
    EXPECT_EQ(initialized(changedPastLimit), reference);
    Bytes changedAtLimit = content;
    changedAtLimit[16383] ^= 1;
    EXPECT_NE(initialized(changedAtLimit), reference);
}

TEST_F(PoolTest, InitialisationsDifferingOnlyInMillisecondsDiffer) {
    std::string seed = path("ssh_seedfile");
    writeFile(seed, Bytes(512, 0x42));
    RandomPool pool;
    auto run = [&](std::uint32_t ms) {
        milliseconds = ms;
        pool.initialize(seed);
        return draw(pool, 32);
    };
    Bytes at500 = run(500);
    EXPECT_EQ(run(500), at500) << "with the clock fixed, initialisation is reproducible";
    EXPECT_NE(run(501), at500);
    EXPECT_NE(run(0), run(999));
}

TEST_F(PoolTest, CommandNoiseAddsNothing) {
    auto pool = seededPool();
    RandomPool light = *pool;
    pool->noiseFromCommand("ps laxww 2>/dev/null");
    EXPECT_EQ(0, std::memcmp(pool.get(), &light, sizeof light));
    pool->acquireHeavyNoise();
    light.acquireLightNoise();
    EXPECT_EQ(0, std::memcmp(pool.get(), &light, sizeof light));
}

TEST_F(PoolTest, UnwritableSeedLocationIsSilent) {
    // A regular file where a folder should be: neither folder nor file can be created.
    std::string blocker = path("blocker");
    writeFile(blocker, Bytes(3, 0));
    std::string seed = blocker + "/ssh_seedfile";
    RandomPool pool;
    pool.initialize(seed);
    pool.saveSeed(seed);
    EXPECT_EQ(readFile(blocker).size(), 3u);
    EXPECT_EQ(pool.nextByte, 64u);
    // A symbolic link in the seed file's place is not written through.
    std::string target = path("target");
    writeFile(target, Bytes(5, 9));
    std::string link = path("linked_seed");
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
    pool.saveSeed(link);
    EXPECT_EQ(readFile(target), Bytes(5, 9));
}

}  // namespace
}  // namespace corvid1
