// Calling into a record handed out by the library: the callback at an index of its table, if
// the table has that word, with any exception turned into a failure.
#pragma once

#include <cstddef>

#include "Status.h"
#include "zl_api.h"

namespace Host {

// Runs one call into the library; an exception escaping it counts as a failure.
template <class Fn>
zl_status safeCall(Fn fn) {
    try {
        return fn();
    } catch (...) {
        return ZL_STATUS_FAILED;
    }
}

// The callback at `index` of the record's table as type Fn, or null when there is no record
// or the table is shorter.
template <class Fn, class Record>
Fn callbackOf(const Record* record, size_t index) {
    if (record == nullptr || record->callbacks == nullptr) return nullptr;
    if (ZL_TABLE_WORDS(record) <= index) return nullptr;
    return reinterpret_cast<Fn>(record->callbacks[index]);
}

// Whether a transceiver record is a QSFP port (its table's port type word says so).
inline bool isQsfp(const zl_xcvr* xcvr) {
    return ZL_TABLE_WORDS(xcvr) > ZL_XCVR_PORT_TYPE && xcvr->callbacks[ZL_XCVR_PORT_TYPE] == ZL_XCVR_TYPE_QSFP;
}

// The shape of every getter: the record, the getter's inputs, then where the value goes.
template <class Record, class Value, class... Inputs>
using GetterFn = zl_status (*)(Record*, Inputs..., Value*);

// Calls the getter at `index` with `inputs` into *value: kNotAdded without a record,
// kNotSupported when the table lacks the getter, else the library's status.
template <class Record, class Value, class... Inputs>
int getAt(Record* record, size_t index, Value* value, Inputs... inputs) {
    if (record == nullptr) return kNotAdded;
    auto fn = callbackOf<GetterFn<Record, Value, Inputs...>>(record, index);
    if (fn == nullptr) return kNotSupported;
    return safeCall([&] { return fn(record, inputs..., value); });
}

}  // namespace Host
