// What the two port CPLDs of the OrvikS board share: a copy of their status and control
// registers, refreshed by one batch of byte reads per poll, from which every status query is
// answered without touching the bus; control bits are written as the whole cached byte.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "Drivers/Device.h"
#include "Drivers/PollingDevice.h"

namespace Drivers {

class OrvikSPortCpld : public Component::PollingDevice<Component::HardwareDevice> {
  public:
    static constexpr uint32_t kPollIntervalMs = 1000;

    // First poll, then the timer (start-up error "pollStart()" when it can't be armed).
    void init() override;
    void pollCallback() override { updateRegisterCache(); }

    // Reads every polled register in one batch. A batch that fails (or whose answer can't be
    // read) is traced "Failed to poll information for <driver>" and leaves the cache as it was.
    void updateRegisterCache();
    // Bit `bit` of the cached register (0 when never read), inverted when asked. Always 0:
    // the bus is not touched.
    zl_status getRegisterBit(uint8_t reg, uint8_t bit, int* out, bool invert);
    // Writes the cached byte with the bit set (value not 0) or cleared; the cache takes the
    // byte only when the write succeeded. Returns the write's status.
    zl_status setRegisterBit(uint8_t reg, uint8_t bit, int value);

    std::map<uint8_t, uint8_t> registerCache;  // register -> last known value

  protected:
    // driverName names the driver in traces; polled lists the registers of one poll in order.
    OrvikSPortCpld(const char* driverName, std::vector<uint8_t> polled);

  private:
    const char* driverName_;
    const std::vector<uint8_t> polled_;
};

}  // namespace Drivers
