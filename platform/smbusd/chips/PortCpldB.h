// Port CPLD B of the OrvikS board: the sideband lines of the 48 SFP cages. Cage n is bit
// (n-1)%8 of the register at a group base + (n-1)/8. PRESENT is driven by the module EEPROMs
// (bindings); RX_LOS reads set for an empty cage or a forced loss, TX_FAULT only for a
// plugged module with a forced fault; TX_DISABLE is the host's control register. Writes to
// the status registers are ignored, as the part does.
#pragma once

#include <cstdint>

#include "Chip.h"

namespace Smbusd {

constexpr uint8_t kCpldBPresent = 0x02;    // 0x02-0x07, 1 = module present
constexpr uint8_t kCpldBTxDisable = 0x08;  // 0x08-0x0D, 1 = transmitter disabled
constexpr uint8_t kCpldBRxLos = 0x0E;      // 0x0E-0x13, 1 = receiver loss of signal
constexpr uint8_t kCpldBTxFault = 0x14;    // 0x14-0x19, 1 = transmitter fault
constexpr unsigned kCpldBGroupRegs = 6;
constexpr unsigned kCpldBCages = 48;

// Register offset in a group and bit of cage n (1..48).
constexpr uint8_t sfpCageReg(unsigned cage) { return uint8_t((cage - 1) / 8); }
constexpr uint8_t sfpCageBit(unsigned cage) { return uint8_t((cage - 1) % 8); }

// A status byte as the bus reads it, from the presence byte and the forced bits.
constexpr uint8_t sfpRxLosByte(uint8_t present, uint8_t forcedLos) { return uint8_t(~present | forcedLos); }
constexpr uint8_t sfpTxFaultByte(uint8_t present, uint8_t forcedFault) { return uint8_t(present & forcedFault); }

class PortCpldBChip : public Chip {
  public:
    PortCpldBChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<PortCpldBChip>(*this); }
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;

  protected:
    void propertyChanged(const std::string& name) override;

  private:
    uint8_t busByte(uint32_t reg) const;
    uint8_t forcedLos_[kCpldBGroupRegs] = {};
    uint8_t forcedFault_[kCpldBGroupRegs] = {};
};

}  // namespace Smbusd
