#include "cli/options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace corvid1::cli {
namespace {

ParseResult parse(std::initializer_list<const char*> words) {
    std::vector<const char*> argv{"corvid1-cli"};
    argv.insert(argv.end(), words.begin(), words.end());
    return parseOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, DefaultsAreSsh1PortTripleDesAndVt100) {
    const ParseResult r = parse({"example.org"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.host, "example.org");
    EXPECT_EQ(r.options.port, 22);
    EXPECT_EQ(r.options.cipher, 3);
    EXPECT_FALSE(r.options.vt52);
    EXPECT_FALSE(r.options.verbose);
    EXPECT_EQ(r.options.output, OutputMode::Raw);
    EXPECT_FALSE(r.options.outputGiven);
    EXPECT_EQ(r.options.columns, 80);
    EXPECT_EQ(r.options.rows, 24);
    EXPECT_TRUE(r.options.user.empty());
}

TEST(Options, ValuesTakeBothSpellingsAttachedOrSeparate) {
    const ParseResult r = parse({"-p2222", "-l", "alice", "--cipher=blowfish", "-t", "vt52",
                                 "--password-file", "/tmp/pw", "--size=132x50", "-v", "host"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.port, 2222);
    EXPECT_EQ(r.options.user, "alice");
    EXPECT_EQ(r.options.cipher, 6);
    EXPECT_TRUE(r.options.vt52);
    EXPECT_EQ(r.options.passwordFile, "/tmp/pw");
    EXPECT_EQ(r.options.columns, 132);
    EXPECT_EQ(r.options.rows, 50);
    EXPECT_TRUE(r.options.verbose);

    const ParseResult none = parse({"host", "-c", "none", "--port", "65535"});
    ASSERT_TRUE(none.ok) << none.error;
    EXPECT_EQ(none.options.cipher, 0);
    EXPECT_EQ(none.options.port, 65535);
}

TEST(Options, UserFromPrefixUnlessLoginOptionGiven) {
    ParseResult r = parse({"bob@10.0.0.1"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.user, "bob");
    EXPECT_EQ(r.options.host, "10.0.0.1");

    r = parse({"bob@corp@gw"});  // the last '@' separates user from host
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.user, "bob@corp");
    EXPECT_EQ(r.options.host, "gw");

    r = parse({"bob@gw", "-l", "carol"});  // order does not matter: -l is explicit
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.user, "carol");
    EXPECT_EQ(r.options.host, "gw");
}

TEST(Options, ScreenOrRawButNotBoth) {
    ParseResult r = parse({"--screen", "h"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.output, OutputMode::Screen);
    EXPECT_TRUE(r.options.outputGiven);
    r = parse({"--raw", "h"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.output, OutputMode::Raw);
    EXPECT_TRUE(r.options.outputGiven);
    EXPECT_FALSE(parse({"--raw", "--screen", "h"}).ok);
}

TEST(Options, HelpAndVersionNeedNoHost) {
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"-h"}).options.help);
    EXPECT_TRUE(parse({"--version"}).options.version);
    EXPECT_TRUE(parse({"--version"}).ok);
}

TEST(Options, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {
        {},                // no host
        {"-p", "0", "h"},  // port out of range
        {"-p", "65536", "h"},
        {"-p", "22x", "h"},
        {"-p", "-1", "h"},
        {"-p"},  // value missing
        {"h", "-l"},
        {"-c", "des", "h"},     // unknown cipher
        {"-t", "xterm", "h"},   // unknown terminal
        {"--size", "80", "h"},  // malformed sizes
        {"--size", "0x24", "h"},
        {"--size", "256x24", "h"},  // wider than the terminal can hold
        {"--size", "80x1001", "h"},
        {"--size", "80x", "h"},
        {"-x", "h"},                 // unknown options
        {"--password=secret", "h"},  // no password on the command line, ever
        {"--verbose=yes", "h"},      // a flag takes no value
        {"@h"},                      // empty user
        {"u@"},                      // empty host
        {"h1", "h2"},                // remote commands are not supported
        {"-l", "", "h"},
    };
    for (const auto& words : bad) {
        std::vector<const char*> argv{"corvid1-cli"};
        argv.insert(argv.end(), words.begin(), words.end());
        const ParseResult r = parseOptions(static_cast<int>(argv.size()), argv.data());
        std::string line;
        for (const char* w : words) line += std::string(w) + " ";
        EXPECT_FALSE(r.ok) << "accepted: " << line;
        EXPECT_FALSE(r.error.empty()) << line;
    }
}

TEST(Options, DoubleDashEndsOptions) {
    const ParseResult r = parse({"-v", "--", "-host"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.host, "-host");
    EXPECT_TRUE(r.options.verbose);
}

TEST(Options, FlagsMayBeClusteredWithATrailingValueOption) {
    const ParseResult r = parse({"-vp", "2022", "h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.verbose);
    EXPECT_EQ(r.options.port, 2022);
}

}  // namespace
}  // namespace corvid1::cli
