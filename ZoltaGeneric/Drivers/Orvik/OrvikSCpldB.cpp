#include "Drivers/Orvik/OrvikSCpldB.h"

namespace Drivers {

const std::vector<uint8_t> OrvikSCpldB::cachedRegisters = {kRegPresentBase, kRegTxDisableBase, kRegRxLosBase,
                                                           kRegTxFaultBase};

std::vector<uint8_t> OrvikSCpldB::polledRegisters() {
    std::vector<uint8_t> registers;
    for (uint8_t base : cachedRegisters)
        for (uint8_t offset = 0; offset < kRegistersPerGroup; ++offset)
            registers.push_back(static_cast<uint8_t>(base + offset));
    return registers;
}

OrvikSCpldB::OrvikSCpldB() : OrvikSPortCpld("OrvikSCpldB", polledRegisters()) {}

Component::DeviceBase* OrvikSCpldB::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(5, "Creating OrvikSCpldB device");
    return new OrvikSCpldB();
}

Component::LogicalDevice::SfpXcvr* OrvikSCpldB::newSfpXcvr(XcvrId id, const FactoryArgs&) {
    if (id < kFirstCage || id > kLastCage)
        zl_trace(0, "OrvikSCpldB: SFP port %d is not one of its cages %u to %u", static_cast<int>(id), kFirstCage,
                 kLastCage);
    ZL_CHECK_RULE(kFirstCage <= id && id <= kLastCage, "1 <= id && id <= 48");
    const uint8_t regOffset = regOffsetOf(id), bit = bitOf(id);
    zl_trace(5, "creating new SfpXcvr with id=%hhu, regOffset=%hhu, bit=%hhu", static_cast<uint8_t>(id), regOffset,
             bit);
    return new SfpXcvr(id, this, regOffset, bit);
}

int OrvikSCpldB::getSfpPresence(SfpXcvr* xcvr) {
    zl_trace(6, "%s(): id=%hhu", "getSfpPresence", static_cast<uint8_t>(xcvr->id));
    int present = 0;
    getRegisterBit(static_cast<uint8_t>(kRegPresentBase + xcvr->regOffset), xcvr->bit, &present, false);
    return present;
}

zl_status OrvikSCpldB::getSfpRxLos(SfpXcvr* xcvr, int* los) {
    zl_trace(6, "%s(): id=%hhu", "getSfpRxLos", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(static_cast<uint8_t>(kRegRxLosBase + xcvr->regOffset), xcvr->bit, los, false);
}

zl_status OrvikSCpldB::getSfpTxFault(SfpXcvr* xcvr, int* fault) {
    zl_trace(6, "%s(): id=%hhu", "getSfpTxFault", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(static_cast<uint8_t>(kRegTxFaultBase + xcvr->regOffset), xcvr->bit, fault, false);
}

zl_status OrvikSCpldB::getSfpTxDisable(SfpXcvr* xcvr, int* disabled) {
    zl_trace(6, "%s(): id=%hhu", "getSfpTxDisable", static_cast<uint8_t>(xcvr->id));
    return getRegisterBit(static_cast<uint8_t>(kRegTxDisableBase + xcvr->regOffset), xcvr->bit, disabled, false);
}

zl_status OrvikSCpldB::setSfpTxDisable(SfpXcvr* xcvr, int disable) {
    zl_trace(6, "%s(): id=%hhu", "setSfpTxDisable", static_cast<uint8_t>(xcvr->id));
    return setRegisterBit(static_cast<uint8_t>(kRegTxDisableBase + xcvr->regOffset), xcvr->bit, disable);
}

}  // namespace Drivers
