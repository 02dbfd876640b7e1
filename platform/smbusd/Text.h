// Texts of the service: numbers as the state file and the control commands write them, and
// hex as the log and the control output show bytes.
#pragma once

#include <cstdint>
#include <string>

namespace Smbusd {

// Number parsing (decimal, 0x hex, floating point; blanks around are ignored).
bool parseNumber(const std::string& text, double* out);
bool parseUnsigned(const std::string& text, uint64_t* out);
// 1/0, true/false, on/off, yes/no (any case), or a number (non-zero is true).
bool parseFlag(const std::string& text, bool* out);

std::string trimmed(const std::string& text);
// Integers without a fraction, everything else with up to 10 significant digits.
std::string formatNumber(double value);
// "0x" and at least `width` hex digits.
std::string hex(uint64_t value, int width = 2);
// An SMBus word as it goes over the bus: low byte first.
std::string wordBytes(uint16_t value);
// Bytes as "12 ab ...", at most `max` of them.
std::string hexBytes(const std::string& bytes, size_t max = 64);

}  // namespace Smbusd
