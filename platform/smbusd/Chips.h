// Chip models of the emulated board. Each chip answers the SMBus operations a
// real part would, keeps its registers, and exposes named properties (physical
// quantities and identity texts) that the control interface can change at run time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace smbusd {

// Named chip properties, kept as text. Numeric properties accept decimal, hex
// (0x..) and floating-point text; flags also accept true/false/on/off/yes/no.
class Chip {
  public:
    enum class PropKind { Number, Flag, Text };

    explicit Chip(std::string model);
    virtual ~Chip() = default;
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    const std::string& model() const { return model_; }

    // SMBus operations as seen on the bus. false means the chip did not
    // acknowledge; *err then says why. Reads fill *out with exactly the bytes read.
    virtual bool receiveByte(std::string* out, std::string* err);
    virtual bool sendByte(uint8_t command, std::string* err);
    virtual bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err);
    virtual bool write(uint32_t reg, const std::string& data, std::string* err);
    virtual bool processCall(uint32_t reg, uint16_t value, std::string* out, std::string* err);
    virtual bool blockRead(uint32_t reg, std::string* out, std::string* err);
    virtual bool blockWrite(uint32_t reg, const std::string& data, std::string* err);

    // Raw access to the backing store, bypassing any chip behaviour: used for
    // initial register values and for bits that other chips' properties drive.
    virtual bool poke(uint32_t reg, const std::string& bytes, std::string* err);
    virtual uint8_t peek(uint32_t reg) const;
    void setBlockLength(uint8_t reg, uint8_t len) { blockLen_[reg] = len; }

    // Properties.
    bool hasProperty(const std::string& name) const { return props_.count(name) != 0; }
    bool getProperty(const std::string& name, std::string* value) const;
    bool setProperty(const std::string& name, const std::string& value, std::string* err);
    std::vector<std::pair<std::string, std::string>> properties() const;

    bool present() const { return present_; }
    // Value of a property as a signal level for bindings: 0 or 1. power_good
    // reads 0 while the unit is pulled.
    bool signal(const std::string& name) const;

  protected:
    void declare(const std::string& name, PropKind kind, const std::string& initial);
    virtual void propertyChanged(const std::string& /*name*/) {}

    double number(const std::string& name) const;
    bool flag(const std::string& name) const;
    const std::string& text(const std::string& name) const;
    // Sets a property from inside the model (no validation, no change hook).
    void store(const std::string& name, const std::string& value);

    // Register file behaviour (8-bit register space) used by default.
    bool checkReg(uint32_t reg, uint32_t len, std::string* err) const;

    uint8_t regs_[256];
    uint8_t pointer_ = 0;                // register pointer set by a send byte
    std::map<uint8_t, uint8_t> blockLen_;  // block length per register
    bool openProperties_ = false;        // accept any property name (generic chips)
    bool present_ = true;                // cached "present", asked on every transaction

  private:
    struct Prop {
        PropKind kind;
        std::string value;
    };
    std::string model_;
    std::map<std::string, Prop> props_;
};

// A plain 256-byte register file: CPLDs, dummies and everything without a richer model.
class RegisterFileChip : public Chip {
  public:
    RegisterFileChip();
};

// TMP75 temperature sensor.
class Tmp75Chip : public Chip {
  public:
    Tmp75Chip();
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool poke(uint32_t reg, const std::string& bytes, std::string* err) override;
    uint8_t peek(uint32_t reg) const override;

  private:
    std::string registerBytes(uint8_t reg) const;
    uint8_t conf_ = 0x00;  // power-on: 9-bit resolution
    uint16_t tLow_ = 0x4B00;
    uint16_t tHigh_ = 0x5000;
};

// PMBus power supply.
class PmbusChip : public Chip {
  public:
    PmbusChip();
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

// EEPROM with an image generated from identity properties (IPMI FRU or ONIE TlvInfo).
class EepromChip : public Chip {
  public:
    enum class Format { Fru, Tlv };
    explicit EepromChip(Format format);
    bool receiveByte(std::string* out, std::string* err) override;
    bool sendByte(uint8_t command, std::string* err) override;
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;
    bool poke(uint32_t reg, const std::string& bytes, std::string* err) override;
    uint8_t peek(uint32_t reg) const override;

  protected:
    void propertyChanged(const std::string& name) override;

  private:
    void regenerate();
    Format format_;
    std::string image_;
    uint32_t ptr_ = 0;
};

// MAX6620 four-channel fan controller.
class Max6620Chip : public Chip {
  public:
    Max6620Chip();
    bool read(uint32_t reg, uint32_t len, std::string* out, std::string* err) override;
    bool write(uint32_t reg, const std::string& data, std::string* err) override;

  private:
    uint8_t readReg(uint8_t reg);
    uint8_t latchedFaults_ = 0;
};

// Model names used in the state file and by `list`.
std::unique_ptr<Chip> makeChip(const std::string& model);
bool knownModel(const std::string& model);

// Encoders shared with the tests' expectations.
uint16_t encodeLinear11(double value);
uint16_t encodeLinear16(double value, uint8_t voutMode);
uint32_t crc32(const std::string& bytes);
std::string buildFruImage(const std::map<std::string, std::string>& fields);
std::string buildTlvImage(const std::map<std::string, std::string>& fields);

// Number parsing helpers (decimal, 0x hex, floating point).
bool parseNumber(const std::string& text, double* out);
bool parseUnsigned(const std::string& text, uint64_t* out);
bool parseFlag(const std::string& text, bool* out);

}  // namespace smbusd
