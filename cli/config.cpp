// The configuration file and -o settings applied to the parsed command line, with ssh's
// precedence: a flag first, then the first value obtained, -o before the file.
#include <sys/stat.h>

#include <map>

#include "cli/options.h"
#include "session/config/ssh_config.h"

namespace corvid1::cli {
namespace {

bool yes(const std::string& value) {
    return value == "yes" || value == "Yes" || value == "YES";
}

// One setting into the options; the values were checked when they were read.
void apply(const ConfigSetting& s, CliOptions& o) {
    const std::string& k = s.keyword;
    const std::string& v = s.value;
    if (k == "HostName") {
        o.host = v;
    } else if (k == "Port") {
        o.port = static_cast<std::uint16_t>(std::stoul(v));
    } else if (k == "User") {
        o.user = v;
    } else if (k == "Cipher") {
        o.cipher = v == "3des" ? 3 : v == "blowfish" ? 6 : 0;
    } else if (k == "IdentityFile") {
        o.identityFiles.push_back(v);
    } else if (k == "Compression") {
        o.compressionLevel = yes(v) ? 6 : 0;
    } else if (k == "LocalForward" || k == "RemoteForward") {
        if (auto rule = parseConfigForward(v, k == "RemoteForward")) o.forwards.push_back(*rule);
    } else if (k == "ForwardX11") {
        o.forwardX11 = yes(v);
    } else if (k == "ServerAliveInterval") {
        o.keepaliveSeconds = std::stoi(v);
    } else if (k == "StrictHostKeyChecking") {
        o.acceptNew = v == "accept-new";
        o.askHostKey = v == "ask";
    } else if (k == "UserKnownHostsFile") {
        o.knownHostsFile = v;
    } else if (k == "ConnectTimeout") {
        o.connectTimeoutSeconds = std::stoi(v);
    } else {
        std::string ignored;  // the login methods, whose keywords were checked already
        applyLoginMethodOption(k + "=" + v, o.loginMethods, ignored);
    }
}

}  // namespace

bool applyConfiguration(CliOptions& o, const std::string& defaultFile, std::string& error) {
    std::vector<ConfigSetting> settings;
    for (const std::string& text : o.settings) {
        ConfigSetting setting;
        if (!parseSetting(text, setting, error)) {
            error = "-o " + text + ": " + error;
            return false;
        }
        setting.origin = "-o";
        settings.push_back(setting);
    }
    std::string file = o.configFile;
    struct stat info {};
    if (file.empty() && !defaultFile.empty() && stat(defaultFile.c_str(), &info) == 0)
        file = defaultFile;
    if (!file.empty()) {
        SshConfig config;
        if (!config.load(file, error)) return false;
        for (ConfigSetting& s : config.settingsFor(o.host)) settings.push_back(std::move(s));
    }
    std::set<std::string> decided = o.given;
    for (const ConfigSetting& s : settings) {
        if (s.keyword == "Host") continue;
        const bool list = isListKeyword(s.keyword);
        if (!list && !decided.insert(s.keyword).second) continue;
        apply(s, o);
    }
    // A key saved without asking and a key refused without asking cannot both be meant.
    if (o.acceptNew && !o.hostKeys.empty()) {
        error = "StrictHostKeyChecking=accept-new and --host-key exclude each other";
        return false;
    }
    return true;
}

}  // namespace corvid1::cli
