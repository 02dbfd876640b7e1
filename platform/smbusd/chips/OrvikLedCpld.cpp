#include "OrvikLedCpld.h"

#include <chrono>

namespace Smbusd {

const OrvikLedCpldChip::Field OrvikLedCpldChip::kFields[kFieldCount] = {
    {"status", Kind::Status, kRegStatusPsuLeds, 0, 0x0F},  {"psu", Kind::MultiPsu, kRegStatusPsuLeds, 4, 0x03},
    {"fan", Kind::MultiFan, kRegFanLed, 0, 0x03},          {"tray1", Kind::FanTray, kRegFanTrayLeds, 0, 0x03},
    {"tray2", Kind::FanTray, kRegFanTrayLeds, 2, 0x03},    {"tray3", Kind::FanTray, kRegFanTrayLeds, 4, 0x03},
};

std::string OrvikLedCpldChip::meaning(Kind kind, uint8_t value) {
    if (value == kOff) return "Off";
    switch (kind) {
        case Kind::Status:
            if (value == kStatusGood) return "Good";
            if (value == kStatusWarning) return "Warning/Bad";
            if (value == kStatusUnknown) return "Unknown";
            if (value == kStatusBeacon) return "Beacon";
            break;
        case Kind::FanTray:
            if (value == kFanTrayGood) return "Good";
            if (value == kFanTrayWarning) return "Warning/Bad";
            break;
        case Kind::MultiFan:
            if (value == kMultiFanGood) return "Good";
            if (value == kMultiFanWarning) return "Warning";
            if (value == kMultiFanBad) return "Bad/Unknown";
            break;
        case Kind::MultiPsu:
            if (value == kMultiPsuGood) return "Good";
            if (value == kMultiPsuWarning) return "Warning/Bad";
            break;
    }
    return "?" + std::to_string(value);
}

uint8_t OrvikLedCpldChip::litValue(Kind kind) {
    switch (kind) {
        case Kind::FanTray: return kFanTrayGood;
        case Kind::MultiFan: return kMultiFanGood;
        case Kind::MultiPsu: return kMultiPsuGood;
        case Kind::Status: break;
    }
    return 0;
}

OrvikLedCpldChip::OrvikLedCpldChip() : Chip("orvik-led-cpld") { openProperties_ = true; }

int64_t OrvikLedCpldChip::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint8_t OrvikLedCpldChip::fieldValue(int f) const {
    return uint8_t((regs_[kFields[f].reg] >> kFields[f].shift) & kFields[f].mask);
}

bool OrvikLedCpldChip::write(uint32_t reg, const std::string& data, std::string* err) {
    uint8_t before[kFieldCount];
    for (int f = 0; f < kFieldCount; ++f) before[f] = fieldValue(f);
    if (!Chip::write(reg, data, err)) return false;
    int64_t now = nowMs();
    for (int f = 0; f < kFieldCount; ++f) {
        uint8_t lit = litValue(kFields[f].kind), after = fieldValue(f);
        bool toggle = lit != 0 && ((before[f] == 0 && after == lit) || (before[f] == lit && after == 0));
        if (!toggle) {
            if (after != before[f]) toggledMs_[f][0] = toggledMs_[f][1] = 0;  // a steady setting
            continue;
        }
        toggledMs_[f][0] = toggledMs_[f][1];
        toggledMs_[f][1] = now;
    }
    return true;
}

std::string OrvikLedCpldChip::describe() const {
    int64_t now = nowMs();
    std::string text;
    for (int f = 0; f < kFieldCount; ++f) {
        uint8_t value = fieldValue(f);
        const int64_t* t = toggledMs_[f];
        bool blinking = t[0] != 0 && t[1] - t[0] <= kBlinkWindowMs && now - t[1] <= kBlinkWindowMs;
        std::string shown = blinking ? (value != 0 ? "Beacon(lit)" : "Beacon(dark)") : meaning(kFields[f].kind, value);
        text += (text.empty() ? "" : " ") + std::string(kFields[f].name) + "=" + shown;
    }
    return text;
}

}  // namespace Smbusd
