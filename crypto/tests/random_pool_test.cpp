// The pool's stirring points, and the seed file: created private, read up to its limit, never
// written through a link, silently skipped where it cannot be written.
#include "crypto/random_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "test_support.h"

namespace corvid1 {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
constexpr auto kPrivate = fs::perms::owner_read | fs::perms::owner_write;

// Fixes the clock and the per-process values so that initialisations can be compared.
class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = randomPoolEnvironment();
        randomPoolEnvironment() = {[] { return milliseconds; },
                                   [](std::uintptr_t) { return std::uint32_t(0x5EED1234); }};
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
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    static Bytes readFile(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static Bytes draw(RandomPool& pool, int count) {
        Bytes out(count);
        for (auto& b : out) b = pool.getByte();
        return out;
    }
    // A pool whose state is fully known: initialised from a seed file in the test folder.
    RandomPool seededPool() {
        Bytes content(300);
        std::iota(content.begin(), content.end(), 0);
        writeFile(path("seed"), content);
        RandomPool pool;
        pool.initialize(path("seed"));
        return pool;
    }

    static inline std::uint32_t milliseconds = 0;
    RandomPoolEnvironment saved{};
    fs::path folder;
};

// Noise fills the whole pool before a stir: the 1025th byte stirs first and lands at 0.
TEST_F(PoolTest, NoiseStirsOnlyWhenTheByteAfterAFullPoolArrives) {
    RandomPool pool = seededPool();
    std::mt19937 random(1);
    const Bytes noise = test::randomBytes(random, 1024);
    const RandomPool before = pool;
    pool.addNoise(noise.data(), noise.size());
    EXPECT_EQ(pool.addPosition, 1024u);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(pool.pool[i], before.pool[i] ^ noise[i]);
    RandomPool expected = pool;
    expected.stir();
    const std::uint8_t extra = 0xC3;
    pool.addNoise(&extra, 1);
    EXPECT_EQ(pool.addPosition, 1u);
    EXPECT_EQ(pool.pool[0], expected.pool[0] ^ extra);
    EXPECT_EQ(0, std::memcmp(pool.pool + 1, expected.pool + 1, 1023));
    pool.getByte();
    pool.addNoise(Bytes(1500, 0x11).data(), 1500);  // a stir inside one call
    EXPECT_EQ(pool.addPosition, 1500u - 1024u + 1u);
    EXPECT_EQ(pool.nextByte, 64u);
}

// A stir resets both positions and reaches every 16-byte group of the pool. Bytes 64..1023 are
// handed out as they are; the next draw stirs and starts again at 64.
TEST_F(PoolTest, StirMixesEveryPartAndComesAfter960Draws) {
    RandomPool pool = seededPool();
    pool.addNoise("abc", 3);
    pool.getByte();
    const RandomPool before = pool;
    pool.stir();
    EXPECT_EQ(pool.addPosition, 0u);
    EXPECT_EQ(pool.nextByte, 64u);
    EXPECT_NE(0, std::memcmp(pool.stirKey, before.stirKey, 64));
    for (int group = 0; group < 64; ++group)  // cipher feedback reaches every 16-byte group
        EXPECT_NE(0, std::memcmp(pool.pool + 16 * group, before.pool + 16 * group, 16)) << group;
    pool = seededPool();
    const RandomPool fresh = pool;
    const Bytes first = draw(pool, 960);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), fresh.pool + 64));
    RandomPool expected = pool;
    expected.acquireLightNoise();
    EXPECT_EQ(pool.getByte(), expected.pool[64]);
    EXPECT_EQ(pool.nextByte, 65u);
    EXPECT_EQ(0, std::memcmp(pool.pool, expected.pool, 1024));
}

TEST_F(PoolTest, SeedFileIsPrivateNeverWrittenThroughALinkAndSilentWhereItCannotBe) {
    const std::string seed = path("a/b/ssh_seedfile");
    RandomPool pool;
    pool.initialize(seed);
    const Bytes created = readFile(seed);
    EXPECT_EQ(fs::status(seed).permissions(), kPrivate);
    draw(pool, 32);  // the session key, then the save the key exchange makes
    pool.saveSeed(seed);
    const Bytes saved = readFile(seed);
    EXPECT_EQ(std::make_pair(created.size(), saved.size()), std::make_pair(512ul, 512ul));
    EXPECT_NE(saved, created);
    // Saved bytes are pool output that is no longer in the pool where it was drawn from.
    EXPECT_EQ(std::search(pool.pool, pool.pool + 1024, saved.begin(), saved.begin() + 16),
              pool.pool + 1024);
    // An existing file is read, not rewritten, at initialisation; a save makes it private.
    writeFile(seed, Bytes(700, 1));
    fs::permissions(seed, kPrivate | fs::perms::group_read | fs::perms::others_read);
    pool.initialize(seed);
    EXPECT_EQ(readFile(seed).size(), 700u);
    pool.saveSeed(seed);
    EXPECT_EQ(readFile(seed).size(), 512u);
    EXPECT_EQ(fs::status(seed).permissions(), kPrivate);
    // A regular file where a folder should be: neither folder nor file can be created.
    writeFile(path("blocker"), Bytes(3, 0));
    pool.initialize(path("blocker/ssh_seedfile"));
    pool.saveSeed(path("blocker/ssh_seedfile"));
    EXPECT_EQ(readFile(path("blocker")).size(), 3u);
    EXPECT_EQ(pool.nextByte, 64u);
    writeFile(path("target"), Bytes(5, 9));
    fs::create_symlink(path("target"), path("link"));
    pool.saveSeed(path("link"));
    EXPECT_EQ(readFile(path("target")), Bytes(5, 9));
}

TEST_F(PoolTest, SeedFileStartAddsUpTo16BytesAndAStirOnlyWhenThereAreAny) {
    const std::string seed = path("ssh_seedfile");
    writeFile(seed, {});
    RandomPool pool;
    pool.initialize(seed);
    EXPECT_EQ(readFile(seed).size(), 0u) << "an empty file counts as present";
    pool.getByte();
    for (const std::string& nothing : {seed, path("missing")}) {
        const RandomPool before = pool;
        pool.addSeedFileStart(nothing);
        EXPECT_EQ(0, std::memcmp(&pool, &before, sizeof pool)) << nothing;
    }
    writeFile(seed, Bytes(40, 7));
    RandomPool expected = pool;
    expected.addNoise(Bytes(16, 7).data(), 16);
    expected.stir();
    pool.addSeedFileStart(seed);
    EXPECT_EQ(0, std::memcmp(&pool, &expected, sizeof pool));
}

TEST_F(PoolTest, InitialisationReadsTheFirst16384SeedBytesAndTheClock) {
    std::mt19937 random(3);
    const Bytes content = test::randomBytes(random, 20000);
    const std::string seed = path("ssh_seedfile");
    auto initialized = [&](const Bytes& fileContent, std::uint32_t ms) {
        writeFile(seed, fileContent);
        milliseconds = ms;
        RandomPool pool;
        pool.initialize(seed);
        return draw(pool, 64);
    };
    const Bytes reference = initialized(content, 500);
    EXPECT_EQ(initialized(content, 500), reference) << "reproducible with the clock fixed";
    EXPECT_NE(initialized(content, 501), reference);
    Bytes changed = content;
    changed[16384] ^= 1;
    changed.back() ^= 1;
    EXPECT_EQ(initialized(changed, 500), reference);
    changed[16383] ^= 1;
    EXPECT_NE(initialized(changed, 500), reference);
}

}  // namespace
}  // namespace corvid1
