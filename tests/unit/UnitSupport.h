// Small helpers shared by the unit tests: exact trace lines, driver arguments, the bus
// traffic of a FakeHam as text, and the rule a consistency failure names.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <utility>

#include "Drivers/DriverArgs.h"
#include "Utils.h"
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

// Every executed batch as text, registers in hex and values in decimal:
// "[r8:20 r16:8b r:12/4][w8:3=16 w16:3c=50+pec]" (r: a bulk read and its length).
template <class RecordingHam>  // TestHost::FakeHam
std::string traffic(const RecordingHam& ham) {
    using Op = typename RecordingHam::Op;
    std::ostringstream out;
    for (const auto& batch : ham.executed) {
        out << '[';
        for (size_t i = 0; i < batch.size(); ++i) {
            const Op& op = batch[i];
            const bool write = op.kind == Op::Write8 || op.kind == Op::Write16;
            out << (i ? " " : "")
                << (op.kind == Op::Read8    ? "r8:"
                    : op.kind == Op::Read16 ? "r16:"
                    : op.kind == Op::Read   ? "r:"
                    : op.kind == Op::Write8 ? "w8:"
                    : write                 ? "w16:"
                                            : "?:")
                << std::hex << op.reg << std::dec;
            if (op.kind == Op::Read) out << '/' << op.value;
            if (write) out << '=' << op.value << (op.pec ? "+pec" : "");
        }
        out << ']';
    }
    return out.str();
}

// The rule of the consistency failure `fn` raises, or "(none)".
inline std::string ruleOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Utils::ConsistencyError& e) {
        return e.rule();
    }
    return "(none)";
}

}  // namespace UnitSupport
