#include "session/known_hosts.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <nettle/md5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "crypto/sha1.h"
#include "session/host_key_fingerprint.h"

namespace corvid1 {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> randomBytes(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = std::uint8_t(rng());
    return bytes;
}

// A plausible key: top bit of the modulus set, odd exponent.
HostKey randomKey(std::mt19937_64& rng, std::uint32_t bits = 1024) {
    auto modulus = randomBytes(rng, bits / 8);
    modulus[0] |= 0x80;
    modulus.back() |= 1;
    return makeHostKey(bits, std::vector<std::uint8_t>{0x01, 0x00, 0x01}, modulus);
}

std::string gmpDecimal(const std::vector<std::uint8_t>& bytes) {
    mpz_t n;
    mpz_init(n);
    mpz_import(n, bytes.size(), 1, 1, 1, 0, bytes.data());
    char* text = mpz_get_str(nullptr, 10, n);
    std::string result(text);
    void (*freeFunction)(void*, std::size_t);
    mp_get_memory_functions(nullptr, nullptr, &freeFunction);
    freeFunction(text, std::strlen(text) + 1);
    mpz_clear(n);
    return result;
}

std::string keyLine(const std::string& patterns, const HostKey& key) {
    return patterns + " " + std::to_string(key.bits) + " " + gmpDecimal(key.exponent) + " " +
           gmpDecimal(key.modulus);
}

std::string runCommand(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
        ::pclose(pipe);
    }
    return output;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class TempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvid1-known-hosts-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        userStore = root / "config" / "corvid1" / "known_hosts";
        openSshStore = root / "ssh" / "known_hosts";
    }
    void TearDown() override { fs::remove_all(root); }

    KnownHosts stores() const { return KnownHosts(userStore, {openSshStore}); }

    fs::path root, userStore, openSshStore;
    std::mt19937_64 rng{20261206};
};

// ---------------------------------------------------------------------------------------------
// Decimal numbers, checked against GMP.

TEST(DecimalNumbers, AgreeWithGmpAndRejectAnythingButPlainDigits) {
    std::mt19937_64 rng(1);
    for (std::size_t length : {0, 1, 3, 4, 5, 9, 17, 128, 129, 512, 1000}) {
        for (int round = 0; round < 3; ++round) {
            auto bytes = randomBytes(rng, length);
            if (round == 1 && length > 2) bytes[0] = bytes[1] = 0;  // leading zero bytes
            if (round == 2) std::fill(bytes.begin(), bytes.end(), 0xff);
            const std::string expected = gmpDecimal(bytes);
            EXPECT_EQ(bytesToDecimal(bytes), expected) << "length " << length;
            const auto first = std::find_if(bytes.begin(), bytes.end(), [](auto b) { return b; });
            EXPECT_EQ(decimalToBytes(expected), std::vector<std::uint8_t>(first, bytes.end()));
        }
    }
    EXPECT_EQ(decimalToBytes("000065537"), (std::vector<std::uint8_t>{1, 0, 1}));
    for (const char* text : {"", "12a", " 1", "1 ", "-1", "+1", "0x10", "1.5"})
        EXPECT_FALSE(decimalToBytes(text).has_value()) << text;
    EXPECT_TRUE(decimalToBytes(std::string(kMaxDecimalDigits, '9')).has_value());
    EXPECT_FALSE(decimalToBytes(std::string(kMaxDecimalDigits + 1, '9')).has_value());
}

// ---------------------------------------------------------------------------------------------
// Fingerprints, checked against Nettle's MD5 and against PuTTY's and OpenSSH's key tools.

TEST(HostKeyFingerprint, Md5IsOverModulusThenExponentWithoutLeadingZeros) {
    std::mt19937_64 rng(2);
    for (int round = 0; round < 20; ++round) {
        auto n = randomBytes(rng, 32 + round * 13);
        auto e = randomBytes(rng, 1 + round % 5);
        n[0] |= 1;
        e[0] |= 1;
        std::vector<std::uint8_t> hashed = n;
        hashed.insert(hashed.end(), e.begin(), e.end());
        std::array<std::uint8_t, 16> expected{};
        md5_ctx context;
        md5_init(&context);
        md5_update(&context, hashed.size(), hashed.data());
        md5_digest(&context, expected.size(), expected.data());

        // Leading zero bytes (as a fixed-width export gives them) must not count.
        n.insert(n.begin(), 3, 0);
        e.insert(e.begin(), 2, 0);
        const HostKey key = makeHostKey(777, e, n);
        EXPECT_EQ(hostKeyMd5(key), expected);
        char hex[3 * 16];
        for (int i = 0; i < 16; ++i)
            std::snprintf(hex + 3 * i, 4, i < 15 ? "%02x:" : "%02x", expected[i]);
        EXPECT_EQ(hostKeyFingerprint(key), "777 " + std::string(hex));
    }
}

class PuttyKey : public TempFolder {
  protected:
    // Generates an SSH-1 key with puttygen and returns its public half as "bits e n comment".
    std::string generate(int bits) {
        const fs::path file = root / ("key" + std::to_string(bits));
        runCommand(std::string(PUTTYGEN_PATH) + " -q -t rsa1 -b " + std::to_string(bits) + " -o " +
                   file.string() + " --new-passphrase /dev/null 2>/dev/null");
        publicFile = root / ("key" + std::to_string(bits) + ".pub");
        runCommand(std::string(PUTTYGEN_PATH) + " -O public " + file.string() + " -o " +
                   publicFile.string());
        puttyFingerprint = runCommand(std::string(PUTTYGEN_PATH) + " -l " + file.string());
        return readFile(publicFile);
    }
    static HostKey parsePublic(const std::string& text) {
        std::istringstream in(text);
        std::string bits, e, n;
        in >> bits >> e >> n;
        auto exponent = decimalToBytes(e);
        auto modulus = decimalToBytes(n);
        EXPECT_TRUE(exponent && modulus) << text;
        return makeHostKey(std::uint32_t(std::stoul(bits)),
                           exponent.value_or(std::vector<std::uint8_t>{}),
                           modulus.value_or(std::vector<std::uint8_t>{}));
    }
    fs::path publicFile;
    std::string puttyFingerprint;
};

TEST_F(PuttyKey, FingerprintIsWhatPuttygenAndSshKeygenShow) {
    for (int bits : {768, 1024, 2048}) {
        const std::string publicText = generate(bits);
        ASSERT_FALSE(publicText.empty()) << "puttygen produced no key";
        const HostKey key = parsePublic(publicText);
        const std::string ours = hostKeyFingerprint(key);

        // puttygen -l: "1024 a4:24:...:c5 comment"
        ASSERT_GT(puttyFingerprint.size(), ours.size());
        EXPECT_EQ(puttyFingerprint.substr(0, ours.size() + 1), ours + " ");

        // ssh-keygen1 -l -E md5: "1024 MD5:a4:24:...:c5 comment (RSA1)"
        const std::string openSsh =
            runCommand(std::string(SSH_KEYGEN1_PATH) + " -l -E md5 -f " + publicFile.string());
        const std::size_t comment = openSsh.find(' ', openSsh.find("MD5:"));
        ASSERT_NE(comment, std::string::npos) << openSsh;
        const auto parsed = parseHostKeyFingerprint(openSsh.substr(0, comment));
        ASSERT_TRUE(parsed.has_value()) << openSsh;
        EXPECT_TRUE(fingerprintMatches(*parsed, key));
    }
}

TEST(HostKeyFingerprint, ParserTakesTheUsualFormsAndMatchesOnlyThatKey) {
    std::mt19937_64 rng(3);
    const HostKey key = randomKey(rng);
    const std::string hex = hostKeyFingerprint(key).substr(5);  // after "1024 "
    std::string upper = hex;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));

    for (const std::string& text : {"1024 " + hex, hex, upper, "MD5:" + hex, "1024 MD5:" + hex,
                                    "  1024 " + hex + "\n", "1024\t" + hex}) {
        const auto parsed = parseHostKeyFingerprint(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_TRUE(fingerprintMatches(*parsed, key)) << text;
    }
    EXPECT_FALSE(parseHostKeyFingerprint(hex)->bits.has_value());

    for (const std::string& text :
         {std::string(), hex.substr(0, hex.size() - 3), hex + ":00", hex.substr(0, 46) + "g",
          std::string(hex).replace(2, 1, "-"), "abc " + hex, hex + " extra", "1024 1024 " + hex,
          "123456 " + hex, "SHA256:" + hex})
        EXPECT_FALSE(parseHostKeyFingerprint(text).has_value()) << text;

    // A different bit count, or one nibble off, is another key.
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint("2048 " + hex), key));
    std::string flipped = hex;
    flipped[46] = flipped[46] == '0' ? '1' : '0';
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint(flipped), key));
    EXPECT_FALSE(fingerprintMatches(*parseHostKeyFingerprint(hex), randomKey(rng)));
}

// ---------------------------------------------------------------------------------------------
// The store.

TEST_F(TempFolder, UnknownThenRememberedWithOwnerOnlyFile) {
    const HostKey key = randomKey(rng);
    const KnownHosts hosts = stores();
    EXPECT_EQ(hosts.check("server.example", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_TRUE(hosts.check("server.example", 22, key).readError.empty());

    std::string error;
    ASSERT_TRUE(hosts.add("server.example", 22, key, &error)) << error;
    EXPECT_EQ(readFile(userStore), keyLine("server.example", key) + "\n");
    EXPECT_EQ(fs::status(userStore).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(userStore.parent_path()).permissions() & fs::perms::all,
              fs::perms::owner_all);

    const HostKeyCheck again = hosts.check("server.example", 22, key);
    EXPECT_EQ(again.status, HostKeyStatus::Known);
    EXPECT_EQ(again.storedAt, userStore.string() + ":1");
    EXPECT_FALSE(fs::exists(openSshStore));  // the read-only store is never created

    // The largest key SSH-1 can carry is filed and found again too.
    const HostKey largest = randomKey(rng, 65528);
    ASSERT_TRUE(hosts.add("server.example", 22, largest, &error)) << error;
    EXPECT_EQ(hosts.check("server.example", 22, largest).status, HostKeyStatus::Known);
}

TEST_F(TempFolder, PortOtherThan22IsFiledInBrackets) {
    const HostKey key = randomKey(rng);
    const KnownHosts hosts = stores();
    ASSERT_TRUE(hosts.add("10.0.0.5", 2222, key));
    ASSERT_TRUE(hosts.add("::1", 2022, key));
    EXPECT_EQ(readFile(userStore),
              keyLine("[10.0.0.5]:2222", key) + "\n" + keyLine("[::1]:2022", key) + "\n");
    EXPECT_EQ(hosts.check("10.0.0.5", 2222, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("10.0.0.5", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("10.0.0.5", 2223, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("::1", 2022, key).status, HostKeyStatus::Known);
    EXPECT_EQ(knownHostsName("h", 22), "h");
    EXPECT_EQ(knownHostsName("h", 0), "[h]:0");
}

TEST_F(TempFolder, ChangedKeyReportsTheStoredFingerprintAndAddingReplacesNothing) {
    const HostKey stored = randomKey(rng);
    const HostKey presented = randomKey(rng, 2048);
    const KnownHosts hosts = stores();
    ASSERT_TRUE(hosts.add("other", 22, presented));
    ASSERT_TRUE(hosts.add("server", 22, stored));

    const HostKeyCheck changed = hosts.check("server", 22, presented);
    EXPECT_EQ(changed.status, HostKeyStatus::Changed);
    EXPECT_EQ(changed.storedFingerprint, hostKeyFingerprint(stored));
    EXPECT_EQ(changed.storedAt, userStore.string() + ":2");

    // Same modulus with another exponent is another key too.
    HostKey otherExponent = stored;
    otherExponent.exponent = {3};
    EXPECT_EQ(hosts.check("server", 22, otherExponent).status, HostKeyStatus::Changed);

    // Accepting the new key appends it; both keys are then on record.
    const std::string before = readFile(userStore);
    ASSERT_TRUE(hosts.add("server", 22, presented));
    EXPECT_EQ(readFile(userStore), before + keyLine("server", presented) + "\n");
    EXPECT_EQ(hosts.check("server", 22, presented).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("server", 22, stored).status, HostKeyStatus::Known);
}

TEST_F(TempFolder, OpenSshFileIsHonouredReadOnly) {
    const HostKey key = randomKey(rng);
    const HostKey elsewhere = randomKey(rng);
    const std::string lines =
        "# ssh1 keeps its keys here\n"
        "\n"
        "   \t\n"
        "|1|F1E1KeoE/eEWhi10WpGv4OdiO6Y=|3988QV0VE8wmZL7suNrYQLITLCg= 1024 35 12345\n"
        "@cert-authority *.example.org ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ\n"
        "web.example.org ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIE\n" +
        keyLine("alpha,*.example.org,!bad.example.org", key) + " comment here\r\n" +
        keyLine("Mixed.Case.Host", key) + "\n" + keyLine("[gate]:2200", elsewhere) + "\n";
    writeFile(openSshStore, lines);
    const KnownHosts hosts = stores();

    EXPECT_EQ(hosts.check("web.example.org", 22, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("web.example.org", 22, key).storedAt, openSshStore.string() + ":7");
    EXPECT_EQ(hosts.check("alpha", 22, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("mixed.case.HOST", 22, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("bad.example.org", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("example.org", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("web.example.org", 2222, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("gate", 2200, key).status, HostKeyStatus::Changed);
    EXPECT_EQ(hosts.check("gate", 2200, key).storedFingerprint, hostKeyFingerprint(elsewhere));

    // The user's own store is read first; an entry for the key anywhere makes it Known.
    ASSERT_TRUE(hosts.add("gate", 2200, key));
    EXPECT_EQ(hosts.check("gate", 2200, key).status, HostKeyStatus::Known);
    EXPECT_EQ(readFile(openSshStore), lines);
}

TEST_F(TempFolder, CorruptLinesAreIgnoredNeverFatal) {
    const HostKey key = randomKey(rng);
    const std::string good = keyLine("server", key);
    std::string lines =
        "server 1024 65537\n"               // no modulus
        "server 1024 65537 12x45\n"         // not a number
        "server 0 65537 12345\n"            // no bits
        "server 99999999999 65537 12345\n"  // absurd bits
        "server 1024 0 12345\n"             // zero exponent
        "server 1024 65537 0\n"             // zero modulus
        "server 1024 -3 12345\n"
        "server\n"
        ",,, 1024 65537 12345\n"
        "server 1024 65537 " +
        std::string(kMaxDecimalDigits + 1, '7') + "\n" +  // beyond any key
        "server " + std::string(100000, '1') + "\n" +     // overlong line
        std::string("\x01\xff\xfe garbage \0 with nul\n", 23) + good.substr(0, 40) +
        "\n";  // truncated
    writeFile(userStore, lines);
    const KnownHosts hosts = stores();
    EXPECT_EQ(hosts.check("server", 22, key).status, HostKeyStatus::Unknown);

    // An entry after the damage still counts, and an entry appended to a file whose last line
    // was cut short starts on a line of its own.
    writeFile(userStore, lines + good.substr(0, 30));
    ASSERT_TRUE(hosts.add("server", 22, key));
    EXPECT_EQ(hosts.check("server", 22, key).status, HostKeyStatus::Known);
    EXPECT_EQ(readFile(userStore), lines + good.substr(0, 30) + "\n" + good + "\n");
}

// Some servers announce a bit count a little off their modulus; a line off by more was cut or
// damaged and says nothing about the host.
TEST_F(TempFolder, StatedBitCountCountsWithinTheSlackAndIsIgnoredBeyondIt) {
    const HostKey key = randomKey(rng);  // a 1024-bit modulus
    const std::string fields = keyLine("server", key).substr(std::string("server 1024").size());
    for (const auto& [bits, known] : std::vector<std::pair<int, bool>>{
             {1024, true}, {1016, true}, {1032, true}, {1015, false}, {1033, false}}) {
        writeFile(userStore, "server " + std::to_string(bits) + fields + "\n");
        EXPECT_EQ(stores().check("server", 22, key).status,
                  known ? HostKeyStatus::Known : HostKeyStatus::Unknown)
            << bits;
    }
}

TEST_F(TempFolder, UnreadableStoreIsReportedAndTheOthersStillCount) {
    const HostKey key = randomKey(rng);
    fs::create_directories(userStore);  // a folder where the file should be
    writeFile(openSshStore, keyLine("server", key) + "\n");
    const HostKeyCheck result = stores().check("server", 22, key);
    EXPECT_EQ(result.status, HostKeyStatus::Known);
    EXPECT_NE(result.readError.find(userStore.string()), std::string::npos);

    std::string error;
    EXPECT_FALSE(stores().add("server", 22, key, &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(TempFolder, AddRefusesNamesThatWouldChangeTheLinesMeaning) {
    const HostKey key = randomKey(rng);
    const KnownHosts hosts = stores();
    for (const char* host : {"", "a b", "a\tb", "a,b", "*", "web?", "!host", "|1|abc", "@revoked",
                             "[h]", "h\nother", "#host", "h\x7f"}) {
        std::string error;
        EXPECT_FALSE(hosts.add(host, 22, key, &error)) << host;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(hosts.add("server", 22, HostKey{}));
    EXPECT_FALSE(fs::exists(userStore));
    EXPECT_FALSE(KnownHosts("", {}).add("server", 22, key));
}

// OpenSSH's own tool reads what we write and agrees on which names a pattern selects.
TEST_F(TempFolder, SshKeygenReadsOurStoreAndAgreesOnPatterns) {
    const HostKey key = randomKey(rng);
    ASSERT_TRUE(stores().add("127.0.0.1", 2222, key));
    const std::string keygen = std::string(SSH_KEYGEN1_PATH);
    const std::string listed = runCommand(keygen + " -l -E md5 -f " + userStore.string());
    const std::string hex = hostKeyFingerprint(key).substr(5);
    EXPECT_NE(listed.find("1024 MD5:" + hex + " [127.0.0.1]:2222"), std::string::npos) << listed;

    // One line per pattern, each with its own key; ssh-keygen -F names the lines it finds.
    const fs::path file = root / "patterns";
    const std::vector<std::string> patterns = {"server",
                                               "Server.Example",
                                               "*.example.org,!bad.example.org",
                                               "web?",
                                               "[h]:2*",
                                               "!x,y",
                                               "a*b*c",
                                               "*",
                                               "[10.0.0.1]:2222,10.0.0.1"};
    const std::vector<std::string> names = {"server",
                                            "server.example",
                                            "good.example.org",
                                            "bad.example.org",
                                            "web1",
                                            "web12",
                                            "[h]:22",
                                            "[h]:2222",
                                            "y",
                                            "x",
                                            "abc",
                                            "aXbYc",
                                            "ab",
                                            "10.0.0.1",
                                            "[10.0.0.1]:2222",
                                            "[10.0.0.1]:22"};
    std::string lines;
    for (const auto& pattern : patterns) lines += keyLine(pattern, randomKey(rng)) + "\n";
    writeFile(file, lines);
    for (const auto& name : names) {
        const std::string found =
            runCommand(keygen + " -F '" + name + "' -f " + file.string() + " 2>/dev/null");
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const bool listed =
                found.find("found: line " + std::to_string(i + 1) + " ") != std::string::npos;
            EXPECT_EQ(knownHostsPatternsMatch(patterns[i], name), listed)
                << patterns[i] << " vs " << name;
        }
    }
}

TEST(DefaultPaths, FollowXdgConfigHomeThenHome) {
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(defaultKnownHostsPath(), "/cfg/corvid1/known_hosts");
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
    EXPECT_EQ(defaultKnownHostsPath(), "/home/someone/.config/corvid1/known_hosts");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(defaultKnownHostsPath(), "/home/someone/.config/corvid1/known_hosts");
    EXPECT_EQ(defaultOpenSshKnownHostsPath(), "/home/someone/.ssh/known_hosts");
    const KnownHosts defaults = KnownHosts::withDefaults();
    EXPECT_EQ(defaults.userStore(), "/home/someone/.config/corvid1/known_hosts");
    EXPECT_EQ(defaults.readOnlyStores(),
              std::vector<std::string>{"/home/someone/.ssh/known_hosts"});
}

// ---------------------------------------------------------------------------------------------
// Hashed names, as ssh writes them with HashKnownHosts: ssh-keygen hashes, we match; we hash,
// ssh-keygen finds.

std::string base64(const std::uint8_t* bytes, std::size_t n) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        const std::uint32_t chunk = (std::uint32_t(bytes[i]) << 16) |
                                    (i + 1 < n ? std::uint32_t(bytes[i + 1]) << 8 : 0) |
                                    (i + 2 < n ? bytes[i + 2] : 0);
        out += digits[(chunk >> 18) & 63];
        out += digits[(chunk >> 12) & 63];
        out += i + 1 < n ? digits[(chunk >> 6) & 63] : '=';
        out += i + 2 < n ? digits[chunk & 63] : '=';
    }
    return out;
}

std::string hashedName(const std::string& name, std::mt19937_64& rng) {
    const auto salt = randomBytes(rng, kSha1DigestSize);
    const Sha1Digest mac = hmacSha1(salt.data(), salt.size(), name.data(), name.size());
    return "|1|" + base64(salt.data(), salt.size()) + "|" + base64(mac.data(), mac.size());
}

TEST_F(TempFolder, NamesHashedBySshKeygenAreMatched) {
    const HostKey key = randomKey(rng);
    const HostKey other = randomKey(rng);
    writeFile(openSshStore, keyLine("myhost", key) + "\n" + keyLine("[gate]:2222", other) + "\n");
    runCommand(std::string(SSH_KEYGEN1_PATH) + " -H -f " + openSshStore.string() + " 2>&1");
    const std::string hashed = readFile(openSshStore);
    ASSERT_EQ(hashed.rfind("|1|", 0), 0u) << hashed;
    ASSERT_EQ(hashed.find("myhost"), std::string::npos);
    const KnownHosts hosts = stores();

    EXPECT_EQ(hosts.check("myhost", 22, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("MyHost", 22, key).status, HostKeyStatus::Known);  // ssh lowercases
    EXPECT_EQ(hosts.check("myhost", 22, key).storedAt, openSshStore.string() + ":1");
    EXPECT_EQ(hosts.check("myhost", 22, other).status, HostKeyStatus::Changed);
    EXPECT_EQ(hosts.check("myhost", 22, other).storedFingerprint, hostKeyFingerprint(key));
    EXPECT_EQ(hosts.check("myhost", 2222, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("myhos", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("gate", 2222, other).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("gate", 22, other).status, HostKeyStatus::Unknown);
}

TEST_F(TempFolder, OurHashedNamesAreFoundBySshKeygenAndDamagedOnesIgnored) {
    const HostKey key = randomKey(rng);
    const HostKey other = randomKey(rng);
    const std::string good = keyLine(hashedName("[127.0.0.1]:2222", rng), key);
    const std::string line = hashedName("server", rng);
    const std::string salt = line.substr(3, 28), mac = line.substr(32);
    // Each damaged form names "server" with another key: read wrongly, it would make the key
    // Changed instead of Unknown.
    const std::vector<std::string> damaged = {
        "|2|" + salt + "|" + mac,                       // unknown hash kind
        "|1|" + salt + mac,                             // no separator
        "|1|" + salt.substr(0, 24) + "|" + mac,         // salt too short
        "|1|" + salt + "|" + mac.substr(0, 24),         // hash too short
        "|1|" + salt + "|" + mac + "AAAA",              // hash too long
        "|1|" + salt + "|=" + mac.substr(1),            // padding first
        "|1|" + salt + "|" + mac.substr(0, 26) + "*=",  // not base64
        "|1||",
        "|1|",
    };
    std::string text;
    for (const std::string& bad : damaged) text += keyLine(bad, other) + "\n";
    text += good + "\n";
    writeFile(openSshStore, text);

    const KnownHosts hosts = stores();
    EXPECT_EQ(hosts.check("server", 22, key).status, HostKeyStatus::Unknown);
    EXPECT_EQ(hosts.check("127.0.0.1", 2222, key).status, HostKeyStatus::Known);
    EXPECT_EQ(hosts.check("127.0.0.1", 22, key).status, HostKeyStatus::Unknown);
    // The real "server" line, undamaged, is matched.
    writeFile(openSshStore, text + keyLine(line, other) + "\n");
    EXPECT_EQ(hosts.check("server", 22, key).status, HostKeyStatus::Changed);

    const std::string found = runCommand(std::string(SSH_KEYGEN1_PATH) +
                                         " -F '[127.0.0.1]:2222' -f " + openSshStore.string());
    EXPECT_NE(found.find("found: line " + std::to_string(damaged.size() + 1)), std::string::npos)
        << found;
}

}  // namespace
}  // namespace corvid1
