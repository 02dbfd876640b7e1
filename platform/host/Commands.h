// The commands of zolta-host: show, watch, set, powercycle and check, each with its help text.
#pragma once

#include <string>

#include "Options.h"

namespace Host {

// Exit statuses: a monitoring script branches on them.
constexpr int kExitOk = 0;      // every reading succeeded, no alarm
constexpr int kExitFailed = 1;  // some readings (or the operation) failed
constexpr int kExitUsage = 2;   // the command line is wrong
constexpr int kExitConfig = 3;  // board file, library or SMBus service unusable; --timeout passed
constexpr int kExitAlarm = 4;   // a temperature at or above its alert or critical limit

// "zolta-host 1.0.0"
extern const char* const kVersionText;

extern const char* const kProgramHelp;

// The help text of the command named, null when there is no such command.
const char* commandHelp(const std::string& name);

// Prints the message and the help text on stderr; returns kExitUsage.
int usage(const std::string& message, const char* help);

// Runs the command options.args[0] names (which commandHelp knows) with its arguments and
// returns the exit status. With options.timeout the process ends with kExitConfig and a
// message when the command has not finished in time.
int runCommand(const Options& options);

}  // namespace Host
