// Hardware access modules: every driver touches its device only through one HAM, as
// batches (prepare, queue reads and writes, execute, fetch results by response id).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Drivers/DriverArgs.h"
#include "Topology/Topology.h"
#include "Utils.h"

namespace Ham {

using ResponseId = uint32_t;
constexpr ResponseId INVALID_RESPONSE_ID = 0xFFFFFFFF;

class Ham {
  public:
    enum BulkMode : uint32_t { Unknown = 0, Bulk = 1, Multi = 2 };

    virtual void init() {}
    virtual void prepare() = 0;
    virtual zl_status execute() = 0;
    virtual ResponseId addRecvByte();
    virtual ResponseId addRead8(uint32_t reg);
    virtual ResponseId addRead16(uint32_t reg);
    virtual ResponseId addRead32(uint32_t reg);
    virtual ResponseId addRead(uint32_t reg, uint32_t len, bool flag);
    virtual ResponseId addReadBlock(uint32_t reg);
    virtual void addSendByte(uint8_t byte, bool pec);
    virtual void addWrite8(uint32_t reg, uint8_t value, bool pec);
    virtual void addWrite16(uint32_t reg, uint16_t value, bool pec);
    virtual void addWrite32(uint32_t reg, uint32_t value, bool pec);
    virtual void addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec);
    virtual void addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec);
    virtual ResponseId addProcessCall(uint32_t reg, uint16_t value);
    virtual uint8_t get8(ResponseId id);
    virtual uint16_t get16(ResponseId id);
    virtual uint32_t get32(ResponseId id);
    virtual std::string getBlock(ResponseId id, uint32_t len);
    virtual void setExpected(const Utils::ExpectedValues* expected);
    virtual void setDriverName(const std::string& driverName, const std::string& label);

    // One-batch wrappers: the output is written only when the status is 0.
    zl_status recvByte(uint8_t* out);
    zl_status read8(uint32_t reg, uint8_t* out);
    zl_status read16(uint32_t reg, uint16_t* out);
    zl_status read32(uint32_t reg, uint32_t* out);
    zl_status readBlock(uint32_t reg, std::string* out);
    zl_status processCall(uint32_t reg, uint16_t value, uint16_t* out);
    zl_status sendByte(uint8_t byte, bool pec);
    zl_status write8(uint32_t reg, uint8_t value, bool pec);
    zl_status write16(uint32_t reg, uint16_t value, bool pec);
    zl_status write32(uint32_t reg, uint32_t value, bool pec);
    zl_status writeBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec);
    // Bulk access with a word/byte fallback; the first bulk access decides for both.
    zl_status write(uint32_t reg, const uint8_t* data, uint32_t len, bool pec);
    zl_status read(uint32_t reg, uint32_t len, std::string* out, bool flag);
    zl_status writeMulti(uint32_t reg, const uint8_t* data, uint32_t len, bool pec);
    zl_status readMulti(uint32_t reg, uint32_t len, std::string* out);

    void retryCountIs(uint32_t n) {
        retryCount = n;
        retryCountSet = true;
    }

    uint32_t retryCount = 0;
    bool retryCountSet = false;
    uint32_t bulkMode = Unknown;

    // Frees a HAM that never reached a driver (its device could not be made). A HAM that
    // serves a driver lives for the life of the process.
    static void discard(Ham* ham) { delete ham; }

  protected:
    virtual ~Ham() = default;
};

using HamFactory = std::function<Ham*(const Topology::Topology&, const Drivers::DriverArgs&)>;
// HAM type name -> factory: "ZoltaSmbus" and "SimHam".
extern std::map<std::string, HamFactory> hams;

// Looks the name up in the registry, builds the HAM and runs its init(); null on failure.
Ham* create(const std::string& name, const Topology::Topology& topology, const Drivers::DriverArgs& args);
// Finds the device (or its component) in the loaded topology and builds its HAM.
Ham* createHam(const Drivers::DriverArgs& args);

class SearchVisitor : public Topology::TopologyVisitor {
  public:
    SearchVisitor(uint32_t componentUid, uint32_t did) : componentUid(componentUid), did(did) {}
    bool visit(const Topology::Component*) override;
    bool visit(const Topology::Device*) override;
    bool visit(const Topology::Mux*) override;
    bool visit(const Topology::Bus*) override;
    bool visit(const Topology::Accelerator*) override;
    bool visit(const Topology::SCD*) override;
    bool visit(const Topology::I2C*) override;
    bool visit(const Topology::IOPort*) override;
    bool visit(const Topology::Celestica*) override;
    bool visit(const Topology::Topology*) override;

    uint32_t componentUid;
    uint32_t did;
    bool found = false;
    const Topology::Device* device = nullptr;
    std::string hamName;
};

}  // namespace Ham
