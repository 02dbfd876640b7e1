// The transceiver kind: the control and status lines of one pluggable optics port, SFP or
// QSFP. One callback table per port type; the port CPLD drivers make the objects.
#pragma once

#include <cstdint>
#include <optional>

#include "Drivers/DriverArgs.h"
#include "zl_api.h"

namespace Component::LogicalDevice {

class SfpXcvr {
  public:
    explicit SfpXcvr(unsigned id);
    virtual ~SfpXcvr() = default;
    // Non-zero when a module is plugged.
    virtual int getPresence() = 0;
    virtual zl_status getTxFault(int* fault) = 0;
    virtual zl_status getRxLos(int* los) = 0;
    virtual zl_status getTxDisable(int* disabled) = 0;
    virtual zl_status setTxDisable(int disable) = 0;

    static int getPresenceCallback(zl_xcvr* record);
    static zl_status getTxFaultCallback(zl_xcvr* record, int* fault);
    static zl_status getRxLosCallback(zl_xcvr* record, int* los);
    static zl_status getTxDisableCallback(zl_xcvr* record, int* disabled);
    static zl_status setTxDisableCallback(zl_xcvr* record, int disable);
    static const zl_word callbacks[ZL_XCVR_TABLE_WORDS];

    uint32_t id;  // the port number given to the driver
    zl_xcvr record;
};

class QsfpXcvr {
  public:
    explicit QsfpXcvr(unsigned id);
    virtual ~QsfpXcvr() = default;
    // Non-zero when a module is plugged.
    virtual int getPresence() = 0;
    virtual zl_status getModSel(int* selected) = 0;
    virtual zl_status setModSel(int select) = 0;
    virtual zl_status getLpMode(int* lowPower) = 0;
    virtual zl_status setLpMode(int lowPower) = 0;
    virtual zl_status getReset(int* inReset) = 0;
    virtual zl_status setReset(int reset) = 0;
    virtual zl_status getInterrupt(int* pending) = 0;

    static int getPresenceCallback(zl_xcvr* record);
    static zl_status getModSelCallback(zl_xcvr* record, int* selected);
    static zl_status setModSelCallback(zl_xcvr* record, int select);
    static zl_status getLpModeCallback(zl_xcvr* record, int* lowPower);
    static zl_status setLpModeCallback(zl_xcvr* record, int lowPower);
    static zl_status getResetCallback(zl_xcvr* record, int* inReset);
    static zl_status setResetCallback(zl_xcvr* record, int reset);
    static zl_status getInterruptCallback(zl_xcvr* record, int* pending);
    static const zl_word callbacks[ZL_XCVR_TABLE_WORDS];

    uint32_t id;  // the port number given to the driver
    zl_xcvr record;
};

// The driver arguments the transceiver kind reads itself (the driver reads any others):
//   "id"   required, decimal as std::stoi reads it ("stoi" error when unusable); missing:
//          trace "No id argument given for Xcvr"
//   "type" required, exactly "sfp", "sfp+", "qsfp" or "qsfp+"; missing: trace
//          "No type argument given for Xcvr"; anything else: trace "Xcvr type %s not supported"
struct XcvrArgs {
    enum class Type { Sfp, Qsfp };
    int id = 0;
    Type type = Type::Sfp;
};
// Reads "id" then "type"; nothing (after the level-0 trace) when one is missing or the type
// is unknown. Throws the conversion error "stoi" for an unusable "id".
std::optional<XcvrArgs> readXcvrArgs(const Drivers::DriverSpecificArgs& args);

}  // namespace Component::LogicalDevice
