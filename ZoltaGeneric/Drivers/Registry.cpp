// The driver registry: one entry per driver name the topology and device texts may use.
#include "Drivers/Device.h"
#include "Drivers/Orvik/OrvikFanEeprom.h"
#include "Drivers/Orvik/OrvikFanTray.h"
#include "Drivers/Pmbus.h"
#include "Drivers/PsuSlot.h"
#include "Drivers/SmbusProxyDriver.h"
#include "Drivers/TMP75.h"

namespace Drivers {

std::map<std::string, DriverFactory> drivers = {
    {"Dummy", &Dummy::create},
    {"GpioDriver", &Dummy::create},
    {"TMP75", &TMP75::create},
    {"Pmbus", &Pmbus::create},
    {"PsuSlot", &PsuSlot::create},
    {"SmbusProxyDriver", &SmbusProxyDriver::create},
    {"OrvikFanTray", &OrvikFanTray::create},
    {"OrvikFanEeprom", &OrvikFanEeprom::create},
};

}  // namespace Drivers
