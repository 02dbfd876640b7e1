// Small helpers shared by the unit tests: exact trace lines and driver arguments.
#pragma once

#include <string>
#include <utility>

#include "Drivers/DriverArgs.h"
#include "TestHost.h"

namespace UnitSupport {

// True when one captured line at `level` is exactly `text`.
inline bool hasLine(int level, const std::string& text) {
    for (const auto& line : TestHost::traces())
        if (line.level == level && line.text == text) return true;
    return false;
}

using ArgList = std::initializer_list<std::pair<const std::string, std::string>>;

inline Drivers::FactoryArgs argsWith(ArgList list) {
    Drivers::FactoryArgs args;
    args.driverArgs = Drivers::DriverSpecificArgs(list);
    return args;
}

}  // namespace UnitSupport
