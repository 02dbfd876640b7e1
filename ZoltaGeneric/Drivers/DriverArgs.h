// The parsed form of one device object: which driver, which device and component, its bus
// address and its driver-specific settings as text.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Json.h"
#include "Topology/Topology.h"

namespace Drivers {

// Driver-specific settings, name -> value as text, in ascending byte order of the name.
using DriverSpecificArgs = std::map<std::string, std::string>;

struct DriverArgs {
    std::string driver;
    uint32_t uid = 0;
    uint32_t did = 0;
    Topology::KhamAddress address;
    DriverSpecificArgs driverArgs;
    const char* jsonText = nullptr;  // not owned: the text the arguments were parsed from
    bool isMultiDevice = false;
    DriverSpecificArgs multiDeviceArgs;
    bool provideHam = false;

    DriverArgs() { address.addrSize = 0; }  // value-initialised: every number 0

    // Allocates value-initialised arguments and fills them from a device object; throws
    // Utils::ConsistencyError (traced) when the object breaks a rule.
    static std::shared_ptr<DriverArgs> fromJSON(const rapidjson::Value& value);
    // Fills this object from a device object; throws on a broken rule.
    void parseJSON(const rapidjson::Value& value);
    // Parses a device text; false (with a trace) when it is not JSON or not a valid device.
    bool parseJSON(const char* text);
};

using FactoryArgs = DriverArgs;

// Text of one "driverArgs" value: integers in decimal, strings up to their first NUL,
// other numbers as a default-formatted double, true/false, and "" for the rest.
std::string driverArgValueToText(const rapidjson::Value& value);

// Looks a driver argument up: nullptr when absent.
const std::string* findArg(const DriverSpecificArgs& args, const std::string& key);

}  // namespace Drivers
