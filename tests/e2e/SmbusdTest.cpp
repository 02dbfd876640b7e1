// zolta-smbusd end to end: requests over the service socket, the emulated chips,
// muxes, bindings, fault injection through zolta-smbusctl, and kvIpmi.
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"

namespace {

const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
     {"id": 3, "devices": [
       {"did": 1, "label": "cpld", "driver": "Dummy", "address": {"address": 35}},
       {"did": 2, "label": "temp", "driver": "TMP75", "address": {"address": 72}},
       {"did": 3, "label": "psu1", "driver": "Pmbus", "address": {"address": 88}},
       {"did": 7, "label": "slot1", "driver": "PsuSlot", "address": {"address": 88},
        "driverArgs": {"psuId": "1", "identificationType": "pmbus"}},
       {"did": 4, "label": "bay1", "driver": "PsuSlot", "address": {"address": 80},
        "driverArgs": {"psuId": "1", "identificationType": "ipmi"}},
       {"did": 5, "label": "bay2", "driver": "PsuSlot", "address": {"address": 81},
        "driverArgs": {"psuId": "2", "identificationType": "tlv"}},
       {"did": 6, "label": "fans", "driver": "Max6620", "address": {"address": 41}},
       {"did": 8, "label": "nodriver"}
     ]},
     {"id": 4, "devices": [
       {"did": 10, "label": "mux", "driver": "OrvikSXcvrMux", "address": {"address": 112},
        "driverArgs": {"reg": "16", "reset": "0"}}],
      "muxes": [{"did": 10, "busses": [
        {"id": 1, "devices": [{"did": 11, "label": "x1", "driver": "SmbusProxyDriver", "address": {"address": 80}}]},
        {"id": 2, "devices": [{"did": 12, "label": "x2", "driver": "SmbusProxyDriver", "address": {"address": 80}}]}
      ]}]}
   ]}]},
 {"type": "I2C", "ham": "ZoltaSmbus", "id": 7, "simulated": true,
  "devices": [{"did": 20, "label": "simdev", "driver": "Dummy", "address": {"address": 16}}]},
 {"type": "Celestica", "ham": "ZoltaSmbus", "accelerators": [{"id": 2, "busses": [
   {"id": 5, "devices": [{"did": 30, "label": "cel", "driver": "Dummy", "address": {"address": 33}}]}]}]},
 {"type": "IOPort", "ham": "ZoltaSmbus", "id": 9,
  "devices": [{"did": 31, "label": "io", "driver": "Dummy", "address": {"address": 34, "accel": 3}}]}
])";

const char* kState = R"({
 "_comment": "psu1 drives its presence (active low) and power-good bits in the cpld",
 "psu1": {"ipmiId": "1", "bindings": [
   {"property": "present", "device": "cpld", "reg": "0x10", "bit": 0, "activeLow": true},
   {"property": "power_good", "device": "cpld", "reg": "0x10", "bit": 2}]},
 "bay2": {"ipmiId": 2, "properties": {"model": "TLV-PSU-9", "serial": "TS0001"}},
 "cpld": {"registers": {"0x20": "0x5a", "0x21": 165, "0x30": [1, 2, 3, 4]}, "blockLengths": {"0x30": 3}},
 "x1": {"registers": {"0x00": [17, 18, 19]}},
 "x2": {"registers": {"0x00": [33, 34, 35]}},
 "did:20": {"registers": {"0x05": "0x77"}}
})";

constexpr int kScd = Smbus::MASTER_SCD;

// Address word 1: address, bus, accel, addrSize 1.
uint64_t addressField(uint32_t addr, uint32_t bus, uint32_t accel, uint32_t reg) {
    uint64_t w1 = (addr & 0x7F) | (bus & 0x7F) << 7 | (accel & 0x7F) << 14 | 1u << 25;
    return w1 << 32 | reg;
}

struct Req {
    int type;
    uint32_t addr;
    uint32_t reg;
    uint32_t len;
    std::string data;
    uint32_t bus = 3;
    uint32_t accel = 0;
    int master = kScd;
    uint32_t pci = 256;
};

void fill(Smbus::TransactionRequest* tr, const std::vector<Req>& reqs) {
    for (const auto& r : reqs) {
        Smbus::Request* q = tr->add_request();
        q->set_type(Smbus::RequestType(r.type));
        q->set_mastertype(Smbus::MasterType(r.master));
        q->set_address(addressField(r.addr, r.bus, r.accel, r.reg));
        q->set_pci(r.pci);
        q->set_length(r.len);
        if (!r.data.empty()) q->set_data(r.data);
    }
}

Req rd(uint32_t addr, uint32_t reg, uint32_t len, uint32_t bus = 3) { return Req{Smbus::REQUEST_READ, addr, reg, len, "", bus}; }
Req wr(uint32_t addr, uint32_t reg, const std::string& data, uint32_t bus = 3) {
    return Req{Smbus::REQUEST_WRITE, addr, reg, uint32_t(data.size()), data, bus};
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += char(x);
    return s;
}

std::string hex(const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

double linear11(uint16_t w) {
    int e = w >> 11;
    if (e & 0x10) e -= 32;
    int m = w & 0x7FF;
    if (m & 0x400) m -= 0x800;
    return std::ldexp(double(m), e);
}

uint32_t referenceCrc32(const std::string& data) {
    // Table-less reflected CRC-32 (polynomial 0x04C11DB7), as zlib computes it.
    uint32_t crc = ~0u;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

class SmbusdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(d.start(kTopology, kState)) << d.log();
        d.exportEnvironment();
        ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "5000", 1);
        ASSERT_EQ(0, sock.setup());
    }
    void TearDown() override {
        sock.close();
        std::string socketPath = d.socketPath(), controlPath = d.controlPath();
        EXPECT_EQ(0, d.stop()) << d.log();
        EXPECT_NE(0, ::access(socketPath.c_str(), F_OK)) << "socket file left behind";
        EXPECT_NE(0, ::access(controlPath.c_str(), F_OK)) << "control socket file left behind";
        if (HasFailure()) std::fprintf(stderr, "--- zolta-smbusd log ---\n%s\n", d.log().c_str());
    }

    // Sends one batch; returns the response (failed=true with error "transport"
    // when the socket call itself failed, errno kept in lastErrno).
    Smbus::TransactionResponse send(const std::vector<Req>& reqs) {
        Smbus::TransactionRequest tr;
        fill(&tr, reqs);
        Smbus::TransactionResponse* out = nullptr;
        Smbus::TransactionResponse result;
        if (sock.sendRequestWait(&tr, &out) < 0) {
            lastErrno = errno;
            result.set_failed(true);
            result.set_error("transport");
            return result;
        }
        result = *out;
        delete out;
        return result;
    }

    std::string readOne(const Req& r) {
        auto resp = send({r});
        EXPECT_FALSE(resp.failed()) << resp.error();
        return resp.response_size() == 1 ? resp.response(0).data() : std::string();
    }

    uint16_t readWord(uint32_t addr, uint32_t reg) {
        std::string b = readOne(rd(addr, reg, 2));
        return b.size() == 2 ? uint16_t(uint8_t(b[0]) | uint8_t(b[1]) << 8) : 0;
    }

    TestSmbusd::Daemon d;
    Kavrin::ZLSocket sock;
    int lastErrno = 0;
};

// ------------------------------------------------------------------ request types

TEST_F(SmbusdTest, ResponseLengthsFollowTheRequestType) {
    struct Case {
        const char* what;
        Req req;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"receive byte after a send byte", Req{Smbus::REQUEST_READ, 35, 0, 0, ""}, bytes({0x5a})},
        {"byte read", rd(35, 0x21, 1), bytes({0xa5})},
        {"word read, low byte first", rd(35, 0x20, 2), bytes({0x5a, 0xa5})},
        {"plain multi-byte read", rd(35, 0x30, 5), bytes({1, 2, 3, 4, 0})},
        {"block read uses the block length", Req{Smbus::REQUEST_BLOCK_READ, 35, 0x30, 0, ""}, bytes({1, 2, 3})},
        {"block read without a length is empty", Req{Smbus::REQUEST_BLOCK_READ, 35, 0x40, 0, ""}, ""},
        {"process call answers two bytes", Req{Smbus::REQUEST_PROCESS_CALL, 35, 0x50, 2, bytes({0x34, 0x12})},
         bytes({0x34, 0x12})},
        {"byte write answers nothing", wr(35, 0x60, bytes({7})), ""},
    };
    for (const auto& c : cases) {
        std::vector<Req> batch;
        if (c.req.type == Smbus::REQUEST_READ && c.req.len == 0) batch.push_back(Req{Smbus::REQUEST_WRITE, 35, 0x20, 0, ""});
        batch.push_back(c.req);
        auto resp = send(batch);
        ASSERT_FALSE(resp.failed()) << c.what << ": " << resp.error();
        ASSERT_EQ(int(batch.size()), resp.response_size()) << c.what;
        EXPECT_EQ(hex(c.expected), hex(resp.response(resp.response_size() - 1).data())) << c.what;
    }
}

TEST_F(SmbusdTest, WritesLandInTheRegistersAndBlockWritesReadBack) {
    auto resp = send({wr(35, 0x70, bytes({0x11, 0x22, 0x33})), rd(35, 0x70, 3),
                      Req{Smbus::REQUEST_BLOCK_WRITE, 35, 0x80, 2, bytes({0xde, 0xad})},
                      Req{Smbus::REQUEST_BLOCK_READ, 35, 0x80, 0, ""}, wr(35, 0x72, bytes({0x44})), rd(35, 0x71, 2)});
    ASSERT_FALSE(resp.failed()) << resp.error();
    ASSERT_EQ(6, resp.response_size());
    EXPECT_EQ("11 22 33", hex(resp.response(1).data()));
    EXPECT_EQ("de ad", hex(resp.response(3).data()));
    EXPECT_EQ("22 44", hex(resp.response(5).data()));
    EXPECT_EQ("11 22 44\n", d.ctl({"read", "cpld", "0x70", "3"}));
}

TEST_F(SmbusdTest, MalformedRequestsFailTheBatchWithAReason) {
    struct Case {
        const char* what;
        Req req;
        const char* error;
    };
    std::vector<Case> cases = {
        {"write whose data does not match its length", Req{Smbus::REQUEST_WRITE, 35, 0x10, 3, bytes({1})}, "carries 1"},
        {"process call without two data bytes", Req{Smbus::REQUEST_PROCESS_CALL, 35, 0x10, 2, bytes({1})},
         "process call"},
        {"huge read", rd(35, 0, 100000), "too long"},
        {"register beyond a register file", rd(35, 0x100, 1), "out of range"},
        {"register file read over 256 bytes", rd(35, 0, 300), "too long"},
    };
    for (const auto& c : cases) {
        auto resp = send({rd(35, 0x20, 1), c.req, rd(35, 0x20, 1)});
        EXPECT_TRUE(resp.failed()) << c.what;
        EXPECT_NE(std::string::npos, resp.error().find(c.error)) << c.what << ": " << resp.error();
        EXPECT_EQ(1, resp.response_size()) << c.what << ": the batch stops at the failing request";
    }
}

TEST_F(SmbusdTest, MissingFieldsAndUnknownEnumValuesAreRejected) {
    // Build requests by hand: an unknown type value (99) and a request without a master type.
    Smbus::TransactionRequest tr;
    Smbus::Request* q = tr.add_request();
    q->set_mastertype(Smbus::MASTER_SCD);
    q->set_address(addressField(35, 3, 0, 0));
    q->set_pci(256);
    q->set_length(1);
    // Append field 5 (type) as varint 99 inside the request: rebuild with the raw bytes.
    Smbus::Request raw = tr.request(0);
    std::string reqBytes = raw.SerializeAsString() + std::string("\x28\x63", 2);
    std::string frame = std::string("\x0a", 1) + char(reqBytes.size()) + reqBytes;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, d.socketPath().c_str());
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_TRUE(Kavrin::writeFrame(fd, frame));
    std::string answer;
    ASSERT_TRUE(Kavrin::readFrame(fd, &answer, 5000));
    Smbus::TransactionResponse resp;
    ASSERT_TRUE(resp.ParseFromString(answer));
    EXPECT_TRUE(resp.failed());
    EXPECT_NE(std::string::npos, resp.error().find("type")) << resp.error();

    Smbus::TransactionRequest noMaster;
    Smbus::Request* r = noMaster.add_request();
    r->set_type(Smbus::REQUEST_READ);
    r->set_address(addressField(35, 3, 0, 0));
    r->set_length(1);
    ASSERT_TRUE(Kavrin::writeFrame(fd, noMaster.SerializeAsString()));
    ASSERT_TRUE(Kavrin::readFrame(fd, &answer, 5000));
    ASSERT_TRUE(resp.ParseFromString(answer));
    EXPECT_TRUE(resp.failed());
    EXPECT_NE(std::string::npos, resp.error().find("mastertype")) << resp.error();

    // An empty batch is answered with no responses.
    ASSERT_TRUE(Kavrin::writeFrame(fd, std::string()));
    ASSERT_TRUE(Kavrin::readFrame(fd, &answer, 5000));
    ASSERT_TRUE(resp.ParseFromString(answer));
    EXPECT_FALSE(resp.failed());
    EXPECT_EQ(0, resp.response_size());
    ::close(fd);
}

// ------------------------------------------------------------------ addressing

TEST_F(SmbusdTest, AnEmptyAddressNaksAndStopsTheBatch) {
    auto resp = send({rd(72, 0, 2), rd(73, 0, 2), rd(72, 0, 2)});
    EXPECT_TRUE(resp.failed());
    EXPECT_EQ("no device at SCD pci 0x100 accel 0 bus 3 address 0x49", resp.error());
    EXPECT_EQ(1, resp.response_size());
}

TEST_F(SmbusdTest, MasterKindPciAcceleratorAndBusAllSelectTheChip) {
    struct Case {
        const char* what;
        Req req;
        bool answers;
    };
    Req wrongPci = rd(35, 0x20, 1);
    wrongPci.pci = 257;
    Req wrongAccel = rd(35, 0x20, 1);
    wrongAccel.accel = 1;
    Req wrongMaster = rd(35, 0x20, 1);
    wrongMaster.master = Smbus::MASTER_CELESTICA;
    Req i2c = rd(16, 5, 1, 7);
    i2c.master = Smbus::MASTER_SIMULATED_I2C;
    i2c.pci = 99;
    i2c.accel = 5;  // ignored under an I2C medium
    Req realI2c = i2c;
    realI2c.master = Smbus::MASTER_I2C;
    Req cel = rd(33, 0, 1, 5);
    cel.master = Smbus::MASTER_CELESTICA;
    cel.accel = 2;
    cel.pci = 7;  // a Celestica medium has no pci
    Req celOtherAccel = cel;
    celOtherAccel.accel = 1;
    Req io = rd(34, 0, 1, 9);
    io.master = Smbus::MASTER_IOPORT;
    io.accel = 0;  // whatever the address word says
    std::vector<Case> cases = {
        {"Celestica accelerator and bus", cel, true}, {"Celestica, other accelerator", celOtherAccel, false},
        {"IOPort bus", io, true},
        {"right place", rd(35, 0x20, 1), true},  {"other pci", wrongPci, false},
        {"other accelerator", wrongAccel, false}, {"other master kind", wrongMaster, false},
        {"other bus", rd(35, 0x20, 1, 4), false}, {"simulated I2C ignores pci and accel", i2c, true},
        {"I2C that is not simulated", realI2c, false},
    };
    for (const auto& c : cases) {
        auto resp = send({c.req});
        EXPECT_EQ(c.answers, !resp.failed()) << c.what << ": " << resp.error();
    }
    EXPECT_EQ("77", hex(readOne(i2c)));
}

TEST_F(SmbusdTest, DevicesBehindAMuxAnswerOnlyOnTheirChannel) {
    const uint32_t muxBus = 4, topBusOfChannels = 4;
    // Disconnected at start: nothing answers at 0x50 on the top bus.
    auto resp = send({rd(80, 0, 3, topBusOfChannels)});
    EXPECT_TRUE(resp.failed());

    // select channel 1, read, reset: the batch the library frames around a device.
    resp = send({wr(112, 16, bytes({1}), muxBus), rd(80, 0, 3, topBusOfChannels), wr(112, 16, bytes({0}), muxBus)});
    ASSERT_FALSE(resp.failed()) << resp.error();
    ASSERT_EQ(3, resp.response_size());
    EXPECT_EQ("11 12 13", hex(resp.response(1).data()));

    resp = send({wr(112, 16, bytes({2}), muxBus), rd(80, 0, 3, topBusOfChannels), wr(112, 16, bytes({0}), muxBus)});
    ASSERT_FALSE(resp.failed()) << resp.error();
    EXPECT_EQ("21 22 23", hex(resp.response(1).data()));

    // After the reset write the channel is gone again; an unknown channel reaches nothing.
    EXPECT_TRUE(send({rd(80, 0, 1, topBusOfChannels)}).failed());
    resp = send({wr(112, 16, bytes({9}), muxBus), rd(80, 0, 1, topBusOfChannels)});
    EXPECT_TRUE(resp.failed());
    EXPECT_EQ(1, resp.response_size());
    EXPECT_EQ("09\n", d.ctl({"read", "mux", "16"}));
}

// ------------------------------------------------------------------ chips

TEST_F(SmbusdTest, Tmp75TemperatureSetThroughControlReadsAsAWord) {
    struct Case {
        const char* conf;  // CONF value written first (resolution bits 6-5)
        const char* temperature;
        uint8_t low, high;  // word: low = integer degrees, high = fraction
    };
    std::vector<Case> cases = {
        {"0x40", "25.125", 0x19, 0x20},  {"0x40", "-0.125", 0xFF, 0xE0}, {"0x40", "-128", 0x80, 0x00},
        {"0x00", "25.125", 0x19, 0x00},  {"0x00", "25.5", 0x19, 0x80},   {"0x60", "25.0625", 0x19, 0x10},
        {"0x20", "25.8", 0x19, 0xC0},    {"0x40", "200", 0x7F, 0xE0},
    };
    for (const auto& c : cases) {
        d.ctl({"write", "temp", "1", c.conf});
        d.ctl({"prop", "temp", "temperature", c.temperature});
        uint16_t w = readWord(72, 0);
        EXPECT_EQ(c.low, w & 0xFF) << c.temperature << " conf " << c.conf;
        EXPECT_EQ(c.high, w >> 8) << c.temperature << " conf " << c.conf;
    }
    // The configuration register reads back; a register the chip lacks NAKs.
    EXPECT_EQ("40", hex(readOne(rd(72, 1, 1))));
    EXPECT_TRUE(send({rd(72, 7, 1)}).failed());
    // Power-on resolution is 9 bits.
    ASSERT_TRUE(d.restart());
    sock.close();
    d.ctl({"prop", "temp", "temperature", "25.875"});
    EXPECT_EQ(0x8019, readWord(72, 0));
}

TEST_F(SmbusdTest, PmbusReadingsUseLinear11AndLinear16) {
    struct Case {
        const char* prop;
        const char* value;
        uint8_t command;
    };
    std::vector<Case> cases = {
        {"vin", "11.71875", 0x88}, {"iin", "1.5", 0x89},  {"iout", "-1", 0x8C},   {"temp1", "38", 0x8D},
        {"temp2", "-0.5", 0x8E},   {"pin", "511.5", 0x97}, {"pout", "0.25", 0x96}, {"fan2_rpm", "6984", 0x91},
    };
    for (const auto& c : cases) {
        d.ctl({"prop", "psu1", c.prop, c.value});
        double got = linear11(readWord(88, c.command));
        EXPECT_DOUBLE_EQ(std::atof(c.value), got) << c.prop;
    }
    EXPECT_EQ(0xD2EE, readWord(88, 0x88)) << "11.71875 V is mantissa 750, exponent -6";

    struct Vout {
        const char* mode;
        const char* volts;
        uint16_t raw;
    };
    for (const auto& v : std::vector<Vout>{{"0x17", "12", 12 * 512}, {"0x14", "12", 12 * 4096}, {"0x17", "3.3", 1690}}) {
        d.ctl({"prop", "psu1", "vout", v.volts});
        auto resp = send({wr(88, 0x20, bytes({int(std::strtol(v.mode, nullptr, 16))})), rd(88, 0x20, 1), rd(88, 0x8B, 2)});
        ASSERT_FALSE(resp.failed()) << resp.error();
        EXPECT_EQ(std::strtol(v.mode, nullptr, 16), uint8_t(resp.response(1).data()[0]));
        const std::string& w = resp.response(2).data();
        EXPECT_EQ(v.raw, uint16_t(uint8_t(w[0]) | uint8_t(w[1]) << 8)) << v.volts << " V, mode " << v.mode;
    }
    d.ctl({"prop", "psu1", "vout_mode", "0xff"});
    d.ctl({"prop", "psu1", "vout", "12"});
    EXPECT_DOUBLE_EQ(12.0, linear11(readWord(88, 0x8B)));
}

TEST_F(SmbusdTest, PmbusStatusWordAndFans) {
    struct Case {
        const char* off;
        const char* powerGood;
        uint16_t status;
    };
    for (const auto& c : std::vector<Case>{{"0", "1", 0x0000}, {"1", "0", 0x0840}, {"0", "0", 0x0800}, {"1", "1", 0x0040}}) {
        d.ctl({"prop", "psu1", "off", c.off});
        d.ctl({"prop", "psu1", "power_good", c.powerGood});
        EXPECT_EQ(c.status, readWord(88, 0x79)) << "off " << c.off << " power_good " << c.powerGood;
    }
    d.ctl({"prop", "psu1", "fan1_rpm_max", "24000"});
    ASSERT_FALSE(send({wr(88, 0x3B, bytes({25, 0}))}).failed());
    EXPECT_DOUBLE_EQ(6000.0, linear11(readWord(88, 0x90)));
    EXPECT_EQ("25\n", d.ctl({"prop", "psu1", "fan1_duty"}));
    EXPECT_EQ(25, readWord(88, 0x3B));
    EXPECT_EQ("00", hex(readOne(rd(88, 0x81, 1))));
    d.ctl({"prop", "psu1", "fan1_fault", "1"});
    EXPECT_EQ("80", hex(readOne(rd(88, 0x81, 1))));
    d.ctl({"prop", "psu1", "fan2_fault", "1"});
    EXPECT_EQ("c0", hex(readOne(rd(88, 0x81, 1))));
    EXPECT_EQ(0x0400, readWord(88, 0x79) & 0x0400) << "a fan fault shows in STATUS_WORD";
}

TEST_F(SmbusdTest, PmbusManufacturerBlocksReadTheWayThePsuBayReadsThem) {
    d.ctl({"prop", "psu1", "model", "  DPS-550\t"});
    d.ctl({"prop", "slot1", "serial", "SN 42"});  // the bay shares the supply's chip
    auto resp = send({rd(88, 0x9A, 1), rd(88, 0x9E, 1)});
    ASSERT_FALSE(resp.failed()) << resp.error();
    ASSERT_EQ(2, resp.response_size());
    int modelCount = uint8_t(resp.response(0).data()[0]), serialCount = uint8_t(resp.response(1).data()[0]);
    EXPECT_EQ(10, modelCount);
    EXPECT_EQ(5, serialCount);
    resp = send({rd(88, 0x9A, modelCount + 1), rd(88, 0x9E, serialCount + 1)});
    ASSERT_FALSE(resp.failed()) << resp.error();
    EXPECT_EQ(std::string("\x0a  DPS-550\t", 11), resp.response(0).data());
    EXPECT_EQ(std::string("\x05SN 42", 6), resp.response(1).data());
    // Longer reads are padded, block reads carry the text only.
    EXPECT_EQ(std::string("\x05SN 42\xff\xff", 8), readOne(rd(88, 0x9E, 8)));
    EXPECT_EQ("SN 42", readOne(Req{Smbus::REQUEST_BLOCK_READ, 88, 0x9E, 0, ""}));
}

TEST_F(SmbusdTest, FruEepromImageParsesBack) {
    d.ctl({"prop", "bay1", "model", "DPS550AB6A"});
    d.ctl({"prop", "bay1", "serial", "GTVD1615001656"});
    std::string img = readOne(rd(80, 0, 256));
    ASSERT_EQ(256u, img.size());
    unsigned sum = 0;
    for (int i = 0; i < 8; ++i) sum += uint8_t(img[i]);
    EXPECT_EQ(0u, sum & 0xFF) << "common header checksum";
    EXPECT_EQ(1, img[0]);
    int area = uint8_t(img[4]) * 8;
    ASSERT_EQ(8, area);
    int areaLen = uint8_t(img[area + 1]) * 8;
    ASSERT_GT(areaLen, 0);
    sum = 0;
    for (int i = 0; i < areaLen; ++i) sum += uint8_t(img[area + i]);
    EXPECT_EQ(0u, sum & 0xFF) << "product area checksum";
    std::vector<std::string> fields;
    int off = area + 3;
    while (uint8_t(img[off]) != 0xC1 && fields.size() < 10) {
        uint8_t tl = uint8_t(img[off]);
        EXPECT_EQ(3, tl >> 6) << "8-bit text fields";
        fields.push_back(img.substr(off + 1, tl & 0x3F));
        off += 1 + (tl & 0x3F);
    }
    ASSERT_GE(fields.size(), 5u);
    EXPECT_EQ("DPS550AB6A", fields[1]) << "product name carries the model";
    EXPECT_EQ("GTVD1615001656", fields[4]) << "serial number";
    // Byte reads and one-byte-offset reads see the same image; a new model rebuilds it.
    EXPECT_EQ(img.substr(11, 1), readOne(rd(80, 11, 1)));
    d.ctl({"prop", "bay1", "model", "X"});
    std::string again = readOne(rd(80, area + 3, 64));
    EXPECT_EQ("X", again.substr(1 + (uint8_t(again[0]) & 0x3F) + 1, 1));
}

TEST_F(SmbusdTest, TlvEepromImageParsesBackWithAValidCrc) {
    ASSERT_EQ(0xCBF43926u, referenceCrc32("123456789"));
    std::string head = readOne(rd(81, 0, 11));
    ASSERT_EQ(11u, head.size());
    EXPECT_EQ(std::string("TlvInfo\0\x01", 9), head.substr(0, 9));
    int total = uint8_t(head[9]) * 256 + uint8_t(head[10]);
    std::string all = readOne(rd(81, 0, 11 + total));
    std::string model, serial;
    uint32_t storedCrc = 0;
    size_t crcAt = 0;
    for (size_t off = 11; off + 2 <= all.size();) {
        uint8_t type = uint8_t(all[off]), len = uint8_t(all[off + 1]);
        std::string value = all.substr(off + 2, len);
        if (type == 0x22) model = value;
        if (type == 0x23) serial = value;
        if (type == 0xFE) {
            ASSERT_EQ(4, len);
            crcAt = off;
            for (int i = 0; i < 4; ++i) storedCrc = storedCrc << 8 | uint8_t(value[i]);
        }
        off += 2 + len;
    }
    EXPECT_EQ("TLV-PSU-9", model);
    EXPECT_EQ("TS0001", serial);
    ASSERT_EQ(all.size() - 6, crcAt) << "the CRC record is last";
    EXPECT_EQ(referenceCrc32(all.substr(0, crcAt + 2)), storedCrc);
    // 16-bit offsets: reading far beyond the image gives erased bytes.
    EXPECT_EQ("ff ff", hex(readOne(rd(81, 0x1234, 2))));
    EXPECT_TRUE(send({rd(81, 0x10000, 1)}).failed());
}

TEST_F(SmbusdTest, Max6620TachFollowsTargetAndAStallLatchesAFault) {
    // Target count 0x123 on channel 2, written as the driver does (MSB first in the word's low byte).
    uint16_t count = 0x123;
    ASSERT_FALSE(send({wr(41, 0x24, bytes({count >> 3, (count & 7) << 5}))}).failed());
    std::string tach = readOne(rd(41, 0x14, 2));
    EXPECT_EQ(count, (uint8_t(tach[0]) << 3) | (uint8_t(tach[1]) >> 5));
    EXPECT_EQ("00", hex(readOne(rd(41, 0x01, 1))));
    d.ctl({"prop", "fans", "stalled2", "1"});
    tach = readOne(rd(41, 0x14, 2));
    EXPECT_EQ(2047, (uint8_t(tach[0]) << 3) | (uint8_t(tach[1]) >> 5));
    d.ctl({"prop", "fans", "stalled2", "0"});
    EXPECT_EQ(count, (uint8_t(readOne(rd(41, 0x14, 1))[0]) << 3 | (uint8_t(readOne(rd(41, 0x15, 1))[0]) >> 5)));
    EXPECT_EQ("40", hex(readOne(rd(41, 0x01, 1)))) << "latched until read";
    EXPECT_EQ("00", hex(readOne(rd(41, 0x01, 1)))) << "cleared by the read";
}

// ------------------------------------------------------------------ bindings, kvIpmi

TEST_F(SmbusdTest, PullingAPsuIsOneCommand) {
    EXPECT_EQ("04\n", d.ctl({"read", "cpld", "0x10"})) << "present (active low 0) and power good";
    EXPECT_FALSE(send({rd(88, 0x79, 2)}).failed());
    d.ctl({"prop", "psu1", "present", "0"});
    EXPECT_EQ("01\n", d.ctl({"read", "cpld", "0x10"}));
    auto resp = send({rd(88, 0x79, 2)});
    EXPECT_TRUE(resp.failed());
    EXPECT_NE(std::string::npos, resp.error().find("no device")) << resp.error();
    d.ctl({"prop", "psu1", "present", "1"});
    d.ctl({"prop", "psu1", "power_good", "0"});
    EXPECT_EQ("00\n", d.ctl({"read", "cpld", "0x10"}));
}

TEST_F(SmbusdTest, KvIpmiAnswersFromTheBoard) {
    TestSmbusd::addBinDirToPath();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string output;
    };
    std::vector<Case> cases = {
        {{"kvIpmi", "psuSlot", "1"}, 0, "1 PS-2471-1AZ1-LF 61AZ10101E340DU\n"},
        {{"kvIpmi", "api", "psuSlot", "1"}, 0, "1 PS-2471-1AZ1-LF 61AZ10101E340DU\n"},
        {{"kvIpmi", "raw", "psuSlot", "1", "ModelNumber=vendor", "SerialNumber=serial"}, 0, "1 Emerson 61AZ10101E340DU\n"},
        {{"kvIpmi", "raw", "psuSlot", "2", "ModelNumber=0x01", "SerialNumber=0x02"}, 0, "1 TLV-PSU-9 TS0001\n"},
        {{"kvIpmi", "psuSlot", "9"}, 1, ""},
        {{"kvIpmi", "psuSlot"}, 2, ""},
        {{"kvIpmi", "raw", "psuSlot", "1"}, 2, ""},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(c.status, TestSmbusd::runProgram(c.args, &out, &err)) << c.args.back() << ": " << err;
        EXPECT_EQ(c.output, out) << c.args.back();
    }
    d.ctl({"prop", "psu1", "present", "0"});
    std::string out, err;
    EXPECT_EQ(0, TestSmbusd::runProgram({"kvIpmi", "psuSlot", "1"}, &out, &err));
    EXPECT_EQ("0 - -\n", out);
}

// ------------------------------------------------------------------ faults

TEST_F(SmbusdTest, EachFaultKindThroughTheControlClient) {
    ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "700", 1);
    struct Case {
        std::vector<std::string> fault;
        bool transportFails;
        int err;           // errno when the transport fails
        bool failed;       // service-reported failure otherwise
        int responses;     // responses for a 2-request batch otherwise
        int minMs, maxMs;  // how long the answer takes
    };
    std::vector<Case> cases = {
        {{"nak"}, false, 0, true, 0, 0, 500},
        {{"count"}, false, 0, false, 1, 0, 500},
        {{"close"}, true, ECONNRESET, false, 0, 0, 500},
        {{"garbage"}, true, EBADMSG, false, 0, 0, 500},
        {{"delay", "200"}, false, 0, false, 2, 190, 650},
        {{"delay", "3000"}, true, ETIMEDOUT, false, 0, 650, 2000},
        {{"off"}, false, 0, false, 2, 0, 500},
    };
    for (const auto& c : cases) {
        std::vector<std::string> cmd = {"fault", "temp"};
        cmd.insert(cmd.end(), c.fault.begin(), c.fault.end());
        d.ctl(cmd);
        auto t0 = std::chrono::steady_clock::now();
        auto resp = send({rd(35, 0x20, 1), rd(72, 0, 2)});
        int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
        const std::string& kind = c.fault[0];
        if (c.transportFails) {
            EXPECT_EQ("transport", resp.error()) << kind;
            EXPECT_EQ(c.err, lastErrno) << kind << ": " << std::strerror(lastErrno);
        } else {
            EXPECT_EQ(c.failed, resp.failed()) << kind << ": " << resp.error();
            if (!c.failed) {
                EXPECT_EQ(c.responses, resp.response_size()) << kind;
            }
        }
        EXPECT_GE(ms, c.minMs) << kind;
        EXPECT_LE(ms, c.maxMs) << kind;
        // A batch that does not touch the faulty chip is served normally.
        resp = send({rd(35, 0x20, 1)});
        EXPECT_FALSE(resp.failed()) << kind << " leaks to other chips: " << resp.error();
    }
    // "all" faults every batch until switched off.
    d.ctl({"fault", "all", "nak"});
    EXPECT_TRUE(send({rd(35, 0x20, 1)}).failed());
    d.ctl({"fault", "all", "off"});
    EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed());
}

TEST_F(SmbusdTest, ControlClientReportsErrors) {
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* message;
    };
    std::vector<Case> cases = {
        {{"read", "nosuch", "0"}, 1, "unknown device 'nosuch'"},
        {{"read", "nodriver", "0"}, 1, "not on a bus"},
        {{"prop", "temp", "humidity", "3"}, 1, "unknown property 'humidity'"},
        {{"prop", "temp", "temperature", "warm"}, 1, "needs a number"},
        {{"fault", "temp", "explode"}, 1, "unknown fault kind"},
        {{"fault", "temp", "delay"}, 1, "milliseconds"},
        {{"write", "cpld", "0x10", "0x100"}, 1, "bad byte"},
        {{"frobnicate"}, 1, "unknown command"},
        {{"read", "did:2", "1"}, 0, ""},
        {{"prop", "cpld", "anything", "two words"}, 0, ""},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(c.status, d.control(c.words, &out, &err)) << c.words[0];
        EXPECT_NE(std::string::npos, err.find(c.message)) << c.words[0] << ": " << err;
    }
    EXPECT_EQ("two words\n", d.ctl({"prop", "cpld", "anything"}));
    std::string list = d.ctl({"list"});
    EXPECT_NE(std::string::npos, list.find("x2 12 SmbusProxyDriver register-file SCD pci 0x100 accel 0 bus 4 address 0x50 "
                                           "via mux 10 channel 2"))
        << list;
    EXPECT_NE(std::string::npos, list.find("slot1 7 PsuSlot pmbus")) << list;
    EXPECT_NE(std::string::npos, list.find("nodriver 8 - - -")) << list;
    std::string out, err;
    EXPECT_EQ(2, TestSmbusd::runProgram({TestSmbusd::binDir() + "/zolta-smbusctl", "--control", d.dir() + "/none",
                                         "ping"},
                                        &out, &err));
}

// ------------------------------------------------------------------ robustness

int rawConnect(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the peer closed fd within ms.
bool closedByPeer(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::read(fd, &c, 1) <= 0;
}

TEST_F(SmbusdTest, GarbageAndOversizeFramesCloseOnlyThatClient) {
    struct Case {
        const char* what;
        std::string wire;
    };
    std::vector<Case> cases = {
        {"oversize length", std::string("\x7f\xff\xff\xff", 4)},
        {"length just over 1 MiB", std::string("\x00\x10\x00\x01", 4)},
        {"bytes that are no message", std::string("\x00\x00\x00\x04\xff\xff\xff\xff", 8)},
    };
    for (const auto& c : cases) {
        int fd = rawConnect(d.socketPath());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ssize_t(c.wire.size()), ::send(fd, c.wire.data(), c.wire.size(), MSG_NOSIGNAL));
        EXPECT_TRUE(closedByPeer(fd, 3000)) << c.what;
        ::close(fd);
        auto resp = send({rd(35, 0x20, 1)});
        EXPECT_FALSE(resp.failed()) << c.what << ": other clients are served: " << resp.error();
    }
    // A client that vanishes in the middle of a frame does no harm either.
    int fd = rawConnect(d.socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(6, ::send(fd, "\x00\x00\x00\x40\x0a\x02", 6, MSG_NOSIGNAL));
    ::close(fd);
    EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed());
    EXPECT_TRUE(d.running());
}

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return -1;
    char buf[1024] = {0};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const char* p = std::strrchr(buf, ')');  // fields after the command name
    if (!p || n == 0) return -1;
    long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2) return -1;
    return utime + stime;
}

TEST_F(SmbusdTest, HalfClosedAndVanishedClientsAreHandled) {
    // A client that sends and then shuts its side still gets the answer.
    int fd = rawConnect(d.socketPath());
    ASSERT_GE(fd, 0);
    Smbus::TransactionRequest tr;
    fill(&tr, {rd(35, 0x20, 1)});
    ASSERT_TRUE(Kavrin::writeFrame(fd, tr.SerializeAsString()));
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    ASSERT_TRUE(Kavrin::readFrame(fd, &answer, 3000));
    Smbus::TransactionResponse resp;
    ASSERT_TRUE(resp.ParseFromString(answer));
    EXPECT_EQ("5a", hex(resp.response(0).data()));
    ::close(fd);

    // A client that leaves while its answer is held back costs the service no CPU.
    d.ctl({"fault", "temp", "delay", "1500"});
    fd = rawConnect(d.socketPath());
    ASSERT_GE(fd, 0);
    tr.Clear();
    fill(&tr, {rd(72, 0, 2)});
    ASSERT_TRUE(Kavrin::writeFrame(fd, tr.SerializeAsString()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(fd);
    long before = cpuTicks(d.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    long after = cpuTicks(d.pid());
    ASSERT_GE(before, 0);
    EXPECT_LT(after - before, 20) << "the service spun while waiting";
    EXPECT_FALSE(send({rd(35, 0x20, 1)}).failed());
}

TEST_F(SmbusdTest, ServesSeveralClientsAtOnceAndADelayedOneBlocksNoOther) {
    d.ctl({"fault", "fans", "delay", "1500"});
    std::thread slow([this] {
        Kavrin::ZLSocket s;
        ASSERT_EQ(0, s.setup());
        Smbus::TransactionRequest tr;
        fill(&tr, {rd(41, 0x01, 1)});
        Smbus::TransactionResponse* out = nullptr;
        ASSERT_EQ(0, s.sendRequestWait(&tr, &out));
        EXPECT_EQ(1, out->response_size());
        delete out;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([t, &good] {
            Kavrin::ZLSocket s;
            if (s.setup() != 0) return;
            for (int i = 0; i < 50; ++i) {
                Smbus::TransactionRequest tr;
                uint8_t v = uint8_t(t * 50 + i);
                fill(&tr, {wr(35, 0x90 + t, std::string(1, char(v))), rd(35, 0x90 + t, 1)});
                Smbus::TransactionResponse* out = nullptr;
                if (s.sendRequestWait(&tr, &out) != 0) return;
                if (!out->failed() && out->response_size() == 2 && uint8_t(out->response(1).data()[0]) == v) {
                    ++good[t];
                }
                delete out;
            }
        });
    }
    for (auto& w : workers) w.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    slow.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(50, good[t]) << "client " << t;
    EXPECT_LT(ms, 1200) << "the delayed client held the others up";
}

TEST_F(SmbusdTest, TransactionsAreLogged) {
    send({rd(72, 0, 2), rd(73, 0, 1)});
    std::string log = d.log();
    EXPECT_NE(std::string::npos, log.find("read SCD pci 0x100 accel 0 bus 3 address 0x48 (temp) reg 0x00 len 2 -> ok"))
        << log;
    EXPECT_NE(std::string::npos, log.find("-> failed: no device at SCD pci 0x100 accel 0 bus 3 address 0x49")) << log;
}

TEST(SmbusdStartTest, RefusesABadTopologyOrState) {
    struct Case {
        const char* what;
        const char* topology;
        const char* state;
        const char* message;
    };
    std::vector<Case> cases = {
        {"not JSON", "[", "", "topology:"},
        {"not an array", "{}", "", "not an array"},
        {"unknown medium", R"([{"type": "PCIe", "ham": "x"}])", "", "unknown medium type"},
        {"state for an unknown device", kTopology, R"({"ghost": {}})", "unknown device 'ghost'"},
        {"unknown model", kTopology, R"({"temp": {"model": "lava-lamp"}})", "unknown model"},
        {"unknown property", kTopology, R"({"temp": {"properties": {"colour": 1}}})", "unknown property"},
        {"binding to nowhere", kTopology,
         R"({"psu1": {"bindings": [{"property": "present", "device": "ghost", "reg": 1, "bit": 0}]}})", "binding"},
    };
    for (const auto& c : cases) {
        TestSmbusd::Daemon d;
        EXPECT_FALSE(d.start(c.topology, c.state)) << c.what;
        EXPECT_NE(std::string::npos, d.log().find(c.message)) << c.what << ": " << d.log();
    }
}

TEST(SmbusdStartTest, StateModelOverrideAndSecondServiceOnTheSameSocket) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(kTopology, R"({"did:4": {"model": "tlv-eeprom", "properties": {"model": "M1"}}})")) << d.log();
    EXPECT_NE(std::string::npos, d.ctl({"list"}).find("bay1 4 PsuSlot tlv-eeprom")) << d.log();
    EXPECT_EQ("M1\n", d.ctl({"prop", "bay1", "model"}));
    // A second service refuses a socket that is in use and leaves it alone.
    std::string out, err;
    int rc = TestSmbusd::runProgram({TestSmbusd::binDir() + "/zolta-smbusd", "--socket", d.socketPath(), "--topology",
                                     d.dir() + "/topology.json"},
                                    &out, &err, 10000);
    EXPECT_EQ(1, rc);
    EXPECT_NE(std::string::npos, err.find("in use")) << err;
    EXPECT_EQ("pong\n", d.ctl({"ping"}));
    // A daemon that dies shows as not running; a restart on the stale socket works.
    EXPECT_TRUE(d.running());
    ::kill(d.pid(), SIGKILL);
    for (int i = 0; i < 200 && d.running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(d.running());
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_EQ("pong\n", d.ctl({"ping"}));
}

}  // namespace

namespace {

TEST(SmbusdStartTest, AMuxWithoutItsDeviceIsReportedAndItsDevicesNeverAnswer) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(R"([{"type": "I2C", "ham": "ZoltaSmbus", "id": 1,
        "devices": [{"did": 1, "label": "a", "driver": "Dummy", "address": {"address": 5}}],
        "muxes": [{"did": 9, "busses": [{"id": 2, "devices": [
          {"did": 3, "label": "b", "driver": "Dummy", "address": {"address": 6}}]}]}]}])"))
        << d.log();
    EXPECT_NE(std::string::npos, d.log().find("warning: mux 9")) << d.log();
    d.exportEnvironment();
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    for (uint32_t addr : {5u, 6u}) {
        Smbus::TransactionRequest tr;
        Req r = rd(addr, 0, 1, 1);
        r.master = Smbus::MASTER_I2C;
        fill(&tr, {r});
        Smbus::TransactionResponse* out = nullptr;
        ASSERT_EQ(0, s.sendRequestWait(&tr, &out));
        EXPECT_EQ(addr == 6, out->failed()) << "address " << addr;
        delete out;
    }
}

}  // namespace
