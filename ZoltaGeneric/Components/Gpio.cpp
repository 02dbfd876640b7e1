// The GPIO kind: host callbacks and add function, and the register GPIO every hardware
// device offers by default (one bit of one 8-bit register, through the device's HAM).
#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

// The host's order is set, clear, read; each callback calls the operation of its own name.
const zl_word Gpio::callbacks[ZL_GPIO_TABLE_WORDS] = {
    sizeof(Gpio::callbacks),
    reinterpret_cast<zl_word>(&Gpio::bitSetCallback),
    reinterpret_cast<zl_word>(&Gpio::bitClearCallback),
    reinterpret_cast<zl_word>(&Gpio::bitReadCallback),
};

Gpio::Gpio() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status Gpio::bitSetCallback(zl_gpio* record) {
    zl_trace(4, "%s", "bitSetCallback");
    return forwardToObject<Gpio>(record, [](Gpio& gpio) { return gpio.bitSet(); });
}

zl_status Gpio::bitClearCallback(zl_gpio* record) {
    zl_trace(4, "%s", "bitClearCallback");
    return forwardToObject<Gpio>(record, [](Gpio& gpio) { return gpio.bitClear(); });
}

zl_status Gpio::bitReadCallback(zl_gpio* record, unsigned* bit) {
    zl_trace(4, "%s", "bitReadCallback");
    return forwardToObject<Gpio>(record, [&](Gpio& gpio) { return gpio.bitRead(bit); });
}

RegGpio::RegGpio(HardwareDevice* device_, const Drivers::DriverArgs& args) : device(device_) {
    Drivers::ArgReader r(Drivers::regGpioEntry, ZL_CALL_NEW_GPIO, args.driverArgs);
    register_ = *r.number("register");
    bitPosition = *r.number("bitpos");
}

namespace {

// Mask of the bit within an 8-bit register; positions 8 to 31 (the reader refuses others)
// name no bit of it, so a set or clear writes back the value read and a read yields 0.
uint8_t bitMask(int position) { return static_cast<uint8_t>(1u << position); }

}  // namespace

zl_status RegGpio::bitRead(unsigned* bit) {
    uint8_t value = 0;
    zl_status status = device->ham->read8(static_cast<uint32_t>(register_), &value);
    if (status != ZL_STATUS_OK) return status;
    *bit = (value & bitMask(bitPosition)) != 0 ? 1 : 0;
    return ZL_STATUS_OK;
}

zl_status RegGpio::bitSet() {
    uint8_t value = 0;
    zl_status status = device->ham->read8(static_cast<uint32_t>(register_), &value);
    if (status != ZL_STATUS_OK) return status;
    return device->ham->write8(static_cast<uint32_t>(register_), static_cast<uint8_t>(value | bitMask(bitPosition)),
                               false);
}

zl_status RegGpio::bitClear() {
    uint8_t value = 0;
    zl_status status = device->ham->read8(static_cast<uint32_t>(register_), &value);
    if (status != ZL_STATUS_OK) return status;
    return device->ham->write8(static_cast<uint32_t>(register_),
                               static_cast<uint8_t>(value & ~bitMask(bitPosition)), false);
}

}  // namespace Component::LogicalDevice

extern "C" zl_gpio* zl_gpio_add(const char* devArgs) {
    using namespace Component;
    return Utils::guardEntry<zl_gpio*>(nullptr, [&]() -> zl_gpio* {
        Drivers::DriverArgs args;
        DeviceBase* device = DeviceBase::create(devArgs, args);
        if (device == nullptr) return nullptr;
        // Only hardware devices offer GPIOs; a multi-device has none.
        auto* hardware = dynamic_cast<HardwareDevice*>(device);
        if (hardware == nullptr) return nullptr;
        LogicalDevice::Gpio* gpio = hardware->newGpio(args);
        return gpio != nullptr ? &gpio->record : nullptr;
    });
}
