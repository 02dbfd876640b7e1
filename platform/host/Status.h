// Words for the status of a reading, as the host shows them to people.
#pragma once

#include <string>

namespace Host {

// Host-side outcomes that are not library statuses: the library lacks the operation or the
// kind ("not supported"), or the device could not be added ("not added").
constexpr int kNotSupported = -1;
constexpr int kNotAdded = -2;

// "ok", "not found", "device fault", "bad input", "no communication", "not provided",
// "failed", the two host outcomes above, and "status N" for anything else.
std::string statusWord(int status);

}  // namespace Host
