#include "PortCpldA.h"

#include <string>

namespace Smbusd {

PortCpldAChip::PortCpldAChip() : Chip("orviks-port-cpld-a") {
    regs_[kCpldAResetN] = 0xFF;  // out of reset at power-on
    for (unsigned n = 1; n <= kCpldACages; ++n) declare("interrupt" + std::to_string(n), PropKind::Flag, "0");
}

void PortCpldAChip::propertyChanged(const std::string& name) {
    for (unsigned n = 1; n <= kCpldACages; ++n) {
        if (name != "interrupt" + std::to_string(n)) continue;
        const uint8_t mask = uint8_t(1u << qsfpCageBit(n));
        interrupts_ = flag(name) ? uint8_t(interrupts_ | mask) : uint8_t(interrupts_ & ~mask);
    }
}

bool PortCpldAChip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) {
        const uint32_t r = (reg + i) & 0xFF;
        (*out)[i] = char(r == kCpldAIntN ? qsfpIntNByte(regs_[kCpldAPresent], interrupts_) : regs_[r]);
    }
    return true;
}

bool PortCpldAChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t r = reg + uint32_t(i);
        if (r == kCpldALpMode || r == kCpldAResetN) regs_[r] = uint8_t(data[i]);
    }
    return true;
}

}  // namespace Smbusd
