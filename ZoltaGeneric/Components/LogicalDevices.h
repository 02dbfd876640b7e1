// The host-facing logical devices: each holds its kind's host record and reaches the host
// through a static callback table (word 0 its size in bytes, then the callbacks).
#pragma once

#include <cstdint>
#include <string>

#include "Drivers/DriverArgs.h"
#include "zl_api.h"

namespace Ham {
class Ham;
}

namespace Component {
class HardwareDevice;

namespace LogicalDevice {

class Slot {
  public:
    Slot(uint8_t index, Drivers::DriverSpecificArgs args, const char* jsonText);
    virtual ~Slot() = default;
    // 0 when the bay holds a unit; *fdl then receives a new text the host frees.
    virtual zl_status getPresence(char** fdl) = 0;

    static zl_status getPresenceCallback(zl_slot* record, char** fdl);
    static const zl_word callbacks[ZL_SLOT_TABLE_WORDS];

    zl_slot record;
    uint8_t index;
    Drivers::DriverSpecificArgs slotArgs_;
    const char* jsonText;  // not owned
    std::string unused_;
};

class TempSensor {
  public:
    TempSensor();
    virtual ~TempSensor() = default;
    virtual void alertThresholdIs(float value) { alertThreshold = value; }
    virtual void criticalThresholdIs(float value) { criticalThreshold = value; }
    virtual zl_status getTemperature(float* celsius) = 0;

    static zl_status getTemperatureCallback(zl_temp_sensor* record, float* celsius);
    static const zl_word callbacks[ZL_TEMP_TABLE_WORDS];

    zl_temp_sensor record;
    float alertThreshold = 0;
    float criticalThreshold = 0;
};

class Fan {
  public:
    Fan();
    virtual ~Fan() = default;
    virtual zl_status debugInfo(char** info) const { return ZL_STATUS_OK; }
    virtual zl_status getRpm(int* rpm) = 0;
    virtual zl_status setRpm(int rpm) = 0;

    static zl_status debugInfoCallback(zl_fan* record, char** info);
    static zl_status getRpmCallback(zl_fan* record, int* rpm);
    static zl_status setRpmCallback(zl_fan* record, int rpm);
    static const zl_word callbacks[ZL_FAN_TABLE_WORDS];

    zl_fan record;
};

class Psu {
  public:
    Psu();
    virtual zl_status get_power_ok(int* ok) = 0;
    virtual zl_status get_input_current(float* amps) = 0;
    virtual zl_status get_output_current(float* amps) = 0;
    virtual zl_status get_input_voltage(float* volts) = 0;
    virtual zl_status get_output_voltage(float* volts) = 0;
    virtual zl_status get_input_power(float* watts) = 0;
    virtual zl_status get_output_power(float* watts) = 0;

    static zl_status get_power_ok_callback(zl_psu* record, int* ok);
    static zl_status get_input_current_callback(zl_psu* record, float* amps);
    static zl_status get_output_current_callback(zl_psu* record, float* amps);
    static zl_status get_input_voltage_callback(zl_psu* record, float* volts);
    static zl_status get_output_voltage_callback(zl_psu* record, float* volts);
    static zl_status get_input_power_callback(zl_psu* record, float* watts);
    static zl_status get_output_power_callback(zl_psu* record, float* watts);
    static const zl_word callbacks[ZL_PSU_TABLE_WORDS];

    zl_psu record;

    virtual ~Psu() = default;  // never destroyed through the host interface
};

class Gpio {
  public:
    Gpio();
    virtual ~Gpio() = default;
    virtual zl_status bitClear() = 0;
    virtual zl_status bitSet() = 0;
    virtual zl_status bitRead(unsigned* bit) = 0;

    static zl_status bitSetCallback(zl_gpio* record);
    static zl_status bitClearCallback(zl_gpio* record);
    static zl_status bitReadCallback(zl_gpio* record, unsigned* bit);
    static const zl_word callbacks[ZL_GPIO_TABLE_WORDS];

    zl_gpio record;
};

// One bit of one 8-bit register of a hardware device, through the device's HAM.
class RegGpio : public Gpio {
  public:
    // Reads "register" and "bitpos" (decimal) from args.driverArgs; throws when either is
    // missing ("it != args.driverArgs.end()") or not a number ("stoi").
    RegGpio(HardwareDevice* device, const Drivers::DriverArgs& args);
    zl_status bitClear() override;
    zl_status bitSet() override;
    zl_status bitRead(unsigned* bit) override;

    HardwareDevice* device;  // not owned
    int register_;
    int bitPosition;
};

// A bus multiplexer between a device and its accelerator: queues the requests that
// connect and disconnect its channel on the HAM of the device behind it.
class Mux {
  public:
    virtual ~Mux() = default;
    virtual unsigned selectRequest(Ham::Ham* ham) = 0;
    virtual unsigned resetRequest(Ham::Ham* ham) = 0;
    virtual zl_status executeMuxRequest() = 0;
    virtual HardwareDevice* device() const = 0;
};

// Raw SMBus protocol operations on one device address. Quick command and block process
// call are not provided unless a driver overrides them (their callbacks then answer 5).
class SmbusProxy {
  public:
    SmbusProxy();
    virtual zl_status quickCommand(int value);
    virtual zl_status receiveByte(unsigned char* value) = 0;
    virtual zl_status sendByte(unsigned char value) = 0;
    virtual zl_status readByte(unsigned char command, unsigned char* value) = 0;
    virtual zl_status writeByte(unsigned char command, unsigned char value) = 0;
    virtual zl_status readWord(unsigned char command, unsigned short* value) = 0;
    virtual zl_status writeWord(unsigned char command, unsigned short value) = 0;
    virtual zl_status blockRead(unsigned char command, unsigned char* data, unsigned* length) = 0;
    virtual zl_status blockWrite(unsigned char command, const unsigned char* data, unsigned length) = 0;
    virtual zl_status i2cBlockRead(unsigned char command, unsigned char* data, unsigned length) = 0;
    virtual zl_status i2cBlockWrite(unsigned char command, const unsigned char* data, unsigned length) = 0;
    virtual zl_status processCall(unsigned char command, unsigned short value, unsigned short* result) = 0;
    virtual zl_status blockProcessCall(unsigned char command, const unsigned char* data, unsigned char length,
                                       unsigned char* result, unsigned char* resultLength);

    static zl_status quickCommandCallback(zl_smbus* record, int value);
    static zl_status receiveByteCallback(zl_smbus* record, unsigned char* value);
    static zl_status sendByteCallback(zl_smbus* record, unsigned char value);
    static zl_status readByteCallback(zl_smbus* record, unsigned char command, unsigned char* value);
    static zl_status writeByteCallback(zl_smbus* record, unsigned char command, unsigned char value);
    static zl_status readWordCallback(zl_smbus* record, unsigned char command, unsigned short* value);
    static zl_status writeWordCallback(zl_smbus* record, unsigned char command, unsigned short value);
    static zl_status blockReadCallback(zl_smbus* record, unsigned char command, unsigned char* data,
                                       unsigned* length);
    static zl_status blockWriteCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                        unsigned length);
    static zl_status i2cBlockReadCallback(zl_smbus* record, unsigned char command, unsigned char* data,
                                          unsigned length);
    static zl_status i2cBlockWriteCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                           unsigned length);
    static zl_status processCallCallback(zl_smbus* record, unsigned char command, unsigned short value,
                                         unsigned short* result);
    static zl_status blockProcessCallCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                              unsigned char length, unsigned char* result,
                                              unsigned char* resultLength);
    static const zl_word callbacks[ZL_SMBUS_TABLE_WORDS];

    zl_smbus record;

  protected:
    ~SmbusProxy() = default;  // never destroyed through the host interface
};

}  // namespace LogicalDevice
}  // namespace Component
