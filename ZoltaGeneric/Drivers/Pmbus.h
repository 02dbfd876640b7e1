// Driver for a power supply unit that speaks PMBus: power-good state, input and output
// voltage, current and power, up to two fans and two temperature sensors, all read with
// standard PMBus commands through the device's HAM.
#pragma once

#include <cstdint>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "Utils.h"
#include "zl_api.h"

namespace Drivers {

class Pmbus : public Component::HardwareDevice {
  public:
    // PMBus command codes used by this driver.
    static constexpr uint8_t VOUT_MODE = 0x20;           // byte read
    static constexpr uint8_t FAN_COMMAND_1 = 0x3B;       // word write, duty in percent
    static constexpr uint8_t FAN_COMMAND_2 = 0x3C;       // word write, duty in percent
    static constexpr uint8_t STATUS_WORD = 0x79;         // word read
    static constexpr uint8_t STATUS_FANS_1_2 = 0x81;     // byte read
    static constexpr uint8_t READ_VIN = 0x88;            // LINEAR11
    static constexpr uint8_t READ_IIN = 0x89;            // LINEAR11
    static constexpr uint8_t READ_VOUT = 0x8B;           // format given by VOUT_MODE
    static constexpr uint8_t READ_IOUT = 0x8C;           // LINEAR11
    static constexpr uint8_t READ_TEMPERATURE_1 = 0x8D;  // LINEAR11
    static constexpr uint8_t READ_TEMPERATURE_2 = 0x8E;  // LINEAR11
    static constexpr uint8_t READ_FAN_SPEED_1 = 0x90;    // LINEAR11
    static constexpr uint8_t READ_FAN_SPEED_2 = 0x91;    // LINEAR11
    static constexpr uint8_t READ_POUT = 0x96;           // LINEAR11
    static constexpr uint8_t READ_PIN = 0x97;            // LINEAR11

    // STATUS_WORD bits.
    static constexpr uint16_t STATUS_OFF = 1u << 6;
    static constexpr uint16_t STATUS_POWER_GOOD_N = 1u << 11;

    // voutExponent value meaning "take the exponent from VOUT_MODE".
    static constexpr uint8_t VOUT_EXPONENT_FROM_MODE = 255;

    // Driver arguments, in the order they are read.
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("voutExponent", ZL_CALL_CREATE, ZL_READ_DECIMAL_U8),
        Arg("gpioDevice", ZL_CALL_CREATE, ZL_READ_LABEL),
        Arg("powerOkReg", ZL_CALL_CREATE, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice"),
        Arg("powerOkBit", ZL_CALL_CREATE, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice")
            .range(0, 31, nullptr),  // the register GPIO refuses other bits
        Arg("powerOkActiveLow", ZL_CALL_CREATE, ZL_READ_FLAG).when("gpioDevice"),
        Arg("fanId", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"fanId\" ) != args.driverArgs.end()")
            .range(1, 2, "fanId == 1 || fanId == 2"),
        Arg("maxFanRpm", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"maxFanRpm\" ) != args.driverArgs.end()")
            .range(1, INT_MAX, "maxFanRpm > 0"),  // the duty cycle is rpm * 100 / maxFanRpm
        Arg("pec", ZL_CALL_NEW_FAN, ZL_READ_FLAG),
        Arg("sensorId", ZL_CALL_NEW_TEMP_SENSOR, ZL_READ_DECIMAL)
            .required(ZL_MISSING_RULE, "args.driverArgs.find( \"sensorId\" ) != args.driverArgs.end()")
            .range(1, 2, "id == 1 || id == 2"),
    };
    static constexpr zl_driver_entry catalogue = {
        "Pmbus",
        ZL_KIND_BIT(ZL_KIND_TEMP_SENSOR) | ZL_KIND_BIT(ZL_KIND_FAN) | ZL_KIND_BIT(ZL_KIND_PSU) | ZL_KIND_BIT(ZL_KIND_GPIO),
        ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};

    class Psu : public Component::LogicalDevice::Psu {
      public:
        explicit Psu(Pmbus* device) : device(device) {}
        zl_status get_power_ok(int* ok) override { return device->get_power_ok(ok); }
        zl_status get_input_current(float* amps) override { return device->get_input_current(amps); }
        zl_status get_output_current(float* amps) override { return device->get_output_current(amps); }
        zl_status get_input_voltage(float* volts) override { return device->get_input_voltage(volts); }
        zl_status get_output_voltage(float* volts) override { return device->get_output_voltage(volts); }
        zl_status get_input_power(float* watts) override { return device->get_input_power(watts); }
        zl_status get_output_power(float* watts) override { return device->get_output_power(watts); }
        virtual ~Psu() = default;

        Pmbus* device;  // not owned
    };

    class Fan : public Component::LogicalDevice::Fan {
      public:
        // id 0 is fan 1; any other id is fan 2.
        Fan(Pmbus* device, uint8_t id, int maxFanRpm, bool pec);
        zl_status getRpm(int* rpm) override { return device->getFanRpm(this, rpm); }
        zl_status setRpm(int rpm) override { return device->setFanRpm(this, rpm); }

        Pmbus* device;  // not owned
        uint8_t id;
        int32_t maxFanRpm;
        uint8_t speedReg;
        uint8_t commandReg;
        uint8_t faultMask;  // bit of STATUS_FANS_1_2
        bool pec;
    };

    class TempSensor : public Component::LogicalDevice::TempSensor {
      public:
        // id 1 reads READ_TEMPERATURE_1, id 2 READ_TEMPERATURE_2.
        TempSensor(Pmbus* device, uint8_t id);
        virtual uint8_t id() const { return id_; }
        virtual uint8_t reg() const { return reg_; }
        zl_status getTemperature(float* celsius) override { return device->getTemperature(reg(), celsius); }

        Pmbus* device;  // not owned
        uint8_t id_;
        uint8_t reg_;
    };

    Pmbus(Ham::Ham* ham, uint8_t voutExponent, Component::LogicalDevice::Gpio* powerOkGpio,
          bool powerOkActiveLow);
    ~Pmbus() override;
    Pmbus(const Pmbus&) = delete;
    Pmbus& operator=(const Pmbus&) = delete;

    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    Component::LogicalDevice::TempSensor* newTempSensor(const FactoryArgs& args) override;
    Component::LogicalDevice::Fan* newFan(const FactoryArgs& args) override;
    Component::LogicalDevice::Psu* newPsu(const FactoryArgs& args) override;
    const Utils::ExpectedValues* expectedValues() override { return &values; }

    // Every operation answers 3 for a null output pointer and leaves its output alone
    // whenever it returns non-zero.
    zl_status get_power_ok(int* ok);
    zl_status get_input_current(float* amps);
    zl_status get_output_current(float* amps);
    zl_status get_input_voltage(float* volts);
    // Status 5 when VOUT_MODE announces VID or direct format, which this driver can't convert.
    zl_status get_output_voltage(float* volts);
    zl_status get_input_power(float* watts);
    zl_status get_output_power(float* watts);
    zl_status getFanRpm(Fan* fan, int* rpm);
    zl_status setFanRpm(Fan* fan, int rpm);
    zl_status getTemperature(uint8_t reg, float* celsius);

    // Reads a LINEAR11 word: signed 5-bit exponent over a signed 11-bit mantissa.
    zl_status pmbus_read_linear(uint8_t command, float* out);
    // mantissa x 2^exponent; the exponent is the low exponentBits bits of `exponent` as a
    // two's-complement number, the mantissa the low mantissaBits bits of `mantissa`, signed
    // when narrower than 16 bits and unsigned at 16.
    static float linearToReal(uint16_t mantissa, uint8_t exponent, uint8_t mantissaBits, uint8_t exponentBits);

    // Simulated registers of a PMBus supply, for the simulation HAM.
    static Utils::ExpectedValues values;

    uint8_t voutExponent;
    Component::LogicalDevice::Gpio* powerOkGpio;  // owned; null: power good from STATUS_WORD
    bool powerOkActiveLow;
};

}  // namespace Drivers
