// corvid1-cli: the SSH-1.5 client for scripts and terminals, with the conventions of the ssh
// and plink command lines.
#include <cstdio>

#include "cli/client.h"
#include "cli/options.h"
#include "cli/paths.h"

#ifndef CORVID1_VERSION
#define CORVID1_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace corvid1::cli;
    ParseResult parsed = parseOptions(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "corvid1-cli: %s\n%s", parsed.error.c_str(), usageLine());
        return exitUsage;
    }
    if (parsed.options.help) {
        std::printf("%s\n%s", usageLine(), helpText());
        return exitOk;
    }
    if (parsed.options.version) {
        std::printf("corvid1-cli %s\n", CORVID1_VERSION);
        return exitOk;
    }
    std::string error;
    if (!applyConfiguration(parsed.options, configFilePath(), error)) {
        std::fprintf(stderr, "corvid1-cli: %s\n", error.c_str());
        return exitUsage;
    }
    // The terminal that --screen feeds takes both from the process-wide interpreter.
    corvid1::setRemoteCharset(parsed.options.charset);
    corvid1::selectTerminalType(parsed.options.vt52);
    return runClient(parsed.options);
}
