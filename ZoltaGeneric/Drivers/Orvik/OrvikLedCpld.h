// The board's LED CPLD: every LED is a 2-bit or 4-bit field of one CPLD register, and the
// field's value selects what the LED shows. The status LED has a field value of its own for
// Beacon; the fan tray, multi-fan and multi-PSU LEDs blink in software on the shared blink
// timer. The status LED and the multi-PSU LED share one register, so every update is a
// read-modify-write of the LED's own field.
#pragma once

#include <cstdint>
#include <string>

#include "Components/Led.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Drivers {

class OrvikLedCpld : public Component::HardwareDevice {
  public:
    // Register map.
    static constexpr uint8_t kRegStatusAndPsuLeds = 7;  // status LED and multi-PSU LED fields
    static constexpr uint8_t kRegFanTrayLeds = 8;
    static constexpr uint8_t kRegMultiFanLeds = 9;
    static constexpr uint8_t kRegisterBits = 8;

    // One LED kind: its "type" text, its field and the field value of every setting.
    static constexpr int16_t kRejected = -1;
    struct Kind {
        const char* type;        // the "type" argument
        const char* name;        // the class, as the traces name it
        uint8_t reg;
        uint8_t mask;            // field mask before shifting
        bool softwareBlink;      // Beacon blinks between the Good value and 0
        int16_t values[7];       // by zl_led_status; Beacon of a software-blinking kind is its lit value
    };
    static const Kind kStatusLed;
    static const Kind kFanLed;
    static const Kind kMultiFanLed;
    static const Kind kMultiPsuLed;

    // Driver arguments of an LED, read in readLedArgs (newLed) only. "bitOffset" is the
    // field's lowest bit; "type" selects the kind (its `type` text).
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("id", ZL_CALL_NEW_LED, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"id\" ) != args.driverArgs.end()")
            .range(1, 3, "1 <= ledId && ledId <= 3"),
        Arg("bitOffset", ZL_CALL_NEW_LED, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"bitOffset\" ) != args.driverArgs.end()"),
        Arg("type", ZL_CALL_NEW_LED, ZL_READ_TEXT)
            .required(ZL_MISSING_RULE, "it != args.driverArgs.end()")
            .choices("fantray|multifan|multipsu|status"),
    };

    struct LedArgs {
        uint8_t id;
        uint8_t bitOffset;
        std::string type;
    };
    // The declared failures; a "type" of no kind is refused by newLed.
    static LedArgs readLedArgs(const FactoryArgs& args);
    // The kind whose "type" text matches exactly, or null.
    static const Kind* findKind(const std::string& type);

    class Led : public Component::LogicalDevice::Led {
      public:
        Led(OrvikLedCpld* device, const Kind& kind, uint8_t ledIndex, uint8_t bitOffset);
        ~Led() override;
        Led(const Led&) = delete;
        Led& operator=(const Led&) = delete;

        bool handleBlinkTimer(bool on) override;
        // Reads the register and writes it back with this LED's field set to value.
        zl_status updateLedReg(uint8_t value);
        // The register byte with this LED's field replaced by value (kept to 8 bits).
        uint8_t withField(uint8_t old, uint8_t value) const;

        OrvikLedCpld* device_;  // not owned
        uint8_t ledIndex_;
        uint8_t register_;
        uint8_t bitOffset_;
        uint8_t onValue_ = 0;
        uint8_t mask_;
        bool blinking_ = false;

      protected:
        zl_status applySetting(const Kind& kind, zl_led_status setting);
        void leaveBlinkList();
    };

    class StatusLed : public Led {
      public:
        StatusLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset);
        zl_status setLightSetting(zl_led_status setting) override { return applySetting(kStatusLed, setting); }
    };
    class FanLed : public Led {
      public:
        FanLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset);
        zl_status setLightSetting(zl_led_status setting) override { return applySetting(kFanLed, setting); }
    };
    class MultiFanLed : public Led {
      public:
        MultiFanLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset);
        zl_status setLightSetting(zl_led_status setting) override { return applySetting(kMultiFanLed, setting); }
    };
    class MultiPsuLed : public Led {
      public:
        MultiPsuLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset);
        zl_status setLightSetting(zl_led_status setting) override { return applySetting(kMultiPsuLed, setting); }
    };

    static constexpr zl_driver_entry catalogue = {"OrvikLedCpld", ZL_KIND_BIT(ZL_KIND_LED) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
    Component::LogicalDevice::Led* newLed(const FactoryArgs& args) override;
    ~OrvikLedCpld() override = default;
};

}  // namespace Drivers
