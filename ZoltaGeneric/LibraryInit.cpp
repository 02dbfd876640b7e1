// Library initialisation: the init entry point of every kind connects to the SMBus service
// (once per process) and loads the topology text.
#include "LibraryInit.h"

#include <unistd.h>

#include "Topology/Topology.h"
#include "Utils.h"

// The host may leave this service out; the library then skips the call.
extern "C" void zl_fd_watcher_delete(uint32_t watcher) __attribute__((weak));

Kavrin::ZLSocket* _zlSock = nullptr;

namespace Utils {
std::function<void(unsigned seconds)> sleepSeconds = [](unsigned seconds) { ::sleep(seconds); };
}

zl_status zlSockInit(const char* name, int attempts) {
    if (_zlSock != nullptr) return ZL_STATUS_OK;
    _zlSock = new Kavrin::ZLSocket();
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (_zlSock->setup() == 0) return ZL_STATUS_OK;
        if (Utils::sleepSeconds)
            Utils::sleepSeconds(1);
        else
            ::sleep(1);
    }
    zl_trace(0, "%s: socket Setup failed!", name);
    const uint32_t watcher = _zlSock->fdWatcher();
    if (watcher != 0 && zl_fd_watcher_delete) zl_fd_watcher_delete(watcher);
    _zlSock->close();
    delete _zlSock;
    _zlSock = nullptr;
    return ZL_STATUS_NO_COMM;
}

zl_status zoltaLibraryInit(const char* name, const char* text, int attempts) {
    if (text == nullptr) text = "";  // no text at all is treated as an empty (invalid) document
    zl_trace(0, "%s", name);
    zl_trace(5, "%s: json = %s", name, text);
    zl_status rc = zlSockInit(name, attempts);
    if (rc != ZL_STATUS_OK) return rc;
    return Topology::loadTopology(text);
}

namespace {
zl_status guardedInit(const char* name, const char* topology) {
    return Utils::guardEntry<zl_status>(ZL_STATUS_FAILED, [&] { return zoltaLibraryInit(name, topology, 30); });
}
}  // namespace

extern "C" {

zl_status zl_system_init(const char* topology) { return guardedInit("zl_system_init", topology); }
zl_status zl_slot_init(const char* topology) { return guardedInit("zl_slot_init", topology); }
zl_status zl_led_init(const char* topology) { return guardedInit("zl_led_init", topology); }
zl_status zl_temp_sensor_init(const char* topology) { return guardedInit("zl_temp_sensor_init", topology); }
zl_status zl_fan_init(const char* topology) { return guardedInit("zl_fan_init", topology); }
zl_status zl_xcvr_init(const char* topology) { return guardedInit("zl_xcvr_init", topology); }
zl_status zl_psu_init(const char* topology) { return guardedInit("zl_psu_init", topology); }
zl_status zl_gpio_init(const char* topology) { return guardedInit("zl_gpio_init", topology); }

zl_status zl_smbus_init(const char* topology) {
    return Utils::guardEntry<zl_status>(ZL_STATUS_FAILED, [&] {
        zl_trace(7, "%s\n", "zl_smbus_init");
        return zoltaLibraryInit("zl_smbus_init", topology, 30);
    });
}

}  // extern "C"
