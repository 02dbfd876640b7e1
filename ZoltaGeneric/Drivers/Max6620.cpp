#include "Drivers/Max6620.h"

#include <algorithm>

namespace Drivers {

// ---- driver arguments ----

uint8_t Max6620::readMaxId(const FactoryArgs& args) {
    return static_cast<uint8_t>(*ArgReader(catalogue, ZL_CALL_CREATE, args.driverArgs).number("maxId"));
}

bool Max6620::readFanArgs(const FactoryArgs& args, FanArgs* out) {
    ArgReader r(catalogue, ZL_CALL_NEW_FAN, args.driverArgs);
    const uint8_t fanId = static_cast<uint8_t>(*r.number("id"));
    zl_trace(0, "Creating new Max6620 Fan id %hhu", fanId);
    const uint8_t regOffset = static_cast<uint8_t>(*r.number("regOffset"));
    const int32_t maxRpm = *r.number("maxRpm");
    if (maxRpm <= 0) {
        zl_trace(0, "Error: Fan%d maxRpm %d is not a positive speed", fanId, maxRpm);
        return false;
    }
    *out = FanArgs{fanId, regOffset, maxRpm};
    return true;
}

// ---- driver ----

Component::DeviceBase* Max6620::create(const FactoryArgs& args, Ham::Ham*) {
    const uint8_t maxId = readMaxId(args);
    zl_trace(0, "Creating Max6620-%d Device", maxId);
    return new Max6620(maxId);
}

Component::LogicalDevice::Fan* Max6620::newFan(const FactoryArgs& args) {
    FanArgs fanArgs{};
    if (!readFanArgs(args, &fanArgs)) return nullptr;
    return new Fan(this, fanArgs.fanId, fanArgs.regOffset, fanArgs.maxRpm);
}

Max6620::Fan::Fan(Max6620* device, uint8_t fanId, uint8_t regOffset, int maxRpm)
    : device(device), fanId(fanId), regOffset(regOffset), maxRpm(maxRpm) {
    device->fanInit(this);
}

void Max6620::fanInit(Fan* fan) {
    zl_trace(0, "Fan init: configuring Fan%d", fan->fanId);
    const uint8_t ch = fan->regOffset;
    fan->speedRange = 1u << kMaxSpeedRangeExponent;
    // The fan starts at its maximum speed in the top range. A maximum whose count doesn't fit
    // the count field (below 3842 rpm, or absurdly high) starts at the field's nearest limit.
    int64_t target = targetCount(kMaxSpeedRangeExponent, fan->maxRpm);
    if (!targetInRange(target)) {
        const int64_t limited = std::clamp(target, kMinTargetCount, kMaxTargetCount);
        zl_trace(0, "Fan init: Fan%d maxRpm %d gives target count %lld, programming %lld", fan->fanId, fan->maxRpm,
                 static_cast<long long>(target), static_cast<long long>(limited));
        target = limited;
    }
    ham->prepare();
    ham->addWrite8(kRegFanDynamics + ch, dynamicsValue(kMaxSpeedRangeExponent), false);
    ham->addWrite16(kRegTargetCount + 2u * ch, countToWord(static_cast<uint16_t>(target)), false);
    ham->addWrite8(kRegFanConfig + ch, kConfigClosedLoop, false);
    const zl_status status = ham->execute();
    if (status != ZL_STATUS_OK) zl_trace(0, "Fan init: failed to configure Fan%d", fan->fanId);
    fan->configured = status == ZL_STATUS_OK;
    clearFaultBit(ch);
}

void Max6620::latchFaults(zl_status status, uint8_t value) {
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "Error status %d reading Max6620-%d fan fault register", status, maxId);
        return;
    }
    faultBits = static_cast<uint8_t>(faultBits | (value >> kFaultFlagsShift));
}

void Max6620::readFanFaultReg() {
    uint8_t value = 0;
    const zl_status status = ham->read8(kRegFanFault, &value);
    latchFaults(status, value);
}

zl_status Max6620::getFanRpm(Fan* fan, int* rpm) {
    if (rpm == nullptr) return ZL_STATUS_BAD_INPUT;
    // A channel whose initialisation failed is configured now, before it is read.
    if (!fan->configured) fanInit(fan);
    const uint8_t ch = fan->regOffset;
    // The fault register and the count in one batch; a failed batch failed both reads.
    ham->prepare();
    const Ham::ResponseId faultId = ham->addRead8(kRegFanFault);
    const Ham::ResponseId tachId = ham->addRead16(kRegTachCount + 2u * ch);
    const zl_status status = ham->execute();
    latchFaults(status, status == ZL_STATUS_OK ? ham->get8(faultId) : 0);
    if (checkFaultBit(ch)) {
        clearFaultBit(ch);
        zl_trace(0, "Error: Fan %d had a fault failure", fan->fanId);
        return ZL_STATUS_DEVICE_FAULT;
    }
    if (status != ZL_STATUS_OK) {
        zl_trace(0, "Error status %d reading tach count register with status", status);
        return status;
    }
    const uint16_t count = wordToCount(ham->get16(tachId));
    if (count == 0) {
        zl_trace(0, "Error: Fan%d reports a tach count of %u", fan->fanId, count);
        return ZL_STATUS_DEVICE_FAULT;
    }
    const int32_t value = countToRpm(fan->speedRange, count);
    *rpm = value;
    zl_trace(6, "getRpm: Fan%d has an RPM value of %d", fan->fanId, value);
    return ZL_STATUS_OK;
}

zl_status Max6620::setFanRpm(Fan* fan, int rpm) {
    zl_trace(6, "setRpm: Setting RPM value of %d for Fan%d", rpm, fan->fanId);
    if (rpm > fan->maxRpm)
        zl_trace(6, "Warning: setRpm value of %d is more than fan's max RPM %d", rpm, fan->maxRpm);
    const uint8_t k = speedRangeExponent(rpm);
    const uint8_t speedRange = static_cast<uint8_t>(1u << k);
    const int64_t target = targetCount(k, rpm);
    if (!targetInRange(target)) {
        zl_trace(0, "Error: setRpm value of %d for Fan%d gives target count %lld outside 1..2046", rpm, fan->fanId,
                 static_cast<long long>(target));
        return ZL_STATUS_BAD_INPUT;
    }
    zl_trace(6, "tachPeriod=%u", static_cast<unsigned>(speedRange));
    const uint8_t ch = fan->regOffset;
    ham->prepare();
    ham->addWrite8(kRegFanDynamics + ch, dynamicsValue(k), false);
    ham->addWrite16(kRegTargetCount + 2u * ch, countToWord(static_cast<uint16_t>(target)), false);
    // A channel whose initialisation failed gets its configuration with the new speed.
    if (!fan->configured) ham->addWrite8(kRegFanConfig + ch, kConfigClosedLoop, false);
    const zl_status status = ham->execute();
    if (status != ZL_STATUS_OK)
        zl_trace(0, "Error status %d while writing to Fan%d's target tach register", status, fan->fanId);
    else
        fan->configured = true;
    fan->speedRange = speedRange;
    return status;
}

// ---- conversions ----

uint8_t Max6620::speedRangeExponent(int rpm) {
    // Lowest rpm of each band, fastest band first.
    static const struct {
        int minRpm;
        uint8_t k;
    } bands[] = {{6000, 5}, {3001, 4}, {1501, 3}, {1001, 2}, {751, 1}};
    for (const auto& band : bands)
        if (rpm >= band.minRpm) return band.k;
    return 0;
}

int64_t Max6620::targetCount(uint8_t k, int rpm) {
    if (rpm <= 0) return 0;
    return static_cast<int64_t>(static_cast<double>(1u << k) * 30.0 * 8192.0 / rpm);
}

}  // namespace Drivers
