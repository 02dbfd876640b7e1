// Host services for the fuzz targets: traces are dropped, timers are kept but never fire,
// and the input helpers every target shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Fuzz {

// The input as a NUL-terminated text (the library reads texts up to their first NUL).
inline std::string text(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

// A new directory for this run (in /dev/shm when there is one, else /tmp), removed when the process exits.
std::string scratchDir(const char* name);

// Reads a whole file; empty when it can't be read.
std::string readFile(const std::string& path);

}  // namespace Fuzz
