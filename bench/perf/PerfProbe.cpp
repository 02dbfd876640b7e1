// zl_perf: the figures of scripts/bench.sh, measured against a running zolta-smbusd
// (ZOLTA_SMBUS_SOCKET) that emulates one TMP75 (did 9101, SCD pci 256, accelerator 0,
// bus 3, address 72). The host services are no-ops, so what is measured is the library.
//
//   zl_perf latency ROUNDS    JSON on stdout: per batch size, the median over ROUNDS
//                             interleaved rounds of the library's time per batch and of a
//                             tight Unix-socket ping-pong of the same frames (each round's
//                             figure is the median of its operations, each timed alone).
//                             The library is measured twice: against a minimal service
//                             that answers every request at once with a canned answer (what
//                             the library itself adds to the exchange), and against
//                             zolta-smbusd (what a reading costs with the emulated board)
//   zl_perf loop N            N single-read callbacks between two marker writes
//                             (write(-1, "zl-perf-begin") / "zl-perf-end"), for strace;
//                             and under callgrind --toggle-collect on the callback
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
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
#include "SingleSensor.h"
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

using Bench::kSensorText;
using Bench::kTopology;

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

// A minimal SMBus service in a forked process on its own Unix socket: it answers every
// request at once, with one write, by a canned answer of as many 2-byte data entries as the
// request has entries (the answer zolta-smbusd gives to as many TMP75 reads). It counts
// those entries with a walk over the request's top-level tags and parses nothing else, so
// the library measured against it pays for its own work and the exchange, nothing more.
class MinimalService {
  public:
    static constexpr int kMaxEntries = 64;

    MinimalService() {
        for (int n = 0; n <= kMaxEntries; ++n) {
            Smbus::TransactionResponse answer;
            for (int i = 0; i < n; ++i) answer.add_response()->set_data(std::string("\x19\x00", 2));
            answers_.push_back(framed(answer.SerializeAsString()));
        }
        char dir[] = "/tmp/zl_perf.XXXXXX";
        if (::mkdtemp(dir) == nullptr) die("mkdtemp");
        dir_ = dir;
        path_ = dir_ + "/smbus.sock";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path_.size() >= sizeof addr.sun_path) die("socket path too long");
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 4) != 0) {
            die("minimal service: listen");
        }
        pid_ = ::fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // leaves with the probe, however that ends
            serve(listener);
        }
        ::close(listener);
    }
    ~MinimalService() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        removePath();
    }
    const std::string& path() const { return path_; }
    // Once connected the path is not needed: removed, nothing is left behind if the probe dies.
    void removePath() {
        if (path_.empty()) return;
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
        path_.clear();
    }
    const std::string& answer(int entries) const { return answers_[size_t(entries)]; }

    // The number of top-level `request` entries (field 1) of a TransactionRequest message;
    // -1 when the bytes are no well-formed message.
    static int countEntries(const uint8_t* p, const uint8_t* end) {
        auto varint = [&](uint64_t* v) {
            *v = 0;
            for (int shift = 0; shift < 64 && p < end; shift += 7) {
                const uint8_t b = *p++;
                *v |= uint64_t(b & 0x7f) << shift;
                if (!(b & 0x80)) return true;
            }
            return false;
        };
        int entries = 0;
        while (p < end) {
            uint64_t key = 0, v = 0;
            if (!varint(&key)) return -1;
            switch (key & 7) {
                case 0:
                    if (!varint(&v)) return -1;
                    break;
                case 1:
                    v = 8;
                    break;
                case 2:
                    if (!varint(&v)) return -1;
                    if ((key >> 3) == 1) ++entries;
                    break;
                case 5:
                    v = 4;
                    break;
                default:
                    return -1;
            }
            if ((key & 7) != 0) {
                if (v > uint64_t(end - p)) return -1;
                p += v;
            }
        }
        return entries;
    }

  private:
    // One client at a time (the library keeps one connection); a request it cannot answer
    // (malformed, more entries than answers were built for, a frame over the buffer)
    // closes the connection.
    [[noreturn]] void serve(int listener) {
        std::vector<uint8_t> in(256 * 1024);
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) ::_exit(1);
            size_t have = 0;
            for (bool open = true; open;) {
                const ssize_t n = ::recv(fd, in.data() + have, in.size() - have, 0);
                if (n <= 0) break;
                have += size_t(n);
                size_t used = 0;
                while (have - used >= 4) {
                    const uint8_t* h = in.data() + used;
                    const size_t len = size_t(h[0]) << 24 | size_t(h[1]) << 16 | size_t(h[2]) << 8 | h[3];
                    if (4 + len > in.size()) open = false;
                    if (!open || have - used < 4 + len) break;
                    const int entries = countEntries(h + 4, h + 4 + len);
                    if (entries < 0 || entries > kMaxEntries) {
                        open = false;
                        break;
                    }
                    const std::string& a = answers_[size_t(entries)];
                    if (::send(fd, a.data(), a.size(), MSG_NOSIGNAL) != ssize_t(a.size())) open = false;
                    used += 4 + len;
                }
                std::memmove(in.data(), in.data() + used, have - used);
                have -= used;
            }
            ::close(fd);
        }
    }

    std::vector<std::string> answers_;
    std::string dir_, path_;
    pid_t pid_ = -1;
};

// A second connection of the library, to the minimal service: ZOLTA_SMBUS_SOCKET names it
// while it connects. The measurements switch the library's connection between the two.
std::unique_ptr<Kavrin::ZLSocket> connectTo(const std::string& path) {
    const char* old = std::getenv("ZOLTA_SMBUS_SOCKET");
    const std::string saved = old ? old : "";
    ::setenv("ZOLTA_SMBUS_SOCKET", path.c_str(), 1);
    auto sock = std::make_unique<Kavrin::ZLSocket>();
    if (sock->setup() != 0) die("cannot connect to the minimal service");
    if (old) {
        ::setenv("ZOLTA_SMBUS_SOCKET", saved.c_str(), 1);
    } else {
        ::unsetenv("ZOLTA_SMBUS_SOCKET");
    }
    return sock;
}

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
    MinimalService service;  // forked before the library connects: it holds none of its sockets
    const std::unique_ptr<Kavrin::ZLSocket> minimal = connectTo(service.path());
    service.removePath();
    zl_temp_sensor* sensor = addSensor();
    Ham::ZoltaSmbusHam* ham = batchHam();
    const std::vector<int> sizes = {1, 2, 4, 8, 16, 32, 64};
    constexpr int kIterations = 2000;  // per measurement

    // The ping-pong carries the library's own frames of every batch size, as zolta-smbusd
    // answers them; the minimal service's answers must be the same frames.
    std::vector<std::string> requests, answers;
    for (int n : sizes) {
        readBatch(ham, n);
        requests.push_back(framed(ham->request_.SerializeAsString()));
        answers.push_back(framed(ham->response_.SerializeAsString()));
        if (service.answer(n).size() != answers.back().size()) die("the minimal service's answer differs in size");
    }
    Kavrin::ZLSocket* const smbusd = _zlSock;
    // Each round forks its own echoes: where the scheduler puts a process decides how fast
    // it is woken, and that lasts as long as the process does, so a new draw per round lets
    // the median see past an unlucky one.
    auto warmed = [](std::unique_ptr<PingPong> p) {
        for (int i = 0; i < 50; ++i) p->once();
        return p;
    };

    std::vector<double> callback, callbackSmbusd, callbackPong, callbackPollPong;
    std::vector<std::vector<double>> lib(sizes.size()), libSmbusd(sizes.size()), pong(sizes.size());
    for (Kavrin::ZLSocket* s : {smbusd, minimal.get()}) {  // warm up
        _zlSock = s;
        for (int i = 0; i < 500; ++i) readOnce(sensor);
    }
    for (int r = 0; r < rounds; ++r) {
        _zlSock = minimal.get();
        callback.push_back(nsPerOp(kIterations, [&] { readOnce(sensor); }));
        _zlSock = smbusd;
        callbackSmbusd.push_back(nsPerOp(kIterations, [&] { readOnce(sensor); }));
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
            _zlSock = minimal.get();
            lib[s].push_back(nsPerOp(kIterations / 4, [&] { readBatch(ham, n); }));
            _zlSock = smbusd;
            libSmbusd[s].push_back(nsPerOp(kIterations / 4, [&] { readBatch(ham, n); }));
            auto p = warmed(std::make_unique<PingPong>(requests[s], answers[s]));
            pong[s].push_back(nsPerOp(kIterations / 4, [&] { p->once(); }));
        }
    }
    _zlSock = smbusd;
    std::vector<double> ratios, smbusdRatios, pollRatios;
    for (int r = 0; r < rounds; ++r) {
        ratios.push_back(callback[r] / callbackPong[r]);
        smbusdRatios.push_back(callbackSmbusd[r] / callbackPong[r]);
        pollRatios.push_back(callbackSmbusd[r] / callbackPollPong[r]);
    }

    std::printf("{\n  \"rounds\": %d,\n  \"iterations\": %d,\n", rounds, kIterations);
    std::printf("  \"callback_ns\": %.1f,\n  \"callback_pingpong_ns\": %.1f,\n  \"callback_ratio\": %.3f,\n",
                median(callback), median(callbackPong), median(ratios));
    std::printf("  \"callback_smbusd_ns\": %.1f,\n  \"callback_smbusd_ratio\": %.3f,\n", median(callbackSmbusd),
                median(smbusdRatios));
    std::printf("  \"callback_pollpong_ns\": %.1f,\n  \"callback_smbusd_pollpong_ratio\": %.3f,\n",
                median(callbackPollPong), median(pollRatios));
    std::printf("  \"batches\": [\n");
    for (size_t s = 0; s < sizes.size(); ++s) {
        std::printf("    {\"reads\": %d, \"library_ns\": %.1f, \"library_smbusd_ns\": %.1f, \"pingpong_ns\": %.1f, "
                    "\"request_bytes\": %zu, \"answer_bytes\": %zu}%s\n",
                    sizes[s], median(lib[s]), median(libSmbusd[s]), median(pong[s]), requests[s].size(),
                    answers[s].size(), s + 1 < sizes.size() ? "," : "");
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
