// Topology loading cost as the board grows: a full parse and build of 10 to 10000 devices,
// reloading the text that is already loaded (a string comparison only), and the two lookups.
#include <benchmark/benchmark.h>

#include <string>

#include "TestHost.h"
#include "Topology/Topology.h"

namespace {

// One SCD with accelerators of eight buses each; sixteen devices per bus, every third bus's
// devices behind a two-channel mux. Each device has a label, a driver, an address, two
// driver arguments and a component, like the board's own devices.
std::string generateTopology(int devices) {
    std::string text = R"([{"type":"SCD","ham":"ZoltaSmbus","pci":4096,"accelerators":[)";
    constexpr int perBus = 16, bussesPerAccel = 8;
    const int busses = (devices + perBus - 1) / perBus;
    int did = 0;
    for (int bus = 0; bus < busses; ++bus) {
        if (bus % bussesPerAccel == 0) {
            if (bus) text += "]},";
            text += R"({"id":)" + std::to_string(bus / bussesPerAccel) + R"(,"busses":[)";
        } else {
            text += ",";
        }
        const bool muxed = bus % 3 == 2;
        text += R"({"id":)" + std::to_string(bus % bussesPerAccel);
        text += muxed ? R"(,"muxes":[{"did":)" + std::to_string(1000000 + bus) + R"(,"busses":[{"id":0,"devices":[)"
                      : R"(,"devices":[)";
        for (int i = 0; i < perBus && did < devices; ++i, ++did) {
            if (i) text += ",";
            const std::string n = std::to_string(did);
            text += R"({"did":)" + n + R"(,"label":"dev)" + n + R"(","driver":"Dummy","address":{"address":)" +
                    std::to_string(did % 100 + 8) + R"(,"accel":1},"driverArgs":{"id":")" + n +
                    R"(","bus":3},"components":[{"uid":)" + n + "}]}";
        }
        text += muxed ? "]}]}]}" : "]}";
    }
    if (busses) text += "]}";
    return text + "]}]";
}

void resetTopology() {
    delete Topology::_topology;
    Topology::_topology = nullptr;
    Topology::_topology_index.clear();
    Topology::_topology_json.clear();
    TestHost::clearTraces();
}

// Every iteration parses and builds: two texts that differ by a trailing blank alternate.
void BM_LoadTopology(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    const std::string texts[2] = {generateTopology(devices), generateTopology(devices) + " "};
    resetTopology();
    size_t i = 0;
    for (auto _ : state) {
        if (Topology::loadTopology(texts[i++ & 1].c_str()) != ZL_STATUS_OK) state.SkipWithError("load failed");
        if ((i & 255) == 0) TestHost::clearTraces();
    }
    state.SetComplexityN(devices);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * devices);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * texts[0].size()));
    resetTopology();
}
BENCHMARK(BM_LoadTopology)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

// The host's later init calls pass the same text: only a comparison, no parse.
void BM_ReloadIdenticalTopology(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    const std::string text = generateTopology(devices);
    const std::string again = text;  // another buffer with the same characters
    resetTopology();
    if (Topology::loadTopology(text.c_str()) != ZL_STATUS_OK) state.SkipWithError("load failed");
    const Topology::Topology* tree = Topology::_topology;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Topology::loadTopology(again.c_str()));
        if ((++i & 255) == 0) TestHost::clearTraces();
    }
    if (Topology::_topology != tree) state.SkipWithError("the tree was rebuilt");
    state.SetComplexityN(devices);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    resetTopology();
}
BENCHMARK(BM_ReloadIdenticalTopology)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

// findDevice walks the tree; the last device is the worst case.
void BM_FindLastDevice(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    resetTopology();
    if (Topology::loadTopology(generateTopology(devices).c_str()) != ZL_STATUS_OK) state.SkipWithError("load failed");
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Topology::findDevice(static_cast<unsigned>(devices - 1)));
        if ((++i & 255) == 0) TestHost::clearTraces();
    }
    state.SetComplexityN(devices);
    resetTopology();
}
BENCHMARK(BM_FindLastDevice)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

void BM_DeviceByLabel(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    resetTopology();
    if (Topology::loadTopology(generateTopology(devices).c_str()) != ZL_STATUS_OK) state.SkipWithError("load failed");
    const std::string label = "dev" + std::to_string(devices / 2);
    for (auto _ : state) benchmark::DoNotOptimize(Topology::getDeviceByLabel(label.c_str()));
    state.SetComplexityN(devices);
    resetTopology();
}
BENCHMARK(BM_DeviceByLabel)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity(benchmark::oLogN);

}  // namespace
