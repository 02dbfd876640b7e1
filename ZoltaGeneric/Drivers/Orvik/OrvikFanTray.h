// The board's three fan tray bays. The fan tray owns no hardware: for each bay it adds the
// tray's presence and airflow GPIOs through the host GPIO component and makes a slot that
// describes a present tray with a text from the bay's template.
#pragma once

#include <cstdint>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"
#include "Drivers/Helpers.h"

namespace Drivers {

class OrvikFanTray : public Component::MultiDevice {
  public:
    // Slot driver arguments, all required, all read by readSlotArgs when newSlot makes a bay
    // (before any member GPIO is added, so a broken rule leaves the tray as it was). "fanFdl"
    // is a template with {airflowDirection}, {maxRpm} and {modelName}; "rpmF2B" and "rpmB2F"
    // are the texts for {maxRpm} with each airflow. Then the members of the bay's GPIOs, from
    // "multiDeviceArgs": presence (0 means a tray is present) and airflow (0: front-to-back).
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("slotId", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"slotId\" ) != args.driverArgs.end()")
            .range(1, 3, "1 <= slotId && slotId <= 3"),
        Arg("fanFdl", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).required(ZL_MISSING_RULE, "fdlIt != slotArgs_.end()"),
        Arg("rpmF2B", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).required(ZL_MISSING_RULE, "f2bIt != slotArgs_.end()"),
        Arg("rpmB2F", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).required(ZL_MISSING_RULE, "b2fIt != slotArgs_.end()"),
        Arg("modelName", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).required(ZL_MISSING_RULE, "modelIt != slotArgs_.end()"),
        Arg("presenceGpio#", ZL_CALL_NEW_SLOT, ZL_READ_GPIO_MEMBER).when("slotId"),
        Arg("airflowGpio#", ZL_CALL_NEW_SLOT, ZL_READ_GPIO_MEMBER).when("slotId"),
    };

    struct SlotArgs {
        uint8_t slotId = 0;
        std::string fanFdl;
        std::string rpmF2B;
        std::string rpmB2F;
        std::string modelName;
    };
    // Throws Utils::ConsistencyError (traced) naming the broken rule.
    static SlotArgs readSlotArgs(const DriverSpecificArgs& args);

    class FanSlot : public Component::LogicalDevice::Slot {
      public:
        // The bay slotId - 1 with its GPIO records (either may be null) and arguments.
        FanSlot(const SlotArgs& values, zl_gpio* presenceGpio, zl_gpio* airflowGpio, const DriverSpecificArgs& args,
                const char* jsonText);
        ~FanSlot() override;
        FanSlot(const FanSlot&) = delete;
        FanSlot& operator=(const FanSlot&) = delete;

        zl_status getPresence(char** fdl) override;

        FormatFdl fdl_;
        char* cachedFdl_ = nullptr;  // strdup copy, owned; null when none
        std::string rpmF2B_;
        std::string rpmB2F_;
        std::string modelName_;
        zl_gpio* presenceGpio_;  // not owned; 0 means a tray is present
        zl_gpio* airflowGpio_;   // not owned; 0 means front-to-back

      private:
        void clearCache();
        // Reads a GPIO through its host callback; 5 when the bay has no such GPIO.
        zl_status readGpio(zl_gpio* gpio, const char* what, unsigned* value) const;
    };

    ~OrvikFanTray() override = default;

    static constexpr zl_driver_entry catalogue = {"OrvikFanTray", ZL_KIND_BIT(ZL_KIND_SLOT), ZL_DRIVER_MULTI,
                                                  catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
    Component::LogicalDevice::Slot* newSlot(const FactoryArgs& args) override;
};

}  // namespace Drivers
