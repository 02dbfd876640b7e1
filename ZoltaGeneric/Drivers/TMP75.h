// TMP75 digital temperature sensor on an SMBus: set to 11-bit resolution at start, one
// temperature reading per request.
#pragma once

#include <cstdint>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Drivers {

class TMP75 : public Component::HardwareDevice {
  public:
    // Register map (8-bit register numbers).
    static constexpr uint32_t kRegTemperature = 0x00;    // 16-bit read
    static constexpr uint32_t kRegConfiguration = 0x01;  // 8-bit write
    // Configuration: converter resolution R1 R0 = 10 (11 bits, 0.125 degree steps), all
    // other bits 0 (continuous conversion, comparator mode).
    static constexpr uint8_t kConfig11BitResolution = 0x40;
    static constexpr float kDegreesPerFractionStep = 0.125f;

    // No driver arguments; its GPIOs are register GPIOs.
    static constexpr zl_driver_entry catalogue = {"TMP75", ZL_KIND_BIT(ZL_KIND_TEMP_SENSOR) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, nullptr, 0};

    // The sensor's logical device: forwards readings to its driver.
    class TempSensor : public Component::LogicalDevice::TempSensor {
      public:
        explicit TempSensor(TMP75* driver) : driver_(driver) {}
        zl_status getTemperature(float* celsius) override { return driver_->getTemperature(celsius); }

      private:
        TMP75* driver_;  // not owned
    };

    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    void init() override;
    Component::LogicalDevice::TempSensor* newTempSensor(const FactoryArgs& args) override;

    zl_status getTemperature(float* celsius);
    // The word read delivers the integer degrees (signed) in the low byte and the
    // left-justified fraction in the high byte; only its top three bits count.
    static float registerToTemperature(uint16_t raw);
};

}  // namespace Drivers
