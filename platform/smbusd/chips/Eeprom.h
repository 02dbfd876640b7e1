// An EEPROM whose image is generated from identity properties and rebuilt when one changes.
// A read or write of N bytes at an offset moves the address pointer past them; a send byte
// sets it and a receive byte reads at it. Offsets wrap at the image size.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Chip.h"

namespace Smbusd {

class EepromChip : public Chip {
  public:
    static constexpr uint32_t kMaxOffset = 0xFFFF;  // two address bytes
    static constexpr uint32_t kMaxRead = 65536;

    bool receiveByte(std::string* out, std::string* err) override;
    bool sendByte(uint8_t command, std::string* err) override;
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool poke(uint32_t reg, const std::string& bytes, std::string* err) override;
    uint8_t peek(uint32_t reg) const override;

  protected:
    explicit EepromChip(std::string model);
    // The image for the current properties; called by regenerate().
    virtual std::string buildImage(const std::map<std::string, std::string>& fields) const = 0;
    // Rebuilds the image; a model calls it once its properties are declared.
    void regenerate();
    void propertyChanged(const std::string& name) override;

  private:
    std::string image_;
    uint32_t ptr_ = 0;
};

}  // namespace Smbusd
