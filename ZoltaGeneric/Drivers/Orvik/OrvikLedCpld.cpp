#include "Drivers/Orvik/OrvikLedCpld.h"

namespace Drivers {

// Field values by setting: Off, Good, Warning, Bad, Inactive, Unknown, Beacon.
const OrvikLedCpld::Kind OrvikLedCpld::kStatusLed = {
    "status", "StatusLed", kRegStatusAndPsuLeds, 0x0F, false, {0, 9, 10, 10, kRejected, 11, 5}};
const OrvikLedCpld::Kind OrvikLedCpld::kFanLed = {
    "fantray", "FanLed", kRegFanTrayLeds, 0x03, true, {0, 1, 2, 2, kRejected, 2, 1}};
const OrvikLedCpld::Kind OrvikLedCpld::kMultiFanLed = {
    "multifan", "MultiFanLed", kRegMultiFanLeds, 0x03, true, {0, 2, 1, 3, kRejected, 3, 2}};
const OrvikLedCpld::Kind OrvikLedCpld::kMultiPsuLed = {
    "multipsu", "MultiPsuLed", kRegStatusAndPsuLeds, 0x03, true, {0, 3, 2, 2, kRejected, 2, 3}};

// ---- driver arguments ----

OrvikLedCpld::LedArgs OrvikLedCpld::readLedArgs(const FactoryArgs& args) {
    ArgReader r(catalogue, ZL_CALL_NEW_LED, args.driverArgs);
    const uint8_t ledId = static_cast<uint8_t>(*r.number("id"));
    const uint8_t bitOffset = static_cast<uint8_t>(*r.number("bitOffset"));
    return LedArgs{ledId, bitOffset, *r.text("type")};
}

const OrvikLedCpld::Kind* OrvikLedCpld::findKind(const std::string& type) {
    for (const Kind* kind : {&kFanLed, &kMultiFanLed, &kMultiPsuLed, &kStatusLed})
        if (type == kind->type) return kind;
    return nullptr;
}

// ---- driver ----

Component::DeviceBase* OrvikLedCpld::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(5, "Creating OrvikLedCpld Device");
    return new OrvikLedCpld();
}

Component::LogicalDevice::Led* OrvikLedCpld::newLed(const FactoryArgs& args) {
    const LedArgs ledArgs = readLedArgs(args);
    zl_trace(5, "creating new OrvikLedCpld %s LED with id %hhu and bitOffset %hhu", ledArgs.type.c_str(),
             ledArgs.id, ledArgs.bitOffset);
    const Kind* kind = findKind(ledArgs.type);
    const uint8_t index = static_cast<uint8_t>(ledArgs.id - 1);
    if (kind == &kFanLed) return new FanLed(this, index, ledArgs.bitOffset);
    if (kind == &kMultiFanLed) return new MultiFanLed(this, index, ledArgs.bitOffset);
    if (kind == &kMultiPsuLed) return new MultiPsuLed(this, index, ledArgs.bitOffset);
    if (kind == &kStatusLed) return new StatusLed(this, index, ledArgs.bitOffset);
    zl_trace(0, "Error: failed to find driverArg for OrvikLedCpld::newLed");
    return nullptr;
}

// ---- LEDs ----

OrvikLedCpld::Led::Led(OrvikLedCpld* device, const Kind& kind, uint8_t ledIndex, uint8_t bitOffset)
    : device_(device), ledIndex_(ledIndex), register_(kind.reg), bitOffset_(bitOffset), mask_(kind.mask) {
    canBlink = kind.softwareBlink;
}

OrvikLedCpld::Led::~Led() {
    if (blinking_) leaveBlinkList();
}

OrvikLedCpld::StatusLed::StatusLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset)
    : Led(device, kStatusLed, ledIndex, bitOffset) {}
OrvikLedCpld::FanLed::FanLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset)
    : Led(device, kFanLed, ledIndex, bitOffset) {}
OrvikLedCpld::MultiFanLed::MultiFanLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset)
    : Led(device, kMultiFanLed, ledIndex, bitOffset) {}
OrvikLedCpld::MultiPsuLed::MultiPsuLed(OrvikLedCpld* device, uint8_t ledIndex, uint8_t bitOffset)
    : Led(device, kMultiPsuLed, ledIndex, bitOffset) {}

void OrvikLedCpld::Led::leaveBlinkList() {
    notifyList_.remove(this);
    blinking_ = false;
}

zl_status OrvikLedCpld::Led::applySetting(const Kind& kind, zl_led_status setting) {
    zl_trace(6, "Setting OrvikLedCpld %s %d to %s", kind.name, ledIndex_, getLedStatusString(setting));
    const bool beacon = setting == ZL_LED_BEACON;
    if (kind.softwareBlink) {
        // Any setting but Beacon, a rejected one included, ends the blinking.
        if (!beacon && blinking_) leaveBlinkList();
        if (beacon && !blinking_) {
            if (blinkTimer_ != 0) {
                notifyOnBlink(this);
                blinking_ = true;
            } else {
                // The host made no blink timer: Beacon shows the lit value steadily.
                zl_trace(0, "OrvikLedCpld %s %d: no blink timer, Beacon shown lit", kind.name, ledIndex_);
            }
        }
    }
    const int16_t value = static_cast<unsigned>(setting) < sizeof(kind.values) / sizeof(*kind.values)
                              ? kind.values[setting]
                              : kRejected;
    if (value == kRejected) {
        zl_trace(0, "OrvikLedCpld %s was given an unexpected setting %d", kind.name, setting);
        return ZL_STATUS_BAD_INPUT;
    }
    onValue_ = static_cast<uint8_t>(value);
    const zl_status status = updateLedReg(onValue_);
    if (status != ZL_STATUS_OK) zl_trace(0, "OrvikLedCpld %s: setLightSetting failed.", kind.name);
    return status;
}

bool OrvikLedCpld::Led::handleBlinkTimer(bool on) {
    // A failed write leaves the LED blinking: the next tick writes its phase again.
    if (updateLedReg(on ? onValue_ : 0) != ZL_STATUS_OK) zl_trace(0, "OrvikLedCpld Led handleBlinkTimer write failed.");
    return true;
}

uint8_t OrvikLedCpld::Led::withField(uint8_t old, uint8_t value) const {
    // A field that starts beyond the register has no bit in it.
    if (bitOffset_ >= kRegisterBits) return old;
    const unsigned cleared = old & ~(static_cast<unsigned>(mask_) << bitOffset_);
    return static_cast<uint8_t>(cleared | (static_cast<unsigned>(value) << bitOffset_));
}

zl_status OrvikLedCpld::Led::updateLedReg(uint8_t value) {
    uint8_t old = 0;
    const zl_status status = device_->ham->read8(register_, &old);
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "updateLedReg: Failed to read from CPLD register");
        return status;
    }
    const uint8_t next = withField(old, value);
    zl_trace(6, "updateLedReg: updating reg %#x with regVal %#x", register_, next);
    return device_->ham->write8(register_, next, false);
}

}  // namespace Drivers
