// The device factory: turns a device text into its one driver object (cached by "did"),
// creating the device's HAM when it wants one, and the defaults of the driver base classes.
#include "Drivers/Device.h"

#include <memory>

#include "Components/LogicalDevices.h"
#include "Json.h"

namespace Component {

std::map<uint32_t, DeviceBase*>& DeviceBase::devices = *new std::map<uint32_t, DeviceBase*>;
Utils::ExpectedValues HardwareDevice::emptyExpectedValues;

// ---- defaults of the new operations: a driver offers only the kinds it overrides ----

LogicalDevice::PoePort* DeviceBase::newPoePort(const FactoryArgs&) {
    throw NotImplementedException("newPoePort");
}
LogicalDevice::TempSensor* DeviceBase::newTempSensor(const FactoryArgs&) {
    throw NotImplementedException("newTempSensor");
}
LogicalDevice::Slot* DeviceBase::newSlot(const FactoryArgs&) { throw NotImplementedException("newSlot"); }
LogicalDevice::SfpXcvr* DeviceBase::newSfpXcvr(unsigned, const FactoryArgs&) {
    throw NotImplementedException("newSfpXcvr");
}
LogicalDevice::QsfpXcvr* DeviceBase::newQsfpXcvr(unsigned, const FactoryArgs&) {
    throw NotImplementedException("newQsfpXcvr");
}
LogicalDevice::Led* DeviceBase::newLed(const FactoryArgs&) { throw NotImplementedException("newLed"); }
LogicalDevice::Fan* DeviceBase::newFan(const FactoryArgs&) { throw NotImplementedException("newFan"); }
LogicalDevice::Mux* DeviceBase::newMux(const FactoryArgs&, uint32_t) { throw NotImplementedException("newMux"); }
LogicalDevice::Psu* DeviceBase::newPsu(const FactoryArgs&) { throw NotImplementedException("newPsu"); }
LogicalDevice::SmbusProxy* DeviceBase::newSmbusProxy(const FactoryArgs&) {
    throw NotImplementedException("newSmbusProxy");
}

// ---- the factory ----

DeviceBase* DeviceBase::create(const char* devArgs, Drivers::DriverArgs& args) {
    zl_trace(0, "parsing devArgs = %s", devArgs != nullptr ? devArgs : "(null)");
    if (devArgs == nullptr || !args.parseJSON(devArgs)) {
        zl_trace(0, "failed to parse json object as a device");
        return nullptr;
    }
    if (args.isMultiDevice) return MultiDevice::create(args);
    return HardwareDevice::create(args, nullptr);
}

DeviceBase* DeviceBase::findDevice(const Drivers::DriverArgs& args) {
    zl_trace(0, "looking for already existing device %u", args.did);
    auto it = devices.find(args.did);
    if (it == devices.end()) return nullptr;
    zl_trace(0, "using previously instanciated HardwareDevice %s", args.driver.c_str());
    return it->second;
}

DeviceBase* DeviceBase::callDriverFactoryFunc(const Drivers::DriverArgs& args, Ham::Ham* ham) {
    zl_trace(0, "creating HardwareDevice %s", args.driver.c_str());
    auto it = Drivers::drivers.find(args.driver);
    if (it == Drivers::drivers.end() || !it->second) {
        zl_trace(0, "driver %s not found", args.driver.c_str());
        return nullptr;
    }
    zl_trace(0, "calling factory function for %s", args.driver.c_str());
    return it->second(args, ham);
}

namespace {

// The label the HAM names its simulation file after: the "name" member of the device text,
// and only in simulation. No text, a text that isn't an object, or a "name" that isn't a
// string give an empty label.
std::string labelForHam(const Drivers::DriverArgs& args) {
    if (Utils::inSimulation() != 1 || args.jsonText == nullptr) return std::string();
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(args.jsonText);  // no recursion per nesting level
    if (document.HasParseError() || !document.IsObject()) return std::string();
    auto name = document.FindMember("name");
    if (name == document.MemberEnd() || !name->value.IsString()) return std::string();
    return std::string(name->value.GetString(), name->value.GetStringLength());
}

}  // namespace

HardwareDevice* HardwareDevice::create(const Drivers::DriverArgs& args, Ham::Ham* ham) {
    if (DeviceBase* existing = findDevice(args)) {
        auto* device = dynamic_cast<HardwareDevice*>(existing);
        // A did already taken by a multi-device can't serve as a hardware device.
        if (device == nullptr) zl_trace(0, "device %u is not a HardwareDevice", args.did);
        return device;
    }
    // A HAM made here belongs to the device being made: freed unless the device is cached.
    std::unique_ptr<Ham::Ham, void (*)(Ham::Ham*)> ownHam(nullptr, &Ham::Ham::discard);
    if (ham == nullptr && args.provideHam) {
        zl_trace(0, "creating Ham");
        ham = Ham::createHam(args);
        ownHam.reset(ham);
        if (ham == nullptr) {
            zl_trace(0, "failed to create Ham");
            return nullptr;
        }
    }
    // Every driver reaches its device through its HAM; a device that asked for none and was
    // given none could only fail on its first access, so it is refused before any object is
    // made.
    if (ham == nullptr) {
        zl_trace(0, "device %u has no Ham", args.did);
        return nullptr;
    }

    std::unique_ptr<DeviceBase> made(callDriverFactoryFunc(args, ham));
    if (!made) {
        zl_trace(0, "factory function returned a null object");
        return nullptr;
    }
    auto* device = dynamic_cast<HardwareDevice*>(made.get());
    if (device == nullptr) {
        zl_trace(0, "driver %s does not make a HardwareDevice", args.driver.c_str());
        return nullptr;
    }

    std::string label = labelForHam(args);
    device->ham = ham;
    ham->setDriverName(args.driver, label);
    ham->setExpected(device->expectedValues());
    device->init();
    zl_trace(0, "%s device created", args.driver.c_str());
    DeviceBase*& cachedEntry = devices[args.did];  // the map entry first: it may allocate
    cachedEntry = made.release();
    ownHam.release();
    return device;
}

LogicalDevice::Gpio* HardwareDevice::newGpio(const FactoryArgs& args) {
    // A RegGpio whose arguments are unusable throws from its constructor; the new-expression
    // then releases the storage itself.
    return new LogicalDevice::RegGpio(this, args);
}

MultiDevice* MultiDevice::create(const Drivers::DriverArgs& args) {
    if (DeviceBase* existing = findDevice(args)) {
        auto* device = dynamic_cast<MultiDevice*>(existing);
        if (device == nullptr) zl_trace(0, "device %u is not a MultiDevice", args.did);
        return device;
    }
    std::unique_ptr<DeviceBase> made(callDriverFactoryFunc(args, nullptr));
    if (!made) {
        zl_trace(0, "factory function returned a null object");
        return nullptr;
    }
    auto* device = dynamic_cast<MultiDevice*>(made.get());
    if (device == nullptr) {
        zl_trace(0, "driver %s does not make a MultiDevice", args.driver.c_str());
        return nullptr;
    }
    device->deviceDriverArgsIs(args.multiDeviceArgs);
    device->init();
    zl_trace(0, "%s MultiDevice created", args.driver.c_str());
    DeviceBase*& cachedEntry = devices[args.did];
    cachedEntry = made.release();
    return device;
}

// ---- multi-device members: each is added through the library's own add function ----

const char* MultiDevice::getDeviceDriverArg(const std::string& key) {
    auto it = deviceDriverArgs.find(key);
    if (it == deviceDriverArgs.end()) {
        zl_trace(0, "Failed to find driverArgs for driver key '%s'", key.c_str());
        return nullptr;
    }
    return it->second.c_str();
}

zl_slot* MultiDevice::addSlot(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_slot* slot = zl_slot_add(text);
    slots.push_back(slot);
    return slot;
}

zl_led* MultiDevice::addLed(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_led* led = zl_led_add(text);
    leds.push_back(led);
    return led;
}

zl_psu* MultiDevice::addPsu(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_psu* psu = zl_psu_add(text);
    psus.push_back(psu);
    return psu;
}

zl_fan* MultiDevice::addFan(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_trace(6, "MultiDevice::addFan driver args = %s", text);
    zl_fan* fan = zl_fan_add(text);
    fans.push_back(fan);
    return fan;
}

zl_xcvr* MultiDevice::addXcvr(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_trace(6, "MultiDevice::addXcvr driver args = %s", text);
    zl_xcvr* xcvr = zl_xcvr_add(text);
    xcvrs.push_back(xcvr);
    return xcvr;
}

zl_gpio* MultiDevice::addGpio(const std::string& key) {
    const char* text = getDeviceDriverArg(key);
    if (text == nullptr) return nullptr;
    zl_trace(6, "MultiDevice::addGpio driver args = %s", text);
    zl_gpio* gpio = zl_gpio_add(text);
    gpios.push_back(gpio);
    return gpio;
}

}  // namespace Component

namespace Drivers {

Component::DeviceBase* Dummy::create(const FactoryArgs&, Ham::Ham*) { return new Dummy(); }

}  // namespace Drivers
