// A HAM for tests: registers in memory (bytes, words and blocks per register number), every
// executed batch recorded, and scripted failures. Registered in Ham::hams as "FakeHam" so
// a test topology whose medium says "ham": "FakeHam" gives each device its own FakeHam.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "Ham/Ham.h"
#include "Ham/SimHam.h"

namespace TestHost {

class FakeHam final : public Ham::Ham {
  public:
    struct Op {
        enum Kind { RecvByte, Read8, Read16, Read, ReadBlock, ProcessCall, SendByte, Write8, Write16, Write, WriteBlock };
        Kind kind;
        uint32_t reg = 0;
        uint32_t value = 0;  // written value, or the length of a bulk read
        std::string data;    // written bytes of a bulk or block write
        bool pec = false;
    };
    using Batch = std::vector<Op>;

    FakeHam() = default;
    ~FakeHam() override;  // leaves madeFakeHams()
    void prepare() override;
    zl_status execute() override;
    ::Ham::ResponseId addRecvByte() override;
    ::Ham::ResponseId addRead8(uint32_t reg) override;
    ::Ham::ResponseId addRead16(uint32_t reg) override;
    ::Ham::ResponseId addRead(uint32_t reg, uint32_t len, bool flag) override;
    ::Ham::ResponseId addReadBlock(uint32_t reg) override;
    ::Ham::ResponseId addProcessCall(uint32_t reg, uint16_t value) override;
    void addSendByte(uint8_t byte, bool pec) override;
    void addWrite8(uint32_t reg, uint8_t value, bool pec) override;
    void addWrite16(uint32_t reg, uint16_t value, bool pec) override;
    void addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    void addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    uint8_t get8(::Ham::ResponseId id) override;
    uint16_t get16(::Ham::ResponseId id) override;
    std::string getBlock(::Ham::ResponseId id, uint32_t len) override;
    void setExpected(const Utils::ExpectedValues* expected) override;
    void setDriverName(const std::string& driverName, const std::string& label) override;

    // Register contents; absent registers read as 0. A 16-bit read of reg takes words[reg]
    // when present, else bytes[reg] (low) and bytes[reg + 1] (high). A register in blocks
    // (a PMBus block register) answers byte and bulk reads from its block, padded with 0xFF.
    std::map<uint32_t, uint8_t> bytes;
    std::map<uint32_t, uint16_t> words;
    std::map<uint32_t, std::string> blocks;

    std::deque<zl_status> nextStatuses;  // for the next executes, in order; when empty, `status` applies
    zl_status status = ZL_STATUS_OK;
    std::vector<Batch> executed;     // every batch given to execute(), failed ones included
    std::vector<zl_status> results;  // the status each of them returned
    std::string driverName, label;   // as given to setDriverName
    int setDriverNameCalls = 0;
    const Utils::ExpectedValues* expected = nullptr;

    // The batches executed since the last call, as text, and forgets them: operations
    // "r8 07", "r16 12", "r 40*4", "rblock 30", "recv", "call 50=0102", "send 33", "w8 07=ac",
    // "w16 24=4027", "w 41=[77 78]", "wblock 31=[77]" (" pec" when asked) joined by ", ";
    // batches joined by " | ", a failed one followed by " !" and its status.
    std::string traffic();
    uint32_t did = 0;  // the did it was made for, when made through the registry

  private:
    Batch current_;
    std::vector<std::string> answers_;
};

std::vector<FakeHam*>& madeFakeHams();  // every FakeHam the registry entry made, newest last
FakeHam* fakeHamFor(uint32_t did);      // the newest one made for a did, or null
// Frees the devices the library keeps for these dids, so that the next test makes them anew
// (with a fresh FakeHam) whatever ran before it.
void forgetDevices(std::initializer_list<uint32_t> dids);

// A topology text with one I2C medium whose HAM is "FakeHam" and whose bus holds the given
// device objects (a JSON array's elements, without the brackets).
std::string fakeHamTopology(const std::string& devices);

// Registers test-only drivers in Drivers::drivers for its lifetime, and "FakeHam" in
// Ham::hams (each HAM it makes kept in madeFakeHams()); both registries are as before
// once it is gone, so that they hold only the library's own entries outside such tests.
class FakeRegistrations {
  public:
    FakeRegistrations();
    ~FakeRegistrations();
    FakeRegistrations(const FakeRegistrations&) = delete;
    FakeRegistrations& operator=(const FakeRegistrations&) = delete;
    void addDriver(const std::string& name, Drivers::DriverFactory factory);

  private:
    std::vector<std::string> drivers_;
};

// Runs the call and returns the rule of the consistency check it broke, when it threw for
// it and traced "consistency check failed: <rule>"; otherwise a text saying what happened.
// Clears the captured traces first.
std::string brokenRule(const std::function<void()>& call);

using ArgList = std::initializer_list<std::pair<const std::string, std::string>>;
inline Drivers::FactoryArgs argsWith(ArgList list) {
    Drivers::FactoryArgs args;
    args.driverArgs = Drivers::DriverSpecificArgs(list);
    return args;
}

// A GPIO whose bit and status the test sets.
struct ScriptedGpio : Component::LogicalDevice::Gpio {
    ScriptedGpio(unsigned bit, zl_status status) : bit(bit), status(status) {}
    zl_status bitClear() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitSet() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitRead(unsigned* out) override {
        if (++reads, status == ZL_STATUS_OK) *out = bit;
        return status;
    }
    unsigned bit;
    zl_status status;
    int reads = 0;
};

// The library in simulation for one test: a private simulation directory under /tmp, and
// when the object goes (after the HAMs it made) the directory removed and simulation off.
class SimulationDir {
  public:
    explicit SimulationDir(const std::string& name);
    ~SimulationDir();
    SimulationDir(const SimulationDir&) = delete;
    SimulationDir& operator=(const SimulationDir&) = delete;

    // A simulation HAM for a driver, its file created from the driver's table.
    std::unique_ptr<::Ham::SimHam> ham(const std::string& driver, const std::string& label,
                                       const Utils::ExpectedValues* table) const;

    std::string dir;
};

}  // namespace TestHost
