#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/channels/port_forward.h"

namespace corvid1 {

// One setting of an ssh_config-style file or of an "-o Keyword=value" option: the keyword in
// its canonical spelling, the value as written (quotes removed), and where it came from
// ("FILE:LINE" or "-o") for messages.
struct ConfigSetting {
    std::string keyword;
    std::string value;
    std::string origin;
};

// A LocalForward or RemoteForward value as ssh writes it, "[bind:]port host:hostport"; none
// when it is not one.
std::optional<PortForward> parseConfigForward(const std::string& value, bool remote);

// Keywords that may be given more than once, each occurrence adding a value (as ssh has
// them); for every other keyword the first value obtained wins.
bool isListKeyword(const std::string& keyword);

// "Keyword value", "Keyword=value" or "Keyword = value", keyword case-insensitive, value
// optionally in double quotes. Checks that the keyword is one this client knows and that the
// value has its keyword's form (yes/no, a number, a cipher, a forward...). False with `error`
// (without the origin) otherwise.
bool parseSetting(std::string_view text, ConfigSetting& out, std::string& error);

// ssh's host patterns: a list separated by blanks or commas of patterns with '*' and '?', each
// possibly negated with '!'. True when some pattern matches `host` and no negated one does;
// case is ignored.
bool hostMatches(std::string_view patterns, std::string_view host);

// An ssh_config-style file: settings before the first Host line apply to every host; each
// Host line starts a block for its patterns.
class SshConfig {
  public:
    // Parses `text`; false with "NAME:LINE: what is wrong" for the first line it cannot read.
    bool parse(std::string_view text, const std::string& name, std::string& error);
    // Reads and parses a file; a file that is missing is an error too (the caller decides
    // whether a missing default file matters). A file larger than 1 MiB is refused.
    bool load(const std::string& path, std::string& error);

    // The settings that apply to `host` (the name as the user typed it), in file order.
    std::vector<ConfigSetting> settingsFor(std::string_view host) const;

  private:
    struct Entry {
        std::string patterns;  // empty: before any Host line
        ConfigSetting setting;
    };
    std::vector<Entry> entries_;
};

}  // namespace corvid1
