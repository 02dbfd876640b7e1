// zolta-smbusd end to end: requests over the service socket, addressing and muxes, what the
// emulated chips give beyond the library's path, fault injection and the control language
// of zolta-smbusctl, kvIpmi's command forms, and hostile clients.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BoardModel.h"
#include "FakeService.h"
#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"

namespace {

using TestSmbusd::closedWithin;
using TestSmbusd::hex;
using TestSmbusd::msSince;
using TestSmbusd::rawConnect;

const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [{"id": 0, "busses": [
   {"id": 3, "devices": [
     {"did": 1, "label": "cpld", "driver": "Dummy", "address": {"address": 35}},
     {"did": 2, "label": "temp", "driver": "TMP75", "address": {"address": 72}},
     {"did": 3, "label": "psu1", "driver": "Pmbus", "address": {"address": 88}},
     {"did": 4, "label": "bay1", "driver": "PsuSlot", "address": {"address": 80},
      "driverArgs": {"psuId": "1", "identificationType": "ipmi"}},
     {"did": 5, "label": "bay2", "driver": "PsuSlot", "address": {"address": 81},
      "driverArgs": {"psuId": "2", "identificationType": "tlv"}},
     {"did": 6, "label": "fans", "driver": "Max6620", "address": {"address": 41}}]},
   {"id": 4, "devices": [{"did": 10, "label": "mux", "driver": "OrvikSXcvrMux", "address": {"address": 112},
                          "driverArgs": {"reg": "16", "reset": "0"}}],
    "muxes": [{"did": 10, "busses": [
      {"id": 1, "devices": [{"did": 11, "label": "x1", "driver": "SmbusProxyDriver", "address": {"address": 80}}]},
      {"id": 2, "devices": [{"did": 12, "label": "x2", "driver": "SmbusProxyDriver", "address": {"address": 80}}]}]},
     {"did": 13, "busses": [{"id": 1, "devices": [
       {"did": 14, "label": "orphan", "driver": "Dummy", "address": {"address": 6}}]}]}]}]}]},
 {"type": "I2C", "ham": "ZoltaSmbus", "id": 7, "simulated": true,
  "devices": [{"did": 20, "label": "simdev", "driver": "Dummy", "address": {"address": 16}}]},
 {"type": "Celestica", "ham": "ZoltaSmbus", "accelerators": [{"id": 2, "busses": [
   {"id": 5, "devices": [{"did": 30, "label": "cel", "driver": "Dummy", "address": {"address": 33}}]}]}]},
 {"type": "IOPort", "ham": "ZoltaSmbus", "id": 9,
  "devices": [{"did": 31, "label": "io", "driver": "Dummy", "address": {"address": 34, "accel": 3}}]}
])";

const char* kState = R"({
 "psu1": {"ipmiId": "1"},
 "bay2": {"ipmiId": 2, "properties": {"model": "TLV-PSU-9", "serial": "TS0001"}},
 "cpld": {"registers": {"0x20": "0x5a", "0x21": 165, "0x30": [1, 2, 3, 4]}, "blockLengths": {"0x30": 3}},
 "x1": {"registers": {"0x00": [17, 18, 19]}}, "x2": {"registers": {"0x00": [33, 34, 35]}},
 "did:20": {"registers": {"0x05": "0x77"}}
})";

struct Req {
    int type;
    uint32_t addr, reg, len;
    std::string data;
    uint32_t bus = 3, accel = 0;
    int master = Smbus::MASTER_SCD;
    uint32_t pci = 256;
};

Req rd(uint32_t addr, uint32_t reg, uint32_t len, uint32_t bus = 3) {
    return Req{Smbus::REQUEST_READ, addr, reg, len, "", bus};
}
Req wr(uint32_t addr, uint32_t reg, const std::string& data, uint32_t bus = 3) {
    return Req{Smbus::REQUEST_WRITE, addr, reg, uint32_t(data.size()), data, bus};
}
Req cpld(int type, uint32_t reg, uint32_t len, const std::string& data = "") { return Req{type, 35, reg, len, data}; }
// A one-byte read somewhere given in full.
Req at(int master, uint32_t pci, uint32_t accel, uint32_t bus, uint32_t addr, uint32_t reg = 0) {
    return Req{Smbus::REQUEST_READ, addr, reg, 1, "", bus, accel, master, pci};
}

Smbus::TransactionRequest request(const std::vector<Req>& reqs) {
    Smbus::TransactionRequest tr;
    for (const auto& r : reqs) {
        Smbus::Request* q = tr.add_request();
        q->set_type(Smbus::RequestType(r.type));
        q->set_mastertype(Smbus::MasterType(r.master));
        BoardModel::KhamAddress address;
        address.reg = r.reg, address.address = r.addr, address.bus = r.bus, address.accel = r.accel;
        q->set_address(address.pack());
        q->set_pci(r.pci);
        q->set_length(r.len);
        if (!r.data.empty()) q->set_data(r.data);
    }
    return tr;
}
std::string frame(const std::vector<Req>& reqs) { return request(reqs).SerializeAsString(); }
// `count` reads of `len` bytes from bay1's FRU EEPROM, as one frame.
std::string reads(int count, uint32_t len) { return frame(std::vector<Req>(size_t(count), rd(80, 0, len))); }

// One batch; a transport failure gives failed=true, error "transport" and *err = errno.
Smbus::TransactionResponse exchange(Kavrin::ZLSocket& s, const std::vector<Req>& reqs, int* err = nullptr) {
    Smbus::TransactionRequest tr = request(reqs);
    Smbus::TransactionResponse *out = nullptr, resp;
    if (s.sendRequestWait(&tr, &out) == 0) {
        resp = *out;
        delete out;
    } else {
        if (err) *err = errno;
        resp.set_failed(true);
        resp.set_error("transport");
    }
    return resp;
}
// The same for one frame sent on fd.
Smbus::TransactionResponse batch(int fd, const std::string& request) {
    Smbus::TransactionResponse resp;
    std::string answer;
    if (!Kavrin::writeFrame(fd, request) || !Kavrin::readFrame(fd, &answer, 5000) || !resp.ParseFromString(answer)) {
        resp.set_failed(true);
        resp.set_error("transport");
    }
    return resp;
}

std::string bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

long cpuTicks(pid_t pid) {  // utime + stime: fields 14 and 15 of /proc/PID/stat
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && in >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;
}

class SmbusdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const mode_t mask = ::umask(0);  // the service sets its sockets' modes itself
        const bool started = d.start(kTopology, kState);
        ::umask(mask);
        ASSERT_TRUE(started) << d.log();
        d.exportEnvironment();
        ASSERT_EQ(0, sock.setup());
    }
    // A clean SIGTERM stop exits 0 and removes both socket files.
    void TearDown() override {
        sock.close();
        EXPECT_EQ(0, d.stop()) << d.log();
        EXPECT_TRUE(::access(d.socketPath().c_str(), F_OK) != 0 && ::access(d.controlPath().c_str(), F_OK) != 0)
            << "socket files left behind";
        if (HasFailure()) std::fprintf(stderr, "--- zolta-smbusd log ---\n%s\n", d.log().c_str());
    }
    Smbus::TransactionResponse send(const std::vector<Req>& reqs) { return exchange(sock, reqs, &lastErrno); }

    TestHost::ScopedEnv timeout{"ZOLTA_SMBUS_TIMEOUT_MS", "5000"};
    TestSmbusd::Daemon d;
    Kavrin::ZLSocket sock;
    int lastErrno = 0;
};

// A good batch answers every request and its last answer is `expect` (hex). A bad one,
// framed by good reads, stops after the first answer with `expect` in its error.
TEST_F(SmbusdTest, ResponsesFollowTheRequestTypeAndBadRequestsStopTheBatch) {
    const int R = Smbus::REQUEST_READ, W = Smbus::REQUEST_WRITE, PC = Smbus::REQUEST_PROCESS_CALL,
              BR = Smbus::REQUEST_BLOCK_READ, BW = Smbus::REQUEST_BLOCK_WRITE;
    const std::tuple<const char*, std::vector<Req>, const char*, bool> cases[] = {
        {"receive byte after a send byte", {cpld(W, 0x20, 0), cpld(R, 0, 0)}, "5a", false},
        {"word read, low byte first", {rd(35, 0x20, 2)}, "5a a5", false},
        {"plain multi-byte read", {rd(35, 0x30, 5)}, "01 02 03 04 00", false},
        {"block read uses the block length", {cpld(BR, 0x30, 0)}, "01 02 03", false},
        {"process call answers two bytes", {cpld(PC, 0x50, 2, bytes({0x34, 0x12}))}, "34 12", false},
        {"writes land", {wr(35, 0x70, bytes({0x11, 0x22, 0x33})), wr(35, 0x72, bytes({0x44})), rd(35, 0x71, 2)}, "22 44",
         false},
        {"block write sets the length", {cpld(BW, 0x80, 2, bytes({0xde, 0xad})), cpld(BR, 0x80, 0)}, "de ad", false},
        {"read over 64 KiB", {rd(35, 0, 65537)}, "too long", true},
        {"register a chip lacks", {rd(72, 7, 1)}, "register 0x07 does not exist", true},
        {"empty address naks", {rd(73, 0, 2)}, "no device at SCD pci 0x100 accel 0 bus 3 address 0x49", true},
    };
    for (auto [what, batch, expect, fails] : cases) {
        if (fails) {
            batch.insert(batch.begin(), rd(35, 0x20, 1));
            batch.push_back(rd(35, 0x20, 1));
        }
        auto resp = send(batch);
        ASSERT_EQ(fails, resp.failed()) << what << ": " << resp.error();
        ASSERT_EQ(fails ? 1 : int(batch.size()), resp.response_size()) << what;
        std::string got = fails ? resp.error() : hex(resp.response(resp.response_size() - 1).data());
        EXPECT_TRUE(fails ? got.find(expect) != std::string::npos : got == expect)
            << what << ": " << got << ", wanted " << expect;
    }
}

TEST_F(SmbusdTest, MasterKindPciAcceleratorAndBusAllSelectTheChip) {
    const int scd = Smbus::MASTER_SCD, cel = Smbus::MASTER_CELESTICA;
    const Req simI2c = at(Smbus::MASTER_SIMULATED_I2C, 99, 5, 7, 16, 5);
    const std::tuple<const char*, Req, bool> cases[] = {
        {"right place", at(scd, 256, 0, 3, 35), true},
        {"other pci", at(scd, 257, 0, 3, 35), false},
        {"other accelerator", at(scd, 256, 1, 3, 35), false},  // other buses: the mux test
        {"Celestica accelerator and bus, no pci", at(cel, 7, 2, 5, 33), true},
        {"IOPort bus whatever the accelerator", at(Smbus::MASTER_IOPORT, 256, 0, 9, 34), true},
        {"simulated I2C ignores pci and accel", simI2c, true},
        {"I2C that is not simulated", at(Smbus::MASTER_I2C, 99, 5, 7, 16, 5), false},
    };
    for (const auto& [what, req, answers] : cases) EXPECT_EQ(answers, !send({req}).failed()) << what;
    auto resp = send({simI2c});
    ASSERT_EQ(1, resp.response_size()) << resp.error();
    EXPECT_EQ("77", hex(resp.response(0).data()));
}

TEST_F(SmbusdTest, DevicesBehindAMuxAnswerOnlyOnTheirChannel) {
    auto sel = [](int channel) { return wr(112, 16, bytes({channel}), 4); };
    EXPECT_TRUE(send({rd(80, 0, 3, 4)}).failed()) << "disconnected at start";
    for (auto [channel, data] : {std::make_pair(1, "11 12 13"), std::make_pair(2, "21 22 23")}) {
        auto resp = send({sel(channel), rd(80, 0, 3, 4), sel(0)});  // as the library frames a device
        ASSERT_EQ(3, resp.response_size()) << resp.error();
        EXPECT_EQ(data, hex(resp.response(1).data()));
    }
    EXPECT_TRUE(send({rd(80, 0, 1, 4)}).failed()) << "the reset write disconnects";
    auto resp = send({sel(9), rd(80, 0, 1, 4)});
    EXPECT_TRUE(resp.failed() && resp.response_size() == 1) << "an unknown channel reaches nothing";
    EXPECT_EQ("09\n", d.ctl({"read", "mux", "16"}));
    // Mux 13 has no device of its own: what is behind it never answers.
    EXPECT_TRUE(send({rd(6, 0, 1, 4)}).failed());
}

TEST_F(SmbusdTest, EachFaultKindThroughTheControlClient) {
    ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "700", 1);
    // fault, errno of a failed transport, failed, responses to 2 requests, time window
    const std::tuple<std::vector<std::string>, int, bool, int, int, int> cases[] = {
        {{"nak"}, 0, true, 1, 0, 500},         {{"count"}, 0, false, 1, 0, 500},
        {{"close"}, ECONNRESET, true, 0, 0, 500}, {{"garbage"}, EBADMSG, true, 0, 0, 500},
        {{"delay", "200"}, 0, false, 2, 190, 650}, {{"off"}, 0, false, 2, 0, 500},  // a late one: ZLSocketTest
    };
    for (const auto& [fault, err, failed, responses, minMs, maxMs] : cases) {
        std::vector<std::string> cmd = {"fault", "temp"};
        cmd.insert(cmd.end(), fault.begin(), fault.end());
        d.ctl(cmd);
        auto t0 = std::chrono::steady_clock::now();
        lastErrno = 0;
        auto resp = send({rd(35, 0x20, 1), rd(72, 0, 2)});
        int ms = msSince(t0);
        EXPECT_EQ(err, lastErrno) << fault[0] << ": " << std::strerror(lastErrno);
        EXPECT_EQ(failed, resp.failed()) << fault[0] << ": " << resp.error();
        EXPECT_EQ(responses, resp.response_size()) << fault[0];
        EXPECT_TRUE(ms >= minMs && ms <= maxMs) << fault[0] << ": " << ms << " ms";
        EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed()) << fault[0] << " leaks to other chips";
    }
}

// zolta-smbusctl's answers and errors, and kvIpmi's forms the library does not use: the api
// form, raw fields by TLV code, an unknown slot (the library's calls are BoardEndToEndTest's,
// usage errors tool_options.sh's).
TEST_F(SmbusdTest, ControlClientAndKvIpmiCommands) {
    TestSmbusd::addBinDirToPath();
    const std::string ctl = TestSmbusd::binDir() + "/zolta-smbusctl";
    // command, exit status, text in stderr (or in the output when the status is 0)
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{ctl, "read", "nosuch", "0"}, 1, "unknown device 'nosuch'"},
        {{ctl, "list"}, 0,
         "x2 12 SmbusProxyDriver register-file SCD pci 0x100 accel 0 bus 4 address 0x50 via mux 10 channel 2"},
        {{"kvIpmi", "api", "psuSlot", "1"}, 0, "1 PS-2471-1AZ1-LF 61AZ10101E340DU\n"},
        {{"kvIpmi", "raw", "psuSlot", "2", "ModelNumber=0x01", "SerialNumber=0x02"}, 0, "1 TLV-PSU-9 TS0001\n"},
        {{"kvIpmi", "psuSlot", "9"}, 1, ""},
    };
    for (const auto& [argv, status, message] : cases) {
        std::string out, err;
        EXPECT_EQ(status, TestSmbusd::runProgram(argv, &out, &err)) << argv[1] << " " << argv.back() << ": " << err;
        EXPECT_NE(std::string::npos, (status ? err : out).find(message)) << argv[1] << ": " << out << err;
    }
}

TEST_F(SmbusdTest, BadFramesAndVanishingClientsHarmOnlyThemselves) {
    // wire bytes, and whether the service hangs up (else the client leaves mid-frame)
    const std::pair<std::string, bool> cases[] = {
        {std::string("\x00\x10\x00\x01", 4), true},                  // just over 1 MiB
        {std::string("\x00\x00\x00\x40\x0a\x02", 6), false},
    };
    for (const auto& [wire, hangsUp] : cases) {
        int fd = rawConnect(d.socketPath());
        ASSERT_EQ(ssize_t(wire.size()), ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL));
        EXPECT_TRUE(!hangsUp || closedWithin(fd, 3000)) << hex(wire);
        ::close(fd);
        EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed()) << hex(wire) << ": other clients are served";
    }
    // A client that leaves while its answer is held back costs the service no CPU.
    d.ctl({"fault", "temp", "delay", "1500"});
    int fd = rawConnect(d.socketPath());
    ASSERT_TRUE(Kavrin::writeFrame(fd, frame({rd(72, 0, 2)})));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(fd);
    long before = cpuTicks(d.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(cpuTicks(d.pid()) - before, 20) << "the service spun";
    EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed());
    EXPECT_TRUE(d.running());
}

TEST_F(SmbusdTest, ServesClientsAtOnceAndADelayedOneHoldsNoOtherUp) {
    d.ctl({"fault", "fans", "delay", "1500"});
    std::thread slow([] {
        Kavrin::ZLSocket s;
        EXPECT_EQ(1, exchange(s, {rd(41, 0x01, 1)}).response_size());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto client = [](uint32_t reg) {  // each its own register, interleaved with the other
        Kavrin::ZLSocket s;
        for (int i = 0; i < 50; ++i) {
            const std::string v(1, char(i));
            auto resp = exchange(s, {wr(35, reg, v), rd(35, reg, 1)});
            ASSERT_TRUE(!resp.failed() && resp.response_size() == 2 && resp.response(1).data() == v) << reg << " " << i;
        }
    };
    auto t0 = std::chrono::steady_clock::now();
    std::thread other(client, 0x91);
    client(0x90);
    other.join();
    EXPECT_LT(msSince(t0), 1200) << "the delayed client held the others up";
    slow.join();
}

TEST(SmbusdStartTest, RefusesABadTopologyOrState) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"[", "", "topology:"},
        {kTopology, R"({"ghost": {}})", "unknown device 'ghost'"},
        {kTopology, R"({"psu1": {"bindings": [{"property": "present", "device": "ghost", "reg": 1, "bit": 0}]}})", "binding"},
    };
    for (const auto& [topology, state, message] : cases) {
        TestSmbusd::Daemon d;
        EXPECT_FALSE(d.start(topology, state)) << message;
        EXPECT_NE(std::string::npos, d.log().find(message)) << d.log();
    }
}

TEST_F(SmbusdTest, ASecondServiceLeavesTheSocketAloneAndARestartTakesOverAStaleOne) {
    std::string err;
    EXPECT_EQ(1, TestSmbusd::runProgram({TestSmbusd::binDir() + "/zolta-smbusd", "--socket", d.socketPath(), "--control",
                                         d.controlPath(), "--topology", d.dir() + "/topology.json"},
                                        nullptr, &err, 10000));
    EXPECT_NE(std::string::npos, err.find("in use")) << err;
    EXPECT_EQ("pong\n", d.ctl({"ping"})) << "the second service left the socket alone";
    ::kill(d.pid(), SIGKILL);  // leaves both socket files behind
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_EQ("pong\n", d.ctl({"ping"}));
}

// ---- hostile clients: answers that would not fit a frame, clients that stall or hog memory
// and descriptors, and who may use the control socket ----

TEST_F(SmbusdTest, RequestsWhoseAnswersCannotBeFramedAreRefusedWithTheLimitNamed) {
    int fd = rawConnect(d.socketPath());
    // batch, the error's words (empty: served in full)
    const std::pair<std::string, std::string> cases[] = {
        {reads(15, 65536), ""},  // 983,000 bytes of answer: fits
        {reads(20, 65536), "would pass the frame limit of 1048576 bytes"},
        {reads(16385, 1), "over the limit of 16384 entries"},
    };
    for (const auto& [request, error] : cases) {
        auto resp = batch(fd, request);
        EXPECT_EQ(!error.empty(), resp.failed()) << resp.error();
        EXPECT_NE(std::string::npos, resp.error().find(error)) << resp.error();
        EXPECT_TRUE(error.empty() || resp.response_size() == 0);
    }
    ::close(fd);
}

TEST(SmbusdLimitsTest, StalledFramesCloseIdleClientsStayAndOverTheLimitClientsAreRefused) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(kTopology, "", {"--stall-ms", "300", "--max-clients", "6"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the start probes have left
    std::vector<int> idle;
    for (int i = 0; i < 5; ++i) idle.push_back(rawConnect(d.socketPath()));
    int stalled = rawConnect(d.socketPath());  // the sixth
    ASSERT_EQ(3, ::send(stalled, "\0\0\1", 3, MSG_NOSIGNAL));
    int extra = rawConnect(d.socketPath());
    EXPECT_TRUE(closedWithin(extra, 1000)) << "a client over the limit is refused at once";
    ::close(extra);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedWithin(stalled, 2000)) << "a frame left unfinished closes its client";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    ::close(stalled);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int fd : idle) {
        EXPECT_FALSE(batch(fd, reads(1, 1)).failed()) << "an idle client stays connected";
        ::close(fd);
    }
}

TEST(SmbusdLimitsTest, AtTheDescriptorLimitNewClientsAreRefusedWithoutSpinning) {
    TestSmbusd::Daemon d;
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = 48;  // the service inherits it: room for 16 clients
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    bool started = d.start(kTopology);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<int> fds;
    for (int i = 0; i < 60; ++i) fds.push_back(rawConnect(d.socketPath()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long before = cpuTicks(d.pid());
    int fresh = rawConnect(d.socketPath());
    EXPECT_TRUE(closedWithin(fresh, 1000)) << "a new client is refused, not left waiting";
    ::close(fresh);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_LT(cpuTicks(d.pid()) - before, 20) << "the service spun";
    EXPECT_FALSE(batch(fds[0], reads(1, 1)).failed()) << "the first clients are served";
    for (int fd : fds) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fresh = rawConnect(d.socketPath());
    EXPECT_FALSE(batch(fresh, reads(1, 1)).failed()) << "served again once clients left";
    ::close(fresh);
}

TEST_F(SmbusdTest, UnfinishedFramesOfAllClientsTogetherAreCapped) {
    // 100 clients announce frames of 1 MiB and send a little of each: only the first 64 MiB
    // are taken on.
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        fds.push_back(rawConnect(d.socketPath()));
        std::string start("\x00\x10\x00\x00", 4);
        start += std::string(100, '\0');
        ASSERT_EQ(ssize_t(start.size()), ::send(fds.back(), start.data(), start.size(), MSG_NOSIGNAL));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int closed = 0;
    for (int fd : fds) closed += closedWithin(fd, 0);
    EXPECT_GE(closed, 30);
    EXPECT_LE(closed, 40);
    for (int fd : fds) ::close(fd);
}

TEST_F(SmbusdTest, SocketsAreOwnerOnlyAndTheControlSocketChecksItsPeer) {
    struct stat st{};
    ASSERT_EQ(0, ::stat(d.socketPath().c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 0777);
    ASSERT_EQ(0, ::stat(d.controlPath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    // Even through a socket file opened up to everyone, another user gets no answer.
    ASSERT_EQ(0, ::chmod(d.controlPath().c_str(), 0666));
    ASSERT_EQ(0, ::chmod(d.dir().c_str(), 0755));
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        int fd = rawConnect(d.controlPath());
        if (fd < 0) ::_exit(4);
        (void)!::send(fd, "ping\n", 5, MSG_NOSIGNAL);  // a refusal may come first: no SIGPIPE
        ::_exit(closedWithin(fd, 2000) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
