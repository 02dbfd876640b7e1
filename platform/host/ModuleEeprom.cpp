#include "ModuleEeprom.h"

#include <cstdio>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace Host {

namespace {

// A fixed-width ASCII field without its padding (spaces or NULs at the end).
std::string text(const uint8_t* image, size_t offset, size_t length) {
    std::string s;
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = image[offset + i];
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : c == 0 ? '\0' : '?';
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    for (auto& c : s)
        if (c == '\0') c = ' ';
    return s;
}

std::string oui(const uint8_t* image, size_t offset) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02x:%02x:%02x", image[offset], image[offset + 1], image[offset + 2]);
    return buffer;
}

// "YYMMDDLL" as 20YY-MM-DD, with the lot code when there is one; the raw text when it is not
// a date.
std::string dateCode(const uint8_t* image, size_t offset) {
    std::string raw = text(image, offset, 8);
    if (raw.size() < 6) return raw;
    for (size_t i = 0; i < 6; ++i)
        if (raw[i] < '0' || raw[i] > '9') return raw;
    std::string date = "20" + raw.substr(0, 2) + "-" + raw.substr(2, 2) + "-" + raw.substr(4, 2);
    std::string lot = raw.size() > 6 ? raw.substr(6) : "";
    while (!lot.empty() && lot.front() == ' ') lot.erase(0, 1);
    return lot.empty() ? date : date + " lot " + lot;
}

uint16_t be16(const uint8_t* image, size_t offset) {
    return static_cast<uint16_t>(image[offset] << 8 | image[offset + 1]);
}

ModuleChecksum checksum(const char* name, const uint8_t* image, size_t first, size_t last, size_t at) {
    return ModuleChecksum{name, image[at], moduleChecksum(image, first, last)};
}

std::string hex2(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02x", value & 0xFF);
    return buffer;
}

std::string fixed(double value, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    return buffer;
}

// The serial ID fields, which both maps have in the same order at their own offsets.
template <class Map>
void readIdFields(const uint8_t* image, ModuleInfo* info) {
    info->connector = image[Map::kConnector];
    info->vendor = text(image, Map::kVendorName, 16);
    info->oui = oui(image, Map::kVendorOui);
    info->partNumber = text(image, Map::kVendorPn, 16);
    info->revision = text(image, Map::kVendorRev, Map::kVendorRevLength);
    info->serial = text(image, Map::kVendorSn, 16);
    info->dateCode = dateCode(image, Map::kDateCode);
    info->checksums.push_back(checksum("CC_BASE", image, Map::kBaseStart, Map::kCcBase - 1, Map::kCcBase));
    info->checksums.push_back(checksum("CC_EXT", image, Map::kExtStart, Map::kCcExt - 1, Map::kCcExt));
}

}  // namespace

std::vector<std::string> ModuleInfo::badChecksums() const {
    std::vector<std::string> bad;
    for (const auto& c : checksums)
        if (!c.ok()) bad.push_back(c.name);
    return bad;
}

bool isQsfpIdentifier(uint8_t identifier) {
    return identifier == kModuleIdQsfp || identifier == kModuleIdQsfpPlus || identifier == kModuleIdQsfp28;
}

uint8_t moduleChecksum(const uint8_t* image, size_t first, size_t last) {
    unsigned sum = 0;
    for (size_t i = first; i <= last; ++i) sum += image[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

std::string moduleIdentifierName(uint8_t identifier) {
    switch (identifier) {
        case 0x00: return "unknown";
        case 0x01: return "GBIC";
        case 0x02: return "soldered module";
        case kModuleIdSfp: return "SFP/SFP+/SFP28";
        case kModuleIdQsfp: return "QSFP";
        case kModuleIdQsfpPlus: return "QSFP+";
        case kModuleIdQsfp28: return "QSFP28";
        case 0x18: return "QSFP-DD";
    }
    return "unknown (" + hex2(identifier) + ")";
}

std::string moduleConnectorName(uint8_t connector) {
    switch (connector) {
        case 0x00: return "unknown";
        case 0x01: return "SC";
        case 0x07: return "LC";
        case 0x0B: return "optical pigtail";
        case 0x0C: return "MPO 1x12";
        case 0x0D: return "MPO 2x16";
        case 0x21: return "copper pigtail";
        case 0x22: return "RJ45";
        case 0x23: return "no separable connector";
        case 0x24: return "MXC 2x16";
        case 0x25: return "CS optical";
        case 0x26: return "SN optical";
        case 0x27: return "MPO 2x12";
        case 0x28: return "MPO 1x16";
    }
    return "unknown (" + hex2(connector) + ")";
}

bool decodeModuleEeprom(const uint8_t* image, size_t size, ModuleInfo* info, std::string* error) {
    *info = ModuleInfo();
    if (size < 1) {
        *error = "empty image";
        return false;
    }
    info->identifier = image[0];
    info->identifierName = moduleIdentifierName(image[0]);
    info->qsfp = isQsfpIdentifier(image[0]);
    if (!info->qsfp && image[0] != kModuleIdSfp) {
        *error = "identifier " + hex2(image[0]) + " (" + info->identifierName + ") is neither SFP nor QSFP";
        return false;
    }
    size_t need = info->qsfp ? Qsfp::kSize : Sfp::kSize;
    if (size < need) {
        *error = "image of " + std::to_string(size) + " bytes, " + std::to_string(need) + " needed";
        return false;
    }
    if (!info->qsfp) {
        readIdFields<Sfp>(image, info);
    } else {
        readIdFields<Qsfp>(image, info);
        const uint8_t diag = image[Qsfp::kDiagType];
        info->hasTemperature = (diag & Qsfp::kDiagTemperature) != 0;
        info->hasVoltage = (diag & Qsfp::kDiagSupplyVoltage) != 0;
        info->hasTxPower = (diag & Qsfp::kDiagTxPower) != 0;
        info->temperatureC = static_cast<int16_t>(be16(image, Qsfp::kTemperature)) / 256.0;
        info->supplyVolts = be16(image, Qsfp::kSupplyVoltage) * 100e-6;
        for (size_t lane = 0; lane < Qsfp::kLanes; ++lane) {
            ModuleLane l;
            l.rxPowerMw = be16(image, Qsfp::kRxPower + 2 * lane) * 1e-4;  // 0.1 uW
            l.txBiasMa = be16(image, Qsfp::kTxBias + 2 * lane) * 2e-3;    // 2 uA
            l.txPowerMw = be16(image, Qsfp::kTxPower + 2 * lane) * 1e-4;
            info->lanes.push_back(l);
        }
    }
    info->connectorName = moduleConnectorName(info->connector);
    return true;
}

std::string renderModuleText(const ModuleInfo& m) {
    std::string out;
    auto line = [&out](const char* name, const std::string& value) {
        const std::string label = std::string(name) + ":";
        out += value.empty() ? label + "\n" : label + std::string(17 - label.size(), ' ') + value + "\n";
    };
    line("identifier", hex2(m.identifier) + " (" + m.identifierName + ")");
    line("connector", hex2(m.connector) + " (" + m.connectorName + ")");
    line("vendor name", m.vendor);
    line("vendor OUI", m.oui);
    line("part number", m.partNumber);
    line("revision", m.revision);
    line("serial number", m.serial);
    line("date code", m.dateCode);
    for (const auto& c : m.checksums)
        line(c.name.c_str(), c.ok() ? "ok (" + hex2(c.stored) + ")"
                                    : "BAD (stored " + hex2(c.stored) + ", computed " + hex2(c.computed) + ")");
    if (m.hasTemperature) line("temperature", fixed(m.temperatureC, 2) + " C");
    if (m.hasVoltage) line("supply voltage", fixed(m.supplyVolts, 4) + " V");
    for (size_t i = 0; i < m.lanes.size(); ++i) {
        const auto& l = m.lanes[i];
        std::string value = "rx power " + fixed(l.rxPowerMw, 4) + " mW, tx bias " + fixed(l.txBiasMa, 3) + " mA";
        if (m.hasTxPower) value += ", tx power " + fixed(l.txPowerMw, 4) + " mW";
        line(("lane " + std::to_string(i + 1)).c_str(), value);
    }
    return out;
}

std::string renderModuleJson(const ModuleInfo& m) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    auto str = [&w](const char* key, const std::string& value) {
        w.Key(key);
        w.String(value.c_str());
    };
    w.StartObject();
    str("type", m.qsfp ? "QSFP" : "SFP");
    w.Key("identifier");
    w.Uint(m.identifier);
    str("identifierName", m.identifierName);
    w.Key("connector");
    w.Uint(m.connector);
    str("connectorName", m.connectorName);
    str("vendor", m.vendor);
    str("oui", m.oui);
    str("partNumber", m.partNumber);
    str("revision", m.revision);
    str("serial", m.serial);
    str("dateCode", m.dateCode);
    w.Key("checksums");
    w.StartObject();
    for (const auto& c : m.checksums) {
        w.Key(c.name.c_str());
        w.StartObject();
        w.Key("ok");
        w.Bool(c.ok());
        w.Key("stored");
        w.Uint(c.stored);
        w.Key("computed");
        w.Uint(c.computed);
        w.EndObject();
    }
    w.EndObject();
    if (m.hasTemperature) {
        w.Key("temperature");
        w.Double(m.temperatureC);
    }
    if (m.hasVoltage) {
        w.Key("supplyVoltage");
        w.Double(m.supplyVolts);
    }
    if (!m.lanes.empty()) {
        w.Key("lanes");
        w.StartArray();
        for (const auto& l : m.lanes) {
            w.StartObject();
            w.Key("rxPowerMw");
            w.Double(l.rxPowerMw);
            w.Key("txBiasMa");
            w.Double(l.txBiasMa);
            if (m.hasTxPower) {
                w.Key("txPowerMw");
                w.Double(l.txPowerMw);
            }
            w.EndObject();
        }
        w.EndArray();
    }
    w.EndObject();
    return std::string(buffer.GetString()) + "\n";
}

std::string renderDumpTable(const std::vector<int>& values) {
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char cell[8];
    for (size_t row = 0; row < 256; row += 16) {
        std::snprintf(cell, sizeof cell, "%02zx: ", row);
        std::string hex = cell, ascii;
        for (size_t i = row; i < row + 16; ++i) {
            int v = i < values.size() ? values[i] : -1;
            if (v < 0) {
                hex += "XX ";
                ascii += 'X';
                continue;
            }
            std::snprintf(cell, sizeof cell, "%02x ", static_cast<unsigned>(v & 0xFF));
            hex += cell;
            // As i2cdump: 00 and ff are '.', other unprintable bytes '?'.
            ascii += (v == 0x00 || v == 0xFF) ? '.' : (v < 0x20 || v >= 0x7F) ? '?' : static_cast<char>(v);
        }
        out += hex + "   " + ascii + "\n";
    }
    return out;
}

}  // namespace Host
