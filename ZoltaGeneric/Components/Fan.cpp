// The fan kind: host callbacks and add function.
#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

const zl_word Fan::callbacks[ZL_FAN_TABLE_WORDS] = {
    sizeof(Fan::callbacks),
    reinterpret_cast<zl_word>(&Fan::debugInfoCallback),
    reinterpret_cast<zl_word>(&Fan::getRpmCallback),
    reinterpret_cast<zl_word>(&Fan::setRpmCallback),
};

Fan::Fan() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status Fan::debugInfoCallback(zl_fan* record, char** info) {
    zl_trace(4, "%s(%p)", "debugInfoCallback", static_cast<void*>(record));
    return forwardToObject<Fan>(record, [&](Fan& fan) { return fan.debugInfo(info); });
}

zl_status Fan::getRpmCallback(zl_fan* record, int* rpm) {
    zl_trace(4, "%s(%p)", "getRpmCallback", static_cast<void*>(record));
    return forwardToObject<Fan>(record, [&](Fan& fan) { return fan.getRpm(rpm); });
}

zl_status Fan::setRpmCallback(zl_fan* record, int rpm) {
    zl_trace(4, "%s(%p, %d)", "setRpmCallback", static_cast<void*>(record), rpm);
    return forwardToObject<Fan>(record, [&](Fan& fan) { return fan.setRpm(rpm); });
}

}  // namespace Component::LogicalDevice

extern "C" zl_fan* zl_fan_add(const char* devArgs) {
    using namespace Component;
    return Utils::guardEntry<zl_fan*>(nullptr, [&]() -> zl_fan* {
        auto* fan = LogicalDevice::addLogicalDevice<LogicalDevice::Fan>(
            devArgs, 0, "newFan() failed", [](DeviceBase& driver, const Drivers::DriverArgs& args) {
                return driver.newFan(args);
            });
        return fan != nullptr ? &fan->record : nullptr;
    });
}
