// PMBus power supply: telemetry in LINEAR11 (output voltage in LINEAR16 with the exponent of
// VOUT_MODE), status bits following the supply's state, two fans whose speed follows the duty
// written to them, identity texts as blocks. Commands it does not implement behave as a
// register file.
#pragma once

#include <cstdint>
#include <string>

#include "Chip.h"

namespace Smbusd {

// PMBus numeric formats: LINEAR11 (5-bit exponent, 11-bit mantissa, both two's complement) and
// LINEAR16 (16-bit unsigned mantissa with the exponent of VOUT_MODE).
uint16_t encodeLinear11(double value);
uint16_t encodeLinear16(double value, uint8_t voutMode);

class PmbusSupplyChip : public Chip {
  public:
    // Command codes.
    static constexpr uint8_t kOperation = 0x01;
    static constexpr uint8_t kVoutMode = 0x20;
    static constexpr uint8_t kFanCommand1 = 0x3B;
    static constexpr uint8_t kFanCommand2 = 0x3C;
    static constexpr uint8_t kStatusByte = 0x78;
    static constexpr uint8_t kStatusWord = 0x79;
    static constexpr uint8_t kStatusFans12 = 0x81;
    static constexpr uint8_t kReadVin = 0x88;
    static constexpr uint8_t kReadIin = 0x89;
    static constexpr uint8_t kReadVout = 0x8B;
    static constexpr uint8_t kReadIout = 0x8C;
    static constexpr uint8_t kReadTemperature1 = 0x8D;
    static constexpr uint8_t kReadTemperature2 = 0x8E;
    static constexpr uint8_t kReadFanSpeed1 = 0x90;
    static constexpr uint8_t kReadFanSpeed2 = 0x91;
    static constexpr uint8_t kReadPout = 0x96;
    static constexpr uint8_t kReadPin = 0x97;
    static constexpr uint8_t kPmbusRevision = 0x98;
    static constexpr uint8_t kMfrId = 0x99;
    static constexpr uint8_t kMfrModel = 0x9A;
    static constexpr uint8_t kMfrSerial = 0x9E;
    // OPERATION: bit 7 turns the output on.
    static constexpr uint8_t kOperationOn = 0x80;
    // STATUS_WORD bits (the low byte is STATUS_BYTE).
    static constexpr uint16_t kStatusOff = 0x0040;
    static constexpr uint16_t kStatusFans = 0x0400;
    static constexpr uint16_t kStatusPowerGoodNegated = 0x0800;
    // STATUS_FANS_1_2 bits.
    static constexpr uint8_t kFan1Fault = 0x80;
    static constexpr uint8_t kFan2Fault = 0x40;
    // PMBUS_REVISION: part I and part II revision 1.2.
    static constexpr uint8_t kRevision12 = 0x22;
    // VOUT_MODE: the mode in bits 7-5 (000 = linear), the exponent in bits 4-0.
    static constexpr uint8_t kVoutModeLinear11 = 0xFF;  // a LINEAR11 word instead of LINEAR16

    PmbusSupplyChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<PmbusSupplyChip>(*this); }
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool blockRead(uint32_t reg, std::string* out, std::string* err) override;

  protected:
    void propertyChanged(const std::string& name) override;

  private:
    // The bytes a command answers with (word low byte first, blocks with their
    // count byte); false for commands this model does not implement.
    bool commandBytes(uint8_t command, std::string* bytes) const;
    uint16_t statusWord() const;
    void setDuty(int fan, double duty);
};

}  // namespace Smbusd
