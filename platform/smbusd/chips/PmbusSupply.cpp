#include "PmbusSupply.h"

#include <cmath>

#include "Text.h"

namespace Smbusd {

namespace {

std::string smbusBlock(const std::string& text) {
    std::string t = text.substr(0, 255);
    return std::string(1, char(t.size())) + t;
}

}  // namespace

// ---------------------------------------------------------------- numeric formats

uint16_t encodeLinear11(double value) {
    if (value == 0.0) return 0;
    for (int e = -16; e <= 15; ++e) {
        double m = std::round(std::ldexp(value, -e));
        if (m >= -1024 && m <= 1023) {
            return uint16_t(((e & 0x1F) << 11) | (int(m) & 0x7FF));
        }
    }
    return uint16_t((15 << 11) | (value < 0 ? 0x400 : 0x3FF));
}

uint16_t encodeLinear16(double value, uint8_t voutMode) {
    if (voutMode == PmbusSupplyChip::kVoutModeLinear11) return encodeLinear11(value);
    if (voutMode >> 5) return 0;  // VID and direct modes carry no linear value here
    int e = voutMode & 0x1F;
    if (e & 0x10) e -= 32;
    double m = std::round(std::ldexp(value, -e));
    if (m < 0) m = 0;
    if (m > 65535) m = 65535;
    return uint16_t(m);
}

// ---------------------------------------------------------------- the supply

PmbusSupplyChip::PmbusSupplyChip() : Chip("pmbus") {
    declare("power_good", PropKind::Flag, "1");
    declare("off", PropKind::Flag, "0");
    declare("vout_mode", PropKind::Number, "0x17");
    declare("vin", PropKind::Number, "230");
    declare("iin", PropKind::Number, "1.25");
    declare("vout", PropKind::Number, "12");
    declare("iout", PropKind::Number, "20");
    declare("pin", PropKind::Number, "265");
    declare("pout", PropKind::Number, "240");
    declare("temp1", PropKind::Number, "38");
    declare("temp2", PropKind::Number, "32");
    declare("fan1_rpm_max", PropKind::Number, "20000");
    declare("fan2_rpm_max", PropKind::Number, "20000");
    declare("fan1_duty", PropKind::Number, "50");
    declare("fan2_duty", PropKind::Number, "50");
    declare("fan1_rpm", PropKind::Number, "10000");
    declare("fan2_rpm", PropKind::Number, "10000");
    declare("fan1_fault", PropKind::Flag, "0");
    declare("fan2_fault", PropKind::Flag, "0");
    declare("status_extra", PropKind::Number, "0");
    declare("vendor", PropKind::Text, "Emerson");
    declare("model", PropKind::Text, "PS-2471-1AZ1-LF");
    declare("serial", PropKind::Text, "61AZ10101E340DU");
}

uint16_t PmbusSupplyChip::statusWord() const {
    uint16_t w = uint16_t(uint64_t(number("status_extra")) & 0xFFFF);
    if (flag("off")) w |= kStatusOff;
    if (!flag("power_good")) w |= kStatusPowerGoodNegated;
    if (flag("fan1_fault") || flag("fan2_fault")) w |= kStatusFans;
    return w;
}

bool PmbusSupplyChip::commandBytes(uint8_t command, std::string* bytes) const {
    auto lin = [this](const char* p) { return wordBytes(encodeLinear11(number(p))); };
    switch (command) {
        case kOperation:
            *bytes = std::string(1, char(flag("off") ? 0x00 : kOperationOn));
            return true;
        case kVoutMode:
            *bytes = std::string(1, char(uint8_t(uint64_t(number("vout_mode")))));
            return true;
        case kFanCommand1:
            *bytes = wordBytes(uint16_t(number("fan1_duty")));
            return true;
        case kFanCommand2:
            *bytes = wordBytes(uint16_t(number("fan2_duty")));
            return true;
        case kStatusByte:
            *bytes = std::string(1, char(statusWord() & 0xFF));
            return true;
        case kStatusWord:
            *bytes = wordBytes(statusWord());
            return true;
        case kStatusFans12:
            *bytes = std::string(1, char((flag("fan1_fault") ? kFan1Fault : 0) |
                                         (flag("fan2_fault") ? kFan2Fault : 0)));
            return true;
        case kReadVin:
            *bytes = lin("vin");
            return true;
        case kReadIin:
            *bytes = lin("iin");
            return true;
        case kReadVout:
            *bytes = wordBytes(encodeLinear16(number("vout"), uint8_t(uint64_t(number("vout_mode")))));
            return true;
        case kReadIout:
            *bytes = lin("iout");
            return true;
        case kReadTemperature1:
            *bytes = lin("temp1");
            return true;
        case kReadTemperature2:
            *bytes = lin("temp2");
            return true;
        case kReadFanSpeed1:
            *bytes = lin("fan1_rpm");
            return true;
        case kReadFanSpeed2:
            *bytes = lin("fan2_rpm");
            return true;
        case kReadPout:
            *bytes = lin("pout");
            return true;
        case kReadPin:
            *bytes = lin("pin");
            return true;
        case kPmbusRevision:
            *bytes = std::string(1, char(kRevision12));
            return true;
        case kMfrId:
            *bytes = smbusBlock(text("vendor"));
            return true;
        case kMfrModel:
            *bytes = smbusBlock(text("model"));
            return true;
        case kMfrSerial:
            *bytes = smbusBlock(text("serial"));
            return true;
        default:
            return false;
    }
}

bool PmbusSupplyChip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    std::string bytes;
    if (reg <= 0xFF && commandBytes(uint8_t(reg), &bytes)) {
        if (len > kMaxRegisterRead) return checkReg(reg, len, err);
        bytes.resize(len, '\xff');
        *out = bytes;
        return true;
    }
    return Chip::read(reg, len, out, err);
}

void PmbusSupplyChip::setDuty(int fan, double duty) {
    std::string p = "fan" + std::to_string(fan);
    store(p + "_duty", formatNumber(duty));
    store(p + "_rpm", formatNumber(std::round(duty / 100.0 * number(p + "_rpm_max"))));
}

bool PmbusSupplyChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!data.empty()) {
        unsigned value = uint8_t(data[0]) | (data.size() > 1 ? uint8_t(data[1]) << 8 : 0);
        switch (reg) {
            case kOperation:
                store("off", (value & kOperationOn) ? "0" : "1");
                return true;
            case kVoutMode:
                store("vout_mode", formatNumber(value & 0xFF));
                return true;
            case kFanCommand1:
                setDuty(1, value);
                return true;
            case kFanCommand2:
                setDuty(2, value);
                return true;
            default:
                break;
        }
    }
    return Chip::write(reg, data, err);
}

bool PmbusSupplyChip::blockRead(uint32_t reg, std::string* out, std::string* err) {
    std::string bytes;
    if ((reg == kMfrId || reg == kMfrModel || reg == kMfrSerial) && commandBytes(uint8_t(reg), &bytes)) {
        *out = bytes.substr(1);
        return true;
    }
    return Chip::blockRead(reg, out, err);
}

void PmbusSupplyChip::propertyChanged(const std::string& name) {
    if (name == "fan1_duty" || name == "fan1_rpm_max") setDuty(1, number("fan1_duty"));
    if (name == "fan2_duty" || name == "fan2_rpm_max") setDuty(2, number("fan2_duty"));
}

}  // namespace Smbusd
