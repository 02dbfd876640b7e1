// Shared shape of the host callbacks: find the logical device through word 2 of the host
// record and run the operation so that no exception reaches the host.
#pragma once

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

}  // namespace Component::LogicalDevice
