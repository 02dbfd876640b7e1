// The management EEPROM of a pluggable module at address 0x50: an SFP's page A0h (SFF-8472)
// or a QSFP's lower page and upper page 00h (SFF-8636), built from the identity properties.
// The image encoders are pure functions so their checksums are checked without a bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "Eeprom.h"

namespace Smbusd {

constexpr size_t kXcvrImageSize = 256;
constexpr uint8_t kXcvrIdSfp = 0x03;    // SFP/SFP+
constexpr uint8_t kXcvrIdQsfp28 = 0x11; // QSFP28
constexpr size_t kXcvrTextLength = 16;  // vendor name, part number, serial: space padded
constexpr size_t kXcvrDateLength = 8;   // YYMMDDLL

// SFP page A0h.
constexpr size_t kSfpIdentifier = 0, kSfpExtIdentifier = 1, kSfpConnector = 2;
constexpr size_t kSfpVendorName = 20, kSfpVendorPn = 40, kSfpCcBase = 63;
constexpr size_t kSfpVendorSn = 68, kSfpDateCode = 84, kSfpCcExt = 95;
constexpr uint8_t kSfpExtIdI2c = 0x04;  // serial ID defined by two-wire interface
constexpr uint8_t kConnectorLc = 0x07;

// QSFP lower page and upper page 00h.
constexpr size_t kQsfpIdentifier = 0, kQsfpStatus = 2, kQsfpPageSelect = 127;
constexpr size_t kQsfpUpperIdentifier = 128, kQsfpUpperConnector = 130, kQsfpVendorName = 148;
constexpr size_t kQsfpVendorPn = 168, kQsfpCcBase = 191, kQsfpVendorSn = 196, kQsfpDateCode = 212;
constexpr size_t kQsfpCcExt = 223;
constexpr uint8_t kQsfpRevision8636 = 0x07;
constexpr uint8_t kQsfpStatusFlatMem = 0x04;
constexpr uint8_t kConnectorMpo = 0x0C;

// Low 8 bits of the sum of bytes [from, to] of the image.
uint8_t xcvrChecksum(const std::string& image, size_t from, size_t to);

std::string buildSfpImage(const std::map<std::string, std::string>& fields);
std::string buildQsfpImage(const std::map<std::string, std::string>& fields);

class XcvrEepromChip : public EepromChip {
  public:
    explicit XcvrEepromChip(bool qsfp);
    std::unique_ptr<Chip> clone() const override { return std::make_unique<XcvrEepromChip>(*this); }

  protected:
    std::string buildImage(const std::map<std::string, std::string>& fields) const override {
        return qsfp_ ? buildQsfpImage(fields) : buildSfpImage(fields);
    }

  private:
    bool qsfp_;
};

}  // namespace Smbusd
