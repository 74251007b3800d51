// Command lines and configuration files, one row each: the words, then either the settings
// they come to ("key=value" words that must all be in the summary) or "!" and the error.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace corvid1::cli {
namespace {

std::string summary(const CliOptions& o) {
    std::string command = o.command, forwards, keys, ids;
    for (char& c : command) c = c == ' ' ? '_' : c;
    for (const auto& f : o.forwards)
        forwards +=
            (forwards.empty() ? "" : ",") + std::string(f.remote ? "R" : "L") + portForwardText(f);
    for (const auto& k : o.hostKeys)
        keys += (keys.empty() ? "" : ",") + (k.bits ? std::to_string(*k.bits) : "-") + "/" +
                std::to_string(k.md5[0]) + "/" + std::to_string(k.md5[15]);
    for (const auto& i : o.identityFiles) ids += (ids.empty() ? "" : ",") + i;
    std::ostringstream s;
    s << " host=" << o.host << " port=" << o.port << " user=" << o.user << " cipher=" << o.cipher
      << " vt52=" << o.vt52 << " cmd=" << command << " pty=" << wantsPty(o)
      << " C=" << o.compressionLevel << " keepalive=" << o.keepaliveSeconds
      << " pad=" << o.padPassword << " charset=" << static_cast<int>(o.charset)
      << " verbose=" << o.verbose << " pwfile=" << o.passwordFile
      << " out=" << (o.output == OutputMode::Screen ? "screen" : "raw") << " size=" << o.columns
      << "x" << o.rows << " fwd=" << forwards << " x11=" << o.forwardX11
      << " kh=" << o.knownHostsFile << " acceptNew=" << o.acceptNew << " hk=" << keys
      << " timeout=" << o.connectTimeoutSeconds << " ids=" << ids << " pp=" << o.passphraseFile
      << " rsa=" << o.loginMethods.rsa << " tis=" << o.loginMethods.challenge
      << " pw=" << o.loginMethods.password << " ask=" << o.askHostKey << " quiet=" << o.quiet
      << " escapes=" << o.escapes << " elog=" << o.errorLogFile << " log=" << o.logFile
      << " text=" << o.logText << " help=" << o.help << " version=" << o.version << " ";
    return s.str();
}

constexpr char md5[] = "24:87:0b:4a:dc:25:e0:fb:66:02:d3:8b:71:54:40:bd";  // 0x24 .. 0xbd
constexpr char md5Upper[] = "2048 FA:27:5F:02:EC:04:52:99:2C:72:7D:3D:AC:E8:78:4F";

struct Row {
    std::vector<std::string> words;
    std::string expected;
};

// clang-format off
const std::vector<Row> rows = {
    {{"example.org"}, "host=example.org port=22 user= cipher=3 vt52=0 cmd= pty=1 C=0 keepalive=0 "
     "pad=1 charset=0 verbose=0 out=raw size=80x24 x11=0 acceptNew=0 hk= timeout=60 rsa=1 tis=1 "
     "pw=1 ask=1 quiet=0 escapes=1 log= help=0 version=0"},
    {{"-vp2222", "-l", "alice", "--cipher=blowfish", "--terminal", "vt52", "--password-file", "/pw",
      "--size=132x50", "--screen", "--charset", "utf-8", "-V", "-h", "h"},
     "verbose=1 port=2222 user=alice cipher=6 vt52=1 pwfile=/pw size=132x50 out=screen charset=2 "
     "version=1 help=1"},
    {{"--connect-timeout", "0", "--size", "255X1000", "--version", "--help"},
     "timeout=0 size=255x1000 version=1 help=1"},
    {{"--connect-timeout=86400", "--raw", "-c3des", "-p1", "h"}, "timeout=86400 out=raw cipher=3 port=1"},
    {{"-c", "none", "--port", "65535", "--", "-odd-host"}, "cipher=0 port=65535 host=-odd-host"},
    {{"bob@corp@gw"}, "user=bob@corp host=gw"},
    {{"-l", "carol", "bob@gw"}, "user=carol host=gw"},
    // The host ends the options: what follows is the command, its own options too.
    {{"h", "ls", "-l", "/tmp"}, "host=h cmd=ls_-l_/tmp pty=0"},
    {{"-t", "h", "top"}, "cmd=top pty=1"},
    {{"-T", "h"}, "cmd= pty=0"},
    {{"--", "h", "-x"}, "host=h cmd=-x pty=0 x11=0"},
    {{"-t", "vt52", "h"}, "vt52=1 pty=1 cmd="},
    {{"-t", "vt100", "h", "x"}, "vt52=0 pty=0"},
    {{"-C", "--keepalive", "30", "--no-password-padding", "--log", "/l", "h"}, "C=6 keepalive=30 pad=0 log=/l text=0"},
    {{"--compress", "--log-text=/t", "h"}, "C=6 log=/t text=1"},
    {{"-L", "8080:db:5432", "-R9000:localhost:22", "-X", "--local-forward=[::1]:1:a:2",
      "--remote-forward", "7:b:8", "h"}, "fwd=L8080:db:5432,R9000:localhost:22,L[::1]:1:a:2,R7:b:8 x11=1"},
    {{"-X", "-x", "h"}, "x11=0"},
    {{"--host-key", md5, std::string("--host-key=") + md5Upper, "--known-hosts", "/kh", "h"},
     "hk=-/36/189,2048/250/79 kh=/kh acceptNew=0"},
    {{"--accept-new", "h"}, "acceptNew=1 hk= kh="},
    {{"-i", "a", "--identity=b", "-ic", "-o", "rsaauthentication=no", "-oPasswordAuthentication no",
      "--passphrase-file", "pp", "h"}, "ids=a,b,c pp=pp rsa=0 tis=1 pw=0"},
    {{"-o", "ChallengeResponseAuthentication=no", "-o", "RSAAuthentication=yes", "h"}, "tis=0 rsa=1 pw=1"},
    // The flags scripts pass to ssh -1.
    {{"-1", "-a", "-q", "-e", "none", "-E", "/err", "-c", "3des", "-x", "h"}, "quiet=1 escapes=0 elog=/err cipher=3 x11=0"},
    {{"-1aq", "-e~", "--error-log=/e", "h"}, "quiet=1 escapes=1 elog=/e"},
    // The configuration: a flag first, then the first value obtained, -o before the file, the
    // first matching Host block before the next; list keywords add up.
    {{"-F", "CONF", "-p", "2200", "-o", "Port=2300", "-o", "User=ops", "-i", "/k0", "lab1", "uptime"},
     "host=192.0.2.7 port=2200 user=ops cipher=6 C=6 ids=/k0,/k1,/k2 fwd=L8080:127.0.0.1:80 ask=0 "
     "keepalive=30 timeout=5 pw=0 cmd=uptime x11=1"},
    {{"-F", "CONF", "-o", "Port=2300", "-c", "none", "-x", "me@lab1"}, "port=2300 user=me cipher=0 x11=0"},
    {{"-F", "CONF", "--keepalive", "0", "--connect-timeout", "9", "--accept-new", "lab2"},
     "keepalive=0 timeout=9 acceptNew=1 ask=1"},
    {{"--config", "CONF", "elsewhere"}, "host=elsewhere user=nobody port=22 ids=/k2 keepalive=30 ask=1 x11=0 kh=/store"},
    {{"-F", "CONF", "-o", "StrictHostKeyChecking=accept-new", "elsewhere"}, "acceptNew=1"},
    {{"-F", "BAD", "h"}, "!BAD:2: unknown keyword 'ForwardAgent'"},  {{"-F", "MISSING", "h"}, "!MISSING"},
    {{"-o", "StrictHostKeyChecking=accept-new", "--host-key", md5, "h"}, "!exclude each other"},
    // Refused, with a reason.
    {{}, "!no host given"}, {{"u@"}, "!no host given"}, {{"-p", "0", "h"}, "!bad port '0'"},
    {{"-p", "65536", "h"}, "!bad port"}, {{"-p", "22x", "h"}, "!bad port"},
    {{"-p"}, "!option -p needs a value"}, {{"--port"}, "!option --port needs a value"},
    {{"-c", "des", "h"}, "!unknown cipher 'des'"},
    {{"--terminal", "xterm", "h"}, "!unknown terminal type"},
    {{"--charset", "ebcdic", "h"}, "!unknown character set"},
    {{"-t", "-T", "h"}, "!-t and -T exclude each other"},
    {{"--keepalive", "86401", "h"}, "!bad keepalive"}, {{"--size", "80", "h"}, "!bad size"},
    {{"--size", "0x24", "h"}, "!bad size"}, {{"--size", "256x24", "h"}, "!bad size"},
    {{"--size", "80x1001", "h"}, "!bad size"}, {{"-Q", "h"}, "!unknown option '-Q'"},
    {{"--bogus", "h"}, "!unknown option '--bogus'"}, {{"-L", "8080:db", "h"}, "!bad forward"},
    {{"-R", "1.2.3.4:9:a:22", "h"}, "!bad forward"},
    {{"--password=secret", "h"}, "!unknown option"},  // never a password on the command line
    {{"--verbose=yes", "h"}, "!unknown option"},
    {{"--raw", "--screen", "h"}, "!--raw and --screen exclude each other"},
    {{"@h"}, "!empty user name"}, {{"-l", "", "h"}, "!empty user name"},
    {{"--host-key", "24:87:0b", "h"}, "!bad host key fingerprint"},
    {{"--accept-new", "--host-key", md5, "h"}, "!--accept-new and --host-key exclude each other"},
    {{"--known-hosts", "a", "--known-hosts", "b", "h"}, "!more than once"},
    {{"--known-hosts", "", "h"}, "!empty known-hosts"},
    {{"--connect-timeout", "86401", "h"}, "!bad connect timeout"},
    {{"--connect-timeout", "5s", "h"}, "!bad connect timeout"},
    {{"-o", "Protocol=2", "h"}, "!-o Protocol=2: "}, {{"-e", "^", "h"}, "!escape character '^'"},
    {{"-o", "RSAAuthentication=maybe", "h"}, "!-o RSAAuthentication=maybe: "},
    {{"-i", "", "h"}, "!empty key file name"}, {{"-E", "", "h"}, "!empty log file name"},
    {{"--passphrase-file", "", "h"}, "!empty passphrase file name"},
    {{"--password-file", "", "h"}, "!empty password file name"},
    {{"-F", "", "h"}, "!empty configuration file name"},
    {{"--log", "a", "--log-text", "b", "h"}, "!one session log at a time"},
};
// clang-format on

TEST(Options, EachCommandLineComesToItsSettingsOrItsError) {
    // In the test's working folder, under the names the rows use.
    std::ofstream("CONF")
        << "Host lab*\n  HostName 192.0.2.7\n  Port 2222\n  User admin\n  Cipher blowfish\n"
           "  Compression yes\n  IdentityFile /k1\n  LocalForward 8080 127.0.0.1:80\n"
           "  StrictHostKeyChecking yes\n  ForwardX11 yes\nHost *\n  Port 22\n  User nobody\n"
           "  IdentityFile /k2\n  ServerAliveInterval 30\n  ConnectTimeout 5\n"
           "  PasswordAuthentication no\n  UserKnownHostsFile /store\n";
    std::ofstream("BAD") << "Port 22\nForwardAgent yes\n";
    for (const Row& row : rows) {
        std::vector<const char*> argv = {"corvid1-cli"};
        std::string line;
        for (const auto& w : row.words) argv.push_back(w.c_str()), line += w + " ";
        ParseResult r = parseOptions(static_cast<int>(argv.size()), argv.data());
        std::string error = r.error;
        if (r.ok) r.ok = applyConfiguration(r.options, "", error);
        const std::string& expected = row.expected;
        if (expected[0] == '!') {
            EXPECT_TRUE(!r.ok && error.find(expected.substr(1)) != std::string::npos)
                << line << error;
            continue;
        }
        ASSERT_TRUE(r.ok) << line << ": " << error;
        const std::string got = summary(r.options);
        std::istringstream want(expected);
        for (std::string word; want >> word;)
            EXPECT_NE(got.find(" " + word + " "), std::string::npos)
                << line << ": wants " << word << " in\n"
                << got;
    }
}

}  // namespace
}  // namespace corvid1::cli
