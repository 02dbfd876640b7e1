#include "Max6620.h"

namespace Smbusd {

Max6620Chip::Max6620Chip() : Chip("max6620") {
    for (int ch = 0; ch < kChannels; ++ch) {
        declare("stalled" + std::to_string(ch), PropKind::Flag, "0");
        regs_[kRegFanConfiguration1 + ch] = 0x00;
        regs_[kRegFanDynamics1 + ch] = kFanDynamicsSr2;
        regs_[kRegTarget1Msb + 2 * ch] = uint8_t(kTargetCountReset >> 3);
        regs_[kRegTarget1Msb + 2 * ch + 1] = uint8_t((kTargetCountReset & 7) << kCountLsbShift);
    }
}

uint8_t Max6620Chip::readReg(uint8_t reg) {
    uint8_t stalledBits = 0;
    for (int ch = 0; ch < kChannels; ++ch) {
        if (flag("stalled" + std::to_string(ch))) stalledBits |= uint8_t(kFaultChannel1 << ch);
    }
    if (reg == kRegFault) {
        uint8_t v = uint8_t((regs_[kRegFault] & kFaultMaskBits) | latchedFaults_ | stalledBits);
        latchedFaults_ = 0;  // the chip clears the fault flags when read
        return v;
    }
    if (reg >= kRegTach1Msb && reg <= kRegTachLastLsb) {
        int ch = (reg - kRegTach1Msb) / 2;
        uint16_t count;
        if (stalledBits & (kFaultChannel1 << ch)) {
            count = kStalledCount;
            latchedFaults_ |= uint8_t(kFaultChannel1 << ch);
        } else {
            // The fan settles on its target at once.
            const uint8_t* target = regs_ + kRegTarget1Msb + 2 * ch;
            count = uint16_t((target[0] << 3) | (target[1] >> kCountLsbShift));
        }
        return (reg & 1) ? uint8_t((count & 7) << kCountLsbShift) : uint8_t(count >> 3);
    }
    return regs_[reg];
}

bool Max6620Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = char(readReg(uint8_t(reg + i)));
    pointer_ = uint8_t(reg);
    return true;
}

bool Max6620Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t r = uint8_t(reg + i);
        if (r >= kRegTach1Msb && r <= kRegTachLastLsb) continue;  // tachometer counts are read-only
        if (r == kRegFault) {
            regs_[kRegFault] = uint8_t(data[i]) & kFaultMaskBits;  // only the mask bits are writable
            continue;
        }
        regs_[r] = uint8_t(data[i]);
    }
    pointer_ = uint8_t(reg);
    return true;
}

}  // namespace Smbusd
