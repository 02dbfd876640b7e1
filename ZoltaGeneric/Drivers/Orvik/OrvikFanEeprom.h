// The fan tray EEPROM: one byte at a configured offset tells the tray's airflow direction.
// The driver offers it as a read-only GPIO: 0 front-to-back, 1 back-to-front.
#pragma once

#include <cstdint>

#include "Components/LogicalDevices.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Drivers {

class OrvikFanEeprom : public Component::HardwareDevice {
  public:
    // GPIO values of the two directions.
    static constexpr unsigned kFrontToBack = 0;
    static constexpr unsigned kBackToFront = 1;

    // Driver arguments of the GPIO, all read by newGpio (readAirflowArgs).
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("offset", ZL_CALL_NEW_GPIO, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "offsetIt != args.driverArgs.end()"),
        Arg("f2bVal", ZL_CALL_NEW_GPIO, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "f2bValIt != args.driverArgs.end()"),
        Arg("b2fVal", ZL_CALL_NEW_GPIO, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "b2fValIt != args.driverArgs.end()"),
    };
    struct AirflowArgs {
        uint8_t offset = 0;  // EEPROM offset of the airflow byte
        uint8_t f2bVal = 0;  // byte value meaning front-to-back
        uint8_t b2fVal = 0;  // byte value meaning back-to-front
    };
    static AirflowArgs readAirflowArgs(const DriverSpecificArgs& args);

    class AirflowGpio : public Component::LogicalDevice::Gpio {
      public:
        AirflowGpio(OrvikFanEeprom* device, const AirflowArgs& args)
            : device_(device), offset_(args.offset), f2bVal_(args.f2bVal), b2fVal_(args.b2fVal) {}
        ~AirflowGpio() override = default;

        // The airflow byte is never written: both succeed without touching the EEPROM.
        zl_status bitClear() override { return ZL_STATUS_OK; }
        zl_status bitSet() override { return ZL_STATUS_OK; }
        zl_status bitRead(unsigned* bit) override;

        OrvikFanEeprom* device_;  // not owned
        uint8_t offset_;
        uint8_t f2bVal_;
        uint8_t b2fVal_;
    };

    ~OrvikFanEeprom() override = default;

    static constexpr zl_driver_entry catalogue = {"OrvikFanEeprom", ZL_KIND_BIT(ZL_KIND_GPIO), 0, catalogueArgs,
                                                  std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
    Component::LogicalDevice::Gpio* newGpio(const FactoryArgs& args) override;
};

}  // namespace Drivers
