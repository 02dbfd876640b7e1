#include "Drivers/Orvik/OrvikSPortCpld.h"

#include <exception>
#include <utility>

namespace Drivers {

OrvikSPortCpld::OrvikSPortCpld(const char* driverName, std::vector<uint8_t> polled)
    : driverName_(driverName), polled_(std::move(polled)) {}

void OrvikSPortCpld::init() {
    zl_trace(0, "%s::init()", driverName_);
    updateRegisterCache();
    pollInterval = kPollIntervalMs;
    ZL_CHECK_RULE(pollStart(), "pollStart()");
}

void OrvikSPortCpld::updateRegisterCache() {
    std::vector<Ham::ResponseId> ids;
    ids.reserve(polled_.size());
    ham->prepare();
    for (uint8_t reg : polled_) ids.push_back(ham->addRead8(reg));
    std::vector<uint8_t> values;
    values.reserve(polled_.size());
    bool read = ham->execute() == ZL_STATUS_OK;
    // Every value is fetched before any is stored, so a malformed answer (a broken rule,
    // already traced) leaves the whole cache as it was, like a failed batch.
    try {
        for (size_t i = 0; read && i < ids.size(); ++i) values.push_back(ham->get8(ids[i]));
    } catch (const std::exception&) {
        read = false;
    }
    if (!read) {
        zl_trace(0, "Failed to poll information for %s", driverName_);
        return;
    }
    for (size_t i = 0; i < polled_.size(); ++i) registerCache[polled_[i]] = values[i];
    zl_trace(6, "Register cache updated for %s", driverName_);
}

zl_status OrvikSPortCpld::getRegisterBit(uint8_t reg, uint8_t bit, int* out, bool invert) {
    const int value = (registerCache[reg] >> bit) & 1;
    *out = invert ? !value : value;
    return ZL_STATUS_OK;
}

zl_status OrvikSPortCpld::setRegisterBit(uint8_t reg, uint8_t bit, int value) {
    const uint8_t mask = static_cast<uint8_t>(1u << bit);
    const uint8_t cached = registerCache[reg];
    const uint8_t byte = static_cast<uint8_t>(value != 0 ? (cached | mask) : (cached & ~mask));
    const zl_status status = ham->write8(reg, byte, false);
    if (status != ZL_STATUS_OK) return status;
    registerCache[reg] = byte;
    return ZL_STATUS_OK;
}

}  // namespace Drivers
