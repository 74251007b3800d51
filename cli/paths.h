#pragma once

#include <string>

namespace corvid1::cli {

// The random pool's seed file: $XDG_DATA_HOME/corvid1/ssh_seedfile when XDG_DATA_HOME is an
// absolute path (relative values are ignored, as the XDG rules ask), else
// ~/.local/share/corvid1/ssh_seedfile. Empty when no home folder can be found; the pool then
// has no file to carry its state in.
std::string seedFilePath();

// The configuration file read when -F names none: $XDG_CONFIG_HOME/corvid1/config (an absolute
// XDG_CONFIG_HOME), else ~/.config/corvid1/config; empty without a home folder.
std::string configFilePath();

// The local login name, used when neither -l nor "user@" names one; empty if unknown.
std::string localUserName();

}  // namespace corvid1::cli
