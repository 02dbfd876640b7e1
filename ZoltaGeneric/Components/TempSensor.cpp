// The temperature sensor kind: host callbacks and add function; the thresholds the host
// gives are stored in the sensor.
#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

const zl_word TempSensor::callbacks[ZL_TEMP_TABLE_WORDS] = {
    sizeof(TempSensor::callbacks),
    0,
    reinterpret_cast<zl_word>(&TempSensor::getTemperatureCallback),
};

TempSensor::TempSensor() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status TempSensor::getTemperatureCallback(zl_temp_sensor* record, float* celsius) {
    zl_trace(4, "%s(%p)", "getTemperatureCallback", static_cast<void*>(record));
    return forwardToObject<TempSensor>(record,
                                       [&](TempSensor& sensor) { return sensor.getTemperature(celsius); });
}

}  // namespace Component::LogicalDevice

extern "C" zl_temp_sensor* zl_temp_sensor_add(const char* devArgs, float alert, float critical) {
    using namespace Component;
    return Utils::guardEntry<zl_temp_sensor*>(nullptr, [&]() -> zl_temp_sensor* {
        // A driver that makes no sensor gives null without a trace of its own.
        auto* sensor = LogicalDevice::addLogicalDevice<LogicalDevice::TempSensor>(
            devArgs, 0, nullptr, [](DeviceBase& driver, const Drivers::DriverArgs& args) {
                return driver.newTempSensor(args);
            });
        if (sensor == nullptr) return nullptr;
        zl_trace(0, "setting alert threshold");
        sensor->alertThresholdIs(alert);
        zl_trace(0, "setting critical threshold");
        sensor->criticalThresholdIs(critical);
        return &sensor->record;
    });
}
