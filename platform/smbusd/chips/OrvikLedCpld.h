// The OrvikS LED CPLD: a register file in which each front-panel LED is a 2- or 4-bit field
// whose value picks what the LED shows. The chip decodes the fields into words for the log
// and the control client ("status=Good psu=Beacon(lit) ..."). The fan tray, fan and PSU LEDs
// blink in software (the host rewrites the field between its lit value and 0); a field seen
// alternating like that is shown as a Beacon with its current phase.
#pragma once

#include <cstdint>

#include "Chip.h"

namespace Smbusd {

class OrvikLedCpldChip : public Chip {
  public:
    // Register map.
    static constexpr uint8_t kRegStatusPsuLeds = 0x07;  // bits 3-0 status LED, bits 5-4 PSU LED
    static constexpr uint8_t kRegFanTrayLeds = 0x08;    // bits 1-0, 3-2, 5-4: fan tray 1, 2, 3 LEDs
    static constexpr uint8_t kRegFanLed = 0x09;         // bits 1-0: fan LED

    // Field values by LED kind.
    enum class Kind { Status, FanTray, MultiFan, MultiPsu };
    static constexpr uint8_t kOff = 0;
    static constexpr uint8_t kStatusGood = 9, kStatusWarning = 10, kStatusUnknown = 11, kStatusBeacon = 5;
    static constexpr uint8_t kFanTrayGood = 1, kFanTrayWarning = 2;
    static constexpr uint8_t kMultiFanGood = 2, kMultiFanWarning = 1, kMultiFanBad = 3;
    static constexpr uint8_t kMultiPsuGood = 3, kMultiPsuWarning = 2;

    struct Field {
        const char* name;
        Kind kind;
        uint8_t reg;
        uint8_t shift;
        uint8_t mask;  // before shifting
    };
    static constexpr int kFieldCount = 6;
    static const Field kFields[kFieldCount];

    // A field seen changing between 0 and its lit value within this time is blinking.
    static constexpr int64_t kBlinkWindowMs = 2500;

    // What a field value shows ("Good", "Warning/Bad", ...; "?N" for a value without meaning).
    static std::string meaning(Kind kind, uint8_t value);
    // The lit value of a kind that blinks in software; 0 for the status LED (it blinks by itself).
    static uint8_t litValue(Kind kind);

    OrvikLedCpldChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<OrvikLedCpldChip>(*this); }
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    std::string describe() const override;

  private:
    static int64_t nowMs();
    uint8_t fieldValue(int f) const;
    // When each field last changed between 0 and its lit value, the last two times.
    int64_t toggledMs_[kFieldCount][2] = {};
};

}  // namespace Smbusd
