// Driver objects: the registry of driver factories, the cache of driver objects by "did",
// and the base classes every driver derives from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Drivers/Catalogue.h"
#include "Drivers/DriverArgs.h"
#include "Ham/Ham.h"
#include "Utils.h"
#include "zl_api.h"

namespace Component {
namespace LogicalDevice {
class PoePort;
class TempSensor;
class Slot;
class SfpXcvr;
class QsfpXcvr;
class Led;
class Fan;
class Mux;
class Psu;
class SmbusProxy;
class Gpio;
}  // namespace LogicalDevice

using Drivers::FactoryArgs;

class DeviceBase {
  public:
    virtual void init() {}
    virtual LogicalDevice::PoePort* newPoePort(const FactoryArgs& args);
    virtual LogicalDevice::TempSensor* newTempSensor(const FactoryArgs& args);
    virtual LogicalDevice::Slot* newSlot(const FactoryArgs& args);
    virtual LogicalDevice::SfpXcvr* newSfpXcvr(unsigned id, const FactoryArgs& args);
    virtual LogicalDevice::QsfpXcvr* newQsfpXcvr(unsigned id, const FactoryArgs& args);
    virtual LogicalDevice::Led* newLed(const FactoryArgs& args);
    virtual LogicalDevice::Fan* newFan(const FactoryArgs& args);
    virtual LogicalDevice::Mux* newMux(const FactoryArgs& args, uint32_t value);
    virtual LogicalDevice::Psu* newPsu(const FactoryArgs& args);
    virtual LogicalDevice::SmbusProxy* newSmbusProxy(const FactoryArgs& args);
    virtual ~DeviceBase() = default;

    // Creates or reuses the driver object of a device text; fills args. Null on failure.
    static DeviceBase* create(const char* devArgs, Drivers::DriverArgs& args);
    static DeviceBase* findDevice(const Drivers::DriverArgs& args);
    static DeviceBase* callDriverFactoryFunc(const Drivers::DriverArgs& args, Ham::Ham* ham);

    // Every driver object created so far, by "did". Driver objects live until the library is
    // unloaded, so the map is never destroyed (it stays reachable through exit handlers).
    static std::map<uint32_t, DeviceBase*>& devices;
};

class HardwareDevice : public DeviceBase {
  public:
    virtual LogicalDevice::Gpio* newGpio(const FactoryArgs& args);
    virtual const Utils::ExpectedValues* expectedValues() { return &emptyExpectedValues; }

    // Creates or reuses the driver object; a null HAM asks for one when args.provideHam.
    // A device that wants no HAM and is given none is refused (null, nothing made), since
    // every driver reaches its device through its HAM. The object is cached only once its
    // init() returned; an exception from init() leaves nothing behind.
    static HardwareDevice* create(const Drivers::DriverArgs& args, Ham::Ham* ham);

    Ham::Ham* ham = nullptr;  // not owned

    static Utils::ExpectedValues emptyExpectedValues;
};

class MultiDevice : public DeviceBase {
  public:
    // Creates or reuses a multi-device (never with a HAM); null when the driver's factory
    // makes no MultiDevice or the did already belongs to a hardware device.
    static MultiDevice* create(const Drivers::DriverArgs& args);
    void deviceDriverArgsIs(const Drivers::DriverSpecificArgs& map) { deviceDriverArgs = map; }

    // Member text stored under key, or null (traced).
    const char* getDeviceDriverArg(const std::string& key);
    zl_slot* addSlot(const std::string& key);
    zl_led* addLed(const std::string& key);
    zl_psu* addPsu(const std::string& key);
    zl_fan* addFan(const std::string& key);
    zl_xcvr* addXcvr(const std::string& key);
    zl_gpio* addGpio(const std::string& key);

    std::vector<zl_slot*> slots;
    std::vector<zl_led*> leds;
    std::vector<zl_psu*> psus;
    std::vector<zl_fan*> fans;
    std::vector<zl_xcvr*> xcvrs;
    std::vector<zl_gpio*> gpios;
    Drivers::DriverSpecificArgs deviceDriverArgs;
};

}  // namespace Component

namespace Drivers {

using DriverFactory = std::function<Component::DeviceBase*(const FactoryArgs&, Ham::Ham*)>;
// Driver name -> factory, filled when the library is loaded (Drivers/Registry.cpp lists
// every driver, so that no driver's object file can be dropped by the linker).
extern std::map<std::string, DriverFactory> drivers;

// A hardware device whose only capability is the register GPIO ("Dummy", "GpioDriver").
class Dummy : public Component::HardwareDevice {
  public:
    // No arguments of its own; its GPIOs are register GPIOs.
    static constexpr zl_driver_entry catalogue = {"Dummy", ZL_KIND_BIT(ZL_KIND_GPIO), ZL_DRIVER_REG_GPIO, nullptr, 0};
    static constexpr zl_driver_entry gpioDriverCatalogue = {"GpioDriver", ZL_KIND_BIT(ZL_KIND_GPIO),
                                                            ZL_DRIVER_REG_GPIO, nullptr, 0};

    static Component::DeviceBase* create(const FactoryArgs& args, Ham::Ham* ham);
};

// One entry of the driver registry: the driver's catalogue entry and its factory.
struct Registration {
    const zl_driver_entry* entry;
    DriverFactory factory;
};
// Every driver of the library (Drivers/Registry.cpp); `drivers` and zl_driver_catalogue()
// are both made from it.
const std::vector<Registration>& registrations();

}  // namespace Drivers
