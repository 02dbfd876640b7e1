// The SMBus HAM: what each queued operation puts into the request, what the topology walk
// fills in (address word, bus, accelerator, bus master, PCI address, muxes), the mux frame
// around every batch, and the statuses of a faulty or absent service.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "FakeHam.h"
#include "FakeService.h"
#include "Ham/ZoltaSmbusHam.h"
#include "LibraryInit.h"
#include "TestHost.h"
#include "Topology/Topology.h"

namespace {

using TestHost::FakeService;

// SCD (pci 0x12345678) / accelerator 3 / bus 9: device 7020 (component 7021), the mux's own
// device 7030 at 0x70 (writes the channel to its register 0 to select, 0 to reset) and mux
// 7030 whose bus 4 holds device 7031 and mux 7032 (declared without a driver) whose bus 2
// holds 7033; mux 7034 has no device at all and bus 1 holds 7035. Then a simulated I2C, a
// real I2C, an IOPort and a Celestica medium.
const char kTopology[] = R"([
  {"type": "SCD", "ham": "ZoltaSmbus", "pci": 305419896, "accelerators": [
    {"id": 3, "busses": [
      {"id": 9,
       "devices": [{"did": 7020, "components": [{"uid": 7021}]},
                   {"did": 7030, "driver": "OrvikSXcvrMux", "address": {"address": 112},
                    "driverArgs": {"reg": "0", "reset": "0"}},
                   {"did": 7032}],
       "muxes": [{"did": 7030, "busses": [{"id": 4, "devices": [{"did": 7031}]}]},
                 {"did": 7032, "busses": [{"id": 2, "devices": [{"did": 7033}]}]},
                 {"did": 7034, "busses": [{"id": 1, "devices": [{"did": 7035}]}]}]}]}]},
  {"type": "I2C", "ham": "ZoltaSmbus", "simulated": true, "id": 5, "devices": [{"did": 7040}]},
  {"type": "I2C", "ham": "ZoltaSmbus", "id": 6, "devices": [{"did": 7041}]},
  {"type": "IOPort", "ham": "ZoltaSmbus", "id": 7, "devices": [{"did": 7050}]},
  {"type": "Celestica", "ham": "ZoltaSmbus", "accelerators": [
    {"id": 130, "busses": [{"id": 200, "devices": [{"did": 7060}]}]}]}
])";

// A test frees the HAMs it made (and with them the muxes they were given).
using HamPtr = std::unique_ptr<Ham::ZoltaSmbusHam>;

Topology::KhamAddress addressOf(const Smbus::Request& r) {
    Topology::KhamAddress a;
    a.setWord1(static_cast<uint32_t>(r.address() >> 32));
    return a;
}

class ZoltaSmbusHamTest : public TestHost::ServiceTest {
  protected:
    ZoltaSmbusHamTest() : ServiceTest(kTopology, {7030}) {}  // the mux's own driver object

    // The HAM of a device (by did, or by component uid), built and initialised as the
    // registry does it.
    HamPtr make(uint32_t did, uint32_t uid = 0xFFFFFFFF, const Topology::KhamAddress& address = {}) {
        Drivers::DriverArgs args;
        args.did = did;
        args.uid = uid;
        args.address = address;
        if (address.address == 0) args.address.address = 0x50;
        Ham::Ham* ham = Ham::ZoltaSmbusHam::create(*Topology::_topology, args);
        if (ham != nullptr) ham->init();
        return HamPtr(static_cast<Ham::ZoltaSmbusHam*>(ham));
    }
    Smbus::TransactionRequest lastRequest() {
        auto all = service_.requests();
        return all.empty() ? Smbus::TransactionRequest() : all.back();
    }
};

TEST_F(ZoltaSmbusHamTest, AddressWordFromArgumentsAndTopology) {
    Topology::KhamAddress address;
    address.address = 0x50;
    address.accel = 1;     // replaced by the accelerator's id
    address.addrSize = 2;  // always sent as 1
    address.busTimeout = 5;
    address.readDelay = 3;
    auto ham = make(7020, 0xFFFFFFFF, address);
    ASSERT_NE(nullptr, ham);
    ham->prepare();
    ham->addRead8(0x8b);
    ham->addRead(0x10, 4, true);
    ASSERT_EQ(0, ham->execute());
    Smbus::TransactionRequest sent = lastRequest();
    ASSERT_EQ(2, sent.request_size());
    const uint32_t expected = 0x50u | (9u << 7) | (3u << 14) | (5u << 22) | (1u << 25) | (3u << 30);
    EXPECT_EQ(0x8bu, sent.request(0).address() & 0xFFFFFFFFu);
    EXPECT_EQ(expected, uint32_t(sent.request(0).address() >> 32));
    EXPECT_EQ(0x10u, sent.request(1).address() & 0xFFFFFFFFu);
    EXPECT_EQ(expected | (1u << 21), uint32_t(sent.request(1).address() >> 32));  // requestFlag
    EXPECT_EQ(0x50, ham->getAddress());
    EXPECT_EQ(9, ham->getBus());
    ham->setAddress(0xD0);  // both keep seven bits
    ham->setBus(0x85);
    EXPECT_EQ(0x50, ham->getAddress());
    EXPECT_EQ(0x05, ham->getBus());
}

TEST_F(ZoltaSmbusHamTest, MasterTypeAndPciFromTheMedium) {
    const struct {
        const char* name;
        uint32_t did;
        Smbus::MasterType master;
        uint32_t pci, bus, accel;
    } cases[] = {
        {"SCD", 7020, Smbus::MASTER_SCD, 0x12345678, 9, 3},
        {"simulated I2C", 7040, Smbus::MASTER_SIMULATED_I2C, 0, 5, 0},
        {"I2C", 7041, Smbus::MASTER_I2C, 0, 6, 0},
        {"IOPort", 7050, Smbus::MASTER_IOPORT, 0, 7, 0},
        {"Celestica", 7060, Smbus::MASTER_CELESTICA, 0, 200 & 0x7F, 130 & 0x7F},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto ham = make(c.did);
        ASSERT_NE(nullptr, ham);
        ASSERT_EQ(0, ham->write8(0x01, 0x02, false));
        Smbus::TransactionRequest sent = lastRequest();
        ASSERT_EQ(1, sent.request_size());
        EXPECT_EQ(c.master, sent.request(0).mastertype());
        EXPECT_EQ(c.pci, sent.request(0).pci());
        EXPECT_EQ(c.bus, addressOf(sent.request(0)).bus);
        EXPECT_EQ(c.accel, addressOf(sent.request(0)).accel);
        EXPECT_EQ(1u, addressOf(sent.request(0)).addrSize);
    }
    EXPECT_EQ(nullptr, make(123456));  // the search itself: HamTest
}

TEST_F(ZoltaSmbusHamTest, EachOperationFillsItsRequest) {
    const uint8_t bytes[] = {0xde, 0xad, 0xbe};
    const struct {
        std::function<void(Ham::ZoltaSmbusHam&)> queue;
        Smbus::RequestType type;
        uint32_t command, length;
        bool pec;
        std::string data;  // none sent when empty
    } cases[] = {
        {[](auto& h) { h.addRecvByte(); }, Smbus::REQUEST_READ, 0, 0, false, ""},
        {[](auto& h) { h.addRead(0x40, 7, false); }, Smbus::REQUEST_READ, 0x40, 7, false, ""},
        {[](auto& h) { h.addReadBlock(0x9a); }, Smbus::REQUEST_BLOCK_READ, 0x9a, 0, false, ""},
        {[](auto& h) { h.addSendByte(0x55, true); }, Smbus::REQUEST_WRITE, 0x55, 0, true, ""},
        {[](auto& h) { h.addWrite8(0x02, 0xe0, false); }, Smbus::REQUEST_WRITE, 0x02, 1, false, "\xe0"},
        {[](auto& h) { h.addWrite16(0x3b, 0x1234, true); }, Smbus::REQUEST_WRITE, 0x3b, 2, true, "\x34\x12"},
        {[&](auto& h) { h.addWrite(0x60, bytes, 3, false); }, Smbus::REQUEST_WRITE, 0x60, 3, false, "\xde\xad\xbe"},
        {[&](auto& h) { h.addWriteBlock(0x61, bytes, 2, true); }, Smbus::REQUEST_BLOCK_WRITE, 0x61, 2, true,
         "\xde\xad"},
        {[](auto& h) { h.addProcessCall(0x70, 0xa1b2); }, Smbus::REQUEST_PROCESS_CALL, 0x70, 2, false, "\xb2\xa1"},
    };
    auto ham = make(7041);
    ASSERT_NE(nullptr, ham);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ham->prepare();
        c.queue(*ham);
        ASSERT_EQ(1, ham->request_.request_size());
        const Smbus::Request& r = ham->request_.request(0);
        EXPECT_EQ(c.type, r.type());
        EXPECT_EQ(c.command, static_cast<uint32_t>(r.address() & 0xFFFFFFFF));
        EXPECT_EQ(c.length, r.length());
        EXPECT_TRUE(r.has_pec() && r.pec() == c.pec);
        EXPECT_EQ(!c.data.empty(), r.has_data());
        EXPECT_EQ(c.data, r.data());
    }
}

TEST_F(ZoltaSmbusHamTest, IdsAndResults) {
    auto ham = make(7041);
    ham->prepare();
    EXPECT_EQ(0u, ham->addRead8(0x10));
    ham->addWrite8(0x11, 1, false);  // a write takes an id too
    EXPECT_EQ(2u, ham->addRead16(0x20));
    EXPECT_EQ(3u, ham->addReadBlock(0x30));
    ASSERT_EQ(0, ham->execute());
    EXPECT_EQ(0x10, ham->get8(0));
    EXPECT_EQ(0x2120, ham->get16(2));
    EXPECT_EQ("\x30\x31\x32", ham->getBlock(3, 99));  // the data whatever len says
    ham->prepare();  // a new batch starts at id 0 (and drops the old requests: EachOperationFillsItsRequest)
    EXPECT_EQ(0u, ham->addRecvByte());
}

TEST_F(ZoltaSmbusHamTest, RetriesOnlyAfterRetryCountIs) {
    auto ham = make(7041);
    ASSERT_EQ(0, ham->write8(0x01, 1, false));
    EXPECT_FALSE(lastRequest().has_retries());
    for (uint32_t retries : {0u, 3u}) {
        ham->retryCountIs(retries);
        ASSERT_EQ(0, ham->write8(0x01, 1, false));
        EXPECT_TRUE(lastRequest().has_retries() && lastRequest().retries() == retries) << retries;
    }
}

TEST_F(ZoltaSmbusHamTest, MuxSelectBeforeAndResetAfterEveryBatch) {
    Topology::KhamAddress address;
    address.address = 0x51;
    auto ham = make(7031, 0xFFFFFFFF, address);
    ASSERT_NE(nullptr, ham);
    ASSERT_EQ(1u, ham->muxes.size());
    for (int batch = 0; batch < 2; ++batch) {
        uint16_t word = 0;
        ASSERT_EQ(0, ham->read16(0x8b, &word));
        EXPECT_EQ(0x8c8b, word);  // response entry 1: entry 0 answers the select
        // channel 4 written to the mux device's register 0, the read, 0 written: all on bus 9
        const Smbus::TransactionRequest sent = lastRequest();
        EXPECT_EQ("w112:0=4 r81:139 w112:0=0", shape(sent)) << batch;
        for (const auto& r : sent.request()) EXPECT_EQ(9u, addressOf(r).bus);
    }
    // The service must answer the mux requests too.
    service_.setHandler([](const Smbus::TransactionRequest&) {
        Smbus::TransactionResponse r;
        r.add_response()->set_data("\x01\x02", 2);
        return FakeService::Answer::reply(r);
    });
    uint16_t word = 0x5555;
    EXPECT_EQ(6, ham->read16(0x8b, &word));
    EXPECT_EQ(0x5555, word);
    EXPECT_TRUE(TestHost::traced("execute: invalid number of response entries; expected 3, got 1", 3));
}

TEST_F(ZoltaSmbusHamTest, MuxWithoutDriverArgumentsBreaksARule) {
    // 7033 is behind mux 7032, whose device has no driver; 7035 is behind mux 7034, which has no device.
    for (uint32_t did : {7033u, 7035u}) {
        SCOPED_TRACE(did);
        Drivers::DriverArgs args;
        args.did = did;
        args.uid = 0xFFFFFFFF;
        auto create = [&] { Ham::ZoltaSmbusHam::create(*Topology::_topology, args); };
        EXPECT_EQ(TestHost::brokenRule(create), "topoDev->args");
    }
}

// ---- what the service answers ----------------------------------------------------------

Smbus::TransactionResponse entries(int n, bool failed = false, const char* error = nullptr) {
    Smbus::TransactionResponse r;
    for (int i = 0; i < n; ++i) r.add_response()->set_data("\x2a", 1);
    if (failed) r.set_failed(true);
    if (error) r.set_error(error);
    return r;
}

TEST_F(ZoltaSmbusHamTest, FailureStatuses) {
    using A = FakeService::Answer;
    const struct {
        A answer;
        zl_status status;
        std::string trace;
    } cases[] = {
        {A::rawFrame("\xff\xff\xff"), 4,
         "execute: error. " + std::to_string(EBADMSG) + ", " + std::strerror(EBADMSG)},  // garbage
        {A::close(), 4, "execute: error. " + std::to_string(ECONNRESET)},
        {A::reply(entries(2, true, "bus 9 stuck")), 6, "execute: failure in response bus 9 stuck"},
        {A::reply(entries(3)), 6, "execute: invalid number of response entries; expected 2, got 3"},
    };
    auto ham = make(7041);
    ASSERT_NE(nullptr, ham);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        service_.setHandler([&](const Smbus::TransactionRequest&) { return c.answer; });
        TestHost::clearTraces();
        ham->prepare();
        ham->addRead8(0x01);
        ham->addRead8(0x02);
        EXPECT_EQ(c.status, ham->execute());
        EXPECT_TRUE(TestHost::traced(c.trace, 3)) << TestHost::dumpTraces();
        if (c.status == 4) {
            EXPECT_EQ(0, ham->response_.response_size());
        }
        // The next batch reaches a well-behaved service again (over a new connection if needed).
        service_.setHandler(&FakeService::deviceAnswer);
        uint8_t v = 0;
        EXPECT_EQ(0, ham->read8(0x07, &v));
        EXPECT_EQ(7, v);
    }
    // No service socket at all is a transport failure.
    Kavrin::ZLSocket* mine = _zlSock;
    _zlSock = nullptr;
    uint8_t v = 0x55;
    EXPECT_EQ(4, ham->read8(0x01, &v));
    EXPECT_EQ(0x55, v);
    _zlSock = mine;
}

TEST_F(ZoltaSmbusHamTest, WrongDataLengthAndBadIdsBreakRules) {
    auto ham = make(7041);
    // A byte read answered with two bytes, a word read with one.
    service_.setHandler([](const Smbus::TransactionRequest& request) {
        Smbus::TransactionResponse r;
        for (const Smbus::Request& q : request.request())
            r.add_response()->set_data(q.length() == 1 ? std::string("\x01\x02", 2) : std::string("\x01", 1));
        return FakeService::Answer::reply(r);
    });
    ham->prepare();
    Ham::ResponseId b = ham->addRead8(0x01);
    Ham::ResponseId w = ham->addRead16(0x02);
    ASSERT_EQ(0, ham->execute());
    const std::string outOfRange = "( uint32_t )response_.response_size() > prepareRequestCount_ + idx";
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"data.size() == 1", [&] { ham->get8(b); }},
        {"data.size() == 2", [&] { ham->get16(w); }},
        {"idx != INVALID_RESPONSE_ID", [&] { ham->get8(Ham::INVALID_RESPONSE_ID); }},
        {outOfRange, [&] { ham->get8(2); }},
        {outOfRange, [&] { ham->getBlock(0xFFFFFFFE, 0); }},  // no wrap-around
    };
    for (const auto& [rule, fn] : cases) EXPECT_EQ(rule, TestHost::brokenRule(fn));
    uint8_t v = 0x55;  // through a callback's guard a broken rule is status 6
    EXPECT_EQ(6, Utils::guardCallback([&] { return ham->read8(0x01, &v); }));
    EXPECT_EQ(0x55, v);
    ham->prepare();  // before any execute the answer is empty
    EXPECT_THROW(ham->get8(0), Utils::ConsistencyError);
}

}  // namespace
