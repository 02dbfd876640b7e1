// Shared shapes of the host entry points: an add function makes the device's driver object
// and asks it for the logical device; a callback finds the logical device through word 2 of
// the host record and runs the operation. No exception reaches the host from either.
#pragma once

#include "Drivers/Device.h"
#include "Utils.h"
#include "zl_api.h"

namespace Component::LogicalDevice {

// Runs op(object) for the logical device behind a host record. A null record (which no
// record handed out by the library is) gives 6 instead of a crash; an exception gives 5
// (not implemented) or 6 without the host's outputs being written.
template <class Object, class Record, class Op>
zl_status forwardToObject(Record* record, Op&& op) noexcept {
    if (record == nullptr || record->object == nullptr) {
        zl_trace(0, "callback called without a record");
        return ZL_STATUS_FAILED;
    }
    auto* object = static_cast<Object*>(record->object);
    return Utils::guardCallback([&] { return op(*object); });
}

// The body of an add function: parses the device text into its (cached) driver object and
// asks it for the logical device with make(driver, args). A text the framework can't build is
// traced "DeviceBase::create() failed" and a driver that makes nothing `newFailed` (unless
// null), both at `level`. Null on failure; the caller runs it inside Utils::guardEntry.
template <class Logical, class Make>
Logical* addLogicalDevice(const char* devArgs, int level, const char* newFailed, Make&& make) {
    Drivers::DriverArgs args;
    DeviceBase* driver = DeviceBase::create(devArgs, args);
    if (driver == nullptr) {
        zl_trace(level, "DeviceBase::create() failed");
        return nullptr;
    }
    Logical* logical = make(*driver, args);
    if (logical == nullptr && newFailed != nullptr) zl_trace(level, "%s", newFailed);
    return logical;
}

}  // namespace Component::LogicalDevice
