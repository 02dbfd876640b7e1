// The system object of the OrvikS board: its host record and callback table, power cycle
// through two control bits of the master CPLD, and the reload cause, which the board does
// not provide.
#include <memory>
#include <new>

#include "Components/LogicalDevices.h"
#include "Drivers/Helpers.h"
#include "Utils.h"
#include "zl_api.h"

// The host reaches these two only through the system callback table; they are not exported.
#define ZL_TABLE_ONLY __attribute__((visibility("hidden")))
extern "C" ZL_TABLE_ONLY zl_status zl_system_powercycle(zl_system* system);
extern "C" ZL_TABLE_ONLY zl_status zl_system_get_reload_cause(zl_system* system, char* cause, long* when,
                                                               char* text);

namespace {

const zl_word systemCallbacks[ZL_SYSTEM_TABLE_WORDS] = {
    sizeof(systemCallbacks),
    0,
    reinterpret_cast<zl_word>(&zl_system_powercycle),
    reinterpret_cast<zl_word>(&zl_system_get_reload_cause),
    0,
};

// Master CPLD control register and the two bits that power-cycle the board.
constexpr const char* kMasterCpldLabel = "MasterCpld";
constexpr unsigned kPowerCycleRegister = 3;
constexpr unsigned kPowerCycleFirstBit = 4;
constexpr unsigned kPowerCycleSecondBit = 0;

}  // namespace

extern "C" zl_system* zl_system_add(const char* devArgs) {
    return Utils::guardEntry<zl_system*>(nullptr, [&]() -> zl_system* {
        zl_trace(0, "OrvikSSystem::zl_system_add( '%s' )", devArgs != nullptr ? devArgs : "(null)");
        auto* system = new zl_system;
        system->host = 0;
        system->callbacks = systemCallbacks;
        return system;
    });
}

extern "C" zl_status zl_system_powercycle(zl_system*) {
    using Component::LogicalDevice::Gpio;
    return Utils::guardEntry<zl_status>(ZL_STATUS_FAILED, [&]() -> zl_status {
        // Both GPIOs are made before either bit is written, so a board without a master
        // CPLD (or one that yields no GPIO) is left untouched.
        std::unique_ptr<Gpio> first(
            Drivers::getRegGpioForDevice(kMasterCpldLabel, kPowerCycleRegister, kPowerCycleFirstBit));
        std::unique_ptr<Gpio> second(
            Drivers::getRegGpioForDevice(kMasterCpldLabel, kPowerCycleRegister, kPowerCycleSecondBit));
        // The second bit is attempted whatever became of the first.
        zl_status firstStatus = Utils::guardCallback([&] { return first->bitSet(); });
        zl_status secondStatus = Utils::guardCallback([&] { return second->bitSet(); });
        return (firstStatus != ZL_STATUS_OK || secondStatus != ZL_STATUS_OK) ? ZL_STATUS_FAILED : ZL_STATUS_OK;
    });
}

extern "C" zl_status zl_system_get_reload_cause(zl_system*, char*, long*, char*) { return ZL_STATUS_NOT_PROVIDED; }
