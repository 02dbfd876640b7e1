// Port CPLD B of the OrvikS board: the sideband signals of the 48 SFP cages, eight cages per
// register in four groups of six registers, polled once a second and answered from the
// cached copy.
#pragma once

#include <cstdint>
#include <vector>

#include "Drivers/Catalogue.h"
#include "Components/Xcvr.h"
#include "Drivers/Orvik/OrvikSPortCpld.h"

namespace Drivers {

class OrvikSCpldB : public OrvikSPortCpld {
  public:
    // Register map: group base + regOffset holds bit `bit` of cage n, where regOffset is
    // (n - 1) / 8 and bit is (n - 1) % 8 (see regOffsetOf and bitOf).
    static constexpr uint8_t kRegPresentBase = 0x02;    // 0x02-0x07, 1: module present; read-only
    static constexpr uint8_t kRegTxDisableBase = 0x08;  // 0x08-0x0D, 1: transmitter off; read/write
    static constexpr uint8_t kRegRxLosBase = 0x0E;      // 0x0E-0x13, 1: receiver loss of signal; read-only
    static constexpr uint8_t kRegTxFaultBase = 0x14;    // 0x14-0x19, 1: transmitter fault; read-only
    static constexpr uint8_t kRegistersPerGroup = 6;
    static constexpr unsigned kCagesPerRegister = 8;
    static constexpr unsigned kFirstCage = 1;
    static constexpr unsigned kLastCage = 48;

    // The group bases; one poll reads the six registers of each group, in this order.
    static const std::vector<uint8_t> cachedRegisters;

    using XcvrId = unsigned;  // cage number, 1 to 48

    class SfpXcvr : public Component::LogicalDevice::SfpXcvr {
      public:
        SfpXcvr(XcvrId id, OrvikSCpldB* cpld, uint8_t regOffset, uint8_t bit)
            : Component::LogicalDevice::SfpXcvr(id), cpld(cpld), regOffset(regOffset), bit(bit) {}
        int getPresence() override { return cpld->getSfpPresence(this); }
        zl_status getTxFault(int* fault) override { return cpld->getSfpTxFault(this, fault); }
        zl_status getRxLos(int* los) override { return cpld->getSfpRxLos(this, los); }
        zl_status getTxDisable(int* disabled) override { return cpld->getSfpTxDisable(this, disabled); }
        zl_status setTxDisable(int disable) override { return cpld->setSfpTxDisable(this, disable); }

        OrvikSCpldB* cpld;  // not owned
        uint8_t regOffset;
        uint8_t bit;
    };

    OrvikSCpldB();
    // The transceiver kind's arguments as this CPLD takes them: its cages and its port type.
    static constexpr zl_driver_arg catalogueArgs[] = {
        xcvrIdArg.range(kFirstCage, kLastCage, "1 <= id && id <= 48"),
        xcvrTypeArg.choices("sfp|sfp+"),
    };
    static constexpr zl_driver_entry catalogue = {"OrvikSCpldB", ZL_KIND_BIT(ZL_KIND_XCVR) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    // Reads no driver arguments; refuses a cage outside 1 to 48 (traced with the port number,
    // rule "1 <= id && id <= 48").
    Component::LogicalDevice::SfpXcvr* newSfpXcvr(XcvrId id, const FactoryArgs& args) override;

    int getSfpPresence(SfpXcvr* xcvr);
    zl_status getSfpRxLos(SfpXcvr* xcvr, int* los);
    zl_status getSfpTxFault(SfpXcvr* xcvr, int* fault);
    zl_status getSfpTxDisable(SfpXcvr* xcvr, int* disabled);
    zl_status setSfpTxDisable(SfpXcvr* xcvr, int disable);

    static uint8_t regOffsetOf(XcvrId id) { return static_cast<uint8_t>((id - 1) / kCagesPerRegister); }
    static uint8_t bitOf(XcvrId id) { return static_cast<uint8_t>((id - 1) % kCagesPerRegister); }
    // Every register of the groups in poll order: 0x02 to 0x19 ascending.
    static std::vector<uint8_t> polledRegisters();
};

}  // namespace Drivers
