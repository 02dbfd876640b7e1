#include "Drivers/Orvik/OrvikFanTray.h"

#include <cstdlib>
#include <cstring>

namespace Drivers {

namespace {

// Template keys and the texts put in for the airflow direction.
const char* const kKeyAirflow = "airflowDirection";
const char* const kKeyMaxRpm = "maxRpm";
const char* const kKeyModel = "modelName";
const char* const kFrontToBack = "frontToBackAirflow";
const char* const kBackToFront = "backToFrontAirflow";

// The name every getPresence trace starts with.
const char* const kGetPresence = "virtual zl_status Drivers::OrvikFanTray::FanSlot::getPresence(char**)";

}  // namespace

OrvikFanTray::SlotArgs OrvikFanTray::readSlotArgs(const DriverSpecificArgs& args) {
    ArgReader r(catalogue, ZL_CALL_NEW_SLOT, args);
    SlotArgs values;
    values.slotId = static_cast<uint8_t>(*r.number("slotId"));
    zl_trace(0, "Creating new OrvikFanTray Slot for FanTray %d", values.slotId);
    values.fanFdl = *r.text("fanFdl");
    values.rpmF2B = *r.text("rpmF2B");
    values.rpmB2F = *r.text("rpmB2F");
    values.modelName = *r.text("modelName");
    return values;
}

Component::DeviceBase* OrvikFanTray::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(0, "Creating OrvikFanTray MultiDevice");
    return new OrvikFanTray();
}

Component::LogicalDevice::Slot* OrvikFanTray::newSlot(const FactoryArgs& args) {
    const SlotArgs values = readSlotArgs(args.driverArgs);
    zl_gpio* presence = addGpio(seriesKey("presenceGpio#", values.slotId));
    zl_gpio* airflow = addGpio(seriesKey("airflowGpio#", values.slotId));
    return new FanSlot(values, presence, airflow, args.driverArgs, args.jsonText);
}

OrvikFanTray::FanSlot::FanSlot(const SlotArgs& values, zl_gpio* presenceGpio, zl_gpio* airflowGpio,
                               const DriverSpecificArgs& args, const char* text)
    : Component::LogicalDevice::Slot(static_cast<uint8_t>(values.slotId - 1), args, text),
      fdl_(values.fanFdl),
      rpmF2B_(values.rpmF2B),
      rpmB2F_(values.rpmB2F),
      modelName_(values.modelName),
      presenceGpio_(presenceGpio),
      airflowGpio_(airflowGpio) {}

OrvikFanTray::FanSlot::~FanSlot() { std::free(cachedFdl_); }

void OrvikFanTray::FanSlot::clearCache() {
    std::free(cachedFdl_);
    cachedFdl_ = nullptr;
}

zl_status OrvikFanTray::FanSlot::readGpio(zl_gpio* gpio, const char* what, unsigned* value) const {
    const auto bitRead = gpio != nullptr ? ZL_CALLBACK(gpio, ZL_GPIO_BIT_READ, zl_gpio_bit_read_fn) : nullptr;
    if (bitRead == nullptr) {
        zl_trace(0, "Error: %s FanSlot %d: no %s GPIO", kGetPresence, index, what);
        return ZL_STATUS_NOT_PROVIDED;
    }
    return bitRead(gpio, value);
}

zl_status OrvikFanTray::FanSlot::getPresence(char** fdl) {
    zl_trace(6, "%s FanSlot %d", kGetPresence, index);
    if (fdl == nullptr) return ZL_STATUS_BAD_INPUT;  // nowhere to hand a text to

    unsigned absent = 0;
    zl_status status = readGpio(presenceGpio_, "presence", &absent);
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "%s FanSlot %d: FanTray is not present due to error", kGetPresence, index);
        clearCache();
        return status;
    }
    if (absent != 0) {
        zl_trace(4, "%s FanSlot %d: FanTray is not present", kGetPresence, index);
        clearCache();
        return ZL_STATUS_NOT_FOUND;
    }

    // The text of a tray stays the same while it is in: the airflow is read once per insertion.
    if (cachedFdl_ != nullptr) {
        zl_trace(4, "%s FanSlot %d: Using cached fdl", kGetPresence, index);
        char* copy = strdup(cachedFdl_);
        if (copy == nullptr) {
            zl_trace(0, "Error: %s FanSlot %d: strdup failed", kGetPresence, index);
            return ZL_STATUS_FAILED;
        }
        *fdl = copy;
        return ZL_STATUS_OK;
    }

    unsigned airflow = 0;
    status = readGpio(airflowGpio_, "airflow", &airflow);
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "Error: Failed to read airflowDirection for FanSlot %d", index);
        return status;
    }

    fdl_.start();
    const bool frontToBack = airflow == 0;
    fdl_.set(kKeyAirflow, frontToBack ? kFrontToBack : kBackToFront);
    fdl_.set(kKeyMaxRpm, frontToBack ? rpmF2B_ : rpmB2F_);
    fdl_.set(kKeyModel, modelName_);
    const char* text = fdl_.charPtr();
    char* handed = strdup(text);
    char* cached = handed != nullptr ? strdup(text) : nullptr;
    if (cached == nullptr) {
        std::free(handed);
        zl_trace(0, "Error: %s FanSlot %d: stdup failed", kGetPresence, index);
        return ZL_STATUS_FAILED;
    }
    cachedFdl_ = cached;
    *fdl = handed;
    return ZL_STATUS_OK;
}

}  // namespace Drivers
