// The simulation HAM: keeps a device's registers as text fields in one file per device,
// seeded from the driver's expected register values. Reads and writes lock the whole file,
// so several processes (the library, the host, test tools) may share it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Ham/Ham.h"

namespace Ham {

class SimHam final : public Ham {
  public:
    // Registry factory for "SimHam": ignores both arguments and never fails.
    static Ham* create(const Topology::Topology& topology, const Drivers::DriverArgs& args);

    void init() override {}
    void prepare() override {}
    zl_status execute() override;
    ResponseId addRecvByte() override { return 0; }
    ResponseId addRead8(uint32_t reg) override { return saveReg(reg); }
    ResponseId addRead16(uint32_t reg) override { return saveReg(reg); }
    ResponseId addRead(uint32_t reg, uint32_t, bool) override { return saveReg(reg); }
    ResponseId addReadBlock(uint32_t reg) override { return saveReg(reg); }
    void addSendByte(uint8_t, bool) override {}
    void addWrite8(uint32_t reg, uint8_t value, bool pec) override;
    void addWrite16(uint32_t reg, uint16_t value, bool pec) override;
    void addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    void addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    ResponseId addProcessCall(uint32_t reg, uint16_t) override { return saveReg(reg); }
    uint8_t get8(ResponseId id) override;
    uint16_t get16(ResponseId id) override;
    std::string getBlock(ResponseId id, uint32_t len) override;
    void setExpected(const Utils::ExpectedValues* table) override;
    void setDriverName(const std::string& driverName, const std::string& label) override;

    bool isAddrSimulated() const { return expected != nullptr && expected->count(savedReg) != 0; }
    // Writes the file from the expected values (fields in ascending register order, then a
    // newline). A file that cannot be created is traced and leaves simFileExists_ false.
    void createSimFile();
    // n characters of savedReg's field, padded on the left when the field is narrower.
    std::string readFromFile(uint32_t n);
    // Replaces the start of savedReg's field with text (never beyond the field).
    void writeToFile(const std::string& text);

    // The directory of the simulation files: ZOLTALIB_SIMDIR, read when first needed and
    // kept once found set, else "/tmp/ZoltaSimulationDevices".
    static std::string simDirectory();
    // Forgets a directory found earlier, so that the next use reads ZOLTALIB_SIMDIR again.
    static void resetSimDirectory();

    const Utils::ExpectedValues* expected = nullptr;
    std::map<uint32_t, uint32_t> offsets;
    std::string driverName;
    std::string label;
    uint32_t savedReg = 0;
    bool simFileExists_ = false;
    uint32_t fileSize = 0;
    std::string simFileName_;

  private:
    ResponseId saveReg(uint32_t reg) {
        savedReg = reg;
        return 0;
    }
    void warn() const;
    // Width in characters of the field of reg (which must be simulated).
    uint32_t fieldWidth(uint32_t reg) const;
    // Records reg and tells whether a write may go to the file (traces the warning if not).
    bool beginWrite(uint32_t reg);
};

}  // namespace Ham
