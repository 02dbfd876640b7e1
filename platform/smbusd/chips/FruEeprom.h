// IPMI FRU EEPROM of a power supply: a 256-byte image with the common header and a product
// info area built from the identity properties.
#pragma once

#include <map>
#include <string>

#include "Eeprom.h"

namespace Smbusd {

// Image layout.
constexpr size_t kFruImageSize = 256;
constexpr unsigned char kFruFormatVersion = 0x01;  // common header and area format
constexpr size_t kFruHeaderSize = 8;
constexpr size_t kFruProductAreaOffset = 8;       // in bytes; the header stores it in 8-byte units
constexpr size_t kFruHeaderProductOffsetByte = 4;  // header byte holding the product area offset
constexpr unsigned char kFruLanguageEnglish = 0x00;
constexpr unsigned char kFruTypeLength8BitAscii = 0xC0;  // type/length byte: 8-bit ASCII, length in bits 5-0
constexpr unsigned char kFruEndOfFields = 0xC1;
constexpr size_t kFruMaxFieldLength = 63;
// The product info area fields, in area order, and the properties that fill them.
constexpr const char* kFruProductFields[] = {"vendor", "model", "part", "version", "serial", "asset", "fru_id"};

std::string buildFruImage(const std::map<std::string, std::string>& fields);

class FruEepromChip : public EepromChip {
  public:
    FruEepromChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<FruEepromChip>(*this); }

  protected:
    std::string buildImage(const std::map<std::string, std::string>& fields) const override {
        return buildFruImage(fields);
    }
};

}  // namespace Smbusd
