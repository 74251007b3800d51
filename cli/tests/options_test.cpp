#include "cli/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace corvid1::cli {
namespace {

ParseResult parse(std::vector<const char*> words) {
    words.insert(words.begin(), "corvid1-cli");
    return parseOptions(static_cast<int>(words.size()), words.data());
}

TEST(Options, DefaultsAreSsh1PortTripleDesVt100And80x24) {
    const ParseResult r = parse({"example.org"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.host, "example.org");
    EXPECT_EQ(r.options.port, 22);
    EXPECT_EQ(r.options.cipher, 3);
    EXPECT_FALSE(r.options.vt52);
    EXPECT_EQ(r.options.output, OutputMode::Raw);
    EXPECT_EQ(r.options.columns, 80);
    EXPECT_EQ(r.options.rows, 24);
    EXPECT_EQ(r.options.connectTimeoutSeconds, 60);
    EXPECT_TRUE(r.options.user.empty());
}

TEST(Options, ValuesTakeEitherSpellingAttachedOrSeparate) {
    ParseResult r = parse({"-vp2222", "-l", "alice", "--cipher=blowfish", "--terminal", "vt52",
                           "--password-file", "/tmp/pw", "--size=132x50", "--screen", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.verbose);
    EXPECT_EQ(r.options.port, 2222);
    EXPECT_EQ(r.options.user, "alice");
    EXPECT_EQ(r.options.cipher, 6);
    EXPECT_TRUE(r.options.vt52);
    EXPECT_EQ(r.options.passwordFile, "/tmp/pw");
    EXPECT_EQ(r.options.columns, 132);
    EXPECT_EQ(r.options.rows, 50);
    EXPECT_EQ(r.options.output, OutputMode::Screen);

    EXPECT_EQ(parse({"--connect-timeout", "0", "h"}).options.connectTimeoutSeconds, 0);
    EXPECT_EQ(parse({"--connect-timeout=86400", "h"}).options.connectTimeoutSeconds, 86400);

    r = parse({"-c", "none", "--port", "65535", "--", "-odd-host"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.cipher, 0);
    EXPECT_EQ(r.options.port, 65535);
    EXPECT_EQ(r.options.host, "-odd-host");
    EXPECT_TRUE(parse({"--version"}).options.version);  // no host needed
    EXPECT_TRUE(parse({"-h"}).options.help);
}

TEST(Options, UserFromTheLastAtUnlessLoginOptionGiven) {
    ParseResult r = parse({"bob@corp@gw"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.user, "bob@corp");
    EXPECT_EQ(r.options.host, "gw");
    r = parse({"-l", "carol", "bob@gw"});  // -l is explicit
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.user, "carol");
}

// As with ssh, the host ends the options: what follows is the command, its own options too.
TEST(Options, WordsAfterTheHostAreTheCommandAndDecideThePty) {
    struct Case {
        std::vector<const char*> words;
        const char* command;
        bool pty;
    };
    const std::vector<Case> cases = {
        {{"h"}, "", true},
        {{"h", "ls", "-l", "/tmp"}, "ls -l /tmp", false},
        {{"-t", "h", "top"}, "top", true},
        {{"-T", "h"}, "", false},
        {{"--", "h", "-x"}, "-x", false},
        {{"-t", "vt52", "h"}, "", true},  // the terminal type, as before
    };
    for (const Case& c : cases) {
        const ParseResult r = parse(c.words);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.host, "h");
        EXPECT_EQ(r.options.command, c.command);
        EXPECT_EQ(wantsPty(r.options), c.pty) << c.command;
    }
    EXPECT_TRUE(parse({"-t", "vt52", "h"}).options.vt52);
    const ParseResult r = parse({"-C", "--keepalive", "30", "--no-password-padding", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.compressionLevel, 6);
    EXPECT_EQ(r.options.keepaliveSeconds, 30);
    EXPECT_FALSE(r.options.padPassword);
}

TEST(Options, ForwardsInTheOrderGivenAndX11) {
    const ParseResult r = parse(
        {"-L", "8080:db:5432", "-R9000:localhost:22", "-X", "--local-forward=[::1]:1:a:2", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.forwards.size(), 3u);
    EXPECT_EQ(r.options.forwards[0], *parsePortForward("8080:db:5432", false));
    EXPECT_EQ(r.options.forwards[1], *parsePortForward("9000:localhost:22", true));
    EXPECT_EQ(r.options.forwards[2].bindAddress, "::1");
    EXPECT_TRUE(r.options.forwardX11);
    EXPECT_FALSE(parse({"-X", "-x", "h"}).options.forwardX11);
}

TEST(Options, HostKeyOptions) {
    const char* md5 = "24:87:0b:4a:dc:25:e0:fb:66:02:d3:8b:71:54:40:bd";
    ParseResult r =
        parse({"--host-key", md5, "--host-key=2048 FA:27:5F:02:EC:04:52:99:2C:72:7D:3D:AC:E8:78:4F",
               "--known-hosts", "/tmp/kh", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.hostKeys.size(), 2u);
    EXPECT_FALSE(r.options.hostKeys[0].bits.has_value());
    EXPECT_EQ(r.options.hostKeys[0].md5[0], 0x24);
    EXPECT_EQ(r.options.hostKeys[0].md5[15], 0xbd);
    EXPECT_EQ(r.options.hostKeys[1].bits, 2048u);
    EXPECT_EQ(r.options.hostKeys[1].md5[0], 0xfa);
    EXPECT_EQ(r.options.knownHostsFile, "/tmp/kh");
    EXPECT_FALSE(r.options.acceptNew);

    r = parse({"--accept-new", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.acceptNew);
    EXPECT_TRUE(r.options.hostKeys.empty());
    EXPECT_TRUE(r.options.knownHostsFile.empty());
}

TEST(Options, KeyFilesRepeatAndMethodsTurnOffAsSshSpellsThem) {
    ParseResult r = parse({"-i", "a", "--identity=b", "-ic", "-o", "rsaauthentication=no",
                           "-oPasswordAuthentication no", "--passphrase-file", "pp", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    std::string error;
    ASSERT_TRUE(applyConfiguration(r.options, "", error)) << error;
    EXPECT_EQ(r.options.identityFiles, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(r.options.passphraseFile, "pp");
    EXPECT_FALSE(r.options.loginMethods.rsa);
    EXPECT_TRUE(r.options.loginMethods.challenge);
    EXPECT_FALSE(r.options.loginMethods.password);
    r = parse({"-o", "ChallengeResponseAuthentication=no", "-o", "RSAAuthentication=yes", "h"});
    ASSERT_TRUE(applyConfiguration(r.options, "", error)) << error;
    EXPECT_FALSE(r.options.loginMethods.challenge);
    EXPECT_TRUE(r.options.loginMethods.rsa);
}

// ssh's precedence: a flag first, then the first value obtained, -o before the file; list
// keywords add up.
TEST(Options, ConfigurationFillsWhatTheCommandLineLeftOpen) {
    const std::string file = ::testing::TempDir() + "corvid1_options_config";
    {
        std::ofstream out(file);
        out << "Host lab*\n  HostName 192.0.2.7\n  Port 2222\n  User admin\n  Cipher blowfish\n"
               "  Compression yes\n  IdentityFile /k1\n  LocalForward 8080 127.0.0.1:80\n"
               "  StrictHostKeyChecking yes\n"
               "Host *\n  Port 22\n  User nobody\n  IdentityFile /k2\n  ServerAliveInterval 30\n"
               "  ConnectTimeout 5\n  PasswordAuthentication no\n";
    }
    ParseResult r =
        parse({"-F", file.c_str(), "-p", "2200", "-o", "User=ops", "-i", "/k0", "lab1", "uptime"});
    ASSERT_TRUE(r.ok) << r.error;
    std::string error;
    ASSERT_TRUE(applyConfiguration(r.options, "", error)) << error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.host, "192.0.2.7");
    EXPECT_EQ(o.port, 2200);
    EXPECT_EQ(o.user, "ops");
    EXPECT_EQ(o.cipher, 6);
    EXPECT_EQ(o.compressionLevel, 6);
    EXPECT_EQ(o.identityFiles, (std::vector<std::string>{"/k0", "/k1", "/k2"}));
    EXPECT_EQ(o.forwards.size(), 1u);
    EXPECT_FALSE(o.askHostKey);
    EXPECT_EQ(o.keepaliveSeconds, 30);
    EXPECT_EQ(o.connectTimeoutSeconds, 5);
    EXPECT_FALSE(o.loginMethods.password);
    EXPECT_EQ(o.command, "uptime");

    // Another host takes only the catch-all block; a line the file cannot hold is named.
    r = parse({"-F", file.c_str(), "elsewhere"});
    ASSERT_TRUE(applyConfiguration(r.options, "", error)) << error;
    EXPECT_EQ(r.options.user, "nobody");
    EXPECT_EQ(r.options.port, 22);
    std::ofstream(file) << "Port 22\nForwardAgent yes\n";
    r = parse({"-F", file.c_str(), "h"});
    EXPECT_FALSE(applyConfiguration(r.options, "", error));
    EXPECT_EQ(error, file + ":2: unknown keyword 'ForwardAgent'");
    // The flags ssh -1 users pass.
    r = parse({"-1", "-a", "-q", "-e", "none", "-E", "/tmp/log", "-c", "3des", "-x", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.quiet);
    EXPECT_FALSE(r.options.escapes);
    EXPECT_EQ(r.options.errorLogFile, "/tmp/log");
    std::remove(file.c_str());
}

TEST(Options, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {
        {},                // no host
        {"-p", "0", "h"},  // ports out of range or not numbers
        {"-p", "65536", "h"},
        {"-p", "22x", "h"},
        {"-p"},              // value missing
        {"-c", "des", "h"},  // unknown cipher and terminal
        {"--terminal", "xterm", "h"},
        {"-t", "-T", "h"},
        {"--keepalive", "-5", "h"},
        {"--size", "80", "h"},  // malformed or out-of-range sizes
        {"--size", "0x24", "h"},
        {"--size", "256x24", "h"},  // wider than the terminal holds
        {"--size", "80x1001", "h"},
        {"-Q", "h"},
        {"-L", "8080:db", "h"},  // forwards short of a field, or -R with a bind address
        {"-R", "1.2.3.4:9000:localhost:22", "h"},
        {"--password=secret", "h"},  // never a password on the command line
        {"--verbose=yes", "h"},      // a flag takes no value
        {"--raw", "--screen", "h"},
        {"@h"},
        {"u@"},
        {"-l", "", "h"},
        {"--host-key", "24:87:0b", "h"},  // fingerprints cut short, too long or not hex
        {"--host-key", "24:87:0b:4a:dc:25:e0:fb:66:02:d3:8b:71:54:40:bd:00", "h"},
        {"--host-key", "zz:87:0b:4a:dc:25:e0:fb:66:02:d3:8b:71:54:40:bd", "h"},
        {"--host-key", "", "h"},
        {"--host-key"},
        {"--accept-new", "--host-key", "24:87:0b:4a:dc:25:e0:fb:66:02:d3:8b:71:54:40:bd", "h"},
        {"--known-hosts", "a", "--known-hosts", "b", "h"},  // which one would an answer go to?
        {"--known-hosts", "", "h"},
        {"--accept-new=yes", "h"},
        {"--connect-timeout", "86401", "h"},  // more than a day, negative or not a number
        {"--connect-timeout", "-1", "h"},
        {"--connect-timeout", "5s", "h"},
        {"-o", "Protocol=2", "h"},  // settings ssh has and this client does not
        {"-e", "^", "h"},
        {"-o", "RSAAuthentication=maybe", "h"},  // login method settings: yes or no, known ones
        {"-o", "ForwardAgent=no", "h"},
        {"-i", "", "h"},
    };
    for (const auto& words : bad) {
        const ParseResult r = parse(words);
        std::string line;
        for (const char* w : words) line += std::string(w) + " ";
        EXPECT_FALSE(r.ok) << "accepted: " << line;
        EXPECT_FALSE(r.error.empty()) << line;
    }
}

}  // namespace
}  // namespace corvid1::cli
