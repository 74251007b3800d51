#pragma once

#include "cli/options.h"

namespace corvid1::cli {

// Exit codes besides the remote exit status.
inline constexpr int exitOk = 0;
inline constexpr int exitUsage = 2;
inline constexpr int exitFailure = 255;  // connection, key exchange or login failed, as ssh

// Connects, logs in and runs one session as the options ask, interactive when standard input
// is a terminal and batch otherwise. Returns the process exit code.
int runClient(const CliOptions& options);

}  // namespace corvid1::cli
