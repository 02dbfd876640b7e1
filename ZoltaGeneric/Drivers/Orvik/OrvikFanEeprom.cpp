#include "Drivers/Orvik/OrvikFanEeprom.h"

namespace Drivers {

OrvikFanEeprom::AirflowArgs OrvikFanEeprom::readAirflowArgs(const DriverSpecificArgs& args) {
    ArgReader r(catalogue, ZL_CALL_NEW_GPIO, args);
    AirflowArgs values;
    values.offset = static_cast<uint8_t>(*r.number("offset"));
    values.f2bVal = static_cast<uint8_t>(*r.number("f2bVal"));
    values.b2fVal = static_cast<uint8_t>(*r.number("b2fVal"));
    return values;
}

Component::DeviceBase* OrvikFanEeprom::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(0, "Creating OrvikFanEeprom Device");
    return new OrvikFanEeprom();
}

Component::LogicalDevice::Gpio* OrvikFanEeprom::newGpio(const FactoryArgs& args) {
    const AirflowArgs values = readAirflowArgs(args.driverArgs);
    zl_trace(0, "Creating OrvikFanEeprom AirflowGpio");
    return new AirflowGpio(this, values);
}

zl_status OrvikFanEeprom::AirflowGpio::bitRead(unsigned* bit) {
    uint8_t value = 0;
    const zl_status status = device_->ham->read8(offset_, &value);
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "Error reading airflow from OrvikFanEeprom");
        return status;
    }
    // Front-to-back is tested first: equal values read as front-to-back.
    if (value == f2bVal_) {
        *bit = kFrontToBack;
        return ZL_STATUS_OK;
    }
    if (value == b2fVal_) {
        *bit = kBackToFront;
        return ZL_STATUS_OK;
    }
    zl_trace(0, "Error: airflow byte from FanTray EEPROM has invalid value");
    return ZL_STATUS_DEVICE_FAULT;
}

}  // namespace Drivers
