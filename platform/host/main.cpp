// zolta-host: loads the OrvikS driver library the way the platform does, adds the board's
// devices from a board file, and shows or changes them.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "HostServices.h"
#include "Options.h"

int main(int argc, char** argv) {
    using namespace Host;
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) return usage(error, kProgramHelp);
    setTraceLevel(options.traceLevel);
    std::string command = options.args.empty() ? "" : options.args[0];
    const char* help = commandHelp(command);
    if (options.version) {
        std::fputs(kVersionText, stdout);
        return kExitOk;
    }
    if (options.help) {
        std::fputs(help ? help : kProgramHelp, stdout);
        return kExitOk;
    }
    if (command.empty()) return usage("no command given", kProgramHelp);
    if (!help) return usage("unknown command " + command, kProgramHelp);
    return runCommand(options);
}
