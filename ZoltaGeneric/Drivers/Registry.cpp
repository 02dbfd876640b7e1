// The driver registry: one entry per driver name the topology and device texts may use. The
// name -> factory map and the driver catalogue the library exports are both made from it.
#include <algorithm>
#include <cstring>

#include "Drivers/Device.h"
#include "Drivers/Max6620.h"
#include "Drivers/Orvik/OrvikFanEeprom.h"
#include "Drivers/Orvik/OrvikFanTray.h"
#include "Drivers/Orvik/OrvikLedCpld.h"
#include "Drivers/Orvik/OrvikSCpldA.h"
#include "Drivers/Orvik/OrvikSCpldB.h"
#include "Drivers/Orvik/OrvikSXcvrMux.h"
#include "Drivers/Pmbus.h"
#include "Drivers/PsuSlot.h"
#include "Drivers/SmbusProxyDriver.h"
#include "Drivers/TMP75.h"
#include "zl_catalogue.h"

namespace Drivers {

const std::vector<Registration>& registrations() {
    static const std::vector<Registration> all = {
        {&Dummy::catalogue, &Dummy::create},
        {&Dummy::gpioDriverCatalogue, &Dummy::create},
        {&TMP75::catalogue, &TMP75::create},
        {&Max6620::catalogue, &Max6620::create},
        {&OrvikFanEeprom::catalogue, &OrvikFanEeprom::create},
        {&OrvikFanTray::catalogue, &OrvikFanTray::create},
        {&OrvikLedCpld::catalogue, &OrvikLedCpld::create},
        {&OrvikSCpldA::catalogue, &OrvikSCpldA::create},
        {&OrvikSCpldB::catalogue, &OrvikSCpldB::create},
        {&OrvikSXcvrMux::catalogue, &OrvikSXcvrMux::create},
        {&Pmbus::catalogue, &Pmbus::create},
        {&PsuSlot::catalogue, &PsuSlot::create},
        {&SmbusProxyDriver::catalogue, &SmbusProxyDriver::create},
    };
    return all;
}

namespace {

std::map<std::string, DriverFactory> registryMap() {
    std::map<std::string, DriverFactory> map;
    for (const Registration& r : registrations()) map[r.entry->name] = r.factory;
    return map;
}

// The exported form: entries by name, each with the register GPIO's arguments appended when
// its GPIOs are register GPIOs.
struct Catalogue {
    std::vector<std::vector<zl_driver_arg>> args;
    std::vector<zl_driver_entry> entries;
    zl_catalogue root{ZL_CATALOGUE_VERSION, nullptr, 0};

    Catalogue() {
        std::vector<const zl_driver_entry*> sorted;
        for (const Registration& r : registrations()) sorted.push_back(r.entry);
        std::sort(sorted.begin(), sorted.end(),
                  [](const zl_driver_entry* a, const zl_driver_entry* b) { return std::strcmp(a->name, b->name) < 0; });
        args.reserve(sorted.size());
        for (const zl_driver_entry* entry : sorted) {
            std::vector<zl_driver_arg> list(entry->args, entry->args + entry->argCount);
            if (entry->flags & ZL_DRIVER_REG_GPIO) list.insert(list.end(), std::begin(regGpioArgs), std::end(regGpioArgs));
            args.push_back(std::move(list));
            zl_driver_entry copy = *entry;
            copy.args = args.back().data();
            copy.argCount = static_cast<unsigned>(args.back().size());
            entries.push_back(copy);
        }
        root.drivers = entries.data();
        root.driverCount = static_cast<unsigned>(entries.size());
    }
};

}  // namespace

std::map<std::string, DriverFactory> drivers = registryMap();

}  // namespace Drivers

extern "C" const zl_catalogue* zl_driver_catalogue(void) {
    static const zl_catalogue empty{ZL_CATALOGUE_VERSION, nullptr, 0};
    return Utils::guardEntry<const zl_catalogue*>(&empty, []() -> const zl_catalogue* {
        static const Drivers::Catalogue catalogue;
        return &catalogue.root;
    });
}
