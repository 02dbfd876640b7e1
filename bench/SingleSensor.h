// The board both benchmarks measure: one TMP75 on one bus of the SMBus service, and the
// text the host adds it with.
#pragma once

namespace Bench {

inline const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [{"id": 3, "devices": [
     {"did": 9101, "label": "temp", "driver": "TMP75", "address": {"address": 72}}]}]}]}
])";
inline const char* kSensorText = R"({"did": 9101, "driver": "TMP75", "address": {"address": 72}})";

}  // namespace Bench
