// The LED kind: the host sets a light setting; LEDs that blink share one host timer, which
// tells every blinking LED at each tick which half of the blink cycle has begun, so that all
// blinking LEDs of the board turn on and off together.
#pragma once

#include <cstdint>
#include <list>

#include "zl_api.h"

namespace Component::LogicalDevice {

class Led {
  public:
    Led();
    virtual ~Led() = default;
    // Called at every blink tick while the LED is listed: on is the lit half of the cycle.
    // True keeps the LED in the blink list, false drops it.
    virtual bool handleBlinkTimer(bool on) { return false; }
    virtual zl_status setLightSetting(zl_led_status setting) = 0;

    static zl_status setLightSettingCallback(zl_led* record, zl_led_status setting);
    // "Off" .. "Beacon"; "Invalid" for a value outside 0..6 (drivers trace it before they
    // check the value).
    static const char* getLedStatusString(zl_led_status status);
    // Makes the one blink timer unless it exists (not armed here). A host that can't make
    // one leaves blinkTimer_ at 0; a later blink-capable add tries again.
    static void createBlinkTimer();
    // Appends led to notifyList_ (no duplicate check) and arms the timer when it is the only
    // entry. A blink timer must exist (rule "blinkTimer_").
    static void notifyOnBlink(Led* led);
    static void handleBlinkTimerCallback(void* context);

    static const zl_word callbacks[ZL_LED_TABLE_WORDS];

    // Class-wide blink state.
    static int blinkPeriod_;              // one half-cycle, in the timer service's milliseconds
    static std::list<Led*> notifyList_;   // the LEDs that blink now, in joining order
    static uint32_t blinkTimer_;          // host timer handle, 0 for none
    static bool blinkStatus_;             // half-cycle announced at the next tick

    zl_led record;
    bool canBlink = false;  // set by drivers for LEDs that may blink; the add makes the timer
};

}  // namespace Component::LogicalDevice
