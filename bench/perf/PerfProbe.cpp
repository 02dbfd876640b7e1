// zl_perf: the figures of scripts/bench.sh, measured against a running zolta-smbusd
// (ZOLTA_SMBUS_SOCKET) that emulates one TMP75 (did 9101, SCD pci 256, accelerator 0,
// bus 3, address 72). The host services are no-ops, so what is measured is the library.
//
//   zl_perf latency ROUNDS    JSON on stdout: per batch size, the median over ROUNDS
//                             interleaved rounds of the library's time per batch and of a
//                             tight Unix-socket ping-pong of the same frames (each round's
//                             figure is the median of its operations, each timed alone)
//   zl_perf loop N            N single-read callbacks between two marker writes
//                             (write(-1, "zl-perf-begin") / "zl-perf-end"), for strace;
//                             and under callgrind --toggle-collect on the callback
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Ham/ZoltaSmbusHam.h"
#include "LibraryInit.h"
#include "Utils.h"
#include "zl_api.h"

// ---- host services: nothing to do -------------------------------------------------------

extern "C" {
void zl_trace(int, const char*, ...) {}
uint32_t zl_timer_add(void (*)(void*), void*) { return 1; }
int zl_timer_set(uint32_t, uint32_t) { return 0; }
void zl_timer_delete(uint32_t) {}
void zl_fd_watcher_delete(uint32_t) {}
}

namespace {

const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [{"id": 3, "devices": [
     {"did": 9101, "label": "temp", "driver": "TMP75", "address": {"address": 72}}]}]}]}
])";
const char* kSensorText = R"({"did": 9101, "driver": "TMP75", "address": {"address": 72}})";

constexpr uint8_t kTmp75Temperature = 0x00;  // the TMP75's temperature register

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "zl_perf: %s\n", what);
    std::exit(1);
}

zl_temp_sensor* addSensor() {
    Utils::isInSimulation = 0;
    if (zl_temp_sensor_init(kTopology) != ZL_STATUS_OK) die("zl_temp_sensor_init failed (is zolta-smbusd up?)");
    zl_temp_sensor* sensor = zl_temp_sensor_add(kSensorText, 80.0f, 95.0f);
    if (sensor == nullptr) die("zl_temp_sensor_add failed");
    return sensor;
}

void readOnce(zl_temp_sensor* sensor) {
    auto read = ZL_CALLBACK(sensor, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn);
    float celsius = 0;
    if (read(sensor, &celsius) != ZL_STATUS_OK) die("reading failed");
}

// A HAM of the same device for batches of n reads (the callback's own HAM is private to
// the driver); it lives for the process, as every HAM does.
Ham::ZoltaSmbusHam* batchHam() {
    auto* ham = new Ham::ZoltaSmbusHam();
    ham->address.address = 72;
    ham->address.bus = 3;
    ham->address.accel = 0;
    ham->mastertype = Smbus::MASTER_SCD;
    ham->pci = 256;
    ham->init();
    return ham;
}

void readBatch(Ham::ZoltaSmbusHam* ham, int n) {
    ham->prepare();
    for (int i = 0; i < n; ++i) ham->addRead16(kTmp75Temperature);
    if (ham->execute() != ZL_STATUS_OK) die("batch failed");
}

std::string framed(const std::string& payload) {
    const uint32_t n = uint32_t(payload.size());
    std::string f{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return f + payload;
}

// The tight ping-pong: each frame leaves in one send() and is taken in one recv() when it
// arrives whole, on both sides. The echo is another process, as the service is, so both
// sides pay the same switch between address spaces. With pollFirst the echo waits in poll()
// before each recv(), as a service of many clients must: the price of that design, apart
// from the library's.
class PingPong {
  public:
    PingPong(std::string request, std::string answer, bool pollFirst = false)
        : request_(std::move(request)), answer_(std::move(answer)) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_) != 0) die("socketpair");
        echo_ = ::fork();
        if (echo_ < 0) die("fork");
        if (echo_ == 0) {
            ::close(sv_[0]);
            std::vector<char> buf(64 * 1024);
            for (;;) {
                size_t have = 0;
                while (have < request_.size()) {
                    pollfd p{sv_[1], POLLIN, 0};
                    if (pollFirst && ::poll(&p, 1, -1) < 0) ::_exit(1);
                    ssize_t n = ::recv(sv_[1], buf.data() + have, buf.size() - have, 0);
                    if (n <= 0) ::_exit(0);
                    have += size_t(n);
                }
                if (::send(sv_[1], answer_.data(), answer_.size(), MSG_NOSIGNAL) != ssize_t(answer_.size())) {
                    ::_exit(1);
                }
            }
        }
        ::close(sv_[1]);
        in_.resize(64 * 1024);
    }
    ~PingPong() {
        ::shutdown(sv_[0], SHUT_RDWR);  // the echo sees the end and leaves (later echoes hold copies)
        ::close(sv_[0]);
        ::waitpid(echo_, nullptr, 0);
    }
    void once() {
        if (::send(sv_[0], request_.data(), request_.size(), MSG_NOSIGNAL) != ssize_t(request_.size())) die("send");
        size_t have = 0;
        while (have < answer_.size()) {
            ssize_t n = ::recv(sv_[0], &in_[have], in_.size() - have, 0);
            if (n <= 0) die("recv");
            have += size_t(n);
        }
    }

  private:
    std::string request_, answer_, in_;
    int sv_[2];
    pid_t echo_ = -1;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The median time of one operation over `iterations`, each timed on its own: on a core that
// other work shares, a few operations wait milliseconds for it, and a mean would be theirs.
template <typename F>
double nsPerOp(int iterations, F&& f) {
    std::vector<double> times(static_cast<size_t>(iterations));
    auto last = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) {
        f();
        const auto now = std::chrono::steady_clock::now();
        times[size_t(i)] = std::chrono::duration<double, std::nano>(now - last).count();
        last = now;
    }
    return median(std::move(times));
}

int latency(int rounds) {
    zl_temp_sensor* sensor = addSensor();
    Ham::ZoltaSmbusHam* ham = batchHam();
    const std::vector<int> sizes = {1, 2, 4, 8, 16, 32, 64};
    constexpr int kIterations = 2000;  // per measurement

    // The ping-pong carries the library's own frames of every batch size.
    std::vector<std::string> requests, answers;
    for (int n : sizes) {
        readBatch(ham, n);
        requests.push_back(framed(ham->request_.SerializeAsString()));
        answers.push_back(framed(ham->response_.SerializeAsString()));
    }
    // Each round forks its own echoes: where the scheduler puts a process decides how fast
    // it is woken, and that lasts as long as the process does, so a new draw per round lets
    // the median see past an unlucky one.
    auto warmed = [](std::unique_ptr<PingPong> p) {
        for (int i = 0; i < 50; ++i) p->once();
        return p;
    };

    std::vector<double> callback, callbackPong, callbackPollPong;
    std::vector<std::vector<double>> lib(sizes.size()), pong(sizes.size());
    for (int i = 0; i < 500; ++i) readOnce(sensor);  // warm up
    for (int r = 0; r < rounds; ++r) {
        callback.push_back(nsPerOp(kIterations, [&] { readOnce(sensor); }));
        {
            auto p = warmed(std::make_unique<PingPong>(requests[0], answers[0]));
            callbackPong.push_back(nsPerOp(kIterations, [&] { p->once(); }));
        }
        {
            auto p = warmed(std::make_unique<PingPong>(requests[0], answers[0], true));
            callbackPollPong.push_back(nsPerOp(kIterations, [&] { p->once(); }));
        }
        for (size_t s = 0; s < sizes.size(); ++s) {
            const int n = sizes[s];
            lib[s].push_back(nsPerOp(kIterations / 4, [&] { readBatch(ham, n); }));
            auto p = warmed(std::make_unique<PingPong>(requests[s], answers[s]));
            pong[s].push_back(nsPerOp(kIterations / 4, [&] { p->once(); }));
        }
    }
    std::vector<double> ratios, pollRatios;
    for (int r = 0; r < rounds; ++r) {
        ratios.push_back(callback[r] / callbackPong[r]);
        pollRatios.push_back(callback[r] / callbackPollPong[r]);
    }

    std::printf("{\n  \"rounds\": %d,\n  \"iterations\": %d,\n", rounds, kIterations);
    std::printf("  \"callback_ns\": %.1f,\n  \"callback_pingpong_ns\": %.1f,\n  \"callback_ratio\": %.3f,\n",
                median(callback), median(callbackPong), median(ratios));
    std::printf("  \"callback_pollpong_ns\": %.1f,\n  \"callback_pollpong_ratio\": %.3f,\n", median(callbackPollPong),
                median(pollRatios));
    std::printf("  \"batches\": [\n");
    for (size_t s = 0; s < sizes.size(); ++s) {
        std::printf("    {\"reads\": %d, \"library_ns\": %.1f, \"pingpong_ns\": %.1f, \"request_bytes\": %zu, "
                    "\"answer_bytes\": %zu}%s\n",
                    sizes[s], median(lib[s]), median(pong[s]), requests[s].size(), answers[s].size(),
                    s + 1 < sizes.size() ? "," : "");
    }
    std::printf("  ]\n}\n");
    return 0;
}

void marker(const char* text) {
    ssize_t ignored = ::write(-1, text, std::strlen(text));
    (void)ignored;
}

int loop(int n) {
    zl_temp_sensor* sensor = addSensor();
    for (int i = 0; i < 100; ++i) readOnce(sensor);  // warm up: buffers and messages grown
    marker("zl-perf-begin");
    for (int i = 0; i < n; ++i) readOnce(sensor);
    marker("zl-perf-end");
    std::printf("{\"callbacks\": %d}\n", n + 100);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "latency") == 0) return latency(std::max(1, std::atoi(argv[2])));
    if (argc == 3 && std::strcmp(argv[1], "loop") == 0) return loop(std::max(1, std::atoi(argv[2])));
    std::fprintf(stderr, "usage: zl_perf latency ROUNDS | zl_perf loop N\n");
    return 2;
}
