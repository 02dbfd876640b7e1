#include "Drivers/Pmbus.h"

#include <cmath>

#include "Drivers/Helpers.h"

namespace Drivers {

namespace {

// Sign-extends the low `bits` bits of `raw`.
int32_t signExtend(uint32_t raw, unsigned bits) {
    if (bits == 0) return 0;
    if (bits >= 32) return static_cast<int32_t>(raw);
    const uint32_t mask = (1u << bits) - 1;
    raw &= mask;
    const uint32_t sign = 1u << (bits - 1);
    return static_cast<int32_t>(raw ^ sign) - static_cast<int32_t>(sign);
}

}  // namespace

// Built when the library is loaded; only read through expectedValues() afterwards.
Utils::ExpectedValues Pmbus::values = {
    {Pmbus::VOUT_MODE, Utils::ExpectedVal(0x17, 1)},            // linear, exponent -9
    {Pmbus::STATUS_WORD, Utils::ExpectedVal(0x2C4B, 2)},
    {Pmbus::READ_VIN, Utils::ExpectedVal(0xC800, 2)},           // 0.0
    {Pmbus::READ_IIN, Utils::ExpectedVal(0xA800, 2)},           // 0.0
    {Pmbus::READ_VOUT, Utils::ExpectedVal(0x00, 1)},
    {Pmbus::READ_IOUT, Utils::ExpectedVal(0xE000, 2)},          // 0.0
    {Pmbus::READ_TEMPERATURE_1, Utils::ExpectedVal(0xF84C, 2)},  // 38.0
    {Pmbus::READ_TEMPERATURE_2, Utils::ExpectedVal(0xF800, 2)},  // 0.0
    {Pmbus::READ_FAN_SPEED_1, Utils::ExpectedVal(0x1B69, 2)},   // 873 x 2^3
    {Pmbus::READ_POUT, Utils::ExpectedVal(0xD800, 2)},          // 0.0
    {Pmbus::READ_PIN, Utils::ExpectedVal(0xD800, 2)},           // 0.0
};

Pmbus::Fan::Fan(Pmbus* device, uint8_t id, int maxFanRpm, bool pec)
    : device(device),
      id(id),
      maxFanRpm(maxFanRpm),
      speedReg(id == 0 ? READ_FAN_SPEED_1 : READ_FAN_SPEED_2),
      commandReg(id == 0 ? FAN_COMMAND_1 : FAN_COMMAND_2),
      faultMask(id == 0 ? 0x80 : 0x40),
      pec(pec) {}

Pmbus::TempSensor::TempSensor(Pmbus* device, uint8_t id)
    : device(device), id_(id), reg_(id == 1 ? READ_TEMPERATURE_1 : READ_TEMPERATURE_2) {}

Pmbus::Pmbus(Ham::Ham* h, uint8_t voutExponent, Component::LogicalDevice::Gpio* powerOkGpio,
             bool powerOkActiveLow)
    : voutExponent(voutExponent), powerOkGpio(powerOkGpio), powerOkActiveLow(powerOkActiveLow) {
    ham = h;
}

Pmbus::~Pmbus() { delete powerOkGpio; }

Component::DeviceBase* Pmbus::create(const FactoryArgs& args, Ham::Ham* ham) {
    zl_trace(0, "Creating Pmbus Device");
    ArgReader r(catalogue, ZL_CALL_CREATE, args.driverArgs);
    const uint8_t voutExponent = static_cast<uint8_t>(r.number("voutExponent").value_or(VOUT_EXPONENT_FROM_MODE));
    const std::string* gpioDevice = r.text("gpioDevice");
    if (gpioDevice == nullptr) return new Pmbus(ham, voutExponent, nullptr, true);

    const unsigned reg = static_cast<unsigned>(*r.number("powerOkReg"));
    const unsigned bit = static_cast<unsigned>(*r.number("powerOkBit"));
    const bool activeLow = r.flag("powerOkActiveLow", true);
    Component::LogicalDevice::Gpio* gpio = getRegGpioForDevice(gpioDevice->c_str(), reg, bit);
    return new Pmbus(ham, voutExponent, gpio, activeLow);
}

Component::LogicalDevice::Psu* Pmbus::newPsu(const FactoryArgs&) {
    zl_trace(0, "Creating Pmbus Psu Device");
    return new Psu(this);
}

Component::LogicalDevice::Fan* Pmbus::newFan(const FactoryArgs& args) {
    zl_trace(0, "Creating Pmbus Fan Device");
    ArgReader r(catalogue, ZL_CALL_NEW_FAN, args.driverArgs);
    const int fanId = *r.number("fanId");
    const int maxFanRpm = *r.number("maxFanRpm");
    const bool pec = r.flag("pec", false);
    return new Fan(this, static_cast<uint8_t>(fanId - 1), maxFanRpm, pec);
}

Component::LogicalDevice::TempSensor* Pmbus::newTempSensor(const FactoryArgs& args) {
    zl_trace(0, "Creating Pmbus TempSensor Device");
    const int id = *ArgReader(catalogue, ZL_CALL_NEW_TEMP_SENSOR, args.driverArgs).number("sensorId");
    return new TempSensor(this, static_cast<uint8_t>(id));
}

float Pmbus::linearToReal(uint16_t mantissa, uint8_t exponent, uint8_t mantissaBits, uint8_t exponentBits) {
    const int32_t e = signExtend(exponent, exponentBits > 8 ? 8 : exponentBits);
    int32_t m;
    if (mantissaBits >= 16)
        m = mantissa;
    else
        m = signExtend(mantissa, mantissaBits);
    return std::ldexp(static_cast<float>(m), e);
}

zl_status Pmbus::pmbus_read_linear(uint8_t command, float* out) {
    if (out == nullptr) return ZL_STATUS_BAD_INPUT;
    uint16_t raw = 0;
    const zl_status rc = ham->read16(command, &raw);
    if (rc != ZL_STATUS_OK) return rc;
    *out = linearToReal(raw & 0x7FF, static_cast<uint8_t>(raw >> 11), 11, 5);
    return ZL_STATUS_OK;
}

zl_status Pmbus::get_input_current(float* amps) { return pmbus_read_linear(READ_IIN, amps); }
zl_status Pmbus::get_output_current(float* amps) { return pmbus_read_linear(READ_IOUT, amps); }
zl_status Pmbus::get_input_voltage(float* volts) { return pmbus_read_linear(READ_VIN, volts); }
zl_status Pmbus::get_input_power(float* watts) { return pmbus_read_linear(READ_PIN, watts); }
zl_status Pmbus::get_output_power(float* watts) { return pmbus_read_linear(READ_POUT, watts); }

zl_status Pmbus::get_output_voltage(float* volts) {
    if (volts == nullptr) return ZL_STATUS_BAD_INPUT;
    ham->prepare();
    const Ham::ResponseId modeId = ham->addRead8(VOUT_MODE);
    const Ham::ResponseId voutId = ham->addRead16(READ_VOUT);
    const zl_status rc = ham->execute();
    if (rc != ZL_STATUS_OK) return rc;
    const uint8_t mode = ham->get8(modeId);
    const uint16_t raw = ham->get16(voutId);

    if ((mode & 0xE0) == 0) {
        // LINEAR16: unsigned mantissa, exponent from the configuration or from VOUT_MODE.
        const uint8_t exponent = voutExponent != VOUT_EXPONENT_FROM_MODE ? voutExponent : mode;
        *volts = linearToReal(raw, exponent, 16, 5);
        return ZL_STATUS_OK;
    }
    if (mode == 0xFF) {
        // Some supplies answer 0xFF and report READ_VOUT in LINEAR11.
        *volts = linearToReal(raw & 0x7FF, static_cast<uint8_t>(raw >> 11), 11, 5);
        return ZL_STATUS_OK;
    }
    // VID or direct format: the conversion needs coefficients this driver doesn't have, so
    // the reading is reported as not provided instead of handing back a stale value.
    zl_trace(6, "VOUT_MODE 0x%02x is not a linear format; output voltage not provided", mode);
    return ZL_STATUS_NOT_PROVIDED;
}

zl_status Pmbus::get_power_ok(int* ok) {
    if (ok == nullptr) return ZL_STATUS_BAD_INPUT;
    if (powerOkGpio != nullptr) {
        unsigned bit = 0;
        const zl_status rc = powerOkGpio->bitRead(&bit);
        if (rc != ZL_STATUS_OK) return rc;
        *ok = powerOkActiveLow ? 1 - static_cast<int>(bit) : static_cast<int>(bit);
        return ZL_STATUS_OK;
    }
    uint16_t status = 0;
    const zl_status rc = ham->read16(STATUS_WORD, &status);
    if (rc != ZL_STATUS_OK) return rc;
    // Power not good while the unit is not switched off is a fault.
    if ((status & STATUS_OFF) == 0 && (status & STATUS_POWER_GOOD_N) != 0) return ZL_STATUS_DEVICE_FAULT;
    *ok = (status & STATUS_POWER_GOOD_N) == 0 ? 1 : 0;
    return ZL_STATUS_OK;
}

zl_status Pmbus::getFanRpm(Fan* fan, int* rpm) {
    if (rpm == nullptr) return ZL_STATUS_BAD_INPUT;
    uint8_t faults = 0;
    zl_status rc = ham->read8(STATUS_FANS_1_2, &faults);
    if (rc != ZL_STATUS_OK) return rc;
    if ((faults & fan->faultMask) != 0) return ZL_STATUS_DEVICE_FAULT;
    float speed = 0;
    rc = pmbus_read_linear(fan->speedReg, &speed);
    if (rc != ZL_STATUS_OK) return rc;
    *rpm = static_cast<int>(speed);  // LINEAR11 values always fit an int
    return ZL_STATUS_OK;
}

zl_status Pmbus::setFanRpm(Fan* fan, int rpm) {
    if (fan->maxFanRpm <= 0) return ZL_STATUS_BAD_INPUT;  // newFan never makes such a fan
    // 32-bit signed arithmetic; the product wraps modulo 2^32 instead of overflowing.
    const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(rpm) * 100u);
    const int32_t duty = product / fan->maxFanRpm;
    const unsigned low = static_cast<uint16_t>(duty);
    zl_trace(6, "Setting fan %d duty cycle to %d", fan->id, low);
    const uint16_t value = static_cast<uint16_t>(low > 100 ? 100 : low);
    const zl_status rc = ham->write16(fan->commandReg, value, fan->pec);
    if (rc != ZL_STATUS_OK) zl_trace(0, "Failed to set fan%d duty cycle to %d", fan->id, value);
    return rc;
}

zl_status Pmbus::getTemperature(uint8_t reg, float* celsius) {
    if (celsius == nullptr) return ZL_STATUS_BAD_INPUT;
    float value = 0;
    const zl_status rc = pmbus_read_linear(reg, &value);
    if (rc != ZL_STATUS_OK) return rc;
    *celsius = value < 0 ? 0.0f : value;
    return ZL_STATUS_OK;
}

}  // namespace Drivers
