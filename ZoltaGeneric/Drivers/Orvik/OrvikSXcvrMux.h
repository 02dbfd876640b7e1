// The transceiver mux of the OrvikS board: a CPLD register selects which transceiver
// management bus is connected. Writing a channel value connects that channel, writing the
// reset value disconnects it. The SMBus HAM of a device behind the mux frames each of the
// device's batches with the select write before and the reset write after.
#pragma once

#include <cstdint>

#include "Components/LogicalDevices.h"
#include "Drivers/Catalogue.h"
#include "Drivers/Device.h"

namespace Drivers {

class OrvikSXcvrMux : public Component::HardwareDevice {
  public:
    // Driver arguments, read by newMux: the mux control register and the value that
    // disconnects.
    static constexpr zl_driver_arg catalogueArgs[] = {
        Arg("reg", ZL_CALL_NEW_MUX, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "regIt != args.driverArgs.end()"),
        Arg("reset", ZL_CALL_NEW_MUX, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "resetIt != args.driverArgs.end()"),
    };
    struct MuxArgs {
        uint8_t reg = 0;
        uint8_t reset = 0;
    };
    static MuxArgs readMuxArgs(const DriverSpecificArgs& args);

    // One channel of the mux, held by the HAM of a device behind it.
    class XcvrMux : public Component::LogicalDevice::Mux {
      public:
        XcvrMux(OrvikSXcvrMux* owner, uint8_t value, uint8_t reg, uint8_t reset)
            : owner(owner), value(value), reg(reg), reset(reset) {}
        // Queue one write of `value` (select) or `reset` to `reg`, without PEC; return 1.
        unsigned selectRequest(Ham::Ham* ham) override;
        unsigned resetRequest(Ham::Ham* ham) override;
        // The writes travel in the batch of the device behind the mux; nothing to execute alone.
        zl_status executeMuxRequest() override { return ZL_STATUS_NO_COMM; }
        Component::HardwareDevice* device() const override { return owner; }

        OrvikSXcvrMux* owner;  // not owned
        uint8_t value;
        uint8_t reg;
        uint8_t reset;
    };

    static constexpr zl_driver_entry catalogue = {"OrvikSXcvrMux", ZL_KIND_BIT(ZL_KIND_MUX) | ZL_KIND_BIT(ZL_KIND_GPIO),
                                                  ZL_DRIVER_REG_GPIO, catalogueArgs, std::size(catalogueArgs)};
    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);

    // The channel `value` (low 8 bits) of this mux. Asked for while the HAM of a device behind
    // the mux is built, so an unusable configuration refuses that device when it is made.
    Component::LogicalDevice::Mux* newMux(const FactoryArgs& args, uint32_t value) override;
};

}  // namespace Drivers
