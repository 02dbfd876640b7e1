// The power supply kind: host callbacks (each traces its own name) and add function.
#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

const zl_word Psu::callbacks[ZL_PSU_TABLE_WORDS] = {
    sizeof(Psu::callbacks),
    0,
    reinterpret_cast<zl_word>(&Psu::get_power_ok_callback),
    reinterpret_cast<zl_word>(&Psu::get_input_current_callback),
    reinterpret_cast<zl_word>(&Psu::get_output_current_callback),
    reinterpret_cast<zl_word>(&Psu::get_input_voltage_callback),
    reinterpret_cast<zl_word>(&Psu::get_output_voltage_callback),
    reinterpret_cast<zl_word>(&Psu::get_input_power_callback),
    reinterpret_cast<zl_word>(&Psu::get_output_power_callback),
};

Psu::Psu() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status Psu::get_power_ok_callback(zl_psu* record, int* ok) {
    zl_trace(4, "get_power_ok_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_power_ok(ok); });
}

zl_status Psu::get_input_current_callback(zl_psu* record, float* amps) {
    zl_trace(4, "get_input_current_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_input_current(amps); });
}

zl_status Psu::get_output_current_callback(zl_psu* record, float* amps) {
    zl_trace(4, "get_output_current_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_output_current(amps); });
}

zl_status Psu::get_input_voltage_callback(zl_psu* record, float* volts) {
    zl_trace(4, "get_input_voltage_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_input_voltage(volts); });
}

zl_status Psu::get_output_voltage_callback(zl_psu* record, float* volts) {
    zl_trace(4, "get_output_voltage_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_output_voltage(volts); });
}

zl_status Psu::get_input_power_callback(zl_psu* record, float* watts) {
    zl_trace(4, "get_input_power_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_input_power(watts); });
}

zl_status Psu::get_output_power_callback(zl_psu* record, float* watts) {
    zl_trace(4, "get_output_power_callback");
    return forwardToObject<Psu>(record, [&](Psu& psu) { return psu.get_output_power(watts); });
}

}  // namespace Component::LogicalDevice

extern "C" zl_psu* zl_psu_add(const char* devArgs) {
    using namespace Component;
    return Utils::guardEntry<zl_psu*>(nullptr, [&]() -> zl_psu* {
        auto* psu = LogicalDevice::addLogicalDevice<LogicalDevice::Psu>(
            devArgs, 2, "newPsu() failed", [](DeviceBase& driver, const Drivers::DriverArgs& args) {
                return driver.newPsu(args);
            });
        return psu != nullptr ? &psu->record : nullptr;
    });
}
