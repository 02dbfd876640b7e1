// ONIE TlvInfo EEPROM of a power supply: header, one record per non-empty identity property
// and the CRC-32 record, in a 64 KiB address space (0xFF after the image).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Eeprom.h"

namespace Smbusd {

// Image layout.
constexpr char kTlvIdString[] = "TlvInfo";  // 8 bytes with its NUL
constexpr uint8_t kTlvHeaderVersion = 0x01;
constexpr size_t kTlvHeaderSize = 11;  // id string, version, 2-byte big-endian total length
constexpr size_t kTlvMaxSize = 2048;
constexpr size_t kTlvImageSpace = 65536;
constexpr size_t kTlvMaxValueLength = 255;
// Record types and the properties that fill them.
constexpr uint8_t kTlvProductName = 0x21;
constexpr uint8_t kTlvPartNumber = 0x22;   // property "model"
constexpr uint8_t kTlvSerialNumber = 0x23;
constexpr uint8_t kTlvBaseMac = 0x24;      // property "mac", aa:bb:cc:dd:ee:ff
constexpr uint8_t kTlvManufactureDate = 0x25;
constexpr uint8_t kTlvVendor = 0x2B;
constexpr uint8_t kTlvCrc32 = 0xFE;
constexpr size_t kTlvCrcRecordSize = 6;    // type, length 4, CRC big-endian

// CRC-32 (IEEE 802.3, reflected, initial and final value 0xFFFFFFFF).
uint32_t crc32(const std::string& bytes);
std::string buildTlvImage(const std::map<std::string, std::string>& fields);

class TlvEepromChip : public EepromChip {
  public:
    TlvEepromChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<TlvEepromChip>(*this); }

  protected:
    std::string buildImage(const std::map<std::string, std::string>& fields) const override {
        return buildTlvImage(fields);
    }
};

}  // namespace Smbusd
