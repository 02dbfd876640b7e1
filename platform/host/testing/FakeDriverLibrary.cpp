// A stand-in driver library for testing zolta-host itself: it exports only some kinds, and
// its devices behave as the device text's "driver" asks ("ok", "nocomm", "throw", "short",
// "null": refused, with traces that say why), so the host's handling of every outcome can be
// checked without hardware. Its LED blinks on the host's timer service; GPIO bits read the
// blink tick count.
#include <cstring>
#include <string>
#include <stdexcept>

#include "zl_api.h"

namespace {

bool says(const char* text, const char* word) {
    std::string needle = std::string("\"driver\":\"") + word + "\"";
    return text && std::strstr(text, needle.c_str()) != nullptr;
}

// ---- temperature sensors
zl_status tempOk(zl_temp_sensor*, float* celsius) {
    *celsius = 42.5f;
    return ZL_STATUS_OK;
}
zl_status tempNoComm(zl_temp_sensor*, float*) { return ZL_STATUS_NO_COMM; }
zl_status tempThrow(zl_temp_sensor*, float*) { throw std::runtime_error("sensor exploded"); }

const zl_word tempOkTable[3] = {3 * sizeof(zl_word), 0, reinterpret_cast<zl_word>(&tempOk)};
const zl_word tempNoCommTable[3] = {3 * sizeof(zl_word), 0, reinterpret_cast<zl_word>(&tempNoComm)};
const zl_word tempThrowTable[3] = {3 * sizeof(zl_word), 0, reinterpret_cast<zl_word>(&tempThrow)};
const zl_word tempShortTable[2] = {2 * sizeof(zl_word), 0};  // no getTemperature word

zl_temp_sensor sensors[8];
int sensorCount = 0;

// ---- LED blinking on the host's timers
uint32_t blinkTimer = 0;
unsigned ticks = 0;

void onBlink(void*) {
    ++ticks;
    zl_trace(0, "fake blink tick %u", ticks);
    zl_timer_set(blinkTimer, 100);
}

zl_status setLight(zl_led*, zl_led_status setting) {
    if (setting < ZL_LED_OFF || setting > ZL_LED_BEACON) return ZL_STATUS_BAD_INPUT;
    if (setting == ZL_LED_BEACON) {
        if (blinkTimer == 0) blinkTimer = zl_timer_add(onBlink, nullptr);
        if (blinkTimer == 0 || zl_timer_set(blinkTimer, 100) != 0) return ZL_STATUS_FAILED;
    }
    return ZL_STATUS_OK;
}
const zl_word ledTable[2] = {2 * sizeof(zl_word), reinterpret_cast<zl_word>(&setLight)};
zl_led led = {0, ledTable, nullptr};

// ---- GPIOs: bit N of the blink tick count, N from "bitpos"
struct FakeGpio {
    zl_gpio record;
    unsigned bit;
};
zl_status bitRead(zl_gpio* gpio, unsigned* value) {
    *value = (ticks >> reinterpret_cast<FakeGpio*>(gpio)->bit) & 1u;
    return ZL_STATUS_OK;
}
zl_status bitNop(zl_gpio*) { return ZL_STATUS_OK; }
const zl_word gpioTable[4] = {4 * sizeof(zl_word), reinterpret_cast<zl_word>(&bitNop), reinterpret_cast<zl_word>(&bitNop),
                             reinterpret_cast<zl_word>(&bitRead)};
FakeGpio gpios[16];
int gpioCount = 0;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) zl_status zl_temp_sensor_init(const char*) {
    zl_trace(0, "fake library: %s", "zl_temp_sensor_init");
    return ZL_STATUS_OK;
}
__attribute__((visibility("default"))) zl_status zl_led_init(const char*) { return ZL_STATUS_OK; }
__attribute__((visibility("default"))) zl_status zl_gpio_init(const char*) { return ZL_STATUS_OK; }

__attribute__((visibility("default"))) zl_temp_sensor* zl_temp_sensor_add(const char* text, float, float) {
    if (says(text, "null")) {
        // As the driver library does: the text it was given, the cause, the cause restated.
        zl_trace(0, "fake library: adding %s", text);
        zl_trace(0, "driver null not found");
        zl_trace(0, "no sensor made: failed");
        return nullptr;
    }
    if (sensorCount == 8) return nullptr;
    const zl_word* table = says(text, "ok")       ? tempOkTable
                           : says(text, "nocomm") ? tempNoCommTable
                           : says(text, "throw")  ? tempThrowTable
                                                  : tempShortTable;
    zl_temp_sensor* s = &sensors[sensorCount++];
    s->callbacks = table;
    return s;
}

__attribute__((visibility("default"))) zl_led* zl_led_add(const char*) { return &led; }

__attribute__((visibility("default"))) zl_gpio* zl_gpio_add(const char* text) {
    if (gpioCount == 16) return nullptr;
    const char* pos = text ? std::strstr(text, "\"bitpos\":\"") : nullptr;
    FakeGpio* g = &gpios[gpioCount++];
    g->record.callbacks = gpioTable;
    g->record.object = g;
    g->bit = pos ? static_cast<unsigned>(pos[10] - '0') & 7u : 0u;
    return &g->record;
}

}  // extern "C"
