// The identity EEPROM of an OrvikS fan tray: a 256-byte part holding the tray's airflow byte,
// its model and its serial number, built from the chip's properties and rebuilt when one
// changes. The airflow byte is what the fan tray EEPROM driver reads as the airflow GPIO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "Eeprom.h"

namespace Smbusd {

// Image layout.
constexpr size_t kFanEepromSize = 256;
constexpr size_t kFanEepromFormatOffset = 0x00;  // format version byte
constexpr uint8_t kFanEepromFormatVersion = 0x01;
constexpr size_t kFanEepromAirflowOffset = 0x10;  // airflow byte
constexpr uint8_t kFanAirflowFrontToBack = 'F';   // 0x46 (70)
constexpr uint8_t kFanAirflowBackToFront = 'B';   // 0x42 (66)
constexpr uint8_t kFanAirflowBlank = 0xFF;        // any other "airflow" text: an unprogrammed byte
constexpr size_t kFanEepromModelOffset = 0x20;    // ASCII, NUL padded
constexpr size_t kFanEepromSerialOffset = 0x30;   // ASCII, NUL padded
constexpr size_t kFanEepromTextLength = 16;
constexpr uint8_t kFanEepromErased = 0xFF;

// The airflow byte for the "airflow" property: f2b or b2f (any case), else blank.
uint8_t fanAirflowByte(const std::string& airflow);
std::string buildFanTrayEepromImage(const std::map<std::string, std::string>& fields);

class FanTrayEepromChip : public EepromChip {
  public:
    FanTrayEepromChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<FanTrayEepromChip>(*this); }

  protected:
    std::string buildImage(const std::map<std::string, std::string>& fields) const override {
        return buildFanTrayEepromImage(fields);
    }
};

}  // namespace Smbusd
