// The transceiver ports of a whole board (48 SFP, 6 QSFP) against zolta-smbusd: a status
// sweep over every port and line is answered from the CPLDs' polled copies (counter
// busRequests, from the service's transaction log: expected 0), and one poll of a CPLD is one
// batch (counters roundTrips and requests per poll; 1 and 24 for CPLD B, 1 and 4 for CPLD A).
// System calls per poll are counted outside the benchmark, with strace -c -f on
//   build/bench/zl_bench --benchmark_filter=BM_XcvrCpldPoll
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 9301..9399 belong to this file: the library keeps every benchmark's devices, so each file
// has its own range.
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [{"id": 4, "devices": [
     {"did": 9301, "label": "CpldA", "driver": "OrvikSCpldA", "address": {"address": 49}},
     {"did": 9302, "label": "CpldB", "driver": "OrvikSCpldB", "address": {"address": 50}}]}]}]}
])";

struct Board {
    std::unique_ptr<TestSmbusd::Daemon> daemon;
    std::vector<zl_xcvr*> ports;
    uint32_t timerA = 0, timerB = 0;
};

Board& board() {
    static Board b;
    if (b.daemon) return b;
    b.daemon = std::make_unique<TestSmbusd::Daemon>();
    if (!b.daemon->start(kTopology, "", {"-v", "1"})) std::abort();
    b.daemon->exportEnvironment();
    Utils::isInSimulation = 0;
    if (zl_xcvr_init(kTopology) != ZL_STATUS_OK) std::abort();
    auto add = [&](const char* cpld, int did, int address, int id, const char* type, uint32_t* timer) {
        std::set<uint32_t> before;
        for (const auto& t : TestHost::timers()) before.insert(t.first);
        std::string text = std::string(R"({"name": ")") + cpld + R"(", "did": )" + std::to_string(did) +
                           R"(, "driver": "OrvikSCpld)" + cpld[4] + R"(", "address": {"address": )" +
                           std::to_string(address) + R"(}, "driverArgs": {"id": ")" + std::to_string(id) +
                           R"(", "type": ")" + type + R"("}})";
        zl_xcvr* x = TestHost::hold(zl_xcvr_add(text.c_str()));
        if (!x) std::abort();
        b.ports.push_back(x);
        for (const auto& t : TestHost::timers())
            if (!before.count(t.first)) *timer = t.first;
    };
    for (int n = 1; n <= 48; ++n) add("CpldB", 9302, 50, n, "sfp", &b.timerB);
    for (int n = 1; n <= 6; ++n) add("CpldA", 9301, 49, n, "qsfp", &b.timerA);
    return b;
}

// Transaction log lines so far: (batches, requests).
std::pair<long, long> busTraffic(const Board& b) {
    std::ifstream in(b.daemon->logPath());
    long batches = 0, requests = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" req ") == std::string::npos) continue;
        ++requests;
        if (line.find(" req 0:") != std::string::npos) ++batches;
    }
    return {batches, requests};
}

void BM_XcvrStatusSweep(benchmark::State& state) {
    Board& b = board();
    const auto before = busTraffic(b);
    const int sfpLines[] = {ZL_SFP_GET_TX_FAULT, ZL_SFP_GET_RX_LOS, ZL_SFP_GET_TX_DISABLE};
    const int qsfpLines[] = {ZL_QSFP_GET_LP_MODE, ZL_QSFP_GET_RESET, ZL_QSFP_GET_INTERRUPT};
    int v = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < b.ports.size(); ++i) {
            zl_xcvr* x = b.ports[i];
            v += ZL_CALLBACK(x, ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(x);
            for (int index : i < 48 ? sfpLines : qsfpLines) ZL_CALLBACK(x, index, zl_xcvr_get_fn)(x, &v);
        }
        benchmark::DoNotOptimize(v);
    }
    const auto after = busTraffic(b);
    state.counters["busRequests"] = double(after.second - before.second) / double(state.iterations());
    state.counters["linesPerSweep"] = 54 * 4;
}
BENCHMARK(BM_XcvrStatusSweep)->Repetitions(3)->DisplayAggregatesOnly(true);

void BM_XcvrCpldPoll(benchmark::State& state) {
    Board& b = board();
    const uint32_t timer = state.range(0) ? b.timerB : b.timerA;
    const auto before = busTraffic(b);
    for (auto _ : state) {
        if (!TestHost::fireTimer(timer)) {
            state.SkipWithError("poll timer not armed");
            break;
        }
    }
    const auto after = busTraffic(b);
    state.counters["roundTrips"] = double(after.first - before.first) / double(state.iterations());
    state.counters["requests"] = double(after.second - before.second) / double(state.iterations());
    state.SetLabel(state.range(0) ? "CPLD B" : "CPLD A");
}
BENCHMARK(BM_XcvrCpldPoll)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
