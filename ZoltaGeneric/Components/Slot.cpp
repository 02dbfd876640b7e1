// The slot kind: a bay that may hold a unit, with its host callbacks and add function.
#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

const zl_word Slot::callbacks[ZL_SLOT_TABLE_WORDS] = {
    sizeof(Slot::callbacks),
    reinterpret_cast<zl_word>(&Slot::getPresenceCallback),
};

Slot::Slot(uint8_t index_, Drivers::DriverSpecificArgs args, const char* text)
    : index(index_), slotArgs_(std::move(args)), jsonText(text) {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status Slot::getPresenceCallback(zl_slot* record, char** fdl) {
    zl_trace(4, "%s(%p)", "getPresenceCallback", static_cast<void*>(record));
    return forwardToObject<Slot>(record, [&](Slot& slot) { return slot.getPresence(fdl); });
}

}  // namespace Component::LogicalDevice

extern "C" zl_slot* zl_slot_add(const char* devArgs) {
    using namespace Component;
    return Utils::guardEntry<zl_slot*>(nullptr, [&]() -> zl_slot* {
        auto* slot = LogicalDevice::addLogicalDevice<LogicalDevice::Slot>(
            devArgs, 0, "newSlot() failed", [](DeviceBase& driver, const Drivers::DriverArgs& args) {
                return driver.newSlot(args);
            });
        return slot != nullptr ? &slot->record : nullptr;
    });
}
