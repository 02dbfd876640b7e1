// Port CPLD A of the OrvikS board: the sideband signals of the six QSFP cages, one bit per
// cage in four registers, polled once a second and answered from the cached copy.
#pragma once

#include <cstdint>
#include <vector>

#include "Drivers/Catalogue.h"
#include "Components/Xcvr.h"
#include "Drivers/Orvik/OrvikSPortCpld.h"

namespace Drivers {

class OrvikSCpldA : public OrvikSPortCpld {
  public:
    // Register map: bit n-1 of each belongs to cage n, except in the low-power register,
    // where the bits of each pair of cages are swapped (see lpBitOf).
    static constexpr uint8_t kRegLpMode = 0x0B;     // 1: low-power mode; read/write
    static constexpr uint8_t kRegPresent = 0x0C;    // 1: module present; read-only
    static constexpr uint8_t kRegResetN = 0x0D;     // 0: module held in reset; read/write
    static constexpr uint8_t kRegInterruptN = 0x0E; // 0: interrupt pending; read-only
    static constexpr unsigned kFirstCage = 1;
    static constexpr unsigned kLastCage = 6;

    // The registers of one poll, in order.
    static const std::vector<uint8_t> cachedRegisters;

    using XcvrId = unsigned;  // cage number, 1 to 6

    class QsfpXcvr : public Component::LogicalDevice::QsfpXcvr {
      public:
        QsfpXcvr(XcvrId id, OrvikSCpldA* cpld, uint8_t bit, uint8_t lpBit)
            : Component::LogicalDevice::QsfpXcvr(id), cpld(cpld), bit(bit), lpBit(lpBit) {}
        int getPresence() override { return cpld->getQsfpPresence(this); }
        // Module select is not wired to the CPLD: nothing to read or change.
        zl_status getModSel(int*) override { return ZL_STATUS_OK; }
        zl_status setModSel(int) override { return ZL_STATUS_OK; }
        zl_status getLpMode(int* lowPower) override { return cpld->getQsfpLpMode(this, lowPower); }
        zl_status setLpMode(int lowPower) override { return cpld->setQsfpLpMode(this, lowPower); }
        zl_status getReset(int* inReset) override { return cpld->getQsfpReset(this, inReset); }
        zl_status setReset(int reset) override { return cpld->setQsfpReset(this, reset); }
        zl_status getInterrupt(int* pending) override { return cpld->getQsfpInterrupt(this, pending); }

        OrvikSCpldA* cpld;  // not owned
        uint8_t bit;
        uint8_t lpBit;
    };

    OrvikSCpldA();
    // The transceiver kind's arguments as this CPLD takes them: its cages and its port type.
    static constexpr zl_driver_arg catalogueArgs[] = {
        xcvrIdArg.range(kFirstCage, kLastCage, "1 <= id && id <= 6"),
        xcvrTypeArg.choices("qsfp|qsfp+"),
    };
    static constexpr zl_driver_entry catalogue = {"OrvikSCpldA", ZL_KIND_BIT(ZL_KIND_XCVR) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    // Reads no driver arguments; refuses a cage outside 1 to 6 (traced with the port number,
    // rule "1 <= id && id <= 6").
    Component::LogicalDevice::QsfpXcvr* newQsfpXcvr(XcvrId id, const FactoryArgs& args) override;

    int getQsfpPresence(QsfpXcvr* xcvr);
    zl_status getQsfpLpMode(QsfpXcvr* xcvr, int* lowPower);
    zl_status setQsfpLpMode(QsfpXcvr* xcvr, int lowPower);
    zl_status getQsfpReset(QsfpXcvr* xcvr, int* inReset);
    zl_status setQsfpReset(QsfpXcvr* xcvr, int reset);
    zl_status getQsfpInterrupt(QsfpXcvr* xcvr, int* pending);

    // Cage n's bit in every register but the low-power one.
    static uint8_t bitOf(XcvrId id) { return static_cast<uint8_t>(id - 1); }
    // Cage n's bit in the low-power register: n for odd n, n - 2 for even n.
    static uint8_t lpBitOf(XcvrId id) { return static_cast<uint8_t>(id % 2 != 0 ? id : id - 2); }
};

}  // namespace Drivers
