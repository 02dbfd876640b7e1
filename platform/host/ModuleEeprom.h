// Decoding a pluggable module's identification EEPROM as operators read it: the SFP serial ID
// page (SFF-8472, address A0h, bytes 0-127) and the QSFP memory map (SFF-8636: lower page,
// bytes 0-127, and upper page 00h, bytes 128-255), with the checksums of the ID fields
// verified. Pure functions over the bytes read; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Host {

// SFF-8024 identifier values (byte 0 of either map).
constexpr uint8_t kModuleIdSfp = 0x03;
constexpr uint8_t kModuleIdQsfp = 0x0C;
constexpr uint8_t kModuleIdQsfpPlus = 0x0D;
constexpr uint8_t kModuleIdQsfp28 = 0x11;

// SFF-8472 A0h: serial ID fields.
struct Sfp {
    static constexpr size_t kIdentifier = 0;
    static constexpr size_t kConnector = 2;
    static constexpr size_t kVendorName = 20;  // 16 bytes, ASCII padded with spaces
    static constexpr size_t kVendorOui = 37;   // 3 bytes
    static constexpr size_t kVendorPn = 40;    // 16 bytes
    static constexpr size_t kVendorRev = 56;   // 4 bytes
    static constexpr size_t kVendorRevLength = 4;
    static constexpr size_t kBaseStart = 0;      // first byte CC_BASE sums
    static constexpr size_t kCcBase = 63;      // sum of bytes 0-62
    static constexpr size_t kExtStart = 64;
    static constexpr size_t kVendorSn = 68;    // 16 bytes
    static constexpr size_t kDateCode = 84;    // 8 bytes: YYMMDD and a lot code
    static constexpr size_t kCcExt = 95;       // sum of bytes 64-94
    static constexpr size_t kSize = 128;
};

// SFF-8636: lower page monitors and upper page 00h (offsets in the 256-byte map).
struct Qsfp {
    static constexpr size_t kIdentifier = 0;
    static constexpr size_t kStatus = 2;        // bit 2: flat memory (upper page 00h only)
    static constexpr uint8_t kStatusFlatMemory = 0x04;
    static constexpr size_t kPageSelect = 127;
    static constexpr size_t kTemperature = 22;  // signed, 1/256 degree C
    static constexpr size_t kSupplyVoltage = 26;  // 100 uV units
    static constexpr size_t kRxPower = 34;      // 4 lanes x 2 bytes, 0.1 uW units
    static constexpr size_t kTxBias = 42;       // 4 lanes x 2 bytes, 2 uA units
    static constexpr size_t kTxPower = 50;      // 4 lanes x 2 bytes, 0.1 uW units
    static constexpr size_t kLanes = 4;
    static constexpr size_t kUpperStart = 128;
    static constexpr size_t kConnector = 130;
    static constexpr size_t kVendorName = 148;  // 16 bytes
    static constexpr size_t kVendorOui = 165;   // 3 bytes
    static constexpr size_t kVendorPn = 168;    // 16 bytes
    static constexpr size_t kVendorRev = 184;   // 2 bytes
    static constexpr size_t kVendorRevLength = 2;
    static constexpr size_t kBaseStart = kUpperStart;
    static constexpr size_t kCcBase = 191;      // sum of bytes 128-190
    static constexpr size_t kExtStart = 192;
    static constexpr size_t kVendorSn = 196;    // 16 bytes
    static constexpr size_t kDateCode = 212;    // 8 bytes
    static constexpr size_t kDiagType = 220;    // bit 5 temperature, bit 4 supply voltage, bit 2 tx power monitored
    static constexpr size_t kCcExt = 223;       // sum of bytes 192-222
    static constexpr size_t kSize = 256;
    static constexpr uint8_t kDiagTemperature = 0x20;
    static constexpr uint8_t kDiagSupplyVoltage = 0x10;
    static constexpr uint8_t kDiagTxPower = 0x04;
};

struct ModuleChecksum {
    std::string name;  // "CC_BASE", "CC_EXT"
    uint8_t stored = 0;
    uint8_t computed = 0;
    bool ok() const { return stored == computed; }
};

struct ModuleLane {
    double rxPowerMw = 0;
    double txBiasMa = 0;
    double txPowerMw = 0;
};

struct ModuleInfo {
    bool qsfp = false;
    uint8_t identifier = 0;
    std::string identifierName;  // "SFP/SFP+/SFP28", "QSFP28", ...
    uint8_t connector = 0;
    std::string connectorName;  // "LC", "MPO 1x12", ...
    std::string vendor, oui, partNumber, revision, serial, dateCode;
    std::vector<ModuleChecksum> checksums;
    // QSFP monitors from the lower page, as the module advertises them.
    bool hasTemperature = false, hasVoltage = false, hasTxPower = false;
    double temperatureC = 0, supplyVolts = 0;
    std::vector<ModuleLane> lanes;  // empty for SFP

    // The checksums that don't match, by name ("CC_BASE"), empty when all are right.
    std::vector<std::string> badChecksums() const;
};

// Whether the identifier byte names a QSFP-family module (SFF-8636 map of 256 bytes).
bool isQsfpIdentifier(uint8_t identifier);
// The low 8 bits of the sum of bytes [first, last] of the image.
uint8_t moduleChecksum(const uint8_t* image, size_t first, size_t last);
std::string moduleIdentifierName(uint8_t identifier);
std::string moduleConnectorName(uint8_t connector);

// Decodes an SFP A0h page (at least 128 bytes) or a QSFP map (at least 256 bytes), as the
// identifier byte says. False with `error` when the image is too short for its kind or the
// identifier is neither.
bool decodeModuleEeprom(const uint8_t* image, size_t size, ModuleInfo* info, std::string* error);

// For people: one "name: value" line per field, checksums marked "ok" or "BAD (stored 0x.., computed 0x..)".
std::string renderModuleText(const ModuleInfo& info);
// One JSON object with the same fields.
std::string renderModuleJson(const ModuleInfo& info);

// The i2cdump table of 256 registers: a header of column numbers, 16 rows of 16 bytes with
// the row offset and an ASCII column. values[i] < 0 is a failed read, shown as XX.
std::string renderDumpTable(const std::vector<int>& values);

}  // namespace Host
