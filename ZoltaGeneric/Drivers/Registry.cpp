// The driver registry: one entry per driver name the topology and device texts may use.
#include "Drivers/Device.h"
#include "Drivers/Orvik/OrvikSCpldA.h"
#include "Drivers/Orvik/OrvikSCpldB.h"
#include "Drivers/Orvik/OrvikSXcvrMux.h"
#include "Drivers/Pmbus.h"
#include "Drivers/PsuSlot.h"
#include "Drivers/TMP75.h"

namespace Drivers {

std::map<std::string, DriverFactory> drivers = {
    {"Dummy", &Dummy::create},
    {"GpioDriver", &Dummy::create},
    {"TMP75", &TMP75::create},
    {"Pmbus", &Pmbus::create},
    {"PsuSlot", &PsuSlot::create},
    {"OrvikSCpldA", &OrvikSCpldA::create},
    {"OrvikSCpldB", &OrvikSCpldB::create},
    {"OrvikSXcvrMux", &OrvikSXcvrMux::create},
};

}  // namespace Drivers
