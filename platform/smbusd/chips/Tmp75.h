// TMP75 temperature sensor: a pointer register selects one of four registers; the
// temperature reads at the resolution the configuration register sets (9 bits at power-on).
#pragma once

#include "Chip.h"

namespace Smbusd {

class Tmp75Chip : public Chip {
  public:
    // Register map.
    static constexpr uint8_t kRegTemperature = 0x00;    // 16-bit, read-only
    static constexpr uint8_t kRegConfiguration = 0x01;  // 8-bit
    static constexpr uint8_t kRegTLow = 0x02;           // 16-bit
    static constexpr uint8_t kRegTHigh = 0x03;          // 16-bit
    static constexpr uint8_t kLastRegister = kRegTHigh;
    // Configuration: converter resolution R1 R0 in bits 6-5 (00 = 9 bits ... 11 = 12 bits).
    static constexpr unsigned kResolutionShift = 5;
    static constexpr uint8_t kResolutionMask = 0x03;
    // Power-on values.
    static constexpr uint8_t kConfigurationReset = 0x00;
    static constexpr uint16_t kTLowReset = 0x4B00;   // 75 degrees
    static constexpr uint16_t kTHighReset = 0x5000;  // 80 degrees
    // The temperature word: 12-bit two's complement, left-justified, 1/16 degree steps.
    static constexpr double kStepsPerDegree = 16.0;

    Tmp75Chip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<Tmp75Chip>(*this); }
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool poke(uint32_t reg, const std::string& bytes, std::string* err) override;
    uint8_t peek(uint32_t reg) const override;

    // The temperature register's bytes (high byte first) at a resolution (0..3 = 9..12 bits).
    static std::string temperatureBytes(double celsius, unsigned resolution);

  private:
    std::string registerBytes(uint8_t reg) const;
    const double* temperature_ = nullptr;  // the "temperature" property
    uint8_t conf_ = kConfigurationReset;
    uint16_t tLow_ = kTLowReset;
    uint16_t tHigh_ = kTHighReset;
};

}  // namespace Smbusd
