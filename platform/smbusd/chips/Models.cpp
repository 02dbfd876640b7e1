#include "Models.h"

#include "FanTrayEeprom.h"
#include "FruEeprom.h"
#include "Max6620.h"
#include "OrvikLedCpld.h"
#include "PmbusSupply.h"
#include "PortCpldA.h"
#include "PortCpldB.h"
#include "RegisterFile.h"
#include "TlvEeprom.h"
#include "Tmp75.h"
#include "XcvrEeprom.h"

namespace Smbusd {

namespace {

template <class T>
std::unique_ptr<Chip> make() {
    return std::make_unique<T>();
}

struct Model {
    const char* name;
    std::unique_ptr<Chip> (*create)();
};

const Model kModels[] = {
    {"register-file", make<RegisterFileChip>}, {"tmp75", make<Tmp75Chip>},
    {"pmbus", make<PmbusSupplyChip>},                {"fru-eeprom", make<FruEepromChip>},
    {"tlv-eeprom", make<TlvEepromChip>},       {"max6620", make<Max6620Chip>},
    {"orvik-led-cpld", make<OrvikLedCpldChip>},
    {"fan-eeprom", make<FanTrayEepromChip>},
    {"orviks-port-cpld-a", make<PortCpldAChip>}, {"orviks-port-cpld-b", make<PortCpldBChip>},
    {"sfp-eeprom", [] { return std::unique_ptr<Chip>(new XcvrEepromChip(false)); }},
    {"qsfp-eeprom", [] { return std::unique_ptr<Chip>(new XcvrEepromChip(true)); }},
};

}  // namespace

std::unique_ptr<Chip> makeChip(const std::string& model) {
    for (const auto& m : kModels)
        if (model == m.name) return m.create();
    return nullptr;
}

std::string modelNames() {
    std::string names;
    for (const auto& m : kModels) names += (names.empty() ? "" : ", ") + std::string(m.name);
    return names;
}

}  // namespace Smbusd
