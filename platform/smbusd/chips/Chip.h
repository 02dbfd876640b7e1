// The common interface of the emulated chips. Each chip answers the SMBus operations a real
// part would, keeps its registers, and exposes named properties (physical quantities and
// identity texts) that the state file and the control commands can change at run time. The
// default behaviour is a plain 8-bit register file; each model overrides what its part does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Smbusd {

// Named chip properties, kept as text. Numeric properties accept decimal, hex
// (0x..) and floating-point text; flags also accept true/false/on/off/yes/no.
class Chip {
  public:
    enum class PropKind { Number, Flag, Text };

    explicit Chip(std::string model);
    virtual ~Chip() = default;
    Chip& operator=(const Chip&) = delete;
    // A copy with all its state: registers, properties and what the model keeps.
    virtual std::unique_ptr<Chip> clone() const = 0;

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
    // What the chip shows in words (fan speeds, LED states), for the log and `show`; "" when
    // its registers say nothing more than their bytes.
    virtual std::string describe() const { return std::string(); }
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
    Chip(const Chip&) = default;  // for clone()
    void declare(const std::string& name, PropKind kind, const std::string& initial);
    virtual void propertyChanged(const std::string& /*name*/) {}

    double number(const std::string& name) const;
    // Where a declared property keeps its value as a number, for a model that reads it on
    // every transaction; valid for the chip's life (properties are never removed).
    const double* numberSlot(const std::string& name) const;
    bool flag(const std::string& name) const;
    const std::string& text(const std::string& name) const;
    // Sets a property from inside the model (no validation, no change hook).
    void store(const std::string& name, const std::string& value);

    // Register file behaviour (8-bit register space) used by default.
    static constexpr uint32_t kRegisterCount = 256;
    static constexpr uint32_t kMaxRegisterRead = 256;  // longest transfer of a register chip
    bool checkReg(uint32_t reg, uint32_t len, std::string* err) const;

    uint8_t regs_[kRegisterCount];
    uint8_t pointer_ = 0;                // register pointer set by a send byte
    std::map<uint8_t, uint8_t> blockLen_;  // block length per register
    bool openProperties_ = false;        // accept any property name (generic chips)
    bool present_ = true;                // cached "present", asked on every transaction

  private:
    struct Prop {
        PropKind kind;
        std::string value;
        double number = 0;  // value as a number, parsed when it is set: reads ask often
    };
    static Prop makeProp(PropKind kind, const std::string& value);
    static void assign(Prop& prop, const std::string& value);
    std::string model_;
    std::map<std::string, Prop> props_;
};

}  // namespace Smbusd
