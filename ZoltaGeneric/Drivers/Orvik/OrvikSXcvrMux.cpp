#include "Drivers/Orvik/OrvikSXcvrMux.h"

namespace Drivers {

OrvikSXcvrMux::MuxArgs OrvikSXcvrMux::readMuxArgs(const DriverSpecificArgs& args) {
    ArgReader r(catalogue, ZL_CALL_NEW_MUX, args);
    MuxArgs read;
    read.reg = static_cast<uint8_t>(*r.number("reg"));
    read.reset = static_cast<uint8_t>(*r.number("reset"));
    return read;
}

Component::DeviceBase* OrvikSXcvrMux::create(const FactoryArgs&, Ham::Ham*) {
    zl_trace(5, "Creating OrvikSXcvrMux device");
    return new OrvikSXcvrMux();
}

Component::LogicalDevice::Mux* OrvikSXcvrMux::newMux(const FactoryArgs& args, uint32_t value) {
    const MuxArgs muxArgs = readMuxArgs(args.driverArgs);
    return new XcvrMux(this, static_cast<uint8_t>(value), muxArgs.reg, muxArgs.reset);
}

unsigned OrvikSXcvrMux::XcvrMux::selectRequest(Ham::Ham* ham) {
    zl_trace(4, "%s(): reg=%x, value=%hhu", "selectRequest", reg, value);
    ham->addWrite8(reg, value, false);
    return 1;
}

unsigned OrvikSXcvrMux::XcvrMux::resetRequest(Ham::Ham* ham) {
    zl_trace(4, "%s(): reg=%x, reset=%hhu", "resetRequest", reg, reset);
    ham->addWrite8(reg, reset, false);
    return 1;
}

}  // namespace Drivers
