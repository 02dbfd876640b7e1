#include "Drivers/TMP75.h"

namespace Drivers {

Component::DeviceBase* TMP75::create(const FactoryArgs&, Ham::Ham*) { return new TMP75(); }

void TMP75::init() {
    zl_status status = ham->write8(kRegConfiguration, kConfig11BitResolution, false);
    // The sensor keeps working at its power-on resolution (9 bits); readings stay valid,
    // only coarser, so creation goes on.
    if (status != ZL_STATUS_OK) zl_trace(0, "Error: Failed to set converter resolution for TMP75 device");
}

Component::LogicalDevice::TempSensor* TMP75::newTempSensor(const FactoryArgs&) {
    zl_trace(5, "Creating TMP75");
    return new TempSensor(this);
}

zl_status TMP75::getTemperature(float* celsius) {
    zl_trace(6, "%s", "zl_status Drivers::TMP75::getTemperature(float*)");
    uint16_t raw = 0;
    zl_status status = ham->read16(kRegTemperature, &raw);
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "Error: Failed to read temperature for TMP75 device");
        return status;
    }
    *celsius = registerToTemperature(raw);
    return ZL_STATUS_OK;
}

float TMP75::registerToTemperature(uint16_t raw) {
    double degrees = static_cast<int8_t>(raw & 0xFF);
    double fraction = static_cast<double>(raw >> 13) * kDegreesPerFractionStep;
    return static_cast<float>(degrees + fraction);
}

}  // namespace Drivers
