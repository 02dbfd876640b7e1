// Raw SMBus access to one device for the host: every SMBus protocol operation is one HAM
// batch, sent without retries, optionally followed by a fixed pause that slow devices need
// between accesses.
#pragma once

#include <cstdint>
#include <functional>

#include "Components/LogicalDevices.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Drivers {

class SmbusProxyDriver : public Component::HardwareDevice {
  public:
    // SMBus limits: a block carries an 8-bit count, at most this many data bytes.
    static constexpr unsigned kBlockMax = ZL_SMBUS_BLOCK_MAX;
    static constexpr int32_t kMicrosecondsPerMillisecond = 1000;

    // Driver arguments, read by newSmbusProxy (readSettings): pauses in milliseconds after
    // each read and each write, 0 when absent. A negative delay means no pause; a delay beyond
    // the 32-bit microsecond range is cut to it.
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("localReadDelayMs", ZL_CALL_NEW_SMBUS, ZL_READ_DECIMAL),
        Arg("localWriteDelayMs", ZL_CALL_NEW_SMBUS, ZL_READ_DECIMAL),
    };
    struct Settings {
        int32_t readDelayUs = 0;
        int32_t writeDelayUs = 0;
    };
    static Settings readSettings(const DriverSpecificArgs& args);

    class SmbusProxy final : public Component::LogicalDevice::SmbusProxy {
      public:
        SmbusProxy(SmbusProxyDriver* owner_, int32_t readDelay, int32_t writeDelay)
            : owner(owner_), readDelayUs(readDelay), writeDelayUs(writeDelay) {}
        ~SmbusProxy() = default;

        zl_status receiveByte(unsigned char* value) override;
        zl_status sendByte(unsigned char value) override;
        zl_status readByte(unsigned char command, unsigned char* value) override;
        zl_status writeByte(unsigned char command, unsigned char value) override;
        zl_status readWord(unsigned char command, unsigned short* value) override;
        zl_status writeWord(unsigned char command, unsigned short value) override;
        zl_status blockRead(unsigned char command, unsigned char* data, unsigned* length) override;
        zl_status blockWrite(unsigned char command, const unsigned char* data, unsigned length) override;
        zl_status i2cBlockRead(unsigned char command, unsigned char* data, unsigned length) override;
        zl_status i2cBlockWrite(unsigned char command, const unsigned char* data, unsigned length) override;
        zl_status processCall(unsigned char command, unsigned short value, unsigned short* result) override;

        SmbusProxyDriver* owner;  // not owned; its HAM carries every operation
        int32_t readDelayUs;
        int32_t writeDelayUs;

      private:
        // Runs after an operation of the kind whose delay is given; none when not positive.
        static zl_status pauseAfter(zl_status status, int32_t delayUs);
        // A length the SMBus count byte can't carry: traced, status 3, nothing sent.
        static bool lengthRefused(const char* operation, unsigned length);
    };

    // Sets the HAM's retry count to 0: every batch of this device asks for no retries.
    static constexpr zl_driver_entry catalogue = {"SmbusProxyDriver", ZL_KIND_BIT(ZL_KIND_SMBUS) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
    Component::LogicalDevice::SmbusProxy* newSmbusProxy(const FactoryArgs& args) override;

    // Sleeps the given number of microseconds; tests replace it to record the pauses.
    static std::function<void(uint32_t microseconds)> pause;
};

}  // namespace Drivers
