// MAX6620 four-channel fan controller: a register file whose tachometer counts follow the
// target counts at once; a stalled channel reads the longest count and latches its fault bit,
// which reading the fault register clears.
#pragma once

#include "Chip.h"

namespace Smbusd {

class Max6620Chip : public Chip {
  public:
    static constexpr int kChannels = 4;
    // Register map.
    static constexpr uint8_t kRegFault = 0x01;             // bits 7-4 channel faults, 3-0 masks
    static constexpr uint8_t kRegFanConfiguration1 = 0x02;  // .. 0x05, one per channel
    static constexpr uint8_t kRegFanDynamics1 = 0x06;       // .. 0x09
    static constexpr uint8_t kRegTach1Msb = 0x10;           // .. 0x17: MSB, LSB per channel, read-only
    static constexpr uint8_t kRegTachLastLsb = 0x17;
    static constexpr uint8_t kRegTarget1Msb = 0x20;         // .. 0x27: MSB, LSB per channel
    // Fault register.
    static constexpr uint8_t kFaultMaskBits = 0x0F;  // the only writable bits
    static constexpr uint8_t kFaultChannel1 = 0x10;  // channel n: kFaultChannel1 << n
    // Counts are 11 bits: MSB holds bits 10-3, LSB bits 2-0 in its bits 7-5.
    static constexpr unsigned kCountLsbShift = 5;
    static constexpr uint16_t kStalledCount = 2047;
    // Power-on values of this board: speed range 2 and a target of about 10000 rpm.
    static constexpr uint8_t kFanDynamicsSr2 = 0x2C;
    static constexpr uint16_t kTargetCountReset = 49;

    Max6620Chip();
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;

  private:
    uint8_t readReg(uint8_t reg);
    uint8_t latchedFaults_ = 0;
};

}  // namespace Smbusd
