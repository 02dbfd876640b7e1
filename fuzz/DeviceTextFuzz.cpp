// Device texts of every kind against the OrvikS board's topology: each add makes a record or
// refuses the text with a trace, and whatever it made is freed again (a host would keep it).
#include <cstdlib>

#include "Components/LogicalDevices.h"
#include "FuzzHost.h"
#include "Topology/Topology.h"

namespace {

using namespace Component::LogicalDevice;

template <class Logical, class Record>
void release(Record* record) {
    if (record != nullptr) delete static_cast<Logical*>(record->object);
}

bool loadBoard() {
    const std::string topology = Fuzz::readFile(ZL_BOARD_TOPOLOGY);
    return !topology.empty() && Topology::loadTopology(topology.c_str()) == ZL_STATUS_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool loaded = loadBoard();
    if (!loaded) std::abort();  // the board's own topology must load
    if (size == 0) return 0;
    const std::string text = Fuzz::text(data + 1, size - 1);
    switch (data[0] % 5) {
        case 0: release<TempSensor>(zl_temp_sensor_add(text.c_str(), 50.0f, 60.0f)); break;
        case 1: release<Fan>(zl_fan_add(text.c_str())); break;
        case 2: release<Psu>(zl_psu_add(text.c_str())); break;
        case 3: release<Slot>(zl_slot_add(text.c_str())); break;
        case 4: release<Gpio>(zl_gpio_add(text.c_str())); break;
    }
    return 0;
}
