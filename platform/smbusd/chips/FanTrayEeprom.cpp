#include "FanTrayEeprom.h"

#include <strings.h>

namespace Smbusd {

namespace {

std::string field(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

// The text cut to the field and padded with NULs.
std::string textField(const std::string& text) {
    std::string v = text.substr(0, kFanEepromTextLength);
    v.resize(kFanEepromTextLength, '\0');
    return v;
}

}  // namespace

uint8_t fanAirflowByte(const std::string& airflow) {
    if (strcasecmp(airflow.c_str(), "f2b") == 0) return kFanAirflowFrontToBack;
    if (strcasecmp(airflow.c_str(), "b2f") == 0) return kFanAirflowBackToFront;
    return kFanAirflowBlank;
}

std::string buildFanTrayEepromImage(const std::map<std::string, std::string>& f) {
    std::string image(kFanEepromSize, char(kFanEepromErased));
    image[kFanEepromFormatOffset] = char(kFanEepromFormatVersion);
    image[kFanEepromAirflowOffset] = char(fanAirflowByte(field(f, "airflow")));
    image.replace(kFanEepromModelOffset, kFanEepromTextLength, textField(field(f, "model")));
    image.replace(kFanEepromSerialOffset, kFanEepromTextLength, textField(field(f, "serial")));
    return image;
}

FanTrayEepromChip::FanTrayEepromChip() : EepromChip("fan-eeprom") {
    declare("airflow", PropKind::Text, "f2b");
    declare("model", PropKind::Text, "FAN-ORVIKS-80");
    declare("serial", PropKind::Text, "FT00000000");
    regenerate();
}

}  // namespace Smbusd
