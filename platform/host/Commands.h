// The commands of zolta-host: show, watch, set, powercycle and check, each with its help text.
#pragma once

#include <string>

#include "Options.h"

namespace Host {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

extern const char* const kProgramHelp;

// The help text of the command named, null when there is no such command.
const char* commandHelp(const std::string& name);

// Prints the message and the help text on stderr; returns kExitUsage.
int usage(const std::string& message, const char* help);

// Runs the command options.args[0] names (which commandHelp knows) with its arguments and
// returns the exit status.
int runCommand(const Options& options);

}  // namespace Host
