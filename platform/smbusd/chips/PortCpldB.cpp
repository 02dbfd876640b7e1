#include "PortCpldB.h"

#include <string>

namespace Smbusd {

namespace {
bool inGroup(uint32_t reg, uint8_t base) { return reg >= base && reg < base + kCpldBGroupRegs; }
}  // namespace

PortCpldBChip::PortCpldBChip() : Chip("orviks-port-cpld-b") {
    for (unsigned n = 1; n <= kCpldBCages; ++n) {
        declare("tx_fault" + std::to_string(n), PropKind::Flag, "0");
        declare("rx_los" + std::to_string(n), PropKind::Flag, "0");
    }
}

void PortCpldBChip::propertyChanged(const std::string& name) {
    for (unsigned n = 1; n <= kCpldBCages; ++n) {
        const std::string num = std::to_string(n);
        uint8_t* bank = name == "tx_fault" + num ? forcedFault_ : name == "rx_los" + num ? forcedLos_ : nullptr;
        if (!bank) continue;
        const uint8_t mask = uint8_t(1u << sfpCageBit(n));
        bank[sfpCageReg(n)] = flag(name) ? uint8_t(bank[sfpCageReg(n)] | mask) : uint8_t(bank[sfpCageReg(n)] & ~mask);
        return;
    }
}

uint8_t PortCpldBChip::busByte(uint32_t reg) const {
    if (inGroup(reg, kCpldBRxLos))
        return sfpRxLosByte(regs_[kCpldBPresent + reg - kCpldBRxLos], forcedLos_[reg - kCpldBRxLos]);
    if (inGroup(reg, kCpldBTxFault))
        return sfpTxFaultByte(regs_[kCpldBPresent + reg - kCpldBTxFault], forcedFault_[reg - kCpldBTxFault]);
    return regs_[reg & 0xFF];
}

bool PortCpldBChip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = char(busByte(reg + i));
    return true;
}

bool PortCpldBChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    for (size_t i = 0; i < data.size(); ++i)
        if (inGroup(uint32_t(reg + i), kCpldBTxDisable)) regs_[reg + i] = uint8_t(data[i]);
    return true;
}

}  // namespace Smbusd
