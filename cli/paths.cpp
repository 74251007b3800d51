#include "cli/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace corvid1::cli {

namespace {

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return {};
}

}  // namespace

std::string seedFilePath() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/')
        return std::string(dataHome) + "/corvid1/ssh_seedfile";
    const std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.local/share/corvid1/ssh_seedfile";
}

std::string configFilePath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/')
        return std::string(configHome) + "/corvid1/config";
    const std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.config/corvid1/config";
}

std::string localUserName() {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr)
        return entry->pw_name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

}  // namespace corvid1::cli
