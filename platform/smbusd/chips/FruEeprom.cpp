#include "FruEeprom.h"

namespace Smbusd {

namespace {

std::string field(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

// The byte that makes the sum of all bytes 0 (mod 256).
unsigned char zeroChecksum(const unsigned char* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<unsigned char>(-sum);
}

}  // namespace

std::string buildFruImage(const std::map<std::string, std::string>& f) {
    std::string image(kFruImageSize, '\xff');
    unsigned char header[kFruHeaderSize] = {kFruFormatVersion, 0, 0, 0, 0, 0, 0, 0};
    header[kFruHeaderProductOffsetByte] = kFruProductAreaOffset / 8;
    header[kFruHeaderSize - 1] = zeroChecksum(header, kFruHeaderSize - 1);
    image.replace(0, kFruHeaderSize, reinterpret_cast<const char*>(header), kFruHeaderSize);

    std::string area;
    area += char(kFruFormatVersion);
    area += char(0x00);  // length in 8-byte units, filled below
    area += char(kFruLanguageEnglish);
    for (const char* key : kFruProductFields) {
        std::string v = field(f, key).substr(0, kFruMaxFieldLength);
        area += char(kFruTypeLength8BitAscii | v.size());
        area += v;
    }
    area += char(kFruEndOfFields);
    while ((area.size() + 1) % 8) area += char(0x00);
    const size_t maxArea = kFruImageSize - kFruProductAreaOffset;
    if (area.size() + 1 > maxArea) area.resize(maxArea - 1);  // keep inside the part
    area[1] = char((area.size() + 1) / 8);
    area += char(zeroChecksum(reinterpret_cast<const unsigned char*>(area.data()), area.size()));
    image.replace(kFruProductAreaOffset, area.size(), area);
    return image;
}

FruEepromChip::FruEepromChip() : EepromChip("fru-eeprom") {
    declare("vendor", PropKind::Text, "DELTA");
    declare("model", PropKind::Text, "DPS550AB6A");
    declare("part", PropKind::Text, "DPS-550AB-6 A");
    declare("version", PropKind::Text, "S1F");
    declare("serial", PropKind::Text, "GTVD1615001656");
    declare("asset", PropKind::Text, "");
    declare("fru_id", PropKind::Text, "");
    regenerate();
}

}  // namespace Smbusd
