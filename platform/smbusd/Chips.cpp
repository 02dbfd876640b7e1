#include "Chips.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace smbusd {

namespace {

std::string hexReg(uint32_t reg) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02x", unsigned(reg));
    return buf;
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string formatNumber(double v) {
    char buf[64];
    if (std::fabs(v - std::round(v)) < 1e-12 && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(std::llround(v)));
    } else {
        std::snprintf(buf, sizeof buf, "%.10g", v);
    }
    return buf;
}

std::string word(uint16_t v) {
    std::string s(2, '\0');
    s[0] = char(v & 0xFF);
    s[1] = char(v >> 8);
    return s;
}

std::string smbusBlock(const std::string& text) {
    std::string t = text.substr(0, 255);
    return std::string(1, char(t.size())) + t;
}

constexpr uint32_t kMaxRegisterRead = 256;
constexpr uint32_t kMaxEepromRead = 65536;

}  // namespace

// ---------------------------------------------------------------- parsing

bool parseNumber(const std::string& text, double* out) {
    std::string t = trimmed(text);
    if (t.empty()) return false;
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parseUnsigned(const std::string& text, uint64_t* out) {
    std::string t = trimmed(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    int base = 10;
    const char* s = t.c_str();
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        s += 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, base);
    if (end == s || *end != '\0' || errno == ERANGE) return false;
    *out = v;
    return true;
}

bool parseFlag(const std::string& text, bool* out) {
    std::string t = trimmed(text);
    for (auto& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (t == "1" || t == "true" || t == "on" || t == "yes") {
        *out = true;
        return true;
    }
    if (t == "0" || t == "false" || t == "off" || t == "no") {
        *out = false;
        return true;
    }
    double v;
    if (parseNumber(t, &v)) {
        *out = v != 0;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- encoders

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
    if (voutMode == 0xFF) return encodeLinear11(value);
    if (voutMode >> 5) return 0;  // VID and direct modes carry no linear value here
    int e = voutMode & 0x1F;
    if (e & 0x10) e -= 32;
    double m = std::round(std::ldexp(value, -e));
    if (m < 0) m = 0;
    if (m > 65535) m = 65535;
    return uint16_t(m);
}

uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

namespace {
std::string field(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}
}  // namespace

std::string buildFruImage(const std::map<std::string, std::string>& f) {
    std::string image(256, '\xff');
    // Common header: version 1, product info area at 8 (offset 1 in 8-byte units).
    unsigned char header[8] = {0x01, 0, 0, 0, 0x01, 0, 0, 0};
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += header[i];
    header[7] = static_cast<unsigned char>(-sum);
    image.replace(0, 8, reinterpret_cast<const char*>(header), 8);

    std::string area;
    area += char(0x01);  // format version
    area += char(0x00);  // length, filled below
    area += char(0x00);  // language: English
    for (const char* key : {"vendor", "model", "part", "version", "serial", "asset", "fru_id"}) {
        std::string v = field(f, key).substr(0, 63);
        area += char(0xC0 | v.size());
        area += v;
    }
    area += char(0xC1);
    while ((area.size() + 1) % 8) area += char(0x00);
    if (area.size() + 1 > 248) area.resize(247);  // keep inside the 256-byte part
    area[1] = char((area.size() + 1) / 8);
    sum = 0;
    for (unsigned char c : area) sum += c;
    area += char(static_cast<unsigned char>(-sum));
    image.replace(8, area.size(), area);
    return image;
}

std::string buildTlvImage(const std::map<std::string, std::string>& f) {
    std::string records;
    auto add = [&records](unsigned type, const std::string& value) {
        if (value.empty()) return;
        std::string v = value.substr(0, 255);
        records += char(type);
        records += char(v.size());
        records += v;
    };
    add(0x21, field(f, "product"));
    add(0x22, field(f, "model"));
    add(0x23, field(f, "serial"));
    std::string mac = field(f, "mac");
    if (!mac.empty()) {
        unsigned b[6];
        if (std::sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6) {
            std::string raw;
            for (unsigned x : b) raw += char(x & 0xFF);
            add(0x24, raw);
        }
    }
    add(0x25, field(f, "date"));
    add(0x2B, field(f, "vendor"));
    if (records.size() > 2048 - 11 - 6) records.resize(2048 - 11 - 6);
    std::string image = std::string("TlvInfo", 7) + char(0) + char(0x01);
    uint16_t total = uint16_t(records.size() + 6);
    image += char(total >> 8);
    image += char(total & 0xFF);
    image += records;
    image += char(0xFE);
    image += char(0x04);
    uint32_t crc = crc32(image);
    for (int shift = 24; shift >= 0; shift -= 8) image += char((crc >> shift) & 0xFF);
    image.resize(65536, '\xff');
    return image;
}

// ---------------------------------------------------------------- Chip

Chip::Chip(std::string model) : model_(std::move(model)) {
    std::memset(regs_, 0, sizeof regs_);
    declare("present", PropKind::Flag, "1");
}

void Chip::declare(const std::string& name, PropKind kind, const std::string& initial) {
    props_[name] = Prop{kind, initial};
}

bool Chip::getProperty(const std::string& name, std::string* value) const {
    auto it = props_.find(name);
    if (it == props_.end()) return false;
    *value = it->second.value;
    return true;
}

bool Chip::setProperty(const std::string& name, const std::string& value, std::string* err) {
    auto it = props_.find(name);
    if (it == props_.end()) {
        if (!openProperties_) {
            std::string known;
            for (const auto& p : props_) known += (known.empty() ? "" : ", ") + p.first;
            *err = "unknown property '" + name + "' of a " + model_ + " chip (known: " + known + ")";
            return false;
        }
        it = props_.emplace(name, Prop{PropKind::Text, std::string()}).first;
    }
    std::string v = value;
    if (it->second.kind == PropKind::Number) {
        double d;
        if (!parseNumber(value, &d)) {
            *err = "property '" + name + "' needs a number, got '" + value + "'";
            return false;
        }
        v = trimmed(value);
    } else if (it->second.kind == PropKind::Flag) {
        bool b;
        if (!parseFlag(value, &b)) {
            *err = "property '" + name + "' needs 0 or 1, got '" + value + "'";
            return false;
        }
        v = b ? "1" : "0";
    }
    it->second.value = v;
    if (name == "present") present_ = v == "1";
    propertyChanged(name);
    return true;
}

std::vector<std::pair<std::string, std::string>> Chip::properties() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& p : props_) out.emplace_back(p.first, p.second.value);
    return out;
}

void Chip::store(const std::string& name, const std::string& value) {
    auto it = props_.find(name);
    if (it != props_.end()) it->second.value = value;
}

double Chip::number(const std::string& name) const {
    auto it = props_.find(name);
    double v = 0;
    if (it != props_.end()) parseNumber(it->second.value, &v);
    return v;
}

bool Chip::flag(const std::string& name) const {
    auto it = props_.find(name);
    bool b = false;
    if (it != props_.end()) parseFlag(it->second.value, &b);
    return b;
}

const std::string& Chip::text(const std::string& name) const {
    static const std::string empty;
    auto it = props_.find(name);
    return it == props_.end() ? empty : it->second.value;
}

bool Chip::signal(const std::string& name) const {
    if (name == "power_good" && !present()) return false;
    auto it = props_.find(name);
    if (it == props_.end()) return false;
    if (it->second.kind == PropKind::Text) {
        bool b;
        if (parseFlag(it->second.value, &b)) return b;
        return !it->second.value.empty();
    }
    return flag(name);
}

bool Chip::checkReg(uint32_t reg, uint32_t len, std::string* err) const {
    if (reg > 0xFF) {
        *err = "register " + hexReg(reg) + " out of range";
        return false;
    }
    if (len > kMaxRegisterRead) {
        *err = "transfer of " + std::to_string(len) + " bytes too long";
        return false;
    }
    return true;
}

bool Chip::receiveByte(std::string* out, std::string* /*err*/) {
    *out = std::string(1, char(regs_[pointer_]));
    return true;
}

bool Chip::sendByte(uint8_t command, std::string* /*err*/) {
    pointer_ = command;
    return true;
}

bool Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = char(regs_[(reg + i) & 0xFF]);
    pointer_ = uint8_t(reg);
    return true;
}

bool Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    for (size_t i = 0; i < data.size(); ++i) regs_[(reg + i) & 0xFF] = uint8_t(data[i]);
    pointer_ = uint8_t(reg);
    return true;
}

bool Chip::processCall(uint32_t reg, uint16_t value, std::string* out, std::string* err) {
    if (!write(reg, word(value), err)) return false;
    return read(reg, 2, out, err);
}

bool Chip::blockRead(uint32_t reg, std::string* out, std::string* err) {
    if (!checkReg(reg, 0, err)) return false;
    auto it = blockLen_.find(uint8_t(reg));
    uint32_t n = it == blockLen_.end() ? 0 : it->second;
    return Chip::read(reg, n, out, err);
}

bool Chip::blockWrite(uint32_t reg, const std::string& data, std::string* err) {
    if (data.size() > 255) {
        *err = "block of " + std::to_string(data.size()) + " bytes too long";
        return false;
    }
    if (!write(reg, data, err)) return false;
    blockLen_[uint8_t(reg)] = uint8_t(data.size());
    return true;
}

bool Chip::poke(uint32_t reg, const std::string& bytes, std::string* err) {
    if (reg > 0xFF || reg + bytes.size() > 256) {
        *err = "register " + hexReg(reg) + " (+" + std::to_string(bytes.size()) + " bytes) out of range";
        return false;
    }
    std::memcpy(regs_ + reg, bytes.data(), bytes.size());
    return true;
}

uint8_t Chip::peek(uint32_t reg) const { return reg > 0xFF ? 0xFF : regs_[reg]; }

// ---------------------------------------------------------------- RegisterFileChip

RegisterFileChip::RegisterFileChip() : Chip("register-file") { openProperties_ = true; }

// ---------------------------------------------------------------- Tmp75Chip

Tmp75Chip::Tmp75Chip() : Chip("tmp75") { declare("temperature", PropKind::Number, "25"); }

std::string Tmp75Chip::registerBytes(uint8_t reg) const {
    auto be = [](uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; };
    switch (reg) {
        case 0x00: {
            double t = number("temperature");
            double raw = std::floor(t * 16.0 + 1e-9);
            raw = std::max(-2048.0, std::min(2047.0, raw));
            uint16_t w = uint16_t(int(raw) * 16);
            unsigned r = (conf_ >> 5) & 3;
            uint8_t mask = uint8_t((0xF0u << (~r & 3)) & 0xFF);
            return std::string{char(w >> 8), char((w & 0xFF) & mask)};
        }
        case 0x01:
            return std::string(1, char(conf_));
        case 0x02:
            return be(tLow_);
        case 0x03:
            return be(tHigh_);
        default:
            return std::string();
    }
}

bool Tmp75Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    std::string bytes = registerBytes(uint8_t(reg));
    if (bytes.empty()) {
        *err = "register " + hexReg(reg) + " does not exist";
        return false;
    }
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = bytes[i % bytes.size()];
    pointer_ = uint8_t(reg);
    return true;
}

bool Tmp75Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    if (reg > 3) {
        *err = "register " + hexReg(reg) + " does not exist";
        return false;
    }
    pointer_ = uint8_t(reg);
    if (data.empty()) return true;
    auto be = [&data]() {
        return uint16_t(uint8_t(data[0]) << 8 | (data.size() > 1 ? uint8_t(data[1]) : 0));
    };
    switch (reg) {
        case 0x01:
            conf_ = uint8_t(data[0]);
            break;
        case 0x02:
            tLow_ = be();
            break;
        case 0x03:
            tHigh_ = be();
            break;
        default:
            break;  // the temperature register is read-only
    }
    return true;
}

bool Tmp75Chip::poke(uint32_t reg, const std::string& bytes, std::string* err) { return write(reg, bytes, err); }

uint8_t Tmp75Chip::peek(uint32_t reg) const {
    std::string b = reg <= 3 ? registerBytes(uint8_t(reg)) : std::string();
    return b.empty() ? 0xFF : uint8_t(b[0]);
}

// ---------------------------------------------------------------- PmbusChip

PmbusChip::PmbusChip() : Chip("pmbus") {
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

uint16_t PmbusChip::statusWord() const {
    uint16_t w = uint16_t(uint64_t(number("status_extra")) & 0xFFFF);
    if (flag("off")) w |= 0x0040;
    if (!flag("power_good")) w |= 0x0800;
    if (flag("fan1_fault") || flag("fan2_fault")) w |= 0x0400;
    return w;
}

bool PmbusChip::commandBytes(uint8_t command, std::string* bytes) const {
    auto lin = [this](const char* p) { return word(encodeLinear11(number(p))); };
    switch (command) {
        case 0x01:  // OPERATION
            *bytes = std::string(1, char(flag("off") ? 0x00 : 0x80));
            return true;
        case 0x20:  // VOUT_MODE
            *bytes = std::string(1, char(uint8_t(uint64_t(number("vout_mode")))));
            return true;
        case 0x3B:
            *bytes = word(uint16_t(number("fan1_duty")));
            return true;
        case 0x3C:
            *bytes = word(uint16_t(number("fan2_duty")));
            return true;
        case 0x78:  // STATUS_BYTE
            *bytes = std::string(1, char(statusWord() & 0xFF));
            return true;
        case 0x79:
            *bytes = word(statusWord());
            return true;
        case 0x81:  // STATUS_FANS_1_2
            *bytes = std::string(1, char((flag("fan1_fault") ? 0x80 : 0) | (flag("fan2_fault") ? 0x40 : 0)));
            return true;
        case 0x88:
            *bytes = lin("vin");
            return true;
        case 0x89:
            *bytes = lin("iin");
            return true;
        case 0x8B:
            *bytes = word(encodeLinear16(number("vout"), uint8_t(uint64_t(number("vout_mode")))));
            return true;
        case 0x8C:
            *bytes = lin("iout");
            return true;
        case 0x8D:
            *bytes = lin("temp1");
            return true;
        case 0x8E:
            *bytes = lin("temp2");
            return true;
        case 0x90:
            *bytes = lin("fan1_rpm");
            return true;
        case 0x91:
            *bytes = lin("fan2_rpm");
            return true;
        case 0x96:
            *bytes = lin("pout");
            return true;
        case 0x97:
            *bytes = lin("pin");
            return true;
        case 0x98:  // PMBUS_REVISION 1.2
            *bytes = std::string(1, char(0x22));
            return true;
        case 0x99:
            *bytes = smbusBlock(text("vendor"));
            return true;
        case 0x9A:
            *bytes = smbusBlock(text("model"));
            return true;
        case 0x9E:
            *bytes = smbusBlock(text("serial"));
            return true;
        default:
            return false;
    }
}

bool PmbusChip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    std::string bytes;
    if (reg <= 0xFF && commandBytes(uint8_t(reg), &bytes)) {
        if (len > kMaxRegisterRead) return checkReg(reg, len, err);
        bytes.resize(len, '\xff');
        *out = bytes;
        return true;
    }
    return Chip::read(reg, len, out, err);
}

void PmbusChip::setDuty(int fan, double duty) {
    std::string p = "fan" + std::to_string(fan);
    store(p + "_duty", formatNumber(duty));
    store(p + "_rpm", formatNumber(std::round(duty / 100.0 * number(p + "_rpm_max"))));
}

bool PmbusChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!data.empty()) {
        unsigned value = uint8_t(data[0]) | (data.size() > 1 ? uint8_t(data[1]) << 8 : 0);
        switch (reg) {
            case 0x01:
                store("off", (value & 0x80) ? "0" : "1");
                return true;
            case 0x20:
                store("vout_mode", formatNumber(value & 0xFF));
                return true;
            case 0x3B:
                setDuty(1, value);
                return true;
            case 0x3C:
                setDuty(2, value);
                return true;
            default:
                break;
        }
    }
    return Chip::write(reg, data, err);
}

bool PmbusChip::blockRead(uint32_t reg, std::string* out, std::string* err) {
    std::string bytes;
    if ((reg == 0x99 || reg == 0x9A || reg == 0x9E) && commandBytes(uint8_t(reg), &bytes)) {
        *out = bytes.substr(1);
        return true;
    }
    return Chip::blockRead(reg, out, err);
}

void PmbusChip::propertyChanged(const std::string& name) {
    if (name == "fan1_duty" || name == "fan1_rpm_max") setDuty(1, number("fan1_duty"));
    if (name == "fan2_duty" || name == "fan2_rpm_max") setDuty(2, number("fan2_duty"));
}

// ---------------------------------------------------------------- EepromChip

EepromChip::EepromChip(Format format)
    : Chip(format == Format::Fru ? "fru-eeprom" : "tlv-eeprom"), format_(format) {
    if (format == Format::Fru) {
        declare("vendor", PropKind::Text, "DELTA");
        declare("model", PropKind::Text, "DPS550AB6A");
        declare("part", PropKind::Text, "DPS-550AB-6 A");
        declare("version", PropKind::Text, "S1F");
        declare("serial", PropKind::Text, "GTVD1615001656");
        declare("asset", PropKind::Text, "");
        declare("fru_id", PropKind::Text, "");
    } else {
        declare("product", PropKind::Text, "PSU-550-AC");
        declare("model", PropKind::Text, "DPS550AB6A");
        declare("serial", PropKind::Text, "GTVD1615001656");
        declare("vendor", PropKind::Text, "Delta");
        declare("mac", PropKind::Text, "");
        declare("date", PropKind::Text, "");
    }
    regenerate();
}

void EepromChip::regenerate() {
    std::map<std::string, std::string> f;
    for (const auto& p : properties()) f[p.first] = p.second;
    image_ = format_ == Format::Fru ? buildFruImage(f) : buildTlvImage(f);
}

void EepromChip::propertyChanged(const std::string& name) {
    if (name != "present") regenerate();
}

bool EepromChip::receiveByte(std::string* out, std::string* /*err*/) {
    *out = std::string(1, image_[ptr_ % image_.size()]);
    ptr_ = uint32_t((ptr_ + 1) % image_.size());
    return true;
}

bool EepromChip::sendByte(uint8_t command, std::string* /*err*/) {
    ptr_ = command;
    return true;
}

bool EepromChip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (reg > 0xFFFF) {
        *err = "offset " + hexReg(reg) + " out of range";
        return false;
    }
    if (len > kMaxEepromRead) {
        *err = "read of " + std::to_string(len) + " bytes too long";
        return false;
    }
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = image_[(reg + i) % image_.size()];
    ptr_ = uint32_t((reg + len) % image_.size());
    return true;
}

bool EepromChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (reg > 0xFFFF || data.size() > kMaxEepromRead) {
        *err = "offset " + hexReg(reg) + " out of range";
        return false;
    }
    for (size_t i = 0; i < data.size(); ++i) image_[(reg + i) % image_.size()] = data[i];
    ptr_ = uint32_t((reg + data.size()) % image_.size());
    return true;
}

bool EepromChip::poke(uint32_t reg, const std::string& bytes, std::string* err) { return write(reg, bytes, err); }

uint8_t EepromChip::peek(uint32_t reg) const { return uint8_t(image_[reg % image_.size()]); }

// ---------------------------------------------------------------- Max6620Chip

Max6620Chip::Max6620Chip() : Chip("max6620") {
    for (int ch = 0; ch < 4; ++ch) {
        declare("stalled" + std::to_string(ch), PropKind::Flag, "0");
        regs_[0x02 + ch] = 0x00;
        regs_[0x06 + ch] = 0x2C;  // SR 2
        // Target count 49 (about 10000 rpm at SR 2), left-justified.
        regs_[0x20 + 2 * ch] = 49 >> 3;
        regs_[0x21 + 2 * ch] = uint8_t((49 & 7) << 5);
    }
}

uint8_t Max6620Chip::readReg(uint8_t reg) {
    uint8_t stalledBits = 0;
    for (int ch = 0; ch < 4; ++ch) {
        if (flag("stalled" + std::to_string(ch))) stalledBits |= uint8_t(0x10 << ch);
    }
    if (reg == 0x01) {
        uint8_t v = uint8_t((regs_[0x01] & 0x0F) | latchedFaults_ | stalledBits);
        latchedFaults_ = 0;  // the chip clears the fault flags when read
        return v;
    }
    if (reg >= 0x10 && reg <= 0x17) {
        int ch = (reg - 0x10) / 2;
        uint16_t count;
        if (stalledBits & (0x10 << ch)) {
            count = 2047;
            latchedFaults_ |= uint8_t(0x10 << ch);
        } else {
            // The fan settles on its target at once.
            count = uint16_t((regs_[0x20 + 2 * ch] << 3) | (regs_[0x21 + 2 * ch] >> 5));
        }
        return (reg & 1) ? uint8_t((count & 7) << 5) : uint8_t(count >> 3);
    }
    return regs_[reg];
}

bool Max6620Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = char(readReg(uint8_t(reg + i)));
    pointer_ = uint8_t(reg);
    return true;
}

bool Max6620Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t r = uint8_t(reg + i);
        if (r >= 0x10 && r <= 0x17) continue;  // tachometer counts are read-only
        if (r == 0x01) {
            regs_[0x01] = uint8_t(data[i]) & 0x0F;  // only the mask bits are writable
            continue;
        }
        regs_[r] = uint8_t(data[i]);
    }
    pointer_ = uint8_t(reg);
    return true;
}

// ---------------------------------------------------------------- factory

std::unique_ptr<Chip> makeChip(const std::string& model) {
    if (model == "register-file") return std::make_unique<RegisterFileChip>();
    if (model == "tmp75") return std::make_unique<Tmp75Chip>();
    if (model == "pmbus") return std::make_unique<PmbusChip>();
    if (model == "fru-eeprom") return std::make_unique<EepromChip>(EepromChip::Format::Fru);
    if (model == "tlv-eeprom") return std::make_unique<EepromChip>(EepromChip::Format::Tlv);
    if (model == "max6620") return std::make_unique<Max6620Chip>();
    return nullptr;
}

bool knownModel(const std::string& model) { return makeChip(model) != nullptr; }

}  // namespace smbusd
