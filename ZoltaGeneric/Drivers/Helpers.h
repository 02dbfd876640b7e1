// Helpers several drivers share: the description-text formatter, text trimming, running a
// command, and reaching another device (and register bits on it) by its topology label.
#pragma once

#include <string>

#include "Drivers/Device.h"
#include "zl_api.h"

namespace Component::LogicalDevice {
class Gpio;
}

namespace Drivers {

// Fills a template's {key} placeholders; one pass runs from start() to str()/charPtr().
class FormatFdl {
  public:
    explicit FormatFdl(const std::string& templateText = "") : template_(templateText) {}

    void start();
    // Replaces every {key}, searching again from the start after each replacement.
    bool set(const std::string& key, const std::string& value);
    std::string str();
    const char* charPtr();

  private:
    bool active_ = false;
    std::string template_;
    std::string result_;
};

// Strips blanks and tabs from both ends (line feeds stay).
std::string trim(const std::string& text);
// Runs a shell command and collects its standard output; 0, or 6 when it can't be started,
// fails or is killed.
zl_status runCmd(const std::string& command, std::string& output);

// Driver object of the topology device with this label (its driver set to defaultDriver
// when the topology names none); throws a consistency failure when there is none.
Component::HardwareDevice* getHardwareDeviceByLabel(const char* label, const std::string& defaultDriver);
// A register GPIO for one bit of one register of a device; throws when none can be made.
Component::LogicalDevice::Gpio* getRegGpioForDevice(Component::HardwareDevice* device, unsigned reg,
                                                    unsigned bitpos);
Component::LogicalDevice::Gpio* getRegGpioForDevice(const char* label, unsigned reg, unsigned bitpos);

}  // namespace Drivers
