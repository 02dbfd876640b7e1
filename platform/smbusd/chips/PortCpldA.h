// Port CPLD A of the OrvikS board: the sideband lines of the 6 QSFP cages, one bit per cage.
// LP holds the low-power bits with each cage pair swapped (cage n at bit n for odd n, n-2 for
// even n); PRESENT is driven by the module EEPROMs (bindings); RESET_N and INT_N are active
// low. INT_N reads low only for a plugged module with a forced interrupt. LP and RESET_N are
// the host's control registers; writes elsewhere are ignored.
#pragma once

#include <cstdint>

#include "Chip.h"

namespace Smbusd {

constexpr uint8_t kCpldALpMode = 0x0B;   // 1 = low-power mode (pair-swapped bits)
constexpr uint8_t kCpldAPresent = 0x0C;  // 1 = module present
constexpr uint8_t kCpldAResetN = 0x0D;   // 0 = module held in reset
constexpr uint8_t kCpldAIntN = 0x0E;     // 0 = module interrupt asserted
constexpr unsigned kCpldACages = 6;
constexpr uint8_t kCpldACageMask = 0x3F;

constexpr uint8_t qsfpCageBit(unsigned cage) { return uint8_t(cage - 1); }
constexpr uint8_t qsfpLpBit(unsigned cage) { return uint8_t(cage % 2 ? cage : cage - 2); }
// INT_N as the bus reads it: low for cages with a module and a pending interrupt.
constexpr uint8_t qsfpIntNByte(uint8_t present, uint8_t interrupts) { return uint8_t(~(present & interrupts)); }

class PortCpldAChip : public Chip {
  public:
    PortCpldAChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<PortCpldAChip>(*this); }
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;

  protected:
    void propertyChanged(const std::string& name) override;

  private:
    uint8_t interrupts_ = 0;
};

}  // namespace Smbusd
