// Cost of one SMBus batch through Kavrin::ZLSocket and zolta-smbusd, beside a bare
// Unix-socket ping-pong of the same frame sizes (an echo thread in this process):
// the difference is what serialising, parsing and the emulated board add.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"

namespace {

const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [{"id": 1, "devices": [
     {"did": 1, "label": "cpld", "driver": "OrvikSCpldB", "address": {"address": 50}}]}]}]}
])";

// One zolta-smbusd for the whole run (transaction log off).
TestSmbusd::Daemon& daemon() {
    static std::unique_ptr<TestSmbusd::Daemon> d;
    if (!d) {
        d = std::make_unique<TestSmbusd::Daemon>();
        if (!d->start(kTopology, "", {"-v", "0"})) std::abort();
        d->exportEnvironment();
    }
    return *d;
}

// A batch of n byte reads of consecutive CPLD registers, as a port poll sends it.
Smbus::TransactionRequest batch(int n) {
    Smbus::TransactionRequest tr;
    uint64_t w1 = 50u | 1u << 7 | 1u << 25;
    for (int i = 0; i < n; ++i) {
        Smbus::Request* q = tr.add_request();
        q->set_type(Smbus::REQUEST_READ);
        q->set_mastertype(Smbus::MASTER_SCD);
        q->set_address(w1 << 32 | uint32_t(i));
        q->set_pci(256);
        q->set_length(1);
    }
    return tr;
}

void BM_ZLSocketToSmbusd(benchmark::State& state) {
    daemon();
    Kavrin::ZLSocket sock;
    if (sock.setup() != 0) {
        state.SkipWithError("cannot connect to zolta-smbusd");
        return;
    }
    Smbus::TransactionRequest tr = batch(int(state.range(0)));
    for (auto _ : state) {
        Smbus::TransactionResponse* out = nullptr;
        if (sock.sendRequestWait(&tr, &out) != 0 || out->response_size() != state.range(0)) {
            delete out;
            state.SkipWithError("batch failed");
            return;
        }
        benchmark::DoNotOptimize(out);
        sock.recycle(out);  // as the HAM does: the next answer reuses it
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ZLSocketToSmbusd)->Arg(1)->Arg(24)->UseRealTime();

// The same request and answer sizes bounced off an echo thread over a socketpair.
void BM_RawUnixPingPong(benchmark::State& state) {
    int n = int(state.range(0));
    std::string request = batch(n).SerializeAsString();
    Smbus::TransactionResponse resp;
    for (int i = 0; i < n; ++i) resp.add_response()->set_data(std::string(1, '\x5a'));
    std::string answer = resp.SerializeAsString();

    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([fd = sv[1], answer] {
        std::string in;
        while (Kavrin::readFrame(fd, &in, -1)) {
            if (!Kavrin::writeFrame(fd, answer)) break;
        }
    });
    std::string in;
    for (auto _ : state) {
        if (!Kavrin::writeFrame(sv[0], request) || !Kavrin::readFrame(sv[0], &in, 10000)) {
            state.SkipWithError("echo failed");
            break;
        }
        benchmark::DoNotOptimize(in);
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["request_bytes"] = double(request.size());
    state.counters["answer_bytes"] = double(answer.size());
}
BENCHMARK(BM_RawUnixPingPong)->Arg(1)->Arg(24)->UseRealTime();

}  // namespace
