#include "Drivers/Orvik/OrvikFanEeprom.h"

namespace Drivers {

namespace {

using AirflowArgs = OrvikFanEeprom::AirflowArgs;

// The GPIO's arguments in the order they are looked up, each with the rule a missing key
// breaks and the field it fills.
const struct {
    const char* key;
    const char* missingRule;
    uint8_t AirflowArgs::*field;
} kAirflowArgs[] = {
    {"offset", "offsetIt != args.driverArgs.end()", &AirflowArgs::offset},
    {"f2bVal", "f2bValIt != args.driverArgs.end()", &AirflowArgs::f2bVal},
    {"b2fVal", "b2fValIt != args.driverArgs.end()", &AirflowArgs::b2fVal},
};

}  // namespace

OrvikFanEeprom::AirflowArgs OrvikFanEeprom::readAirflowArgs(const DriverSpecificArgs& args) {
    AirflowArgs values;
    for (const auto& arg : kAirflowArgs) {
        const std::string* text = findArg(args, arg.key);
        ZL_CHECK_RULE(text != nullptr, arg.missingRule);
        values.*arg.field = static_cast<uint8_t>(Utils::toInt(*text));
    }
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
