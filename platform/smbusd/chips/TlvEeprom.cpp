#include "TlvEeprom.h"

#include <cstdio>

namespace Smbusd {

namespace {

std::string field(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

}  // namespace

uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

std::string buildTlvImage(const std::map<std::string, std::string>& f) {
    std::string records;
    auto add = [&records](uint8_t type, const std::string& value) {
        if (value.empty()) return;
        std::string v = value.substr(0, kTlvMaxValueLength);
        records += char(type);
        records += char(v.size());
        records += v;
    };
    add(kTlvProductName, field(f, "product"));
    add(kTlvPartNumber, field(f, "model"));
    add(kTlvSerialNumber, field(f, "serial"));
    std::string mac = field(f, "mac");
    if (!mac.empty()) {
        unsigned b[6];
        if (std::sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6) {
            std::string raw;
            for (unsigned x : b) raw += char(x & 0xFF);
            add(kTlvBaseMac, raw);
        }
    }
    add(kTlvManufactureDate, field(f, "date"));
    add(kTlvVendor, field(f, "vendor"));
    const size_t maxRecords = kTlvMaxSize - kTlvHeaderSize - kTlvCrcRecordSize;
    if (records.size() > maxRecords) records.resize(maxRecords);
    std::string image = std::string(kTlvIdString, sizeof kTlvIdString) + char(kTlvHeaderVersion);
    uint16_t total = uint16_t(records.size() + kTlvCrcRecordSize);
    image += char(total >> 8);
    image += char(total & 0xFF);
    image += records;
    image += char(kTlvCrc32);
    image += char(kTlvCrcRecordSize - 2);
    uint32_t crc = crc32(image);
    for (int shift = 24; shift >= 0; shift -= 8) image += char((crc >> shift) & 0xFF);
    image.resize(kTlvImageSpace, '\xff');
    return image;
}

TlvEepromChip::TlvEepromChip() : EepromChip("tlv-eeprom") {
    declare("product", PropKind::Text, "PSU-550-AC");
    declare("model", PropKind::Text, "DPS550AB6A");
    declare("serial", PropKind::Text, "GTVD1615001656");
    declare("vendor", PropKind::Text, "Delta");
    declare("mac", PropKind::Text, "");
    declare("date", PropKind::Text, "");
    regenerate();
}

}  // namespace Smbusd
