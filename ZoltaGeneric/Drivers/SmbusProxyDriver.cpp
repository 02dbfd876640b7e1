#include "Drivers/SmbusProxyDriver.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

namespace Drivers {

namespace {

using Settings = SmbusProxyDriver::Settings;

// The driver's arguments: key and the setting it fills.
const struct {
    const char* key;
    int32_t Settings::*delayUs;
} kDelayArgs[] = {
    {"localReadDelayMs", &Settings::readDelayUs},
    {"localWriteDelayMs", &Settings::writeDelayUs},
};

// Milliseconds to microseconds: a negative delay is no pause, a huge one the longest pause
// the 32-bit field holds.
int32_t delayMicroseconds(int milliseconds) {
    if (milliseconds <= 0) return 0;
    const int64_t us = static_cast<int64_t>(milliseconds) * SmbusProxyDriver::kMicrosecondsPerMillisecond;
    return us > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(us);
}

void sleepMicroseconds(uint32_t microseconds) {
    timespec left{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::function<void(uint32_t)> SmbusProxyDriver::pause = &sleepMicroseconds;

SmbusProxyDriver::Settings SmbusProxyDriver::readSettings(const DriverSpecificArgs& args) {
    ArgReader r(catalogue, ZL_CALL_NEW_SMBUS, args);
    Settings settings;
    for (const auto& arg : kDelayArgs)
        if (const std::optional<int> ms = r.number(arg.key)) settings.*arg.delayUs = delayMicroseconds(*ms);
    return settings;
}

Component::DeviceBase* SmbusProxyDriver::create(const FactoryArgs&, Ham::Ham* ham) {
    if (ham != nullptr) ham->retryCountIs(0);
    return new SmbusProxyDriver();
}

Component::LogicalDevice::SmbusProxy* SmbusProxyDriver::newSmbusProxy(const FactoryArgs& args) {
    const Settings settings = readSettings(args.driverArgs);
    zl_trace(0, "setting read delay of %d useconds\n", settings.readDelayUs);
    zl_trace(0, "setting write delay of %d useconds\n", settings.writeDelayUs);
    return new SmbusProxy(this, settings.readDelayUs, settings.writeDelayUs);
}

// ---- the operations: one HAM batch each, then the pause of their kind ----

zl_status SmbusProxyDriver::SmbusProxy::pauseAfter(zl_status status, int32_t delayUs) {
    if (delayUs > 0 && pause) pause(static_cast<uint32_t>(delayUs));
    return status;
}

bool SmbusProxyDriver::SmbusProxy::lengthRefused(const char* operation, unsigned length) {
    if (length <= kBlockMax) return false;
    zl_trace(0, "Error: SmbusProxy %s of %u bytes refused: an SMBus block carries at most %u", operation, length,
             kBlockMax);
    return true;
}

zl_status SmbusProxyDriver::SmbusProxy::receiveByte(unsigned char* value) {
    return pauseAfter(owner->ham->recvByte(value), readDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::sendByte(unsigned char value) {
    return pauseAfter(owner->ham->sendByte(value, false), writeDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::readByte(unsigned char command, unsigned char* value) {
    return pauseAfter(owner->ham->read8(command, value), readDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::writeByte(unsigned char command, unsigned char value) {
    return pauseAfter(owner->ham->write8(command, value, false), writeDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::readWord(unsigned char command, unsigned short* value) {
    return pauseAfter(owner->ham->read16(command, value), readDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::writeWord(unsigned char command, unsigned short value) {
    return pauseAfter(owner->ham->write16(command, value, false), writeDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::blockRead(unsigned char command, unsigned char* data, unsigned* length) {
    std::string bytes;
    const zl_status status = owner->ham->readBlock(command, &bytes);
    // The host's buffer holds one SMBus block; a longer answer would overrun it.
    if (bytes.size() > kBlockMax) {
        zl_trace(0, "Error: SmbusProxy blockRead answer of %zu bytes refused: an SMBus block carries at most %u",
                 bytes.size(), kBlockMax);
        *length = 0;
        return pauseAfter(ZL_STATUS_FAILED, readDelayUs);
    }
    *length = static_cast<unsigned>(bytes.size());
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return pauseAfter(status, readDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::blockWrite(unsigned char command, const unsigned char* data, unsigned length) {
    if (lengthRefused("blockWrite", length)) return ZL_STATUS_BAD_INPUT;
    return pauseAfter(owner->ham->writeBlock(command, data, length, false), writeDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::i2cBlockRead(unsigned char command, unsigned char* data, unsigned length) {
    if (lengthRefused("i2cBlockRead", length)) return ZL_STATUS_BAD_INPUT;
    std::string bytes;
    const zl_status status = owner->ham->read(command, length, &bytes, false);
    // A short (or long) answer is no I2C block of the asked length: nothing copied, no pause.
    if (bytes.size() != length) return ZL_STATUS_NO_COMM;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return pauseAfter(status, readDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::i2cBlockWrite(unsigned char command, const unsigned char* data,
                                                      unsigned length) {
    if (lengthRefused("i2cBlockWrite", length)) return ZL_STATUS_BAD_INPUT;
    return pauseAfter(owner->ham->write(command, data, length, false), writeDelayUs);
}

zl_status SmbusProxyDriver::SmbusProxy::processCall(unsigned char command, unsigned short value,
                                                    unsigned short* result) {
    return pauseAfter(owner->ham->processCall(command, value, result), writeDelayUs);
}

}  // namespace Drivers
