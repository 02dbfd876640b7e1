// The transceiver kind: the SFP and QSFP callback tables, their callbacks and the add
// function, which reads the port number and type and asks the driver for the port.
#include "Components/Xcvr.h"

#include <utility>

#include "Components/CallbackGuard.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Component::LogicalDevice {

namespace {

// Driver arguments read here (see XcvrArgs).
// The texts of the "type" choices (Drivers::xcvrArgs) and the port each makes.
constexpr std::pair<const char*, XcvrArgs::Type> kTypeNames[] = {
    {"sfp", XcvrArgs::Type::Sfp},
    {"sfp+", XcvrArgs::Type::Sfp},
    {"qsfp", XcvrArgs::Type::Qsfp},
    {"qsfp+", XcvrArgs::Type::Qsfp},
};

// Word 2 of a table: the byte size of the type's part, its own size word and its callbacks.
constexpr zl_word partSize(int lastCallbackWord) {
    return static_cast<zl_word>(lastCallbackWord + 1 - ZL_XCVR_PART_SIZE) * sizeof(zl_word);
}

template <class Fn>
zl_word word(Fn fn) {
    return reinterpret_cast<zl_word>(fn);
}

// A getter callback: traces "name(id)" at level 4 and passes the operation's status through.
template <class Xcvr, class Op>
zl_status getter(zl_xcvr* record, const char* name, Op&& op) {
    return forwardToObject<Xcvr>(record, [&](Xcvr& xcvr) {
        zl_trace(4, "%s(%u)", name, xcvr.id);
        return op(xcvr);
    });
}

// A setter callback: traces "name(id, value)" at level 4.
template <class Xcvr, class Op>
zl_status setter(zl_xcvr* record, const char* name, int value, Op&& op) {
    return forwardToObject<Xcvr>(record, [&](Xcvr& xcvr) {
        zl_trace(4, "%s(%u, %d)", name, xcvr.id, value);
        return op(xcvr);
    });
}

// Presence is the answer itself, not a status: when the object can't be asked (no record, an
// exception, traced by the guard) the port reports no module rather than a status number.
template <class Xcvr>
int presence(zl_xcvr* record) {
    int present = 0;
    const zl_status status = forwardToObject<Xcvr>(record, [&](Xcvr& xcvr) {
        zl_trace(4, "%s(%u)", "getPresenceCallback", xcvr.id);
        present = xcvr.getPresence();
        return ZL_STATUS_OK;
    });
    return status == ZL_STATUS_OK ? present : 0;
}

}  // namespace

std::optional<XcvrArgs> readXcvrArgs(const Drivers::DriverSpecificArgs& args) {
    Drivers::ArgReader r(Drivers::xcvrEntry, ZL_CALL_NEW_XCVR, args);
    const std::optional<int> id = r.number("id");
    if (!id) return std::nullopt;
    XcvrArgs read;
    read.id = *id;
    const std::string* type = r.text("type");
    if (type == nullptr) return std::nullopt;
    for (const auto& [name, value] : kTypeNames) {
        if (*type == name) {
            read.type = value;
            return read;
        }
    }
    zl_trace(0, "Xcvr type %s not supported", type->c_str());
    return std::nullopt;
}

// ---- SFP ----

const zl_word SfpXcvr::callbacks[ZL_XCVR_TABLE_WORDS] = {
    sizeof(SfpXcvr::callbacks),
    ZL_XCVR_TYPE_SFP,
    partSize(ZL_SFP_SET_TX_DISABLE),
    word(&SfpXcvr::getPresenceCallback),
    word(&SfpXcvr::getTxFaultCallback),
    word(&SfpXcvr::getRxLosCallback),
    word(&SfpXcvr::getTxDisableCallback),
    word(&SfpXcvr::setTxDisableCallback),
    0,
    0,
    0,
};

SfpXcvr::SfpXcvr(unsigned id_) : id(id_) {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

int SfpXcvr::getPresenceCallback(zl_xcvr* record) { return presence<SfpXcvr>(record); }

zl_status SfpXcvr::getTxFaultCallback(zl_xcvr* record, int* fault) {
    return getter<SfpXcvr>(record, "getTxFaultCallback", [&](SfpXcvr& x) { return x.getTxFault(fault); });
}

zl_status SfpXcvr::getRxLosCallback(zl_xcvr* record, int* los) {
    return getter<SfpXcvr>(record, "getRxLosCallback", [&](SfpXcvr& x) { return x.getRxLos(los); });
}

zl_status SfpXcvr::getTxDisableCallback(zl_xcvr* record, int* disabled) {
    return getter<SfpXcvr>(record, "getTxDisableCallback", [&](SfpXcvr& x) { return x.getTxDisable(disabled); });
}

zl_status SfpXcvr::setTxDisableCallback(zl_xcvr* record, int disable) {
    return setter<SfpXcvr>(record, "setTxDisableCallback", disable,
                           [&](SfpXcvr& x) { return x.setTxDisable(disable); });
}

// ---- QSFP ----

const zl_word QsfpXcvr::callbacks[ZL_XCVR_TABLE_WORDS] = {
    sizeof(QsfpXcvr::callbacks),
    ZL_XCVR_TYPE_QSFP,
    partSize(ZL_QSFP_GET_INTERRUPT),
    word(&QsfpXcvr::getPresenceCallback),
    word(&QsfpXcvr::getModSelCallback),
    word(&QsfpXcvr::setModSelCallback),
    word(&QsfpXcvr::getLpModeCallback),
    word(&QsfpXcvr::setLpModeCallback),
    word(&QsfpXcvr::getResetCallback),
    word(&QsfpXcvr::setResetCallback),
    word(&QsfpXcvr::getInterruptCallback),
};

QsfpXcvr::QsfpXcvr(unsigned id_) : id(id_) {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

int QsfpXcvr::getPresenceCallback(zl_xcvr* record) { return presence<QsfpXcvr>(record); }

zl_status QsfpXcvr::getModSelCallback(zl_xcvr* record, int* selected) {
    return getter<QsfpXcvr>(record, "getModSelCallback", [&](QsfpXcvr& x) { return x.getModSel(selected); });
}

zl_status QsfpXcvr::setModSelCallback(zl_xcvr* record, int select) {
    return setter<QsfpXcvr>(record, "setModSelCallback", select, [&](QsfpXcvr& x) { return x.setModSel(select); });
}

zl_status QsfpXcvr::getLpModeCallback(zl_xcvr* record, int* lowPower) {
    return getter<QsfpXcvr>(record, "getLpModeCallback", [&](QsfpXcvr& x) { return x.getLpMode(lowPower); });
}

zl_status QsfpXcvr::setLpModeCallback(zl_xcvr* record, int lowPower) {
    return setter<QsfpXcvr>(record, "setLpModeCallback", lowPower,
                            [&](QsfpXcvr& x) { return x.setLpMode(lowPower); });
}

zl_status QsfpXcvr::getResetCallback(zl_xcvr* record, int* inReset) {
    return getter<QsfpXcvr>(record, "getResetCallback", [&](QsfpXcvr& x) { return x.getReset(inReset); });
}

zl_status QsfpXcvr::setResetCallback(zl_xcvr* record, int reset) {
    return setter<QsfpXcvr>(record, "setResetCallback", reset, [&](QsfpXcvr& x) { return x.setReset(reset); });
}

zl_status QsfpXcvr::getInterruptCallback(zl_xcvr* record, int* pending) {
    return getter<QsfpXcvr>(record, "getInterruptCallback", [&](QsfpXcvr& x) { return x.getInterrupt(pending); });
}

}  // namespace Component::LogicalDevice

extern "C" zl_xcvr* zl_xcvr_add(const char* devArgs) {
    using namespace Component;
    using LogicalDevice::XcvrArgs;
    return Utils::guardEntry<zl_xcvr*>(nullptr, [&]() -> zl_xcvr* {
        return LogicalDevice::addLogicalDevice<zl_xcvr>(
            devArgs, 0, nullptr, [](DeviceBase& driver, const Drivers::DriverArgs& args) -> zl_xcvr* {
                const std::optional<XcvrArgs> port = LogicalDevice::readXcvrArgs(args.driverArgs);
                if (!port) return nullptr;
                // The driver checks the port number against its cages; a negative number
                // reaches it as a huge one and is refused there.
                const unsigned id = static_cast<unsigned>(port->id);
                if (port->type == XcvrArgs::Type::Qsfp) {
                    LogicalDevice::QsfpXcvr* qsfp = driver.newQsfpXcvr(id, args);
                    if (qsfp == nullptr) zl_trace(0, "newQsfpXcvr() failed");
                    return qsfp != nullptr ? &qsfp->record : nullptr;
                }
                LogicalDevice::SfpXcvr* sfp = driver.newSfpXcvr(id, args);
                if (sfp == nullptr) zl_trace(0, "newSfpXcvr() failed");
                return sfp != nullptr ? &sfp->record : nullptr;
            });
    });
}
