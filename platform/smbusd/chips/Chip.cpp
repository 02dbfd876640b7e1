#include "Chip.h"

#include <cerrno>
#include <cstring>

#include "Text.h"

namespace Smbusd {

Chip::Chip(std::string model) : model_(std::move(model)) {
    std::memset(regs_, 0, sizeof regs_);
    declare("present", PropKind::Flag, "1");
}

Chip::Prop Chip::makeProp(PropKind kind, const std::string& value) {
    Prop prop{kind, std::string(), 0};
    assign(prop, value);
    return prop;
}

void Chip::assign(Prop& prop, const std::string& value) {
    const int saved = errno;
    prop.value = value;
    double v = 0;
    parseNumber(value, &v);
    prop.number = v;
    errno = saved;
}

void Chip::declare(const std::string& name, PropKind kind, const std::string& initial) {
    props_[name] = makeProp(kind, initial);
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
        it = props_.emplace(name, makeProp(PropKind::Text, std::string())).first;
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
    assign(it->second, v);
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
    if (it != props_.end()) assign(it->second, value);
}

double Chip::number(const std::string& name) const {
    auto it = props_.find(name);
    return it != props_.end() ? it->second.number : 0;
}

const double* Chip::numberSlot(const std::string& name) const {
    auto it = props_.find(name);
    return it != props_.end() ? &it->second.number : nullptr;
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
        *err = "register " + hex(reg) + " out of range";
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
    if (!write(reg, wordBytes(value), err)) return false;
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
    if (reg > 0xFF || reg + bytes.size() > kRegisterCount) {
        *err = "register " + hex(reg) + " (+" + std::to_string(bytes.size()) + " bytes) out of range";
        return false;
    }
    std::memcpy(regs_ + reg, bytes.data(), bytes.size());
    return true;
}

uint8_t Chip::peek(uint32_t reg) const { return reg > 0xFF ? 0xFF : regs_[reg]; }

}  // namespace Smbusd
