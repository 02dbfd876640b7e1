// The HAM of real hardware: every batch becomes one transaction request of the SMBus
// service, framed by the select and reset requests of the muxes between the device and its
// accelerator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Ham/Ham.h"
#include "Topology/Topology.h"
#include "ZoltaUtil/Smbus.pb.h"

namespace Component {
namespace LogicalDevice {
class Mux;
}
}  // namespace Component

namespace Ham {

class ZoltaSmbusHam final : public Ham {
  public:
    // Registry factory for "ZoltaSmbus": walks the topology from the device up to its
    // medium; null when the device is not in the topology.
    static Ham* create(const Topology::Topology& topology, const Drivers::DriverArgs& args);
    // The muxes on the way were made for this HAM and go with it (only a HAM whose device
    // could not be made is ever freed).
    ~ZoltaSmbusHam() override;

    void init() override;
    void prepare() override;
    zl_status execute() override;
    ResponseId addRecvByte() override;
    ResponseId addRead8(uint32_t reg) override;
    ResponseId addRead16(uint32_t reg) override;
    ResponseId addRead(uint32_t reg, uint32_t len, bool flag) override;
    ResponseId addReadBlock(uint32_t reg) override;
    void addSendByte(uint8_t byte, bool pec) override;
    void addWrite8(uint32_t reg, uint8_t value, bool pec) override;
    void addWrite16(uint32_t reg, uint16_t value, bool pec) override;
    void addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    void addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override;
    ResponseId addProcessCall(uint32_t reg, uint16_t value) override;
    uint8_t get8(ResponseId id) override;
    uint16_t get16(ResponseId id) override;
    std::string getBlock(ResponseId id, uint32_t len) override;

    virtual void setAddress(uint8_t a) { address.address = a & 0x7F; }
    virtual uint8_t getAddress() const { return static_cast<uint8_t>(address.address); }
    virtual void setBus(uint8_t b) { address.bus = b & 0x7F; }
    virtual uint8_t getBus() const { return static_cast<uint8_t>(address.bus); }

    // Fills one new request of the batch with the device's address record (reg = command).
    void requestInit(Smbus::Request* request, uint32_t command, int type, uint32_t length, bool pec, bool flag);

    uint32_t prepareRequestCount_ = 0;
    int32_t lastResponseId = 0;
    Topology::KhamAddress address;
    uint32_t pci = 0;
    Smbus::TransactionRequest request_;
    Smbus::TransactionResponse response_;
    Smbus::MasterType mastertype = Smbus::MASTER_SIMULATED_I2C;
    std::vector<Component::LogicalDevice::Mux*> muxes;

  private:
    // Appends a request and fills it.
    Smbus::Request* add(uint32_t command, Smbus::RequestType type, uint32_t length, bool pec, bool flag);
    // The response entry of a read of the current batch.
    const Smbus::Response& response(ResponseId idx) const;
    // Points the address record at the device that drives mux (for its own requests).
    void useMuxAddress(Component::LogicalDevice::Mux* mux);
};

// Builds the SMBus HAM of one device while walking the topology up from it: address, bus,
// accelerator, bus-master kind, PCI address and the muxes on the way.
class ZoltaSmbusVisitor : public Topology::TopologyVisitor {
  public:
    explicit ZoltaSmbusVisitor(const Drivers::DriverArgs* args) : args(args) {}
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

    const Drivers::DriverArgs* args;
    bool found = false;
    ZoltaSmbusHam* ham = nullptr;
    uint32_t lastBusId = 0;
};

}  // namespace Ham
