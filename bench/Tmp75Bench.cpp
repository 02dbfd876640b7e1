// Cost of one host temperature reading end to end: getTemperatureCallback through the
// TMP75 driver, the SMBus HAM and the client socket to zolta-smbusd and back. Runs in the
// same zl_bench as the bare socket ping-pong, so the two can be compared in one run.
//
// The library's own instructions per call are measured with callgrind, collecting only
// inside the callback (the daemon is another process and is not counted):
//   valgrind --tool=callgrind --toggle-collect='*getTemperatureCallback*'
//       build/bench/zl_bench --benchmark_filter=BM_Tmp75Callback --benchmark_min_time=0.2
// (one command line)
// and dividing the collected instructions by the benchmark's iteration count.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "SingleSensor.h"
#include "Smbusd.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

using Bench::kSensorText;
using Bench::kTopology;

zl_temp_sensor* sensor() {
    static std::unique_ptr<TestSmbusd::Daemon> daemon;
    static zl_temp_sensor* added = nullptr;
    if (added == nullptr) {
        daemon = std::make_unique<TestSmbusd::Daemon>();
        if (!daemon->start(kTopology, "", {"-v", "0"})) std::abort();
        daemon->exportEnvironment();
        Utils::isInSimulation = 0;
        if (zl_temp_sensor_init(kTopology) != ZL_STATUS_OK) std::abort();
        added = zl_temp_sensor_add(kSensorText, 80.0f, 95.0f);
        if (added == nullptr) std::abort();
        daemon->ctl({"prop", "temp", "temperature", "25.125"});
    }
    return added;
}

void BM_Tmp75Callback(benchmark::State& state) {
    zl_temp_sensor* record = sensor();
    auto read = ZL_CALLBACK(record, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn);
    float celsius = 0;
    for (auto _ : state) {
        if (read(record, &celsius) != ZL_STATUS_OK) {
            state.SkipWithError("reading failed");
            break;
        }
        benchmark::DoNotOptimize(celsius);
    }
}
BENCHMARK(BM_Tmp75Callback)->Repetitions(5)->DisplayAggregatesOnly(true)->UseRealTime();

}  // namespace
