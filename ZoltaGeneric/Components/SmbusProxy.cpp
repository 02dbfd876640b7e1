// The SMBus proxy kind: raw SMBus operations on one device, named by a device text or by a
// bus label and an address; host callbacks and the add function.
#include <cstdio>
#include <string>

#include "Components/CallbackGuard.h"
#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "Topology/Topology.h"

namespace Component::LogicalDevice {

const zl_word SmbusProxy::callbacks[ZL_SMBUS_TABLE_WORDS] = {
    sizeof(SmbusProxy::callbacks),
    reinterpret_cast<zl_word>(&SmbusProxy::quickCommandCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::receiveByteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::sendByteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::readByteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::writeByteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::readWordCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::writeWordCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::blockReadCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::blockWriteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::i2cBlockReadCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::i2cBlockWriteCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::processCallCallback),
    reinterpret_cast<zl_word>(&SmbusProxy::blockProcessCallCallback),
};

SmbusProxy::SmbusProxy() {
    record.host = 0;
    record.callbacks = callbacks;
    record.object = this;
}

zl_status SmbusProxy::quickCommand(int) { throw NotImplementedException("quickCommand"); }

zl_status SmbusProxy::blockProcessCall(unsigned char, const unsigned char*, unsigned char, unsigned char*,
                                       unsigned char*) {
    throw NotImplementedException("blockProcessCall");
}

// Each callback traces its own name at level 1 and forwards to the operation of that name.
#define ZL_SMBUS_FORWARD(name, call)                                                   \
    zl_trace(1, #name "Callback");                                                     \
    return forwardToObject<SmbusProxy>(record, [&](SmbusProxy& proxy) { return proxy.call; })

zl_status SmbusProxy::quickCommandCallback(zl_smbus* record, int value) {
    ZL_SMBUS_FORWARD(quickCommand, quickCommand(value));
}
zl_status SmbusProxy::receiveByteCallback(zl_smbus* record, unsigned char* value) {
    ZL_SMBUS_FORWARD(receiveByte, receiveByte(value));
}
zl_status SmbusProxy::sendByteCallback(zl_smbus* record, unsigned char value) {
    ZL_SMBUS_FORWARD(sendByte, sendByte(value));
}
zl_status SmbusProxy::readByteCallback(zl_smbus* record, unsigned char command, unsigned char* value) {
    ZL_SMBUS_FORWARD(readByte, readByte(command, value));
}
zl_status SmbusProxy::writeByteCallback(zl_smbus* record, unsigned char command, unsigned char value) {
    ZL_SMBUS_FORWARD(writeByte, writeByte(command, value));
}
zl_status SmbusProxy::readWordCallback(zl_smbus* record, unsigned char command, unsigned short* value) {
    ZL_SMBUS_FORWARD(readWord, readWord(command, value));
}
zl_status SmbusProxy::writeWordCallback(zl_smbus* record, unsigned char command, unsigned short value) {
    ZL_SMBUS_FORWARD(writeWord, writeWord(command, value));
}
zl_status SmbusProxy::blockReadCallback(zl_smbus* record, unsigned char command, unsigned char* data,
                                        unsigned* length) {
    ZL_SMBUS_FORWARD(blockRead, blockRead(command, data, length));
}
zl_status SmbusProxy::blockWriteCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                         unsigned length) {
    ZL_SMBUS_FORWARD(blockWrite, blockWrite(command, data, length));
}
zl_status SmbusProxy::i2cBlockReadCallback(zl_smbus* record, unsigned char command, unsigned char* data,
                                           unsigned length) {
    ZL_SMBUS_FORWARD(i2cBlockRead, i2cBlockRead(command, data, length));
}
zl_status SmbusProxy::i2cBlockWriteCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                            unsigned length) {
    ZL_SMBUS_FORWARD(i2cBlockWrite, i2cBlockWrite(command, data, length));
}
zl_status SmbusProxy::processCallCallback(zl_smbus* record, unsigned char command, unsigned short value,
                                          unsigned short* result) {
    ZL_SMBUS_FORWARD(processCall, processCall(command, value, result));
}
zl_status SmbusProxy::blockProcessCallCallback(zl_smbus* record, unsigned char command, const unsigned char* data,
                                               unsigned char length, unsigned char* result,
                                               unsigned char* resultLength) {
    ZL_SMBUS_FORWARD(blockProcessCall, blockProcessCall(command, data, length, result, resultLength));
}

#undef ZL_SMBUS_FORWARD

namespace {

// The topology label of the device at `address` on the bus labelled `label`: the label, then
// the address in lower-case hexadecimal without leading zeros between "<0x" and ">".
std::string smbusDeviceLabel(const char* label, unsigned char address) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "<0x%x>", static_cast<unsigned>(address));
    return std::string(label != nullptr ? label : "") + suffix;
}

// The driver object of a topology device found by label, always with the SMBus proxy
// driver: the topology's own arguments are changed to name it, for good, and args receives
// a copy of them. Null when the device names no driver at all (no arguments to give it).
DeviceBase* proxyDriverFor(Topology::Device& device, Drivers::DriverArgs& args) {
    if (!device.args) return nullptr;
    device.args->driver = "SmbusProxyDriver";
    args = *device.args;
    return HardwareDevice::create(args, nullptr);
}

}  // namespace

}  // namespace Component::LogicalDevice

extern "C" zl_smbus* zl_smbus_add(const char* devArgs, unsigned char address) {
    using namespace Component;
    return Utils::guardEntry<zl_smbus*>(nullptr, [&]() -> zl_smbus* {
        zl_trace(7, "zl_smbus_add( '%s', %u )", devArgs != nullptr ? devArgs : "(null)",
                 static_cast<unsigned>(address));
        Drivers::DriverArgs args;
        DeviceBase* driver = nullptr;
        if (Topology::isDeviceObject(devArgs)) {
            driver = DeviceBase::create(devArgs, args);  // the address is not used
        } else {
            const std::string key = LogicalDevice::smbusDeviceLabel(devArgs, address);
            Topology::Device* device = Topology::getDeviceByLabel(key.c_str());
            if (device == nullptr) {
                zl_trace(0, "smbus_add failed: device does not exist in topology");
                return nullptr;
            }
            driver = LogicalDevice::proxyDriverFor(*device, args);
        }
        if (driver == nullptr) {
            zl_trace(0, "DeviceBase::create() failed");
            return nullptr;
        }
        LogicalDevice::SmbusProxy* proxy = driver->newSmbusProxy(args);
        if (proxy == nullptr) {
            zl_trace(0, "newSmbusProxy() failed");
            return nullptr;
        }
        return &proxy->record;
    });
}
