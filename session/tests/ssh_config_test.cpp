// The ssh_config-style file: which lines apply to a host, in which order, and what is refused.
#include "session/config/ssh_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid1 {
namespace {

TEST(SshConfig, HostPatternsWithWildcardsListsAndNegation) {
    struct Case {
        const char* patterns;
        const char* host;
        bool matches;
    };
    const std::vector<Case> cases = {
        // clang-format off
        {"*", "anything", true}, {"router", "ROUTER", true}, {"rout?r", "router", true},
        {"rout?r", "routr", false}, {"*.lab", "sw1.lab", true}, {"*.lab", "sw1.lab.example", false},
        {"a b,c", "c", true}, {"sw* !sw9", "sw9", false}, {"sw* !sw9", "sw1", true},
        {"!sw9", "sw1", false},  // a negation alone matches nothing
        {"10.0.*.1", "10.0.42.1", true}, {"", "x", false},
    };  // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(hostMatches(c.patterns, c.host), c.matches) << c.patterns << " / " << c.host;
}

TEST(SshConfig, SettingsForAHostComeInFileOrderFromEveryMatchingBlock) {
    const char* text =
        "# lab defaults\nCompression yes\n\n"
        "Host sw1 sw2\n  HostName 192.0.2.7\n  port=2222\n  LocalForward 8080 127.0.0.1:80\n"
        "Host sw*\n  User \"admin\"\n  Port 22\n"
        "Host other\n  User nobody\n";
    SshConfig config;
    std::string error;
    ASSERT_TRUE(config.parse(text, "cfg", error)) << error;
    std::vector<std::string> got;
    for (const ConfigSetting& s : config.settingsFor("sw1"))
        got.push_back(s.keyword + "=" + s.value + "@" + s.origin);
    EXPECT_EQ(got, (std::vector<std::string>{"Compression=yes@cfg:2", "HostName=192.0.2.7@cfg:5",
                                             "Port=2222@cfg:6", "LocalForward=8080 127.0.0.1:80@cfg:7",
                                             "User=admin@cfg:9", "Port=22@cfg:10"}));
    EXPECT_EQ(config.settingsFor("elsewhere").size(), 1u);  // only what precedes every Host
}

TEST(SshConfig, ALineItCannotReadIsAnErrorNamingFileAndLine) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        // clang-format off
        {"Port 22\nProtocol 2\n", "cfg:2: unknown keyword 'Protocol'"},
        {"Port 70000\n", "cfg:1: Port takes a port number, not '70000'"},
        {"Port 0\n", "cfg:1: Port takes a port number, not '0'"},
        {"Compression maybe\n", "cfg:1: Compression takes yes or no, not 'maybe'"},
        {"Cipher aes128-ctr\n", "cfg:1: Cipher takes 3des, blowfish or none, not 'aes128-ctr'"},
        {"\n\nLocalForward 8080\n", "cfg:3: LocalForward takes [bind:]port host:hostport, not '8080'"},
        {"RemoteForward 1.2.3.4:9000 h:22\n", "cfg:1: RemoteForward takes [bind:]port host:hostport, not '1.2.3.4:9000 h:22'"},
        {"StrictHostKeyChecking no\n", "cfg:1: StrictHostKeyChecking takes yes, accept-new or ask, not 'no'"},
        {"ConnectTimeout -1\n", "cfg:1: ConnectTimeout takes a number of seconds up to 86400, not '-1'"},
        {"ConnectTimeout 86400\nConnectTimeout 86401\n", "cfg:2: ConnectTimeout takes a number of seconds up to 86400, not '86401'"},
        {"User\n", "cfg:1: User takes a value, not ''"},
    };  // clang-format on
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_FALSE(SshConfig().parse(text, "cfg", error)) << text;
        EXPECT_EQ(error, message);
    }
    std::string error;
    EXPECT_FALSE(SshConfig().load("/nonexistent/corvid1/config", error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos);
}

}  // namespace
}  // namespace corvid1
