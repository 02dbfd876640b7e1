// MAX6620 four-channel fan controller in closed-loop speed mode. Each channel drives a fan
// whose speed moves toward the speed the target count and speed range ask for, reaching it
// about a second after the target was programmed; the tachometer count is what the chip
// measures of that speed with the speed range in force. A stalled channel reads the longest
// count and latches its fault bit, which reading the fault register clears.
#pragma once

#include <cstdint>

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
    static constexpr uint8_t kRegTargetLastLsb = 0x27;
    // Fault register.
    static constexpr uint8_t kFaultMaskBits = 0x0F;  // the only writable bits
    static constexpr uint8_t kFaultChannel1 = 0x10;  // channel n: kFaultChannel1 << n
    // Fan dynamics: bits 7-5 the speed-range exponent k, SR = 2^k.
    static constexpr unsigned kSpeedRangeShift = 5;
    // Counts are 11 bits: MSB holds bits 10-3, LSB bits 2-0 in its bits 7-5.
    static constexpr unsigned kCountLsbShift = 5;
    static constexpr uint16_t kStalledCount = 2047;  // the longest count: stalled or too slow
    // Two tachometer pulses per revolution counted with an 8192 Hz clock: rpm = SR x 245760 / count.
    static constexpr double kCountTimesRpm = 30.0 * 8192.0;
    // A fan reaches a new target speed this long after it was programmed (in a straight ramp).
    static constexpr int64_t kSettleMs = 1000;
    // Power-on values of this board: speed range 2 and a target of about 10000 rpm.
    static constexpr uint8_t kFanDynamicsSr2 = 0x2C;
    static constexpr uint16_t kTargetCountReset = 49;

    // Conversions, without I/O.
    static unsigned speedRange(uint8_t dynamics) { return 1u << (dynamics >> kSpeedRangeShift); }
    static uint16_t countOf(uint8_t msb, uint8_t lsb) { return uint16_t((msb << 3) | (lsb >> kCountLsbShift)); }
    static uint8_t countMsb(uint16_t count) { return uint8_t(count >> 3); }
    static uint8_t countLsb(uint16_t count) { return uint8_t((count & 7) << kCountLsbShift); }
    // The speed a count stands for at a speed range; 0 for a count of 0.
    static double rpmOf(unsigned sr, uint16_t count) { return count ? sr * kCountTimesRpm / count : 0; }
    // The count measured of a fan turning at rpm, saturating at kStalledCount.
    static uint16_t measuredCount(unsigned sr, double rpm);

    Max6620Chip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<Max6620Chip>(*this); }
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool poke(uint32_t reg, const std::string& bytes, std::string* err) override;
    std::string describe() const override;

  protected:
    void propertyChanged(const std::string& name) override;

  private:
    // The fan of one channel: its speed ramps from `fromRpm` at `sinceMs` to `toRpm`.
    struct Fan {
        double fromRpm = 0;
        double toRpm = 0;
        int64_t sinceMs = 0;
    };
    static int64_t nowMs();
    bool stalled(int ch) const;
    double rpmNow(int ch, int64_t now) const;
    double targetRpm(int ch) const;
    // Starts a new ramp from the present speed to the speed the registers now ask for.
    void retarget(int ch, double fromRpm);
    uint8_t readReg(uint8_t reg);

    Fan fans_[kChannels];
    uint8_t latchedFaults_ = 0;
};

}  // namespace Smbusd
