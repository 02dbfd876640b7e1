#include "Options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#ifndef ZL_HOST_SOURCE_DIR
#define ZL_HOST_SOURCE_DIR "."
#endif
// Where an installed zolta-host finds the library and the board file, relative to its own
// directory (the install rules give them).
#ifndef ZL_HOST_LIBRARY_FROM_BIN
#define ZL_HOST_LIBRARY_FROM_BIN "../lib/libZoltaDriversOrvikS.so.0"
#endif
#ifndef ZL_HOST_BOARD_FROM_BIN
#define ZL_HOST_BOARD_FROM_BIN "../share/zolta/boards/orviks/board.json"
#endif

namespace Host {

namespace {

std::string exeDir() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    buffer[n] = '\0';
    std::string path(buffer);
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

bool parseLong(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

bool parseSeconds(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 86400) return false;
    *value = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
    const char* env = std::getenv("ZL_TRACE_LEVEL");
    long level = -1;
    if (env && *env && !parseLong(env, &level)) {
        *error = std::string("ZL_TRACE_LEVEL is not a number: ") + env;
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        if (arg == "--board") {
            if (!value(&options->board)) return false;
        } else if (arg == "--library") {
            if (!value(&options->library)) return false;
        } else if (arg == "-v" || arg == "--verbose") {
            std::string text;
            if (!value(&text)) return false;
            if (!parseLong(text, &level)) {
                *error = "-v needs a number, not " + text;
                return false;
            }
        } else if (arg == "--timeout") {
            std::string text;
            if (!value(&text)) return false;
            if (!parseSeconds(text, &options->timeout) || options->timeout <= 0) {
                *error = "--timeout needs seconds from 0 to 86400, not " + text;
                return false;
            }
        } else if (arg == "--wait-for-service") {
            options->waitForService = true;
        } else if (arg == "--no-color") {
            options->colour = false;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--version") {
            options->version = true;
        } else {
            options->args.push_back(arg);
        }
    }
    options->traceLevel = static_cast<int>(level < -1 ? -1 : level > 100 ? 100 : level);
    return true;
}

std::string defaultBoardPath() {
    std::string installed = exeDir() + "/" ZL_HOST_BOARD_FROM_BIN;
    if (readable(installed)) return installed;
    std::string fromSource = std::string(ZL_HOST_SOURCE_DIR) + "/boards/orviks/board.json";
    if (readable(fromSource)) return fromSource;
    return exeDir() + "/../../boards/orviks/board.json";
}

std::string defaultLibraryPath() {
    std::string inBuild = exeDir() + "/../libZoltaDriversOrvikS.so.0";
    if (readable(inBuild)) return inBuild;
    return exeDir() + "/" ZL_HOST_LIBRARY_FROM_BIN;
}

}  // namespace Host
