// The board report: every reading with its status, rendered as text for people, as JSON
// (schema version 1, stable keys) for scripts, or as OpenMetrics text for Prometheus.
#pragma once

#include <string>
#include <vector>

#include "Status.h"

namespace Host {

// One reading. `status` is a library status (0 ok) or kNotSupported / kNotAdded.
struct Reading {
    int status = 0;
    double value = 0;
    bool ok() const { return status == 0; }
    static Reading of(int status, double value = 0) { return Reading{status, value}; }
};

struct TempRow {
    std::string name;
    Reading celsius;  // kAbsent: the power supply it sits in is out
    double alert = 0;
    double critical = 0;
    std::string psu;  // the power supply it sits in (the same chip), "" for none
};

struct FanRow {
    std::string name;
    std::string group;  // the tray or power supply it belongs to
    Reading rpm;        // status 2 (device fault): the fan reported a fault; kAbsent: its unit is out
    Reading target = Reading::of(kNotSupported);  // the speed programmed, when known (not a reading)
    bool fault() const { return rpm.status == 2; }
};

// Whether a unit sits in its place: a presence reading that succeeded says present (value 1)
// or absent (value 0); one that failed leaves it unknown.
enum class Presence { Present, Absent, Unknown };
inline Presence presenceOf(const Reading& r) {
    return !r.ok() ? Presence::Unknown : r.value != 0 ? Presence::Present : Presence::Absent;
}

// Texts a unit describes itself with are "" when unknown.
struct PsuRow {
    std::string name;
    std::string bay;
    Reading present;  // the bay's presence: 1 identified unit, 0 empty bay
    std::string model;
    std::string serial;
    Reading powerGood;  // 1 power good, 0 not
    Reading inputVolts, inputAmps, inputWatts, outputVolts, outputAmps, outputWatts;
};

struct TrayRow {
    std::string name;
    Reading present;
    std::string airflow;  // as the description says it ("frontToBackAirflow", ...)
    std::string model;
    std::string maxRpm;   // decimal text, "" when unknown
    std::vector<std::string> fans;
};

struct XcvrRow {
    std::string name;
    bool qsfp = false;
    Reading present;  // unknown (the failed status) when the port's lines can't be read
    // SFP: tx fault, rx los, tx disable. QSFP: low-power mode, reset, interrupt.
    Reading bits[3];
    Reading eepromId;  // byte 0 of the module's EEPROM, read when present (kNotSupported if no proxy)
};

struct LedRow {
    std::string name;
    std::string type;   // "status", "fantray", "multifan", "multipsu"
    Reading field;      // the LED's field value read back, kNotSupported without read-back
    std::string setting;  // what the field shows, in words ("" when unknown)
    bool hasReadback = true;  // false: the board gives no way to read the field back
    std::string lastSetting;  // the setting this process gave it last, "" when none
    bool blinking = false;    // its last setting is Beacon
};

struct GpioRow {
    std::string name;
    Reading bit;
};

struct Problem {
    std::string name;
    std::string kind;
    std::string message;
    std::string reason;  // what the library traced about it, "" when nothing

    // "message: reason", or the message alone.
    std::string text() const { return reason.empty() ? message : message + ": " + reason; }
};

// What the status objects of a report come to, each counted once: "failed" is every status
// but ok, absent, not supported and not added.
struct Summary {
    int readings = 0, ok = 0, failed = 0, absent = 0, notSupported = 0, notAdded = 0;
    int problems = 0;
    int alarms = 0;  // temperatures at or above their alert limit
};

// One status object of the report: the device, the reading's key, and where OpenMetrics puts
// it (metric name without the zolta_ prefix, its help, and a second label, "" for none).
struct ReadingRef {
    const std::string& device;
    const char* key;
    const Reading& reading;
    const char* metric;
    const char* help;
    const char* label = "";       // a second label that tells the device's samples of the metric apart
    const char* labelValue = "";
};

// The sections of a report, for `show` and `watch` filters.
enum Section : unsigned {
    kTemps = 1, kFans = 2, kPsus = 4, kTrays = 8, kPorts = 16, kLeds = 32, kGpios = 64, kAllSections = 127
};
// "temps" -> kTemps, ...; 0 for an unknown word.
unsigned sectionOf(const std::string& word);
extern const char* const kSectionWords;  // "temps fans psus trays ports leds gpios"

struct Report {
    std::string board;
    std::string timestamp;  // RFC 3339, UTC, when the board was read
    std::vector<TempRow> temps;
    std::vector<FanRow> fans;
    std::vector<PsuRow> psus;
    std::vector<TrayRow> trays;
    std::vector<XcvrRow> xcvrs;
    std::vector<LedRow> leds;
    std::vector<GpioRow> gpios;
    std::vector<Problem> problems;  // devices that could not be added or set up

    // Calls fn(ReadingRef) for every status object of the JSON document, in its order.
    template <class Fn>
    void forEachReading(Fn fn) const;
    Summary summary() const;
};

// "ok", "alert" or "critical" for a temperature against its limits; null when it failed.
const char* alarmOf(const TempRow& t);

// The LED setting names in the library's order, ZL_LED_OFF .. ZL_LED_BEACON.
extern const char* const kLedSettingNames[7];

// What an LED field value shows, by LED type: "Off", "Good", "Warning", "Bad/Unknown", ...
std::string ledFieldMeaning(const std::string& type, int field);

// Text for people. `before` (may be null) is the previous report of a watch: values that
// changed since are marked with '*'. `colour` paints alarms and failures with ANSI colours.
std::string renderText(const Report& report, const Report* before = nullptr, bool colour = false);
// The JSON document, one device per line; `compact`: all of it on one line.
std::string renderJson(const Report& report, bool compact = false);
// OpenMetrics text exposition, ending with "# EOF".
std::string renderOpenMetrics(const Report& report);

// Signal names of a transceiver's three bits.
const char* xcvrBitName(bool qsfp, int index);

template <class Fn>
void Report::forEachReading(Fn fn) const {
    for (const auto& t : temps) fn(ReadingRef{t.name, "temperature", t.celsius, "temperature_celsius", "Temperature."});
    const char* kVolts = "Power supply voltage.";
    const char* kAmps = "Power supply current.";
    const char* kWatts = "Power supply power.";
    for (const auto& f : fans) fn(ReadingRef{f.name, "speed", f.rpm, "fan_speed_rpm", "Fan speed."});
    for (const auto& p : psus) {
        fn(ReadingRef{p.name, "presence", p.present, "present", "Whether the unit is in its place."});
        fn(ReadingRef{p.name, "powerGood", p.powerGood, "psu_power_good", "Whether the power supply reports power good."});
        fn(ReadingRef{p.name, "inputVoltage", p.inputVolts, "psu_voltage_volts", kVolts, "direction", "input"});
        fn(ReadingRef{p.name, "inputCurrent", p.inputAmps, "psu_current_amperes", kAmps, "direction", "input"});
        fn(ReadingRef{p.name, "inputPower", p.inputWatts, "psu_power_watts", kWatts, "direction", "input"});
        fn(ReadingRef{p.name, "outputVoltage", p.outputVolts, "psu_voltage_volts", kVolts, "direction", "output"});
        fn(ReadingRef{p.name, "outputCurrent", p.outputAmps, "psu_current_amperes", kAmps, "direction", "output"});
        fn(ReadingRef{p.name, "outputPower", p.outputWatts, "psu_power_watts", kWatts, "direction", "output"});
    }
    for (const auto& t : trays) fn(ReadingRef{t.name, "presence", t.present, "present", "Whether the unit is in its place."});
    for (const auto& x : xcvrs) {
        fn(ReadingRef{x.name, "presence", x.present, "present", "Whether the unit is in its place."});
        for (int i = 0; i < 3; ++i)
            fn(ReadingRef{x.name, xcvrBitName(x.qsfp, i), x.bits[i], "transceiver_signal",
                          "A transceiver port's control or status line.", "signal", xcvrBitName(x.qsfp, i)});
        fn(ReadingRef{x.name, "eepromId", x.eepromId, "transceiver_module_id", "Byte 0 of the module's EEPROM."});
    }
    for (const auto& l : leds) fn(ReadingRef{l.name, "field", l.field, "led_field", "An LED's field as read back."});
    for (const auto& g : gpios) fn(ReadingRef{g.name, "bit", g.bit, "gpio_value", "A GPIO line."});
}

}  // namespace Host
