// The HAM base: throwing defaults for the operations a HAM does not provide, the one-batch
// wrappers, bulk access with its word/byte fallback, the HAM registry and the lookup that
// decides from the topology which HAM a device gets.
#include "Ham/Ham.h"

#include "Ham/SimHam.h"
#include "Ham/ZoltaSmbusHam.h"

namespace Ham {

// ---- defaults -------------------------------------------------------------------------

ResponseId Ham::addRecvByte() { throw NotImplementedException("addRecvByte"); }
ResponseId Ham::addRead8(uint32_t) { throw NotImplementedException("addRead8"); }
ResponseId Ham::addRead16(uint32_t) { throw NotImplementedException("addRead16"); }
ResponseId Ham::addRead32(uint32_t) { throw NotImplementedException("addRead32"); }
ResponseId Ham::addRead(uint32_t, uint32_t, bool) { throw NotImplementedException("addRead"); }
ResponseId Ham::addReadBlock(uint32_t) { throw NotImplementedException("addReadBlock"); }
void Ham::addSendByte(uint8_t, bool) { throw NotImplementedException("addSendByte"); }
void Ham::addWrite8(uint32_t, uint8_t, bool) { throw NotImplementedException("addWrite8"); }
void Ham::addWrite16(uint32_t, uint16_t, bool) { throw NotImplementedException("addWrite16"); }
void Ham::addWrite32(uint32_t, uint32_t, bool) { throw NotImplementedException("addWrite32"); }
void Ham::addWrite(uint32_t, const uint8_t*, uint32_t, bool) { throw NotImplementedException("addWrite"); }
void Ham::addWriteBlock(uint32_t, const uint8_t*, uint32_t, bool) {
    throw NotImplementedException("addWriteBlock");
}
ResponseId Ham::addProcessCall(uint32_t, uint16_t) { throw NotImplementedException("addProcessCall"); }
uint8_t Ham::get8(ResponseId) { throw NotImplementedException("get8"); }
uint16_t Ham::get16(ResponseId) { throw NotImplementedException("get16"); }
uint32_t Ham::get32(ResponseId) { throw NotImplementedException("get32"); }
std::string Ham::getBlock(ResponseId, uint32_t) { throw NotImplementedException("getBlock"); }

void Ham::setExpected(const Utils::ExpectedValues*) { zl_trace(0, "virtual Ham::setExpected() invoked!!!"); }

void Ham::setDriverName(const std::string&, const std::string&) {
    zl_trace(0, "virtual Ham::setDriverName() invoked!!!");
}

// ---- one-batch wrappers -----------------------------------------------------------------

namespace {

// One batch of the operation `add` queues; on success *out gets what `get` reads of its answer.
template <class Add, class Get, class T>
zl_status oneBatch(Ham& ham, Add add, Get get, T* out) {
    ham.prepare();
    const ResponseId id = add();
    const zl_status rc = ham.execute();
    if (rc == ZL_STATUS_OK) *out = get(id);
    return rc;
}

}  // namespace

zl_status Ham::recvByte(uint8_t* out) {
    return oneBatch(*this, [&] { return addRecvByte(); }, [&](ResponseId id) { return get8(id); }, out);
}

zl_status Ham::read8(uint32_t reg, uint8_t* out) {
    return oneBatch(*this, [&] { return addRead8(reg); }, [&](ResponseId id) { return get8(id); }, out);
}

zl_status Ham::read16(uint32_t reg, uint16_t* out) {
    return oneBatch(*this, [&] { return addRead16(reg); }, [&](ResponseId id) { return get16(id); }, out);
}

zl_status Ham::read32(uint32_t reg, uint32_t* out) {
    return oneBatch(*this, [&] { return addRead32(reg); }, [&](ResponseId id) { return get32(id); }, out);
}

zl_status Ham::readBlock(uint32_t reg, std::string* out) {
    return oneBatch(*this, [&] { return addReadBlock(reg); }, [&](ResponseId id) { return getBlock(id, 0); }, out);
}

zl_status Ham::processCall(uint32_t reg, uint16_t value, uint16_t* out) {
    return oneBatch(*this, [&] { return addProcessCall(reg, value); }, [&](ResponseId id) { return get16(id); }, out);
}

zl_status Ham::sendByte(uint8_t byte, bool pec) {
    prepare();
    addSendByte(byte, pec);
    return execute();
}

zl_status Ham::write8(uint32_t reg, uint8_t value, bool pec) {
    prepare();
    addWrite8(reg, value, pec);
    return execute();
}

zl_status Ham::write16(uint32_t reg, uint16_t value, bool pec) {
    prepare();
    addWrite16(reg, value, pec);
    return execute();
}

zl_status Ham::write32(uint32_t reg, uint32_t value, bool pec) {
    prepare();
    addWrite32(reg, value, pec);
    return execute();
}

zl_status Ham::writeBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    prepare();
    addWriteBlock(reg, data, len, pec);
    return execute();
}

// ---- bulk access with fallback ------------------------------------------------------------

zl_status Ham::write(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    if (bulkMode == Multi) return writeMulti(reg, data, len, pec);
    prepare();
    addWrite(reg, data, len, pec);
    zl_status rc = execute();
    if (bulkMode == Unknown) bulkMode = rc == ZL_STATUS_OK ? Bulk : Multi;
    if (rc == ZL_STATUS_OK) return ZL_STATUS_OK;
    return writeMulti(reg, data, len, pec);
}

zl_status Ham::read(uint32_t reg, uint32_t len, std::string* out, bool flag) {
    if (bulkMode == Multi) return readMulti(reg, len, out);
    prepare();
    ResponseId id = addRead(reg, len, flag);
    zl_status rc = execute();
    if (bulkMode == Unknown) bulkMode = rc == ZL_STATUS_OK ? Bulk : Multi;
    if (rc == ZL_STATUS_OK) {
        *out = getBlock(id, len);
        return ZL_STATUS_OK;
    }
    return readMulti(reg, len, out);
}

zl_status Ham::writeMulti(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    prepare();
    for (uint32_t i = 0; i < len / 2; ++i) {
        uint16_t word = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        addWrite16(reg + 2 * i, word, pec);
    }
    if (len % 2 != 0) addWrite8(reg + len - 1, data[len - 1], pec);
    return execute();
}

zl_status Ham::readMulti(uint32_t reg, uint32_t len, std::string* out) {
    out->clear();
    out->reserve(len);
    prepare();
    // Ids of the word reads in queue order; the odd byte's id last.
    std::vector<ResponseId> words;
    words.reserve(len / 2);
    for (uint32_t i = 0; i < len / 2; ++i) words.push_back(addRead16(reg + 2 * i));
    ResponseId odd = INVALID_RESPONSE_ID;
    if (len % 2 != 0) odd = addRead8(reg + len - 1);
    zl_status rc = execute();
    if (rc != ZL_STATUS_OK) return rc;
    for (ResponseId id : words) {
        uint16_t word = get16(id);
        out->push_back(static_cast<char>(word & 0xFF));
        out->push_back(static_cast<char>(word >> 8));
    }
    if (len % 2 != 0) out->push_back(static_cast<char>(get8(odd)));
    return ZL_STATUS_OK;
}

// ---- registry and lookup --------------------------------------------------------------------

std::map<std::string, HamFactory> hams = {
    {"ZoltaSmbus", &ZoltaSmbusHam::create},
    {"SimHam", &SimHam::create},
};

Ham* create(const std::string& name, const Topology::Topology& topology, const Drivers::DriverArgs& args) {
    zl_trace(3, "looking up for %s in %p with %p", name.c_str(), static_cast<const void*>(&topology),
             static_cast<const void*>(&args));
    auto it = hams.find(name);
    if (it == hams.end()) {
        zl_trace(0, "Couldn't find HAM %s", name.c_str());
        return nullptr;
    }
    zl_trace(3, "calling %s factory function", name.c_str());
    Ham* ham = it->second(topology, args);
    if (ham == nullptr) {
        zl_trace(0, "Factory function returned, couldn't create HAM %s", name.c_str());
        return nullptr;
    }
    zl_trace(3, "ham initialisation");
    ham->init();
    return ham;
}

Ham* createHam(const Drivers::DriverArgs& args) {
    ZL_CHECK_RULE(Topology::_topology != nullptr, "topology");
    zl_trace(0, "looking for component %u of device %u in topology", args.uid, args.did);
    SearchVisitor visitor(args.uid, args.did);
    Topology::_topology->accept(&visitor);
    if (!visitor.found) {
        zl_trace(0, "could not find component uid %d in topology", static_cast<int>(args.uid));
        return nullptr;
    }
    const std::string type = Utils::inSimulation() == 1 ? std::string("SimHam") : visitor.hamName;
    zl_trace(0, "creating %s HAM using topology information", type.c_str());
    Ham* ham = create(type, *Topology::_topology, args);
    if (ham == nullptr) zl_trace(0, "failed to create HAM");
    return ham;
}

// ---- SearchVisitor --------------------------------------------------------------------------
// The walk goes children first; once the device is found every ancestor is visited on the
// way back up, which is where the medium's HAM type is picked up.

namespace {
constexpr uint32_t kNoComponent = 0xFFFFFFFF;
}

bool SearchVisitor::visit(const Topology::Component* component) {
    if (found) return true;
    if (component->uid != componentUid) return true;
    zl_trace(2, "Component %u found in tree", component->uid);
    found = true;
    return false;
}

bool SearchVisitor::visit(const Topology::Device* dev) {
    if (!found && (componentUid != kNoComponent || dev->did != did)) return true;
    zl_trace(2, "Device %u contain the component", dev->did);
    found = true;
    device = dev;
    return false;
}

bool SearchVisitor::visit(const Topology::Mux* mux) {
    if (!found) return true;
    zl_trace(2, "Mux using device %d", static_cast<int>(mux->did));
    return false;
}

bool SearchVisitor::visit(const Topology::Bus* bus) {
    if (found) zl_trace(2, "BusId %u", bus->id);
    return true;
}

bool SearchVisitor::visit(const Topology::Accelerator* accel) {
    if (found) zl_trace(2, "AccelId %u", accel->id);
    return true;
}

bool SearchVisitor::visit(const Topology::SCD* scd) {
    if (!found) return true;
    hamName = scd->ham;
    zl_trace(2, "SCD %u %08X", scd->reserved, scd->pci);
    return true;
}

bool SearchVisitor::visit(const Topology::I2C* i2c) {
    if (!found) return true;
    hamName = i2c->ham;
    zl_trace(2, "I2C bus %u", i2c->id);
    return true;
}

bool SearchVisitor::visit(const Topology::IOPort* ioport) {
    if (!found) return true;
    hamName = ioport->ham;
    zl_trace(2, "IOPort");
    return true;
}

bool SearchVisitor::visit(const Topology::Celestica* celestica) {
    if (!found) return true;
    hamName = celestica->ham;
    zl_trace(2, "Celestica");
    return true;
}

bool SearchVisitor::visit(const Topology::Topology*) { return true; }

}  // namespace Ham
