// Words for the status of a reading, as the host shows them to people.
#pragma once

#include <string>
#include <vector>

namespace Host {

// Host-side outcomes that are not library statuses: the library lacks the operation or the
// kind ("not supported"), the device could not be added ("not added"), or the unit the
// reading depends on is out of its place ("absent": not read, not a failure).
constexpr int kNotSupported = -1;
constexpr int kNotAdded = -2;
constexpr int kAbsent = -3;

// "ok", "not found", "device fault", "bad input", "no communication", "not provided",
// "failed", the two host outcomes above, and "status N" for anything else.
std::string statusWord(int status);

// Why the library refused an add, from the level-0 traces it emitted meanwhile: the first
// trace that reports a failure (later ones restate it on the way out), "" when none does.
// Traces that echo the device text only say what the library was given.
std::string refusalReason(const std::vector<std::string>& traces, const std::string& deviceText);

}  // namespace Host
