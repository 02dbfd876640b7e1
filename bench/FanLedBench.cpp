// Cost of a MAX6620 fan speed reading (fault register and tachometer count) and of one LED
// blink tick over six blinking CPLD LEDs, end to end against zolta-smbusd. Besides the time,
// each benchmark reports per operation the system calls the library's socket client made
// (counted by wrapping the libc calls it uses) and the bus round trips (request frames the
// service answered, counted from its transaction log in a separate pass, so that logging
// does not slow the timed loop).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

std::atomic<long> socketCalls{0};

template <class Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The calls the socket client makes, counted and passed on to libc.
extern "C" {
ssize_t send(int fd, const void* buf, size_t len, int flags) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    ++socketCalls;
    return real(fd, buf, len, flags);
}
ssize_t recv(int fd, void* buf, size_t len, int flags) {
    static auto real = next<ssize_t (*)(int, void*, size_t, int)>("recv");
    ++socketCalls;
    return real(fd, buf, len, flags);
}
ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
    static auto real = next<ssize_t (*)(int, const struct msghdr*, int)>("sendmsg");
    ++socketCalls;
    return real(fd, msg, flags);
}
int poll(struct pollfd* fds, nfds_t n, int timeout) {
    static auto real = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    ++socketCalls;
    return real(fds, n, timeout);
}
}

namespace {

// Dids 9201..9299 belong to this file.
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [{"id": 1, "devices": [
     {"did": 9201, "label": "fans", "driver": "Max6620", "address": {"address": 41}, "driverArgs": {"maxId": "1"}},
     {"did": 9202, "label": "leds", "driver": "OrvikLedCpld", "address": {"address": 96}}]}]}]}
])";

struct Board {
    std::unique_ptr<TestSmbusd::Daemon> daemon;
    zl_fan* fan = nullptr;
    uint32_t blinkTimer = 0;
};

Board& board() {
    static Board b;
    if (b.daemon) return b;
    b.daemon = std::make_unique<TestSmbusd::Daemon>();
    if (!b.daemon->start(kTopology, "", {"-v", "0"})) std::abort();
    b.daemon->exportEnvironment();
    Utils::isInSimulation = 0;
    if (zl_fan_init(kTopology) != ZL_STATUS_OK || zl_led_init(kTopology) != ZL_STATUS_OK) std::abort();
    b.fan = TestHost::hold(zl_fan_add(R"({"did": 9201, "driver": "Max6620", "address": {"address": 41},
        "driverArgs": {"maxId": "1", "id": "1", "regOffset": "0", "maxRpm": "25000"}})"));
    // Six LEDs that blink in software: the three fan tray LEDs, two fan LEDs, the PSU LED.
    const char* leds[][2] = {{"fantray", "0"}, {"fantray", "2"}, {"fantray", "4"},
                             {"multifan", "0"}, {"multifan", "2"}, {"multipsu", "4"}};
    for (const auto& l : leds) {
        std::string text = R"({"did": 9202, "driver": "OrvikLedCpld", "address": {"address": 96},
            "driverArgs": {"id": "1", "type": ")" + std::string(l[0]) + R"(", "bitOffset": ")" + l[1] + R"("}})";
        zl_led* led = TestHost::hold(zl_led_add(text.c_str()));
        if (!led || ZL_CALLBACK(led, ZL_LED_SET_LIGHT_SETTING, zl_led_set_light_setting_fn)(led, ZL_LED_BEACON))
            std::abort();
    }
    for (const auto& [id, timer] : TestHost::timers())
        if (timer.armed) b.blinkTimer = id;
    if (!b.fan || !b.blinkTimer) std::abort();
    return b;
}

// Runs `op` `n` times with the service logging each transaction; the request frames it
// answered per operation.
double roundTripsPer(Board& b, int n, const std::function<void()>& op) {
    b.daemon->ctl({"log", "1"});
    std::ifstream before(b.daemon->logPath());
    long skip = 0;
    for (std::string line; std::getline(before, line);) ++skip;
    for (int i = 0; i < n; ++i) op();
    b.daemon->ctl({"log", "0"});
    std::ifstream log(b.daemon->logPath());
    long frames = 0, lineNo = 0;
    for (std::string line; std::getline(log, line);)
        if (++lineNo > skip && line.find(" req 0: ") != std::string::npos) ++frames;
    return double(frames) / n;
}

void report(benchmark::State& state, long calls, Board& b, const std::function<void()>& op) {
    state.counters["syscalls_per_op"] = state.iterations() ? double(calls) / double(state.iterations()) : 0;
    state.counters["round_trips_per_op"] = roundTripsPer(b, 50, op);
}

void BM_Max6620SpeedRead(benchmark::State& state) {
    Board& b = board();
    auto read = ZL_CALLBACK(b.fan, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn);
    int rpm = 0;
    long start = socketCalls;
    for (auto _ : state) {
        if (read(b.fan, &rpm) != ZL_STATUS_OK) {
            state.SkipWithError("reading failed");
            return;
        }
        benchmark::DoNotOptimize(rpm);
    }
    report(state, socketCalls - start, b, [&] { read(b.fan, &rpm); });
}
BENCHMARK(BM_Max6620SpeedRead)->Repetitions(3)->DisplayAggregatesOnly(true)->UseRealTime();

void BM_LedBlinkTickSixLeds(benchmark::State& state) {
    Board& b = board();
    auto tick = [&] {
        if (!TestHost::fireTimer(b.blinkTimer)) std::abort();  // the tick re-arms the timer
    };
    long start = socketCalls;
    for (auto _ : state) tick();
    report(state, socketCalls - start, b, tick);
}
BENCHMARK(BM_LedBlinkTickSixLeds)->Repetitions(3)->DisplayAggregatesOnly(true)->UseRealTime();

}  // namespace
