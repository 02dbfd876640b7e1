// The driver registry: one entry per driver name the topology and device texts may use.
#include "Drivers/Device.h"
#include "Drivers/Max6620.h"
#include "Drivers/Orvik/OrvikLedCpld.h"
#include "Drivers/Pmbus.h"
#include "Drivers/PsuSlot.h"
#include "Drivers/TMP75.h"

namespace Drivers {

std::map<std::string, DriverFactory> drivers = {
    {"Dummy", &Dummy::create},
    {"GpioDriver", &Dummy::create},
    {"TMP75", &TMP75::create},
    {"Max6620", &Max6620::create},
    {"OrvikLedCpld", &OrvikLedCpld::create},
    {"Pmbus", &Pmbus::create},
    {"PsuSlot", &PsuSlot::create},
};

}  // namespace Drivers
