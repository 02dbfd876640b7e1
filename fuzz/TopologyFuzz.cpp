// Topology texts: any text loads or is refused with a status, and lookups on what loaded
// stay within the tree.
#include "FuzzHost.h"
#include "Topology/Topology.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = Fuzz::text(data, size);
    if (Topology::loadTopology(text.c_str()) == ZL_STATUS_OK && Topology::_topology != nullptr) {
        Topology::getDeviceByLabel("Psu1");
        Topology::findDevice(1);
    }
    return 0;
}
