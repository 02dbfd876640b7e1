// The LED kind: host callback, add function and the shared blink timer.
#include "Components/Led.h"

#include <iterator>

#include "Components/CallbackGuard.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

const zl_word Led::callbacks[ZL_LED_TABLE_WORDS] = {
    sizeof(Led::callbacks),
    reinterpret_cast<zl_word>(&Led::setLightSettingCallback),
};

int Led::blinkPeriod_ = 1000;
std::list<Led*> Led::notifyList_;
uint32_t Led::blinkTimer_ = 0;
bool Led::blinkStatus_ = false;

Led::Led() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status Led::setLightSettingCallback(zl_led* record, zl_led_status setting) {
    zl_trace(4, "%s(%p, %d)", "setLightSettingCallback", static_cast<void*>(record), setting);
    return forwardToObject<Led>(record, [&](Led& led) { return led.setLightSetting(setting); });
}

const char* Led::getLedStatusString(zl_led_status status) {
    static const char* const strs[] = {"Off", "Good", "Warning", "Bad", "Inactive", "Unknown", "Beacon"};
    if (static_cast<unsigned>(status) >= sizeof(strs) / sizeof(*strs)) return "Invalid";
    return strs[status];
}

void Led::createBlinkTimer() {
    if (blinkTimer_ != 0) return;
    zl_trace(0, "creating unique led blink timer");
    blinkTimer_ = zl_timer_add(&Led::handleBlinkTimerCallback, nullptr);
    if (blinkTimer_ == 0) zl_trace(0, "failed to create blink timer");
}

void Led::notifyOnBlink(Led* led) {
    zl_trace(4, "%s() adding led to blink notification list", "notifyOnBlink");
    ZL_CHECK_RULE(blinkTimer_ != 0, "blinkTimer_");
    notifyList_.push_back(led);
    if (notifyList_.size() == 1 && zl_timer_set(blinkTimer_, static_cast<uint32_t>(blinkPeriod_)) != 0)
        zl_trace(0, "failed to arm blink timer");
}

void Led::handleBlinkTimerCallback(void*) {
    zl_trace(4, "%s() led blink timer hit notifying %zu leds", "handleBlinkTimerCallback", notifyList_.size());
    for (auto it = notifyList_.begin(); it != notifyList_.end();) {
        // A handler that throws is dropped like one that returns false: the tick goes on.
        bool keep = false;
        try {
            keep = (*it)->handleBlinkTimer(blinkStatus_);
        } catch (const std::exception& e) {
            zl_trace(0, "%s", e.what());
        } catch (...) {
            zl_trace(0, "unknown exception");
        }
        it = keep ? std::next(it) : notifyList_.erase(it);
    }
    if (!notifyList_.empty() && zl_timer_set(blinkTimer_, static_cast<uint32_t>(blinkPeriod_)) != 0)
        zl_trace(0, "failed to arm blink timer");
    blinkStatus_ = !blinkStatus_;
}

}  // namespace Component::LogicalDevice

extern "C" zl_led* zl_led_add(const char* devArgs) {
    using namespace Component;
    return Utils::guardEntry<zl_led*>(nullptr, [&]() -> zl_led* {
        auto* led = LogicalDevice::addLogicalDevice<LogicalDevice::Led>(
            devArgs, 0, "newLed() failed", [](DeviceBase& driver, const Drivers::DriverArgs& args) {
                return driver.newLed(args);
            });
        if (led == nullptr) return nullptr;
        // Without a timer the LED is still usable; its driver shows Beacon lit instead.
        if (led->canBlink) LogicalDevice::Led::createBlinkTimer();
        return &led->record;
    });
}
