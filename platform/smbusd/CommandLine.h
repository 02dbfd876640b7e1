// What the command lines of the stand-in tools share: --help and --version print on stdout and
// exit 0; a wrong command line prints the problem and a hint on stderr and exits 2.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <utility>

#ifndef ZL_VERSION
#define ZL_VERSION "unknown"
#endif

namespace Smbusd {

constexpr int kExitUsage = 2;

// Adds --version ("NAME VERSION") to `app`.
inline void addVersionFlag(CLI::App& app) { app.set_version_flag("--version", app.get_name() + " " + ZL_VERSION); }

// Help with usage lines of its own, for a program whose words after the options are no
// options of the parser (a command and its arguments).
class UsageFormatter : public CLI::Formatter {
  public:
    explicit UsageFormatter(std::string usage) : usage_(std::move(usage)) {}
    std::string make_usage(const CLI::App*, std::string) const override { return usage_; }

  private:
    std::string usage_;
};

inline void setUsage(CLI::App& app, std::string usage) {
    app.formatter(std::make_shared<UsageFormatter>(std::move(usage)));
}

// Parses the command line: -1 to go on, else the exit status to leave with.
inline int parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }
    return -1;
}

}  // namespace Smbusd
