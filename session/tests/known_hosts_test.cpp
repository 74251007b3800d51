#include "session/known_hosts.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "session/host_key_fingerprint.h"

namespace corvid1 {
namespace {

namespace fs = std::filesystem;
using Status = HostKeyStatus;
using enum HostKeyStatus;
using Bytes = std::vector<std::uint8_t>;

// A plausible key: top bit of the modulus set, odd exponent.
HostKey randomKey(std::mt19937_64& rng, std::uint32_t bits = 1024) {
    Bytes modulus(bits / 8);
    for (auto& b : modulus) b = std::uint8_t(rng());
    modulus[0] |= 0x80, modulus.back() |= 1;
    return makeHostKey(bits, Bytes{0x01, 0x00, 0x01}, modulus);
}

std::string gmpDecimal(const Bytes& bytes) {
    mpz_t n;
    mpz_init(n);
    mpz_import(n, bytes.size(), 1, 1, 1, 0, bytes.data());
    std::string result(mpz_sizeinbase(n, 10) + 2, '\0');
    mpz_get_str(result.data(), 10, n);
    mpz_clear(n);
    return result.c_str();
}

std::string keyLine(const std::string& patterns, const HostKey& key) {
    return patterns + " " + std::to_string(key.bits) + " " + gmpDecimal(key.exponent) + " " +
           gmpDecimal(key.modulus);
}

std::string run(const std::string& command) {
    std::string output;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    for (int c; pipe && (c = std::fgetc(pipe)) != EOF;) output += char(c);
    if (pipe) ::pclose(pipe);
    return output;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

const std::string keygen = SSH_KEYGEN1_PATH;

class TempFolder : public ::testing::Test {
  protected:
    void TearDown() override { fs::remove_all(root); }
    KnownHosts stores() const { return KnownHosts(userStore, {openSshStore}); }

    std::string pattern = "/tmp/corvid1-known-hosts-XXXXXX";
    const fs::path root = ::mkdtemp(pattern.data());
    const fs::path userStore = root / "config/corvid1/known_hosts",
                   openSshStore = root / "ssh/known_hosts";
    std::mt19937_64 rng{20261206};
};

// Numbers of every size are written and read back through the stores below, against GMP.
TEST(DecimalNumbers, RejectAnythingButPlainDigits) {
    EXPECT_EQ(decimalToBytes("000065537"), (Bytes{1, 0, 1}));
    for (const std::string text : {"", "12a", " 1", "1 ", "-1", "+1", "0x10", "1.5"})
        EXPECT_FALSE(decimalToBytes(text).has_value()) << text;
    EXPECT_TRUE(decimalToBytes(std::string(kMaxDecimalDigits, '9')).has_value());
    EXPECT_FALSE(decimalToBytes(std::string(kMaxDecimalDigits + 1, '9')).has_value());
}

// What PuTTY's key tool showed (ssh-keygen's: below); leading zero bytes are not counted.
TEST(HostKeyFingerprint, IsWhatPuttygenShows) {
    std::istringstream tools(
#include "data/rsa1_key_tools.inc"
    );
    std::string bits, e, n, comment, putty;
    int keys = 0;
    while (tools >> bits >> e >> n >> comment && std::getline(tools >> std::ws, putty)) {
        const HostKey key = makeHostKey(std::stoul(bits), *decimalToBytes(e), *decimalToBytes(n));
        EXPECT_EQ(hostKeyFingerprint(key) + " " + comment, putty);
        Bytes zeroE = key.exponent, zeroN = key.modulus;
        zeroE.insert(zeroE.begin(), 2, 0), zeroN.insert(zeroN.begin(), 3, 0);
        EXPECT_EQ(hostKeyFingerprint(makeHostKey(key.bits, zeroE, zeroN)), hostKeyFingerprint(key));
        const auto parsed = parseHostKeyFingerprint(putty.substr(0, putty.find(" key")));
        EXPECT_TRUE(parsed && fingerprintMatches(*parsed, key)) << putty;
        ++keys;
    }
    EXPECT_EQ(keys, 2);
}

TEST(HostKeyFingerprint, ParserTakesTheUsualFormsAndMatchesOnlyThatKey) {
    std::mt19937_64 rng(3);
    const HostKey key = randomKey(rng);
    const std::string hex = hostKeyFingerprint(key).substr(5);  // after "1024 "
    std::string upper = hex, flipped = hex;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    flipped[46] = flipped[46] == '0' ? '1' : '0';
    for (const std::string& text : {"1024 " + hex, hex, upper, "MD5:" + hex, "1024 MD5:" + hex,
                                    "  1024 " + hex + "\n", "1024\t" + hex}) {
        const auto parsed = parseHostKeyFingerprint(text);
        EXPECT_TRUE(parsed && fingerprintMatches(*parsed, key)) << text;
    }
    EXPECT_FALSE(parseHostKeyFingerprint(hex)->bits.has_value());
    for (const std::string& text :
         {std::string(), hex.substr(0, hex.size() - 3), hex + ":00", hex.substr(0, 46) + "g",
          std::string(hex).replace(2, 1, "-"), "abc " + hex, hex + " extra", "1024 1024 " + hex,
          "123456 " + hex, "SHA256:" + hex})
        EXPECT_FALSE(parseHostKeyFingerprint(text).has_value()) << text;
    // A different bit count, or one nibble off, is another key.
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint("2048 " + hex), key));
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint(flipped), key));
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint(hex), randomKey(rng)));
}

// The user's store (owner-only) is read first; OpenSSH's is honoured but never written.
TEST_F(TempFolder, EachQueryIsAnsweredFromTheStores) {
    const HostKey k[] = {randomKey(rng), randomKey(rng, 2048), randomKey(rng),
                         randomKey(rng, 65528)};
    HostKey otherExponent = k[0];
    otherExponent.exponent = {3};
    const std::string openSsh =
        "# ssh1 keeps its keys here\n\n   \t\n"
        "|1|F1E1KeoE/eEWhi10WpGv4OdiO6Y=|3988QV0VE8wmZL7suNrYQLITLCg= 1024 35 12345\n"
        "@cert-authority *.example.org ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ\n"
        "web.example.org ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIE\n" +
        keyLine("alpha,*.example.org,!bad.example.org", k[2]) + " comment here\r\n" +
        keyLine("Mixed.Case.Host", k[2]) + "\n" + keyLine("[gate]:2200", k[1]) + "\n";
    writeFile(openSshStore, openSsh);
    const KnownHosts hosts = stores();
    EXPECT_EQ(hosts.check("server", 22, k[0]).status, Unknown);
    // clang-format off
    const struct { const char* host; std::uint16_t port; const HostKey& key; const char* filedAs; }
        filed[] = {{"server", 22, k[0], "server"}, {"10.0.0.5", 2222, k[0], "[10.0.0.5]:2222"},
                   {"::1", 2022, k[0], "[::1]:2022"}, {"server", 22, k[1], "server"},
                   {"gate", 2200, k[2], "[gate]:2200"}, {"big", 22, k[3], "big"}};
    // clang-format on
    std::string expected;
    for (const auto& f : filed) {
        std::string error;
        ASSERT_TRUE(hosts.add(f.host, f.port, f.key, &error)) << error;
        expected += keyLine(f.filedAs, f.key) + "\n";
    }
    EXPECT_EQ(readFile(userStore), expected);  // appended, nothing replaced
    EXPECT_EQ(readFile(openSshStore), openSsh);
    EXPECT_EQ(fs::status(userStore).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(userStore.parent_path()).permissions() & fs::perms::all,
              fs::perms::owner_all);

    // Keys: 0-3 as filed, 4 unrelated, 5 key 0 with another exponent. Line: in the user's
    // store if positive, in OpenSSH's if negative.
    const HostKey keys[] = {k[0], k[1], k[2], k[3], randomKey(rng), otherExponent};
    // clang-format off
    const struct { const char* host; std::uint16_t port; int key; Status status; int line; } queries[] = {
        {"server", 22, 0, Known, 1}, {"server", 22, 1, Known, 4}, {"server", 22, 4, Changed, 1},
        {"server", 22, 5, Changed, 1}, {"10.0.0.5", 2222, 0, Known, 2}, {"10.0.0.5", 22, 0, Unknown, 0},
        {"10.0.0.5", 2223, 0, Unknown, 0}, {"::1", 2022, 0, Known, 3}, {"big", 22, 3, Known, 6},
        {"web.example.org", 22, 2, Known, -7}, {"alpha", 22, 2, Known, -7},
        {"mixed.case.HOST", 22, 2, Known, -8}, {"bad.example.org", 22, 2, Unknown, 0},
        {"example.org", 22, 2, Unknown, 0}, {"web.example.org", 2222, 2, Unknown, 0},
        {"gate", 2200, 2, Known, 5}, {"gate", 2200, 0, Changed, 5}};  // the user's store first
    // clang-format on
    for (const auto& q : queries) {
        const HostKeyCheck result = hosts.check(q.host, q.port, keys[q.key]);
        EXPECT_EQ(result.status, q.status) << q.host << ":" << q.port;
        EXPECT_TRUE(result.readError.empty());
        if (q.status == Unknown) continue;
        EXPECT_EQ(result.storedAt, (q.line > 0 ? userStore : openSshStore).string() + ":" +
                                       std::to_string(std::abs(q.line)));
        EXPECT_TRUE(q.status != Changed ||
                    result.storedFingerprint == hostKeyFingerprint(k[q.host[0] == 'g' ? 2 : 0]));
    }
}

// Some servers announce a bit count a little off; a line off by more says nothing of the host.
TEST_F(TempFolder, StatedBitCountCountsWithinTheSlackAndIsIgnoredBeyondIt) {
    const HostKey key = randomKey(rng);  // a 1024-bit modulus
    const std::string fields = keyLine("server", key).substr(std::string("server 1024").size());
    for (const auto& [bits, known] : std::vector<std::pair<int, bool>>{
             {1024, true}, {1016, true}, {1032, true}, {1015, false}, {1033, false}}) {
        writeFile(userStore, "server " + std::to_string(bits) + fields + "\n");
        EXPECT_EQ(stores().check("server", 22, key).status, known ? Known : Unknown) << bits;
    }
}

// Corrupt lines are ignored, never fatal; an unreadable store is named, the others still
// count; names that change a line's meaning and an empty key are refused without a file.
TEST_F(TempFolder, CorruptLinesUnreadableStoresAndUnfitNamesAreReportedNeverFatal) {
    const HostKey key = randomKey(rng);
    const auto refused = [&](const char* host) {
        std::string error;
        return !stores().add(host, 22, key, &error) && !error.empty();
    };
    for (const char* host : {"", "a b", "a\tb", "a,b", "*", "web?", "!host", "|1|abc", "@revoked",
                             "[h]", "h\nother", "#host", "h\x7f"})
        EXPECT_TRUE(refused(host)) << host;
    EXPECT_FALSE(stores().add("server", 22, HostKey{}));
    EXPECT_FALSE(fs::exists(userStore));
    EXPECT_FALSE(KnownHosts("", {}).add("server", 22, key));

    fs::create_directories(userStore);  // a folder where the file should be
    writeFile(openSshStore, keyLine("server", key) + "\n");
    const HostKeyCheck result = stores().check("server", 22, key);
    EXPECT_EQ(result.status, Known);
    EXPECT_NE(result.readError.find(userStore.string()), std::string::npos);
    EXPECT_TRUE(refused("server"));
    for (const auto& store : {userStore, openSshStore}) fs::remove(store);

    const std::string good = keyLine("server", key);
    const std::string lines =
        "server 1024 65537\nserver 1024 65537 12x45\nserver 0 65537 12345\n"
        "server 99999999999 65537 12345\nserver 1024 0 12345\nserver 1024 65537 0\n"
        "server 1024 -3 12345\nserver\n,,, 1024 65537 12345\nserver 1024 65537 " +
        std::string(kMaxDecimalDigits + 1, '7') + "\nserver " + std::string(100000, '1') + "\n" +
        std::string("\x01\xff\xfe garbage \0 with nul\n", 23) + good.substr(0, 40) + "\n";
    writeFile(userStore, lines);
    const KnownHosts hosts = stores();
    EXPECT_EQ(hosts.check("server", 22, key).status, Unknown);
    // An entry appended after a cut-short last line starts on a line of its own.
    writeFile(userStore, lines + good.substr(0, 30));
    ASSERT_TRUE(hosts.add("server", 22, key));
    EXPECT_EQ(hosts.check("server", 22, key).status, Known);
    EXPECT_EQ(readFile(userStore), lines + good.substr(0, 30) + "\n" + good + "\n");
}

// OpenSSH's own tool reads what we write and agrees on which names a pattern selects.
TEST_F(TempFolder, SshKeygenReadsOurStoreAndAgreesOnPatterns) {
    const HostKey key = randomKey(rng);
    ASSERT_TRUE(stores().add("127.0.0.1", 2222, key));
    const std::string listed = run(keygen + " -l -E md5 -f " + userStore.string());
    const std::string hex = hostKeyFingerprint(key).substr(5);
    EXPECT_NE(listed.find("1024 MD5:" + hex + " [127.0.0.1]:2222"), std::string::npos) << listed;

    // One line per pattern, each with its own key; ssh-keygen -F names the lines it finds.
    // clang-format off
    const std::vector<std::string> patterns = {"server", "Server.Example",
        "*.example.org,!bad.example.org", "web?", "[h]:2*", "!x,y", "a*b*c", "*",
        "[10.0.0.1]:2222,10.0.0.1"};
    // clang-format on
    std::string lines;
    for (const auto& pattern : patterns) lines += keyLine(pattern, randomKey(rng)) + "\n";
    writeFile(root / "patterns", lines);
    for (const char* name : {"server", "server.example", "good.example.org", "bad.example.org",
                             "web1", "web12", "[h]:22", "[h]:2222", "y", "x", "abc", "aXbYc", "ab",
                             "10.0.0.1", "[10.0.0.1]:2222", "[10.0.0.1]:22"}) {
        const std::string found =
            run(keygen + " -F '" + name + "' -f " + (root / "patterns").string() + " 2>/dev/null");
        for (std::size_t i = 0; i < patterns.size(); ++i)
            EXPECT_EQ(knownHostsPatternsMatch(patterns[i], name),
                      found.find("found: line " + std::to_string(i + 1) + " ") != std::string::npos)
                << patterns[i] << " vs " << name;
    }
}

TEST(DefaultPaths, FollowXdgConfigHomeThenHome) {
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(defaultKnownHostsPath(), "/cfg/corvid1/known_hosts");
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
    EXPECT_EQ(defaultKnownHostsPath(), "/home/someone/.config/corvid1/known_hosts");
    ::unsetenv("XDG_CONFIG_HOME");
    const KnownHosts defaults = KnownHosts::withDefaults();
    EXPECT_EQ(defaults.userStore(), "/home/someone/.config/corvid1/known_hosts");
    EXPECT_EQ(defaults.readOnlyStores(),
              std::vector<std::string>{"/home/someone/.ssh/known_hosts"});
}

// Names hashed by ssh-keygen -H are matched; a damaged hashed name matches nothing.
TEST_F(TempFolder, HashedNamesAreMatchedAndDamagedOnesIgnored) {
    const HostKey key = randomKey(rng), other = randomKey(rng);
    writeFile(openSshStore, keyLine("myhost", key) + "\n" + keyLine("[gate]:2222", other) + "\n" +
                                keyLine("server", other) + "\n");
    run(keygen + " -H -f " + openSshStore.string() + " 2>&1");
    const std::string hashed = readFile(openSshStore);
    ASSERT_EQ(hashed.rfind("|1|", 0), 0u) << hashed;
    ASSERT_EQ(hashed.find("myhost"), std::string::npos);
    // clang-format off
    const struct { const char* host; std::uint16_t port; const HostKey& key; Status status; } queries[] = {
        {"myhost", 22, key, Known}, {"MyHost", 22, key, Known}, {"myhost", 22, other, Changed},
        {"myhost", 2222, key, Unknown}, {"myhos", 22, key, Unknown}, {"gate", 2222, other, Known},
        {"gate", 22, other, Unknown}, {"server", 22, key, Changed}};
    // clang-format on
    for (const auto& q : queries)
        EXPECT_EQ(stores().check(q.host, q.port, q.key).status, q.status) << q.host << q.port;

    // Each damaged form of the "server" line, read wrongly, would make the key Changed.
    const std::string line = hashed.substr(hashed.rfind("|1|"), 60);
    const std::string salt = line.substr(3, 28), mac = line.substr(32);
    std::string text;
    for (const std::string& bad :
         {"|2|" + salt + "|" + mac, "|1|" + salt + mac, "|1|" + salt.substr(0, 24) + "|" + mac,
          "|1|" + salt + "|" + mac.substr(0, 24), "|1|" + salt + "|" + mac + "AAAA",
          "|1|" + salt + "|=" + mac.substr(1),
          "|1|" + salt + "|" + mac.substr(0, 26) + "*=", std::string("|1||"), std::string("|1|")})
        text += keyLine(bad, other) + "\n";
    writeFile(openSshStore, text);
    EXPECT_EQ(stores().check("server", 22, key).status, Unknown);
    writeFile(openSshStore, text + keyLine(line, other) + "\n");  // the line undamaged
    EXPECT_EQ(stores().check("server", 22, key).status, Changed);
}

}  // namespace
}  // namespace corvid1
