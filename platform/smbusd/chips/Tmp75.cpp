#include "Tmp75.h"

#include <algorithm>
#include <cmath>

#include "Text.h"

namespace Smbusd {

namespace {

std::string bigEndian(uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; }

}  // namespace

Tmp75Chip::Tmp75Chip() : Chip("tmp75") {
    declare("temperature", PropKind::Number, "25");
    temperature_ = numberSlot("temperature");
}

std::string Tmp75Chip::temperatureBytes(double celsius, unsigned resolution) {
    double raw = std::floor(celsius * kStepsPerDegree + 1e-9);
    raw = std::max(-2048.0, std::min(2047.0, raw));
    uint16_t w = uint16_t(int(raw) * 16);
    // Bits below the resolution read 0: 9 bits keep the top bit of the low byte, 12 bits four.
    uint8_t mask = uint8_t((0xF0u << (~resolution & 3)) & 0xFF);
    return std::string{char(w >> 8), char((w & 0xFF) & mask)};
}

std::string Tmp75Chip::registerBytes(uint8_t reg) const {
    switch (reg) {
        case kRegTemperature:
            return temperatureBytes(*temperature_, (conf_ >> kResolutionShift) & kResolutionMask);
        case kRegConfiguration:
            return std::string(1, char(conf_));
        case kRegTLow:
            return bigEndian(tLow_);
        case kRegTHigh:
            return bigEndian(tHigh_);
        default:
            return std::string();
    }
}

bool Tmp75Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    std::string bytes = registerBytes(uint8_t(reg));
    if (bytes.empty()) {
        *err = "register " + hex(reg) + " does not exist";
        return false;
    }
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = bytes[i % bytes.size()];
    pointer_ = uint8_t(reg);
    return true;
}

bool Tmp75Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    if (reg > kLastRegister) {
        *err = "register " + hex(reg) + " does not exist";
        return false;
    }
    pointer_ = uint8_t(reg);
    if (data.empty()) return true;
    auto be = [&data]() {
        return uint16_t(uint8_t(data[0]) << 8 | (data.size() > 1 ? uint8_t(data[1]) : 0));
    };
    switch (reg) {
        case kRegConfiguration:
            conf_ = uint8_t(data[0]);
            break;
        case kRegTLow:
            tLow_ = be();
            break;
        case kRegTHigh:
            tHigh_ = be();
            break;
        default:
            break;  // the temperature register is read-only
    }
    return true;
}

bool Tmp75Chip::poke(uint32_t reg, const std::string& bytes, std::string* err) { return write(reg, bytes, err); }

uint8_t Tmp75Chip::peek(uint32_t reg) const {
    std::string b = reg <= kLastRegister ? registerBytes(uint8_t(reg)) : std::string();
    return b.empty() ? 0xFF : uint8_t(b[0]);
}

}  // namespace Smbusd
