// The HAM base: throwing defaults, one-batch wrappers, bulk access with its word/byte
// fallback, the registry and the topology search that picks a device's HAM type.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "Ham/Ham.h"
#include "FakeHam.h"
#include "Ham/SimHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

namespace {

using Log = std::vector<std::string>;
using TestHost::FakeHam;

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

// Only the two pure operations (and a count of init calls): everything else is the base's.
class BareHam final : public Ham::Ham {
  public:
    void init() override { ++inits; }
    void prepare() override {}
    zl_status execute() override { return 0; }
    int inits = 0;
};

std::string notImplementedMessage(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const NotImplementedException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(HamDefaults, UnprovidedOperationsThrowNamingTheOperation) {
    BareHam ham;  // every default is the same one-line throw
    EXPECT_EQ("Not implemented getBlock", notImplementedMessage([&] { ham.getBlock(0, 1); }));

    FakeHam fake;  // provides everything except the 32-bit operations
    uint32_t out = 7;
    EXPECT_EQ("Not implemented addRead32", notImplementedMessage([&] { fake.read32(1, &out); }));
    EXPECT_EQ("Not implemented addWrite32", notImplementedMessage([&] { fake.write32(1, 2, false); }));
    EXPECT_EQ(7u, out);
}

// ---- one-batch wrappers ----------------------------------------------------------------

// Each wrapper's batch and output on success go through SmbusProxyTest; here a failed batch
// leaves the output alone and its status is passed up.
TEST(HamWrappers, AFailedBatchLeavesTheOutputAndPassesTheStatusUp) {
    using H = FakeHam&;
    using O = std::string*;
    const std::pair<const char*, std::function<zl_status(H, O)>> cases[] = {
        {"recv", [](H h, O o) { uint8_t v = 0x55; zl_status rc = h.recvByte(&v); return *o = hex(v), rc; }},
        {"r16 8b", [](H h, O o) { uint16_t v = 0x55; zl_status rc = h.read16(0x8b, &v); return *o = hex(v), rc; }},
        {"call 30=1234",
         [](H h, O o) { uint16_t v = 0x55; zl_status rc = h.processCall(0x30, 0x1234, &v); return *o = hex(v), rc; }},
        {"rblock 9a", [](H h, O o) { return h.readBlock(0x9a, o); }},
        {"send 55 pec", [](H h, O) { return h.sendByte(0x55, true); }},
        {"w16 22=beef pec", [](H h, O) { return h.write16(0x22, 0xbeef, true); }},
    };
    for (const auto& [batch, call] : cases) {
        FakeHam ham;
        ham.status = 4;
        ham.addRead8(0xee);  // queued and never executed: each operation starts its own batch
        std::string out = "0x55";
        EXPECT_EQ(4, call(ham, &out)) << batch;
        EXPECT_EQ(ham.traffic(), batch + std::string(" !4"));
        EXPECT_EQ("0x55", out) << batch;
    }
}

// ---- bulk access -----------------------------------------------------------------------

// Records the flag a bulk read is queued with.
struct FlagHam final : Ham::Ham {
    void prepare() override {}
    zl_status execute() override { return 0; }
    ::Ham::ResponseId addRead(uint32_t, uint32_t, bool f) override { return flag = f, 0; }
    std::string getBlock(::Ham::ResponseId, uint32_t) override { return ""; }
    bool flag = false;
};

TEST(HamBulk, WriteAndReadWithFallbackSharingOneMode) {
    using H = Ham::Ham;
    struct Case { const char* name; uint32_t modeBefore; std::deque<zl_status> statuses; bool isRead;
                  uint32_t len; zl_status rc; uint32_t modeAfter; const char* traffic; std::string readOutput; };
    const std::vector<Case> cases = {
        {"first write succeeds in bulk", H::Unknown, {0}, false, 3, 0, H::Bulk, "w 10=[61 62 63]", ""},
        {"first write fails: words and byte, Multi from then on", H::Unknown, {4, 0}, false, 3, 0, H::Multi,
         "w 10=[61 62 63] !4 | w16 10=6261, w8 12=63", ""},
        {"fallback status is the result", H::Unknown, {4, 6}, false, 2, 6, H::Multi,
         "w 10=[61 62] !4 | w16 10=6261 !6", ""},
        {"Bulk stays Bulk but falls back once", H::Bulk, {6, 0}, false, 2, 0, H::Bulk,
         "w 10=[61 62] !6 | w16 10=6261", ""},
        {"Multi skips the bulk attempt", H::Multi, {}, false, 5, 0, H::Multi, "w16 10=6261, w16 12=6463, w8 14=65", ""},
        {"first read succeeds in bulk", H::Unknown, {0}, true, 4, 0, H::Bulk, "r 10*4", "pqrs"},
        {"first read fails: words and byte", H::Unknown, {4, 0}, true, 3, 0, H::Multi,
         "r 10*3 !4 | r16 10, r8 12", "pqr"},
        {"Multi read skips the bulk attempt", H::Multi, {}, true, 2, 0, H::Multi, "r16 10", "pq"},
        {"failed fallback read leaves nothing", H::Bulk, {4, 4}, true, 2, 4, H::Bulk, "r 10*2 !4 | r16 10 !4", ""},
    };
    const uint8_t data[] = {'a', 'b', 'c', 'd', 'e'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHam ham;
        for (uint32_t i = 0; i < 5; ++i) ham.bytes[0x10 + i] = static_cast<uint8_t>('p' + i);
        ham.bulkMode = c.modeBefore;
        ham.nextStatuses = c.statuses;
        std::string out = "stale";
        EXPECT_EQ(c.rc, c.isRead ? ham.read(0x10, c.len, &out, false) : ham.write(0x10, data, c.len, false));
        EXPECT_EQ(c.modeAfter, ham.bulkMode);
        EXPECT_EQ(c.traffic, ham.traffic());
        EXPECT_EQ(c.isRead ? c.readOutput : "stale", out);
    }
    // One mode for both directions: a failed bulk write sends later reads straight to words.
    FakeHam ham;
    ham.nextStatuses = {4, 0};
    EXPECT_EQ(0, ham.write(0x10, data, 2, false));
    ham.traffic();
    std::string out = "stale";
    EXPECT_EQ(0, ham.read(0x20, 2, &out, false));
    EXPECT_EQ("r16 20", ham.traffic());
    // Edge lengths of the word/byte layout; the flag goes with the bulk read.
    EXPECT_EQ(0, ham.readMulti(0x30, 0, &out));
    EXPECT_EQ("", out);
    const uint8_t ff[] = {0xff};
    EXPECT_EQ(0, ham.writeMulti(0x30, ff, 1, true));
    EXPECT_EQ(" | w8 30=ff pec", ham.traffic());
    FlagHam flagged;
    EXPECT_EQ(0, flagged.read(1, 2, &out, true));
    EXPECT_TRUE(flagged.flag);
}

// ---- the registry and the topology search -------------------------------------------------

// Registers a test HAM type for the life of the object.
struct ScopedHamType {
    ScopedHamType(const std::string& name, Ham::HamFactory factory) : name(name) { Ham::hams[name] = factory; }
    ~ScopedHamType() { Ham::hams.erase(name); }
    std::string name;
};

// One SCD (ham "ScdHam") with a device holding components 7 and 8 on bus 2, a second device
// (did 5) and a mux (did 9) whose bus 5 holds device 4; then an I2C medium (ham "I2cHam")
// whose device reuses did 5 and carries component 11, an IOPort and a Celestica medium.
const char kTopology[] = R"([
  {"type": "SCD", "ham": "ScdHam", "pci": 43981, "accelerators": [
    {"id": 1, "busses": [
      {"id": 2,
       "devices": [{"did": 3, "components": [{"uid": 7}, {"uid": 8}]}, {"did": 5}],
       "muxes": [{"did": 9, "busses": [{"id": 5, "devices": [{"did": 4}]}]}]}]}]},
  {"type": "I2C", "ham": "I2cHam", "id": 6, "devices": [{"did": 5, "components": [{"uid": 11}]}, {"did": 12}]},
  {"type": "IOPort", "ham": "IoHam", "id": 13, "devices": [{"did": 14}]},
  {"type": "Celestica", "ham": "CelHam", "accelerators": [
    {"id": 2, "busses": [{"id": 3, "devices": [{"did": 15}]}]}]}
])";

class HamSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, Topology::loadTopology(kTopology));
        savedSim_ = Utils::isInSimulation;
        Utils::isInSimulation = 0;
        TestHost::clearTraces();
    }
    void TearDown() override { Utils::isInSimulation = savedSim_; }
    int32_t savedSim_ = 0;
};

TEST_F(HamSearch, FindsByComponentOrByDid) {
    const uint32_t none = 0xFFFFFFFF;
    // foundDid 0: not found.
    const struct { const char* name; uint32_t uid, did, foundDid; std::string hamName; } cases[] = {
        {"did ignored when a component is given", 8, 5, 3, "ScdHam"},
        {"component under the I2C medium", 11, 3, 5, "I2cHam"},
        {"by did: first in walk order", none, 5, 5, "ScdHam"},
        {"by did behind a mux", none, 4, 4, "ScdHam"},  // IOPort, Celestica: createHam below
        {"did of a mux is not a device", none, 9, 0, ""},
        {"unknown component", 77, 3, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ham::SearchVisitor visitor(c.uid, c.did);
        Topology::_topology->accept(&visitor);
        EXPECT_EQ(c.foundDid != 0, visitor.found);
        EXPECT_EQ(c.foundDid, visitor.device ? visitor.device->did : 0u);
        EXPECT_EQ(c.hamName, visitor.hamName);
    }
}

// createHam: the registry's factory for the medium's HAM type, given the tree and the
// arguments, and the HAM it made initialised once.
TEST_F(HamSearch, CreateHamUsesTheMediumHamTypeOrSimHamInSimulation) {
    static Log created;
    static BareHam ham;
    created.clear();
    auto recorder = [](const std::string& name) -> Ham::HamFactory {
        return [name](const Topology::Topology& t, const Drivers::DriverArgs& a) -> Ham::Ham* {
            created.push_back(name + " " + std::to_string(a.did) + (&t == Topology::_topology ? "" : " other tree"));
            return &ham;
        };
    };
    ScopedHamType scd("ScdHam", recorder("ScdHam"));
    ScopedHamType i2c("I2cHam", recorder("I2cHam"));
    ScopedHamType null("CelHam", [](const Topology::Topology&, const Drivers::DriverArgs&) -> Ham::Ham* {
        return nullptr;
    });
    Drivers::DriverArgs args;
    args.uid = 11;  // the component's device wins over did 3
    args.did = 3;
    EXPECT_EQ(&ham, Ham::createHam(args));
    args.uid = 0xFFFFFFFF;
    EXPECT_EQ(&ham, Ham::createHam(args));
    EXPECT_EQ((Log{"I2cHam 3", "ScdHam 3"}), created);
    EXPECT_EQ(2, ham.inits);
    args.did = 15;  // a factory that fails
    EXPECT_EQ(nullptr, Ham::createHam(args));
    EXPECT_TRUE(TestHost::traced("Factory function returned, couldn't create HAM CelHam", 0)) << TestHost::dumpTraces();
    args.did = 1234;
    EXPECT_EQ(nullptr, Ham::createHam(args));
    EXPECT_TRUE(TestHost::traced("could not find component uid -1 in topology", 0)) << TestHost::dumpTraces();
    args.did = 14;  // "IoHam" is not in the registry
    EXPECT_EQ(nullptr, Ham::createHam(args));
    EXPECT_TRUE(TestHost::traced("Couldn't find HAM IoHam", 0));

    Utils::isInSimulation = 1;  // every medium gets a SimHam (the library's registered one)
    Ham::Ham* sim = Ham::createHam(args);
    EXPECT_NE(nullptr, dynamic_cast<Ham::SimHam*>(sim));
    delete static_cast<Ham::SimHam*>(sim);
}

TEST(HamSearchNoTree, CreateHamWithoutTopologyBreaksARule) {
    EXPECT_EQ(6, Topology::loadTopology("{}"));  // parses but cannot be built: no tree
    ASSERT_EQ(nullptr, Topology::_topology);
    TestHost::clearTraces();
    EXPECT_THROW(Ham::createHam(Drivers::DriverArgs()), Utils::ConsistencyError);
    EXPECT_EQ("0: consistency check failed: topology\n", TestHost::dumpTraces());
}

}  // namespace
