#include "Eeprom.h"

#include "Text.h"

namespace Smbusd {

EepromChip::EepromChip(std::string model) : Chip(std::move(model)) {}

void EepromChip::regenerate() {
    std::map<std::string, std::string> f;
    for (const auto& p : properties()) f[p.first] = p.second;
    image_ = buildImage(f);
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
    if (reg > kMaxOffset) {
        *err = "offset " + hex(reg) + " out of range";
        return false;
    }
    if (len > kMaxRead) {
        *err = "read of " + std::to_string(len) + " bytes too long";
        return false;
    }
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = image_[(reg + i) % image_.size()];
    ptr_ = uint32_t((reg + len) % image_.size());
    return true;
}

bool EepromChip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (reg > kMaxOffset || data.size() > kMaxRead) {
        *err = "offset " + hex(reg) + " out of range";
        return false;
    }
    for (size_t i = 0; i < data.size(); ++i) image_[(reg + i) % image_.size()] = data[i];
    ptr_ = uint32_t((reg + data.size()) % image_.size());
    return true;
}

bool EepromChip::poke(uint32_t reg, const std::string& bytes, std::string* err) { return write(reg, bytes, err); }

uint8_t EepromChip::peek(uint32_t reg) const { return uint8_t(image_[reg % image_.size()]); }

}  // namespace Smbusd
