#include "Max6620.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace Smbusd {

namespace {

std::string stalledName(int ch) { return "stalled" + std::to_string(ch); }

}  // namespace

uint16_t Max6620Chip::measuredCount(unsigned sr, double rpm) {
    if (!(rpm > 0)) return kStalledCount;
    double count = std::round(sr * kCountTimesRpm / rpm);
    if (count >= kStalledCount) return kStalledCount;
    return uint16_t(count < 1 ? 1 : count);
}

Max6620Chip::Max6620Chip() : Chip("max6620") {
    int64_t now = nowMs();
    for (int ch = 0; ch < kChannels; ++ch) {
        declare(stalledName(ch), PropKind::Flag, "0");
        regs_[kRegFanConfiguration1 + ch] = 0x00;
        regs_[kRegFanDynamics1 + ch] = kFanDynamicsSr2;
        regs_[kRegTarget1Msb + 2 * ch] = countMsb(kTargetCountReset);
        regs_[kRegTarget1Msb + 2 * ch + 1] = countLsb(kTargetCountReset);
        fans_[ch] = Fan{targetRpm(ch), targetRpm(ch), now};  // turning at the power-on speed
    }
}

bool Max6620Chip::poke(uint32_t reg, const std::string& bytes, std::string* err) {
    if (!Chip::poke(reg, bytes, err)) return false;
    int64_t now = nowMs();
    for (int ch = 0; ch < kChannels; ++ch) fans_[ch] = Fan{targetRpm(ch), targetRpm(ch), now};  // settled at start
    return true;
}

int64_t Max6620Chip::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Max6620Chip::stalled(int ch) const { return flag(stalledName(ch)); }

double Max6620Chip::targetRpm(int ch) const {
    const uint8_t* target = regs_ + kRegTarget1Msb + 2 * ch;
    return rpmOf(speedRange(regs_[kRegFanDynamics1 + ch]), countOf(target[0], target[1]));
}

double Max6620Chip::rpmNow(int ch, int64_t now) const {
    if (stalled(ch)) return 0;
    const Fan& f = fans_[ch];
    double part = double(now - f.sinceMs) / kSettleMs;
    if (part >= 1) return f.toRpm;
    return f.fromRpm + (f.toRpm - f.fromRpm) * (part < 0 ? 0 : part);
}

void Max6620Chip::retarget(int ch, double fromRpm) { fans_[ch] = Fan{fromRpm, targetRpm(ch), nowMs()}; }

void Max6620Chip::propertyChanged(const std::string& name) {
    for (int ch = 0; ch < kChannels; ++ch) {
        if (name != stalledName(ch)) continue;
        if (stalled(ch))
            latchedFaults_ |= uint8_t(kFaultChannel1 << ch);
        else
            retarget(ch, 0);  // a freed fan spins up from standstill
    }
}

uint8_t Max6620Chip::readReg(uint8_t reg) {
    if (reg == kRegFault) {
        uint8_t v = regs_[kRegFault] & kFaultMaskBits;
        for (int ch = 0; ch < kChannels; ++ch)
            if (stalled(ch)) v |= uint8_t(kFaultChannel1 << ch);  // faults again at every measurement
        v |= latchedFaults_;
        latchedFaults_ = 0;  // the chip clears the fault flags when read
        return v;
    }
    if (reg >= kRegTach1Msb && reg <= kRegTachLastLsb) {
        int ch = (reg - kRegTach1Msb) / 2;
        uint16_t count = measuredCount(speedRange(regs_[kRegFanDynamics1 + ch]), rpmNow(ch, nowMs()));
        return (reg & 1) ? countLsb(count) : countMsb(count);
    }
    return regs_[reg];
}

bool Max6620Chip::read(uint32_t reg, uint32_t len, std::string* out, std::string* err) {
    if (!checkReg(reg, len, err)) return false;
    out->resize(len);
    for (uint32_t i = 0; i < len; ++i) (*out)[i] = char(readReg(uint8_t(reg + i)));
    pointer_ = uint8_t(reg);
    return true;
}

bool Max6620Chip::write(uint32_t reg, const std::string& data, std::string* err) {
    if (!checkReg(reg, uint32_t(data.size()), err)) return false;
    int64_t now = nowMs();
    double before[kChannels];
    for (int ch = 0; ch < kChannels; ++ch) before[ch] = stalled(ch) ? 0 : rpmNow(ch, now);
    bool changed[kChannels] = {};
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t r = uint8_t(reg + i);
        if (r >= kRegTach1Msb && r <= kRegTachLastLsb) continue;  // tachometer counts are read-only
        if (r == kRegFault) {
            regs_[kRegFault] = uint8_t(data[i]) & kFaultMaskBits;  // only the mask bits are writable
            continue;
        }
        regs_[r] = uint8_t(data[i]);
        if (r >= kRegFanDynamics1 && r < kRegFanDynamics1 + kChannels) changed[r - kRegFanDynamics1] = true;
        if (r >= kRegTarget1Msb && r <= kRegTargetLastLsb) changed[(r - kRegTarget1Msb) / 2] = true;
    }
    for (int ch = 0; ch < kChannels; ++ch)
        if (changed[ch]) retarget(ch, before[ch]);
    pointer_ = uint8_t(reg);
    return true;
}

std::string Max6620Chip::describe() const {
    int64_t now = nowMs();
    std::string text;
    for (int ch = 0; ch < kChannels; ++ch) {
        char part[80];
        if (stalled(ch))
            std::snprintf(part, sizeof part, "fan%d=stalled", ch);
        else
            std::snprintf(part, sizeof part, "fan%d=%.0f/%.0frpm", ch, rpmNow(ch, now), targetRpm(ch));
        text += (text.empty() ? "" : " ") + std::string(part);
    }
    return text;
}

}  // namespace Smbusd
