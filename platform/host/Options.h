// The command line of zolta-host: global options anywhere on the line, the command and its
// arguments, and the numbers the commands take.
#pragma once

#include <string>
#include <vector>

namespace Host {

struct Options {
    std::string board;    // "" for the default board file
    std::string library;  // "" for the default library
    int traceLevel = -1;  // -1 (none) .. 100
    double timeout = 0;   // seconds a command may take, 0 for no limit
    bool waitForService = false;  // --wait-for-service: let the library's init wait for the service
    bool colour = true;   // false with --no-color (NO_COLOR and a non-terminal are checked where used)
    bool help = false;
    bool version = false;
    std::vector<std::string> args;  // command and its arguments, global options removed
};

// Pulls the global options out of the command line, wherever they stand. The trace level
// starts from ZL_TRACE_LEVEL (none when it is unset). False with `error` when an option is unusable.
bool parseOptions(int argc, char** argv, Options* options, std::string* error);

// A whole decimal number.
bool parseLong(const std::string& text, long* value);
// Seconds from 0 to 86400, fractions allowed.
bool parseSeconds(const std::string& text, double* value);

// The board file of the source tree, else the one next to the build directory.
std::string defaultBoardPath();
// The driver library of the build the program belongs to.
std::string defaultLibraryPath();

}  // namespace Host
