#include "Drivers/Orvik/OrvikSCpldA.h"

namespace Drivers {

const std::vector<uint8_t> OrvikSCpldA::cachedRegisters = {kRegLpMode, kRegPresent, kRegResetN, kRegInterruptN};

OrvikSCpldA::OrvikSCpldA() : OrvikSPortCpld("OrvikSCpldA", cachedRegisters) {}

Component::DeviceBase* OrvikSCpldA::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(5, "Creating OrvikSCpldA device");
    return new OrvikSCpldA();
}

Component::LogicalDevice::QsfpXcvr* OrvikSCpldA::newQsfpXcvr(XcvrId id, const FactoryArgs&) {
    if (id < kFirstCage || id > kLastCage)
        zl_trace(0, "OrvikSCpldA: QSFP port %d is not one of its cages %u to %u", static_cast<int>(id), kFirstCage,
                 kLastCage);
    ZL_CHECK_RULE(kFirstCage <= id && id <= kLastCage, "1 <= id && id <= 6");
    const uint8_t bit = bitOf(id), lpBit = lpBitOf(id);
    zl_trace(5, "creating new QsfpXcvr with id=%hhu, bit=%hhu, lpBit=%hhu", static_cast<uint8_t>(id), bit, lpBit);
    return new QsfpXcvr(id, this, bit, lpBit);
}

int OrvikSCpldA::getQsfpPresence(QsfpXcvr* xcvr) {
    zl_trace(6, "%s(): id=%hhu", "getQsfpPresence", static_cast<uint8_t>(xcvr->id));
    int present = 0;
    getRegisterBit(kRegPresent, xcvr->bit, &present, false);
    return present;
}

zl_status OrvikSCpldA::getQsfpLpMode(QsfpXcvr* xcvr, int* lowPower) {
    zl_trace(6, "%s(): id=%hhu", "getQsfpLpMode", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(kRegLpMode, xcvr->lpBit, lowPower, false);
}

zl_status OrvikSCpldA::setQsfpLpMode(QsfpXcvr* xcvr, int lowPower) {
    zl_trace(6, "%s(): id=%hhu", "setQsfpLpMode", static_cast<uint8_t>(xcvr->id));
    return setRegisterBit(kRegLpMode, xcvr->lpBit, lowPower);
}

zl_status OrvikSCpldA::getQsfpReset(QsfpXcvr* xcvr, int* inReset) {
    zl_trace(6, "%s(): id=%hhu", "getQsfpReset", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(kRegResetN, xcvr->bit, inReset, true);
}

zl_status OrvikSCpldA::setQsfpReset(QsfpXcvr* xcvr, int reset) {
    zl_trace(6, "%s(): id=%hhu", "setQsfpReset", static_cast<uint8_t>(xcvr->id));
    return setRegisterBit(kRegResetN, xcvr->bit, reset == 0 ? 1 : 0);  // the line is active low
}

zl_status OrvikSCpldA::getQsfpInterrupt(QsfpXcvr* xcvr, int* pending) {
    zl_trace(6, "%s(): id=%hhu", "getQsfpInterrupt", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(kRegInterruptN, xcvr->bit, pending, true);
}

}  // namespace Drivers
