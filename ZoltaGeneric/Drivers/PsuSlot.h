// Driver of the board's power-supply bays: for each bay a slot that tells the host whether
// a PSU is there and, when it is, hands back a description text chosen by the PSU's model
// name with its serial number filled in. Model and serial are read by one of six methods.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "Drivers/Helpers.h"
#include "Utils.h"
#include "zl_api.h"

namespace Drivers {

class PsuSlot : public Component::HardwareDevice {
  public:
    // How a slot reads model name and serial number; the driver argument
    // "identificationType" holds the text given beside each value.
    enum class IdentificationType : uint8_t {
        Pmbus = 0,        // "pmbus": MFR_MODEL / MFR_SERIAL block registers
        Ipmi = 1,         // "ipmi": product info area of an IPMI FRU EEPROM
        Ipmitool = 2,     // "ipmitool": output of kvIpmi psuSlot <id>
        IpmitoolRaw = 3,  // "ipmitool_raw": output of kvIpmi raw psuSlot <id> ...
        Wedge = 4,        // "wedge": one bit of register 8, fixed texts
        Tlv = 5,          // "tlv": ONIE TlvInfo EEPROM records
    };

    // PMBus manufacturer block registers.
    static constexpr uint8_t MFR_MODEL = 0x9A;
    static constexpr uint8_t MFR_SERIAL = 0x9E;
    // Register of the wedge bay's presence bits (bit 1: PSU 1, bit 0: PSU 2; set = absent).
    static constexpr uint8_t WEDGE_PRESENCE_REG = 8;
    // IPMI FRU: common header byte holding the product info area offset (8-byte units).
    static constexpr uint8_t FRU_PRODUCT_AREA_OFFSET = 4;
    // ONIE TlvInfo layout.
    static constexpr uint32_t TLV_HEADER_SIZE = 11;
    static constexpr uint8_t TLV_PART_NUMBER = 0x22;
    static constexpr uint8_t TLV_SERIAL_NUMBER = 0x23;

    // Driver arguments of a slot, in the order they are read.
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("psuId", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8)
            .required(ZL_MISSING_NULL, nullptr, "Error: expected 'psuId' in slot driverArgs")
            .range(1, 2, "psuId == 1 || psuId == 2"),
        Arg("identificationType", ZL_CALL_NEW_SLOT, ZL_READ_TEXT),
        Arg("useApi", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).when("identificationType", "ipmitool"),
        Arg("ipmiId", ZL_CALL_NEW_SLOT, ZL_READ_TEXT).when("identificationType", "ipmitool"),
        Arg("ipmiId", ZL_CALL_NEW_SLOT, ZL_READ_TEXT)
            .required(ZL_MISSING_RULE, "slotArgs_.find( \"ipmiId\" ) != slotArgs_.end()",
                      "PsuSlot identification type is ipmi but ipmiId not found")
            .when("identificationType", "ipmitool_raw"),
        Arg("ipmiRawModel", ZL_CALL_NEW_SLOT, ZL_READ_TEXT)
            .required(ZL_MISSING_RULE, "slotArgs_.find( \"ipmiRawModel\" ) != slotArgs_.end()",
                      "PsuSlot identification type is ipmitool_raw but ipmiRawModel not found")
            .when("identificationType", "ipmitool_raw"),
        Arg("ipmiRawSerialNumber", ZL_CALL_NEW_SLOT, ZL_READ_TEXT)
            .required(ZL_MISSING_RULE, "slotArgs_.find( \"ipmiRawSerialNumber\" ) != slotArgs_.end()",
                      "PsuSlot identification type is ipmitool_raw but ipmiRawSerialNumber not found")
            .when("identificationType", "ipmitool_raw"),
        // Model table: model_1, psuFdl_1, model_2, ... up to the first missing model.
        Arg("model_#", ZL_CALL_NEW_SLOT, ZL_READ_TEXT),
        Arg("psuFdl_#", ZL_CALL_NEW_SLOT, ZL_READ_TEXT)
            .required(ZL_MISSING_RULE, "slotArgs_.find( psuFdlKey ) != slotArgs_.end()")
            .when("model_#"),
        Arg("gpioDevice", ZL_CALL_NEW_SLOT, ZL_READ_LABEL),
        Arg("presenceReg", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice"),
        Arg("presenceBit", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice")
            .range(0, 31, nullptr),  // the register GPIO refuses other bits
        Arg("powerOkReg", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice"),
        Arg("powerOkBit", ZL_CALL_NEW_SLOT, ZL_READ_DECIMAL_U8).required(ZL_MISSING_LOOKUP).when("gpioDevice")
            .range(0, 31, nullptr),
        Arg("presenceActiveLow", ZL_CALL_NEW_SLOT, ZL_READ_FLAG).when("gpioDevice"),
        Arg("powerOkActiveLow", ZL_CALL_NEW_SLOT, ZL_READ_FLAG).when("gpioDevice"),
    };
    static constexpr zl_driver_entry catalogue = {"PsuSlot", ZL_KIND_BIT(ZL_KIND_SLOT) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};

    class Slot : public Component::LogicalDevice::Slot {
      public:
        // Throws Utils::ConsistencyError (traced) on a broken configuration rule, and the
        // standard conversion and lookup errors ("stoi", "map::at") on bad bit arguments.
        Slot(PsuSlot* device, uint8_t psuIndex, const DriverSpecificArgs& args, const char* jsonText);
        ~Slot() override;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

        zl_status getPresence(char** fdl) override;

        zl_status readSerialAndModelPmbus(std::string& serial, std::string& model);
        zl_status readSerialAndModelIpmi(std::string& serial, std::string& model);
        zl_status readSerialAndModelIpmitool(std::string& serial, std::string& model);
        zl_status readSerialAndModelIpmitoolRaw(std::string& serial, std::string& model);
        zl_status readSerialAndModelWedge(std::string& serial, std::string& model);
        zl_status readSerialAndModelTlv(std::string& serial, std::string& model);

        // Empties the cache of the last description text.
        void clearCache();

        PsuSlot* device_;  // not owned
        uint8_t psuIndex_;
        FormatFdl fdl_;
        std::string cachedSerial_;
        std::string cachedModel_;
        char* cachedFdl_ = nullptr;  // strdup copy, owned
        IdentificationType identificationType_ = IdentificationType::Pmbus;
        std::map<std::string, std::string> fdlByModel_;
        std::string ipmiCmd_;
        // Made for this slot by getRegGpioForDevice; the slot deletes them.
        Component::LogicalDevice::Gpio* presenceGpio_ = nullptr;
        Component::LogicalDevice::Gpio* powerOkGpio_ = nullptr;
        bool presenceActiveLow_ = true;
        bool powerOkActiveLow_ = true;

      private:
        zl_status runIdentification(std::string& serial, std::string& model);
        zl_status readSerialAndModelCommand(std::string& serial, std::string& model);
    };

    explicit PsuSlot(Ham::Ham* ham);
    ~PsuSlot() override;

    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    // Null when "psuId" is missing (traced); throws on a "psuId" other than 1 or 2.
    Component::LogicalDevice::Slot* newSlot(const FactoryArgs& args) override;
    const Utils::ExpectedValues* expectedValues() override { return &values; }

    // Simulated registers: an IPMI FRU product info area and the two PMBus block registers.
    static Utils::ExpectedValues values;
};

// Quotes a value for the shell unless it is made only of letters, digits and "._:=+-/,":
// the value becomes one single-quoted word (a ' inside written as '\'').
std::string shellQuote(const std::string& value);

}  // namespace Drivers
