#include "session/config/ssh_config.h"

#include <cctype>
#include <fstream>

namespace corvid1 {
namespace {

constexpr std::size_t maxFileSize = 1 << 20;

enum class Form { Text, YesNo, Number, Port, Cipher, Forward, HostKeyChecking };

struct Keyword {
    const char* name;
    Form form;
    bool list;
};

constexpr Keyword keywords[] = {
    {"Host", Form::Text, false},
    {"HostName", Form::Text, false},
    {"Port", Form::Port, false},
    {"User", Form::Text, false},
    {"Cipher", Form::Cipher, false},
    {"IdentityFile", Form::Text, true},
    {"Compression", Form::YesNo, false},
    {"LocalForward", Form::Forward, true},
    {"RemoteForward", Form::Forward, true},
    {"ForwardX11", Form::YesNo, false},
    {"ServerAliveInterval", Form::Number, false},
    {"StrictHostKeyChecking", Form::HostKeyChecking, false},
    {"UserKnownHostsFile", Form::Text, false},
    {"ConnectTimeout", Form::Number, false},
    {"RSAAuthentication", Form::YesNo, false},
    {"ChallengeResponseAuthentication", Form::YesNo, false},
    {"TISAuthentication", Form::YesNo, false},
    {"PasswordAuthentication", Form::YesNo, false},
};

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const Keyword* findKeyword(std::string_view name) {
    for (const Keyword& k : keywords)
        if (sameText(name, k.name)) return &k;
    return nullptr;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool isNumber(const std::string& text, unsigned long max) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stoul(text) <= max;
}

bool validValue(const Keyword& k, const std::string& value) {
    switch (k.form) {
        case Form::Text:
            return !value.empty();
        case Form::YesNo:
            return sameText(value, "yes") || sameText(value, "no");
        case Form::Number:
            return isNumber(value, 86400);
        case Form::Port:
            return isNumber(value, 65535) && std::stoul(value) > 0;
        case Form::Cipher:
            return value == "3des" || value == "blowfish" || value == "none";
        case Form::Forward:
            return parseConfigForward(value, std::string_view(k.name) == "RemoteForward")
                .has_value();
        case Form::HostKeyChecking:
            return value == "yes" || value == "accept-new" || value == "ask";
    }
    return false;
}

const char* formText(Form form) {
    switch (form) {
        case Form::Text:
            return "a value";
        case Form::YesNo:
            return "yes or no";
        case Form::Number:
            return "a number of seconds up to 86400";
        case Form::Port:
            return "a port number";
        case Form::Cipher:
            return "3des, blowfish or none";
        case Form::Forward:
            return "[bind:]port host:hostport";
        case Form::HostKeyChecking:
            return "yes, accept-new or ask";
    }
    return "a value";
}

bool wildcard(std::string_view pattern, std::string_view text) {
    if (pattern.empty()) return text.empty();
    if (pattern[0] == '*') {
        for (std::size_t skip = 0; skip <= text.size(); ++skip)
            if (wildcard(pattern.substr(1), text.substr(skip))) return true;
        return false;
    }
    if (text.empty()) return false;
    const bool same = pattern[0] == '?' || std::tolower(static_cast<unsigned char>(pattern[0])) ==
                                               std::tolower(static_cast<unsigned char>(text[0]));
    return same && wildcard(pattern.substr(1), text.substr(1));
}

}  // namespace

std::optional<PortForward> parseConfigForward(const std::string& value, bool remote) {
    const std::size_t gap = value.find_first_of(" \t");
    if (gap == std::string::npos) return std::nullopt;
    const std::size_t rest = value.find_first_not_of(" \t", gap);
    if (rest == std::string::npos) return std::nullopt;
    return parsePortForward(value.substr(0, gap) + ":" + value.substr(rest), remote);
}

bool isListKeyword(const std::string& keyword) {
    const Keyword* k = findKeyword(keyword);
    return k != nullptr && k->list;
}

bool parseSetting(std::string_view text, ConfigSetting& out, std::string& error) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    std::size_t end = i;
    while (end < text.size() && !isBlank(text[end]) && text[end] != '=') ++end;
    const std::string_view name = text.substr(i, end - i);
    while (end < text.size() && isBlank(text[end])) ++end;
    if (end < text.size() && text[end] == '=') ++end;
    while (end < text.size() && isBlank(text[end])) ++end;
    std::string value(text.substr(end));
    while (!value.empty() && isBlank(value.back())) value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);

    const Keyword* k = findKeyword(name);
    if (k == nullptr) {
        error = "unknown keyword '" + std::string(name) + "'";
        return false;
    }
    if (!validValue(*k, value)) {
        error = std::string(k->name) + " takes " + formText(k->form) + ", not '" + value + "'";
        return false;
    }
    out.keyword = k->name;
    out.value = value;
    return true;
}

bool hostMatches(std::string_view patterns, std::string_view host) {
    bool matched = false;
    std::size_t i = 0;
    while (i < patterns.size()) {
        while (i < patterns.size() && (isBlank(patterns[i]) || patterns[i] == ',')) ++i;
        std::size_t end = i;
        while (end < patterns.size() && !isBlank(patterns[end]) && patterns[end] != ',') ++end;
        std::string_view pattern = patterns.substr(i, end - i);
        i = end;
        if (pattern.empty()) continue;
        const bool negated = pattern[0] == '!';
        if (negated) pattern.remove_prefix(1);
        if (!wildcard(pattern, host)) continue;
        if (negated) return false;
        matched = true;
    }
    return matched;
}

bool SshConfig::parse(std::string_view text, const std::string& name, std::string& error) {
    entries_.clear();
    std::string patterns;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos) stop = text.size();
        const std::string_view line = text.substr(start, stop - start);
        start = stop + 1;
        ++lineNumber;
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#') continue;
        ConfigSetting setting;
        std::string what;
        if (!parseSetting(line, setting, what)) {
            error = name + ":" + std::to_string(lineNumber) + ": " + what;
            entries_.clear();
            return false;
        }
        setting.origin = name + ":" + std::to_string(lineNumber);
        if (setting.keyword == "Host") {
            patterns = setting.value;
            continue;
        }
        entries_.push_back({patterns, std::move(setting)});
    }
    return true;
}

bool SshConfig::load(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::string text(maxFileSize + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > maxFileSize) {
        error = path + ": larger than 1 MiB";
        return false;
    }
    return parse(text, path, error);
}

std::vector<ConfigSetting> SshConfig::settingsFor(std::string_view host) const {
    std::vector<ConfigSetting> out;
    for (const Entry& entry : entries_)
        if (entry.patterns.empty() || hostMatches(entry.patterns, host))
            out.push_back(entry.setting);
    return out;
}

}  // namespace corvid1
