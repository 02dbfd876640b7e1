// MAX6620 four-channel fan-speed controller on an SMBus. Every channel runs in closed-loop
// speed mode: a speed is programmed as a target tachometer count within a speed range, and
// read back from the measured tachometer count. Fan faults the chip reports are latched in
// the driver and reported once, by the next speed reading of that channel.
#pragma once

#include <cstdint>

#include "Components/LogicalDevices.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Drivers {

class Max6620 : public Component::HardwareDevice {
  public:
    // Register map (channel ch = 0..3).
    static constexpr uint32_t kRegFanFault = 0x01;       // bits 7-4: fault flags of channels 3-0
    static constexpr uint32_t kRegFanConfig = 0x02;      // + ch
    static constexpr uint32_t kRegFanDynamics = 0x06;    // + ch; bits 7-5 speed-range exponent k
    static constexpr uint32_t kRegTachCount = 0x10;      // + 2 ch, 16-bit read
    static constexpr uint32_t kRegTargetCount = 0x20;    // + 2 ch, 16-bit write
    static constexpr uint8_t kChannels = 4;
    static constexpr unsigned kFaultFlagsShift = 4;

    // Fan configuration: closed-loop (RPM) mode with the tachometer input enabled.
    static constexpr uint8_t kConfigClosedLoop = 0xE0;
    // Fan dynamics: k in bits 7-5, the rate-of-change field (bits 4-2) at 011, bits 1-0 clear.
    static constexpr unsigned kSpeedRangeShift = 5;
    static constexpr uint8_t kDynamicsRateOfChange = 0x0C;
    static constexpr uint8_t kMaxSpeedRangeExponent = 5;  // SR 32, used at init

    // Two tachometer pulses per revolution, 8192 Hz tachometer clock: rpm = SR x 245760 / count.
    static constexpr int32_t kRpmCountFactor = 30 * 8192;
    // The 11-bit count field; 2047 means stalled and is never programmed.
    static constexpr int64_t kMinTargetCount = 1;
    static constexpr int64_t kMaxTargetCount = 2046;

    // Driver arguments, in the order they are read (readMaxId, then readFanArgs).
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("maxId", ZL_CALL_CREATE, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "maxIdIt != args.driverArgs.end()"),
        Arg("id", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_RULE, "it != args.driverArgs.end()")
            .range(1, 8, "1 <= fanId && fanId <= 8"),
        // Channels beyond the fourth would address other registers of the chip.
        Arg("regOffset", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_RULE, "it != args.driverArgs.end()")
            .range(0, kChannels - 1, "regOffset < kChannels"),
        // Refused with a trace: a fan needs a positive speed to start at.
        Arg("maxRpm", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL)
            .required(ZL_MISSING_RULE, "it != args.driverArgs.end()")
            .range(1, INT_MAX, nullptr),
    };

    struct FanArgs {
        uint8_t fanId;
        uint8_t regOffset;
        int32_t maxRpm;
    };

    class Fan : public Component::LogicalDevice::Fan {
      public:
        // Stores the fields and initialises the channel.
        Fan(Max6620* device, uint8_t fanId, uint8_t regOffset, int maxRpm);
        zl_status getRpm(int* rpm) override { return device->getFanRpm(this, rpm); }
        zl_status setRpm(int rpm) override { return device->setFanRpm(this, rpm); }

        Max6620* device;  // not owned
        uint8_t fanId;
        uint8_t regOffset;  // the chip channel
        int32_t maxRpm;
        uint8_t speedRange = 32;  // SR currently programmed
        // The channel got its configuration; until then every operation retries it, so a
        // fan whose initialisation met a silent bus works once the bus answers.
        bool configured = false;
    };

    explicit Max6620(uint8_t maxId) : maxId(maxId) {}

    static constexpr zl_driver_entry catalogue = {"Max6620", ZL_KIND_BIT(ZL_KIND_FAN) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
    Component::LogicalDevice::Fan* newFan(const FactoryArgs& args) override;

    // Argument readers: the declared failures; a "maxRpm" of 0 or below is traced and gives
    // false.
    static uint8_t readMaxId(const FactoryArgs& args);
    static bool readFanArgs(const FactoryArgs& args, FanArgs* out);

    void readFanFaultReg();
    bool checkFaultBit(uint8_t ch) const { return (faultBits >> ch) & 1u; }
    void clearFaultBit(uint8_t ch) { faultBits = static_cast<uint8_t>(faultBits & ~(1u << ch)); }
    void fanInit(Fan* fan);
    zl_status getFanRpm(Fan* fan, int* rpm);
    zl_status setFanRpm(Fan* fan, int rpm);

    // Conversions (no I/O).
    // Speed-range exponent k (SR = 2^k) of the band that holds rpm.
    static uint8_t speedRangeExponent(int rpm);
    // 2^k x 245760 / rpm, truncated; 0 for rpm <= 0 (no count, refused like any value
    // outside 1..2046).
    static int64_t targetCount(uint8_t k, int rpm);
    static bool targetInRange(int64_t count) { return count >= kMinTargetCount && count <= kMaxTargetCount; }
    static uint8_t dynamicsValue(uint8_t k) {
        return static_cast<uint8_t>((k << kSpeedRangeShift) | kDynamicsRateOfChange);
    }
    // The chip keeps a count left-justified in its byte pair (bits 10-3, then bits 2-0 at the
    // top of the second byte); in the SMBus word (first byte low) that is a rotation by 3.
    static uint16_t countToWord(uint16_t count) { return static_cast<uint16_t>((count >> 3) | (count << 13)); }
    static uint16_t wordToCount(uint16_t word) { return static_cast<uint16_t>((word << 3) | (word >> 13)); }
    // SR x 245760 / count; the caller refuses a count of 0.
    static int32_t countToRpm(uint8_t speedRange, uint16_t count) {
        return static_cast<int32_t>(speedRange) * kRpmCountFactor / count;
    }

    uint8_t maxId;
    uint8_t faultBits = 0;  // latched fault flags, bit n for channel n

  private:
    void latchFaults(zl_status status, uint8_t value);
};

}  // namespace Drivers
