// The board as the stand-ins see it: the topology document read into its devices, each with
// the place the SMBus service reaches it at, and the 64-bit address word of the service
// protocol packed and unpacked in one place.
//
// Reading never stops at the first problem: an element that cannot be read is left out, the
// rest is read, and every problem is listed with one text. A problem is fatal when a part of
// the document could not be placed on a bus; the service refuses to build a board then, while
// a board check reports every problem.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace BoardModel {

// The protocol's MasterType values.
constexpr int kMasterSimulatedI2c = 0;
constexpr int kMasterI2c = 1;
constexpr int kMasterScd = 2;
constexpr int kMasterIoPort = 3;
constexpr int kMasterCelestica = 4;

// Word 1 of the device address record (KhamAddress) with the register word beside it, as the
// protocol's 64-bit "address" carries them: low 32 bits the register, high 32 bits word 1.
struct KhamAddress {
    // Word 1 layout: bit position and width of each field.
    static constexpr unsigned kAddressShift = 0, kAddressBits = 7;
    static constexpr unsigned kBusShift = 7, kBusBits = 7;
    static constexpr unsigned kAccelShift = 14, kAccelBits = 7;
    static constexpr unsigned kRequestFlagShift = 21, kRequestFlagBits = 1;
    static constexpr unsigned kBusTimeoutShift = 22, kBusTimeoutBits = 3;
    static constexpr unsigned kAddrSizeShift = 25, kAddrSizeBits = 2;
    static constexpr unsigned kExtraDelayShift = 27, kExtraDelayBits = 1;
    static constexpr unsigned kWriteDelayShift = 28, kWriteDelayBits = 2;
    static constexpr unsigned kReadDelayShift = 30, kReadDelayBits = 2;

    uint32_t reg = 0;
    uint32_t address = 0;  // 7-bit device address
    uint32_t bus = 0;
    uint32_t accel = 0;
    uint32_t requestFlag = 0;
    uint32_t busTimeout = 0;
    uint32_t addrSize = 1;
    uint32_t extraDelay = 0;
    uint32_t writeDelay = 0;
    uint32_t readDelay = 0;

    // Fields wider than their bits are cut to them.
    uint32_t word1() const;
    uint64_t pack() const { return uint64_t(word1()) << 32 | reg; }
    static KhamAddress unpack(uint64_t packed);
};

enum class MediumType { Scd, Celestica, I2c, IoPort };

// One mux on the way from the medium to a device: the mux's did and the id of the
// downstream bus the device sits on.
struct MuxHop {
    unsigned muxDid = 0;
    int channel = 0;
};

// Where a device sits: its medium, the top bus the transactions go out on, and the muxes
// between that bus and the device (outermost first).
struct DevicePath {
    MediumType medium = MediumType::I2c;
    bool simulated = false;  // I2C: "simulated": true
    unsigned pci = 0;        // SCD only
    unsigned accel = 0;      // SCD and Celestica: the accelerator's id
    int bus = 0;             // the accelerator's bus id, or the I2C/IOPort medium's id
    std::vector<MuxHop> muxes;

    // The protocol's MasterType for the medium.
    int masterType() const;
};

struct Device {
    unsigned did = 0;
    std::string label;
    std::string driver;  // "" when the entry names no driver
    bool isMultiDevice = false;
    int address = -1;  // 7-bit address on the path; -1 without an "address" object with an unsigned "address"
    // Values as text, converted the way the library converts driver arguments (null members
    // left out).
    std::map<std::string, std::string> driverArgs;
    DevicePath path;
};

struct Problem {
    std::string text;
    bool fatal = false;
};

struct Topology {
    std::vector<Device> devices;     // document order
    std::vector<unsigned> muxDids;   // the "did" of every mux, document order
    std::vector<Problem> problems;   // document order

    const Device* byDid(unsigned did) const;                 // the first with that did
    const Device* byLabel(const std::string& label) const;   // the last with that label
    const Problem* firstFatal() const;                       // nullptr when none is
};

// Reads a topology text into *topology (replacing it). true when there is no problem at all.
bool parseTopology(const std::string& text, Topology* topology);

}  // namespace BoardModel
