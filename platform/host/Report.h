// The board report: every reading with its status, rendered as text for people or as JSON
// (one object per line, stable keys) for scripts.
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
    Reading celsius;
    double alert = 0;
    double critical = 0;
};

struct FanRow {
    std::string name;
    std::string group;  // the tray or power supply it belongs to
    Reading rpm;        // status 2 (device fault): the fan reported a fault
    Reading target = Reading::of(kNotSupported);  // the speed programmed, when known
    bool fault() const { return rpm.status == 2; }
    bool trayAbsent = false;  // its fan tray is pulled: shown as absent, not as a failed reading
};

struct PsuRow {
    std::string name;
    std::string bay;
    Reading present;  // 1 present, 0 empty or unidentified (status "not found")
    std::string model;
    std::string serial;
    Reading powerGood, inputVolts, inputAmps, inputWatts, outputVolts, outputAmps, outputWatts;
};

struct TrayRow {
    std::string name;
    Reading present;
    std::string airflow;  // as the description says it ("frontToBackAirflow", ...)
    std::string model;
    std::string maxRpm;
    std::vector<std::string> fans;
};

struct XcvrRow {
    std::string name;
    bool qsfp = false;
    Reading present;
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

struct Report {
    std::string board;
    std::vector<TempRow> temps;
    std::vector<FanRow> fans;
    std::vector<PsuRow> psus;
    std::vector<TrayRow> trays;
    std::vector<XcvrRow> xcvrs;
    std::vector<LedRow> leds;
    std::vector<GpioRow> gpios;
    std::vector<Problem> problems;  // devices that could not be added or set up

    // Readings that failed (problems count too); slot presence "not found" is an empty
    // bay, not a failure.
    int failures() const;
    int readings() const;
};

// The LED setting names in the library's order, ZL_LED_OFF .. ZL_LED_BEACON.
extern const char* const kLedSettingNames[7];

// What an LED field value shows, by LED type: "Off", "Good", "Warning", "Bad/Unknown", ...
std::string ledFieldMeaning(const std::string& type, int field);

std::string renderText(const Report& report);
std::string renderJson(const Report& report);

// Signal names of a transceiver's three bits.
const char* xcvrBitName(bool qsfp, int index);

}  // namespace Host
