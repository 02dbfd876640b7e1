#include "Ham/ZoltaSmbusHam.h"

#include <cerrno>
#include <cstring>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "LibraryInit.h"

namespace Ham {

namespace {
constexpr uint32_t kNoComponent = 0xFFFFFFFF;

// While a mux queues its requests the address points at the mux's own device; this puts
// the device's address and bus back afterwards, also when a mux breaks a rule.
class DeviceAddressRestore {
  public:
    explicit DeviceAddressRestore(Topology::KhamAddress& address)
        : address_(address), savedAddress_(address.address), savedBus_(address.bus) {}
    ~DeviceAddressRestore() {
        address_.address = savedAddress_;
        address_.bus = savedBus_;
    }
    DeviceAddressRestore(const DeviceAddressRestore&) = delete;
    DeviceAddressRestore& operator=(const DeviceAddressRestore&) = delete;

  private:
    Topology::KhamAddress& address_;
    const uint32_t savedAddress_;
    const uint32_t savedBus_;
};
}

// ---- building --------------------------------------------------------------------------

Ham* ZoltaSmbusHam::create(const Topology::Topology& topology, const Drivers::DriverArgs& args) {
    ZoltaSmbusVisitor visitor(&args);
    // The walk may break a rule while adding a mux; the half-built HAM goes with it.
    try {
        topology.accept(&visitor);
    } catch (...) {
        delete visitor.ham;
        throw;
    }
    return visitor.ham;
}

ZoltaSmbusHam::~ZoltaSmbusHam() {
    for (Component::LogicalDevice::Mux* mux : muxes) delete mux;
}

bool ZoltaSmbusVisitor::visit(const Topology::Component* component) {
    if (found) return true;
    if (component->uid != args->uid) return true;
    found = true;
    return false;
}

bool ZoltaSmbusVisitor::visit(const Topology::Device* device) {
    if (!found && (args->uid != kNoComponent || device->did != args->did)) return true;
    found = true;
    if (ham == nullptr) {
        ham = new ZoltaSmbusHam();
        ham->address = args->address;
        ham->address.addrSize = 1;
    }
    return false;
}

bool ZoltaSmbusVisitor::visit(const Topology::Bus* bus) {
    if (found && ham != nullptr) {
        ham->address.bus = bus->id & 0x7F;
        lastBusId = bus->id;
    }
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::Mux* mux) {
    if (!found || ham == nullptr) return true;
    const uint32_t value = lastBusId;
    zl_trace(3, "Mux using device %u with value %u", mux->did, value);
    const Topology::Device* topoDev = Topology::findDevice(mux->did);
    if (topoDev != nullptr && !topoDev->args) zl_trace(3, "Device %u isn't declared inline", mux->did);
    ZL_CHECK_RULE(topoDev != nullptr && topoDev->args, "topoDev->args");
    Drivers::DriverArgs copy = *topoDev->args;
    Component::HardwareDevice* muxDevice = Component::HardwareDevice::create(copy, nullptr);
    ZL_CHECK(muxDevice);
    Component::LogicalDevice::Mux* logicalMux = muxDevice->newMux(copy, value);
    ZL_CHECK(logicalMux);
    ham->muxes.push_back(logicalMux);
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::Accelerator* accel) {
    if (found && ham != nullptr) ham->address.accel = accel->id & 0x7F;
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::SCD* scd) {
    if (found && ham != nullptr) {
        ham->mastertype = Smbus::MASTER_SCD;
        ham->pci = scd->pci;
    }
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::I2C* i2c) {
    if (found && ham != nullptr) ham->mastertype = i2c->simulated ? Smbus::MASTER_SIMULATED_I2C : Smbus::MASTER_I2C;
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::IOPort*) {
    if (found && ham != nullptr) ham->mastertype = Smbus::MASTER_IOPORT;
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::Celestica*) {
    if (found && ham != nullptr) ham->mastertype = Smbus::MASTER_CELESTICA;
    return true;
}

bool ZoltaSmbusVisitor::visit(const Topology::Topology*) { return true; }

// ---- the mux frame ----------------------------------------------------------------------

void ZoltaSmbusHam::useMuxAddress(Component::LogicalDevice::Mux* mux) {
    Component::HardwareDevice* device = mux->device();
    ZL_CHECK(device != nullptr && device->ham != nullptr);
    auto* muxHam = dynamic_cast<ZoltaSmbusHam*>(device->ham);
    ZL_CHECK(muxHam != nullptr);
    address.address = muxHam->getAddress() & 0x7F;
    address.bus = muxHam->getBus() & 0x7F;
}

void ZoltaSmbusHam::init() {
    prepareRequestCount_ = 0;
    request_.Clear();
    response_.Clear();
    DeviceAddressRestore restore(address);
    for (Component::LogicalDevice::Mux* mux : muxes) {
        useMuxAddress(mux);
        prepareRequestCount_ += mux->selectRequest(this);
    }
}

void ZoltaSmbusHam::prepare() {
    // Keep the mux-select head; RemoveLast keeps the removed messages for reuse, so a batch
    // of the same shape allocates nothing.
    auto* requests = request_.mutable_request();
    while (static_cast<uint32_t>(requests->size()) > prepareRequestCount_) requests->RemoveLast();
    response_.Clear();
    lastResponseId = -1;
}

zl_status ZoltaSmbusHam::execute() {
    if (!muxes.empty()) {
        DeviceAddressRestore restore(address);
        for (auto it = muxes.rbegin(); it != muxes.rend(); ++it) {
            useMuxAddress(*it);
            (*it)->resetRequest(this);
        }
    }
    zl_trace(4, "executing ZoltaSmbusHam request");
    if (retryCountSet) request_.set_retries(retryCount);

    Smbus::TransactionResponse* received = nullptr;
    int rc;
    if (_zlSock != nullptr) {
        rc = _zlSock->sendRequestWait(&request_, &received);
    } else {
        rc = -1;  // the library was never connected
        errno = ENOTCONN;
    }
    if (rc < 0) {
        const int err = errno;
        zl_trace(3, "%s: error. %d, %s", "execute", err, std::strerror(err));
        if (_zlSock != nullptr) _zlSock->recycle(received);
        return ZL_STATUS_NO_COMM;
    }
    if (received != nullptr) {
        // The answer becomes response_; the emptied old one goes back to the socket, which
        // parses the next answer into it.
        response_.Swap(received);
        _zlSock->recycle(received);
    }
    if (response_.failed()) {
        zl_trace(3, "%s: failure in response %s", "execute",
                 response_.has_error() ? response_.error().c_str() : "unknown reason");
        return ZL_STATUS_FAILED;
    }
    if (request_.request_size() != response_.response_size()) {
        zl_trace(3, "%s: invalid number of response entries; expected %d, got %d", "execute",
                 request_.request_size(), response_.response_size());
        return ZL_STATUS_FAILED;
    }
    return ZL_STATUS_OK;
}

// ---- queueing ---------------------------------------------------------------------------

void ZoltaSmbusHam::requestInit(Smbus::Request* request, uint32_t command, int type, uint32_t length, bool pec,
                                bool flag) {
    address.reg = command;
    address.requestFlag = flag ? 1 : 0;
    ZL_CHECK_RULE(::Smbus::RequestType_IsValid(type), "::Smbus::RequestType_IsValid(value)");
    request->set_type(static_cast<Smbus::RequestType>(type));
    request->set_length(length);
    request->set_address(address.packed());
    request->set_pci(pci);
    ZL_CHECK_RULE(::Smbus::MasterType_IsValid(mastertype), "::Smbus::MasterType_IsValid(value)");
    request->set_mastertype(mastertype);
    request->set_pec(pec);
    lastResponseId += 1;
}

Smbus::Request* ZoltaSmbusHam::add(uint32_t command, Smbus::RequestType type, uint32_t length, bool pec,
                                   bool flag) {
    Smbus::Request* request = request_.add_request();
    requestInit(request, command, type, length, pec, flag);
    return request;
}

ResponseId ZoltaSmbusHam::addRecvByte() {
    add(0, Smbus::REQUEST_READ, 0, false, false);
    return static_cast<ResponseId>(lastResponseId);
}

ResponseId ZoltaSmbusHam::addRead8(uint32_t reg) {
    add(reg, Smbus::REQUEST_READ, 1, false, false);
    return static_cast<ResponseId>(lastResponseId);
}

ResponseId ZoltaSmbusHam::addRead16(uint32_t reg) {
    add(reg, Smbus::REQUEST_READ, 2, false, false);
    return static_cast<ResponseId>(lastResponseId);
}

ResponseId ZoltaSmbusHam::addRead(uint32_t reg, uint32_t len, bool flag) {
    add(reg, Smbus::REQUEST_READ, len, false, flag);
    return static_cast<ResponseId>(lastResponseId);
}

ResponseId ZoltaSmbusHam::addReadBlock(uint32_t reg) {
    add(reg, Smbus::REQUEST_BLOCK_READ, 0, false, false);
    return static_cast<ResponseId>(lastResponseId);
}

void ZoltaSmbusHam::addSendByte(uint8_t byte, bool pec) { add(byte, Smbus::REQUEST_WRITE, 0, pec, false); }

void ZoltaSmbusHam::addWrite8(uint32_t reg, uint8_t value, bool pec) {
    Smbus::Request* request = add(reg, Smbus::REQUEST_WRITE, 1, pec, false);
    const char byte = static_cast<char>(value);
    request->set_data(&byte, 1);
}

void ZoltaSmbusHam::addWrite16(uint32_t reg, uint16_t value, bool pec) {
    Smbus::Request* request = add(reg, Smbus::REQUEST_WRITE, 2, pec, false);
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    request->set_data(bytes, 2);
}

void ZoltaSmbusHam::addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    Smbus::Request* request = add(reg, Smbus::REQUEST_WRITE, len, pec, false);
    if (data != nullptr) request->set_data(data, len);
}

void ZoltaSmbusHam::addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    Smbus::Request* request = add(reg, Smbus::REQUEST_BLOCK_WRITE, len, pec, false);
    if (data != nullptr) request->set_data(data, len);
}

ResponseId ZoltaSmbusHam::addProcessCall(uint32_t reg, uint16_t value) {
    Smbus::Request* request = add(reg, Smbus::REQUEST_PROCESS_CALL, 2, false, false);
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    request->set_data(bytes, 2);
    return static_cast<ResponseId>(lastResponseId);
}

// ---- results ----------------------------------------------------------------------------

const Smbus::Response& ZoltaSmbusHam::response(ResponseId idx) const {
    ZL_CHECK(idx != INVALID_RESPONSE_ID);
    // Compared in 64 bits so that a huge id cannot wrap around the check.
    ZL_CHECK_RULE(static_cast<uint64_t>(response_.response_size()) >
                      static_cast<uint64_t>(prepareRequestCount_) + idx,
                  "( uint32_t )response_.response_size() > prepareRequestCount_ + idx");
    return response_.response(static_cast<int>(prepareRequestCount_ + idx));
}

uint8_t ZoltaSmbusHam::get8(ResponseId id) {
    const std::string& data = response(id).data();
    ZL_CHECK_RULE(data.size() == 1, "data.size() == 1");
    return static_cast<uint8_t>(data[0]);
}

uint16_t ZoltaSmbusHam::get16(ResponseId id) {
    const std::string& data = response(id).data();
    ZL_CHECK_RULE(data.size() == 2, "data.size() == 2");
    return static_cast<uint16_t>(static_cast<uint8_t>(data[0]) + 256 * static_cast<uint8_t>(data[1]));
}

std::string ZoltaSmbusHam::getBlock(ResponseId id, uint32_t) { return response(id).data(); }

}  // namespace Ham
