// The HAM base: throwing defaults, one-batch wrappers, bulk access with its word/byte
// fallback, the registry and the topology search that picks a device's HAM type.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "Ham/Ham.h"
#include "Ham/SimHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

namespace {

// A HAM that records every call and answers reads from tables; execute() returns the
// scripted statuses in order (0 once the script is used up).
class ScriptedHam final : public Ham::Ham {
  public:
    void prepare() override {
        log.push_back("prepare");
        regs.clear();
    }
    zl_status execute() override {
        log.push_back("execute");
        zl_status rc = 0;
        if (!statuses.empty()) {
            rc = statuses.front();
            statuses.pop_front();
        }
        return rc;
    }
    ::Ham::ResponseId addRecvByte() override { return queue("recvByte", 0); }
    ::Ham::ResponseId addRead8(uint32_t reg) override { return queue("read8", reg); }
    ::Ham::ResponseId addRead16(uint32_t reg) override { return queue("read16", reg); }
    ::Ham::ResponseId addRead(uint32_t reg, uint32_t len, bool flag) override {
        return queue("read len=" + std::to_string(len) + (flag ? " flag" : ""), reg);
    }
    ::Ham::ResponseId addReadBlock(uint32_t reg) override { return queue("readBlock", reg); }
    ::Ham::ResponseId addProcessCall(uint32_t reg, uint16_t value) override {
        return queue("processCall " + hex(value), reg);
    }
    void addSendByte(uint8_t byte, bool pec) override { queue(std::string("sendByte") + (pec ? " pec" : ""), byte); }
    void addWrite8(uint32_t reg, uint8_t value, bool pec) override {
        queue("write8 " + hex(value) + (pec ? " pec" : ""), reg);
    }
    void addWrite16(uint32_t reg, uint16_t value, bool pec) override {
        queue("write16 " + hex(value) + (pec ? " pec" : ""), reg);
    }
    void addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) override {
        queue("write " + std::string(reinterpret_cast<const char*>(data), len) + (pec ? " pec" : ""), reg);
    }
    void addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool) override {
        queue("writeBlock " + std::string(reinterpret_cast<const char*>(data), len), reg);
    }
    uint8_t get8(::Ham::ResponseId id) override { return static_cast<uint8_t>(regs.at(id) + 1); }
    uint16_t get16(::Ham::ResponseId id) override { return static_cast<uint16_t>(0xA000 + regs.at(id)); }
    std::string getBlock(::Ham::ResponseId id, uint32_t len) override {
        return "block@" + hex(regs.at(id)) + " len=" + std::to_string(len);
    }

    static std::string hex(uint32_t v) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
    }

    std::vector<std::string> log;
    std::deque<zl_status> statuses;

  private:
    ::Ham::ResponseId queue(const std::string& what, uint32_t reg) {
        log.push_back(what + " @" + hex(reg));
        regs.push_back(reg);
        return static_cast<::Ham::ResponseId>(regs.size() - 1);
    }
    std::vector<uint32_t> regs;
};

// Only the two pure operations: everything else is the base's default.
class BareHam final : public Ham::Ham {
  public:
    void prepare() override {}
    zl_status execute() override { return 0; }
};

using Log = std::vector<std::string>;

std::string notImplementedMessage(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const NotImplementedException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(HamDefaults, UnprovidedOperationsThrowNamingTheOperation) {
    BareHam ham;
    const uint8_t data[2] = {1, 2};
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"addRecvByte", [&] { ham.addRecvByte(); }},
        {"addRead8", [&] { ham.addRead8(1); }},
        {"addRead16", [&] { ham.addRead16(1); }},
        {"addRead32", [&] { ham.addRead32(1); }},
        {"addRead", [&] { ham.addRead(1, 2, false); }},
        {"addReadBlock", [&] { ham.addReadBlock(1); }},
        {"addSendByte", [&] { ham.addSendByte(1, false); }},
        {"addWrite8", [&] { ham.addWrite8(1, 2, false); }},
        {"addWrite16", [&] { ham.addWrite16(1, 2, false); }},
        {"addWrite32", [&] { ham.addWrite32(1, 2, false); }},
        {"addWrite", [&] { ham.addWrite(1, data, 2, false); }},
        {"addWriteBlock", [&] { ham.addWriteBlock(1, data, 2, false); }},
        {"addProcessCall", [&] { ham.addProcessCall(1, 2); }},
        {"get8", [&] { ham.get8(0); }},
        {"get16", [&] { ham.get16(0); }},
        {"get32", [&] { ham.get32(0); }},
        {"getBlock", [&] { ham.getBlock(0, 1); }},
    };
    for (const auto& [name, fn] : cases) EXPECT_EQ("Not implemented " + name, notImplementedMessage(fn));
}

TEST(HamDefaults, ThirtyTwoBitWrappersThrowFromTheQueueOperation) {
    ScriptedHam ham;  // provides everything except the 32-bit operations
    uint32_t out = 7;
    EXPECT_EQ("Not implemented addRead32", notImplementedMessage([&] { ham.read32(1, &out); }));
    EXPECT_EQ("Not implemented addWrite32", notImplementedMessage([&] { ham.write32(1, 2, false); }));
    EXPECT_EQ(7u, out);
}

TEST(HamDefaults, SimulationHooksOnlyTrace) {
    TestHost::clearTraces();
    BareHam ham;
    Utils::ExpectedValues table{{1, Utils::ExpectedVal(2, 1)}};
    ham.setExpected(&table);
    ham.setDriverName("Pmbus", "psu1");
    ASSERT_EQ(2u, TestHost::traces().size());
    EXPECT_EQ(0, TestHost::traces()[0].level);
    EXPECT_EQ("virtual Ham::setExpected() invoked!!!", TestHost::traces()[0].text);
    EXPECT_EQ(0, TestHost::traces()[1].level);
    EXPECT_EQ("virtual Ham::setDriverName() invoked!!!", TestHost::traces()[1].text);
}

// ---- one-batch wrappers ----------------------------------------------------------------

struct WrapperCase {
    const char* name;
    std::function<zl_status(ScriptedHam&, std::string* out)> call;
    Log queued;              // the batch between prepare and execute
    std::string output;      // output on success
};

const std::vector<WrapperCase>& wrapperCases() {
    static const std::vector<WrapperCase> cases = {
        {"recvByte",
         [](ScriptedHam& h, std::string* out) {
             uint8_t v = 0x55;
             zl_status rc = h.recvByte(&v);
             *out = std::to_string(v);
             return rc;
         },
         {"recvByte @0x0"}, "1"},
        {"read8",
         [](ScriptedHam& h, std::string* out) {
             uint8_t v = 0x55;
             zl_status rc = h.read8(0x20, &v);
             *out = std::to_string(v);
             return rc;
         },
         {"read8 @0x20"}, "33"},
        {"read16",
         [](ScriptedHam& h, std::string* out) {
             uint16_t v = 0x5555;
             zl_status rc = h.read16(0x8b, &v);
             *out = ScriptedHam::hex(v);
             return rc;
         },
         {"read16 @0x8b"}, "0xa08b"},
        {"processCall",
         [](ScriptedHam& h, std::string* out) {
             uint16_t v = 0x5555;
             zl_status rc = h.processCall(0x30, 0x1234, &v);
             *out = ScriptedHam::hex(v);
             return rc;
         },
         {"processCall 0x1234 @0x30"}, "0xa030"},
        {"readBlock",
         [](ScriptedHam& h, std::string* out) {
             *out = "untouched";
             return h.readBlock(0x9a, out);
         },
         {"readBlock @0x9a"}, "block@0x9a len=0"},
        {"sendByte", [](ScriptedHam& h, std::string*) { return h.sendByte(0x55, true); }, {"sendByte pec @0x55"}, ""},
        {"write8", [](ScriptedHam& h, std::string*) { return h.write8(0x3b, 0x80, false); }, {"write8 0x80 @0x3b"}, ""},
        {"write16", [](ScriptedHam& h, std::string*) { return h.write16(0x22, 0xbeef, true); },
         {"write16 0xbeef pec @0x22"}, ""},
        {"writeBlock",
         [](ScriptedHam& h, std::string*) {
             const uint8_t data[] = {'a', 'b'};
             return h.writeBlock(0x40, data, 2, false);
         },
         {"writeBlock ab @0x40"}, ""},
    };
    return cases;
}

TEST(HamWrappers, OneBatchAndOutputOnSuccess) {
    for (const auto& c : wrapperCases()) {
        SCOPED_TRACE(c.name);
        ScriptedHam ham;
        std::string out;
        EXPECT_EQ(0, c.call(ham, &out));
        Log expected{"prepare"};
        expected.insert(expected.end(), c.queued.begin(), c.queued.end());
        expected.push_back("execute");
        EXPECT_EQ(expected, ham.log);
        EXPECT_EQ(c.output, out);
    }
}

TEST(HamWrappers, FailureStatusPassesUpAndLeavesOutputAlone) {
    const std::vector<std::pair<const char*, std::string>> untouched = {
        {"recvByte", "85"}, {"read8", "85"}, {"read16", "0x5555"}, {"processCall", "0x5555"},
        {"readBlock", "untouched"}};
    for (zl_status failure : {4, 6}) {
        for (const auto& c : wrapperCases()) {
            SCOPED_TRACE(std::string(c.name) + " status " + std::to_string(failure));
            ScriptedHam ham;
            ham.statuses = {failure};
            std::string out;
            EXPECT_EQ(failure, c.call(ham, &out));
            for (const auto& [name, value] : untouched)
                if (name == std::string(c.name)) {
                    EXPECT_EQ(value, out);
                }
        }
    }
}

// ---- bulk access -----------------------------------------------------------------------

struct BulkCase {
    const char* name;
    uint32_t modeBefore;
    std::deque<zl_status> statuses;
    bool isRead;
    uint32_t len;
    zl_status rc;
    uint32_t modeAfter;
    Log log;
    std::string readOutput;
};

TEST(HamBulk, WriteAndReadWithFallback) {
    using H = Ham::Ham;
    const std::vector<BulkCase> cases = {
        {"first write succeeds in bulk", H::Unknown, {0}, false, 3, 0, H::Bulk,
         {"prepare", "write abc @0x10", "execute"}, ""},
        {"first write fails: words and byte, Multi from then on", H::Unknown, {4, 0}, false, 3, 0, H::Multi,
         {"prepare", "write abc @0x10", "execute", "prepare", "write16 0x6261 @0x10", "write8 0x63 @0x12",
          "execute"},
         ""},
        {"fallback status is the result", H::Unknown, {4, 6}, false, 2, 6, H::Multi,
         {"prepare", "write ab @0x10", "execute", "prepare", "write16 0x6261 @0x10", "execute"}, ""},
        {"Bulk stays Bulk but falls back once", H::Bulk, {6, 0}, false, 2, 0, H::Bulk,
         {"prepare", "write ab @0x10", "execute", "prepare", "write16 0x6261 @0x10", "execute"}, ""},
        {"Multi skips the bulk attempt", H::Multi, {}, false, 5, 0, H::Multi,
         {"prepare", "write16 0x6261 @0x10", "write16 0x6463 @0x12", "write8 0x65 @0x14", "execute"}, ""},
        {"first read succeeds in bulk", H::Unknown, {0}, true, 4, 0, H::Bulk,
         {"prepare", "read len=4 @0x10", "execute"}, "block@0x10 len=4"},
        {"first read fails: words and byte", H::Unknown, {4, 0}, true, 3, 0, H::Multi,
         {"prepare", "read len=3 @0x10", "execute", "prepare", "read16 @0x10", "read8 @0x12", "execute"},
         std::string("\x10\xa0\x13", 3)},
        {"Multi read skips the bulk attempt", H::Multi, {}, true, 2, 0, H::Multi,
         {"prepare", "read16 @0x10", "execute"}, std::string("\x10\xa0", 2)},
        {"failed fallback read leaves nothing", H::Bulk, {4, 4}, true, 2, 4, H::Bulk,
         {"prepare", "read len=2 @0x10", "execute", "prepare", "read16 @0x10", "execute"}, ""},
    };
    const uint8_t data[] = {'a', 'b', 'c', 'd', 'e'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHam ham;
        ham.bulkMode = c.modeBefore;
        ham.statuses = c.statuses;
        std::string out = "stale";
        zl_status rc = c.isRead ? ham.read(0x10, c.len, &out, false) : ham.write(0x10, data, c.len, false);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.modeAfter, ham.bulkMode);
        EXPECT_EQ(c.log, ham.log);
        if (c.isRead) {
            EXPECT_EQ(c.readOutput, out);
        }
    }
}

TEST(HamBulk, FailedBulkWriteSendsLaterReadsStraightToWords) {
    ScriptedHam ham;
    const uint8_t data[] = {1, 2};
    ham.statuses = {4, 0};
    EXPECT_EQ(0, ham.write(0x10, data, 2, false));
    ham.log.clear();
    std::string out;
    EXPECT_EQ(0, ham.read(0x20, 2, &out, false));
    EXPECT_EQ((Log{"prepare", "read16 @0x20", "execute"}), ham.log);
}

TEST(HamBulk, ReadPassesItsFlagOnlyToTheBulkStep) {
    ScriptedHam ham;
    std::string out;
    ham.statuses = {4, 0};
    EXPECT_EQ(0, ham.read(0x10, 1, &out, true));
    EXPECT_EQ((Log{"prepare", "read len=1 flag @0x10", "execute", "prepare", "read8 @0x10", "execute"}), ham.log);
    EXPECT_EQ(std::string(1, '\x11'), out);
}

TEST(HamBulk, MultiEdgeLengths) {
    ScriptedHam ham;
    std::string out = "stale";
    EXPECT_EQ(0, ham.readMulti(0x30, 0, &out));
    EXPECT_EQ("", out);
    EXPECT_EQ((Log{"prepare", "execute"}), ham.log);

    ham.log.clear();
    const uint8_t data[] = {0xff};
    EXPECT_EQ(0, ham.writeMulti(0x30, data, 1, true));
    EXPECT_EQ((Log{"prepare", "write8 0xff pec @0x30", "execute"}), ham.log);
}

TEST(HamRetry, RetryCountIsRemembered) {
    ScriptedHam ham;
    EXPECT_FALSE(ham.retryCountSet);
    EXPECT_EQ(0u, ham.retryCount);
    EXPECT_EQ(0u, ham.bulkMode);
    ham.retryCountIs(0);
    EXPECT_TRUE(ham.retryCountSet);
    ham.retryCountIs(3);
    EXPECT_EQ(3u, ham.retryCount);
}

// ---- registry, create and createHam ------------------------------------------------------

TEST(HamRegistry, HoldsTheTwoHams) {
    // Other tests may register HAM types of their own; the library's two are always there.
    ASSERT_EQ(1u, Ham::hams.count("ZoltaSmbus"));
    ASSERT_EQ(1u, Ham::hams.count("SimHam"));
    Topology::Topology empty;
    Drivers::DriverArgs args;
    Ham::Ham* sim = Ham::hams.at("SimHam")(empty, args);
    ASSERT_NE(nullptr, dynamic_cast<Ham::SimHam*>(sim));
    delete static_cast<Ham::SimHam*>(sim);
    EXPECT_EQ(nullptr, Ham::hams.at("ZoltaSmbus")(empty, args));  // no device in an empty tree
}

// Registers a test HAM type for the life of the object.
struct ScopedHamType {
    ScopedHamType(const std::string& name, Ham::HamFactory factory) : name(name) { Ham::hams[name] = factory; }
    ~ScopedHamType() { Ham::hams.erase(name); }
    std::string name;
};

struct Recorded {
    int calls = 0;
    const Topology::Topology* topology = nullptr;
    uint32_t did = 0;
};

class InitCountingHam final : public Ham::Ham {
  public:
    void init() override { ++inits; }
    void prepare() override {}
    zl_status execute() override { return 0; }
    int inits = 0;
};

TEST(HamCreate, UnknownNameTracesAndGivesNull) {
    TestHost::clearTraces();
    Topology::Topology root;
    Drivers::DriverArgs args;
    EXPECT_EQ(nullptr, Ham::create("NoSuchHam", root, args));
    EXPECT_TRUE(TestHost::traced("Couldn't find HAM NoSuchHam", 0)) << TestHost::dumpTraces();
}

TEST(HamCreate, FactoryFailureTracesAndGivesNull) {
    ScopedHamType type("NullHam", [](const Topology::Topology&, const Drivers::DriverArgs&) -> Ham::Ham* {
        return nullptr;
    });
    TestHost::clearTraces();
    Topology::Topology root;
    Drivers::DriverArgs args;
    EXPECT_EQ(nullptr, Ham::create("NullHam", root, args));
    EXPECT_TRUE(TestHost::traced("calling NullHam factory function", 3));
    EXPECT_TRUE(TestHost::traced("Factory function returned, couldn't create HAM NullHam", 0));
}

TEST(HamCreate, PassesItsArgumentsAndRunsInit) {
    static InitCountingHam made;
    static Recorded seen;
    seen = Recorded();
    made.inits = 0;
    ScopedHamType type("CountingHam", [](const Topology::Topology& t, const Drivers::DriverArgs& a) -> Ham::Ham* {
        ++seen.calls;
        seen.topology = &t;
        seen.did = a.did;
        return &made;
    });
    TestHost::clearTraces();
    Topology::Topology root;
    Drivers::DriverArgs args;
    args.did = 42;
    EXPECT_EQ(&made, Ham::create("CountingHam", root, args));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(&root, seen.topology);
    EXPECT_EQ(42u, seen.did);
    EXPECT_EQ(1, made.inits);
    EXPECT_TRUE(TestHost::traced("looking up for CountingHam in 0x", 3));
    EXPECT_TRUE(TestHost::traced("ham initialisation", 3));
}

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
        TestHost::clearTraces();
    }
};

struct SearchCase {
    const char* name;
    uint32_t uid;
    uint32_t did;
    bool found;
    uint32_t foundDid;
    std::string hamName;
    std::vector<std::string> traces;  // the visitor's level-2 traces in order
};

TEST_F(HamSearch, FindsByComponentOrByDid) {
    const uint32_t none = 0xFFFFFFFF;
    const std::vector<SearchCase> cases = {
        {"component of device 3", 7, 999, true, 3, "ScdHam",
         {"Component 7 found in tree", "Device 3 contain the component", "BusId 2", "AccelId 1",
          "SCD 0 0000ABCD"}},
        {"did ignored when a component is given", 8, 5, true, 3, "ScdHam",
         {"Component 8 found in tree", "Device 3 contain the component", "BusId 2", "AccelId 1",
          "SCD 0 0000ABCD"}},
        {"component under the I2C medium", 11, 3, true, 5, "I2cHam",
         {"Component 11 found in tree", "Device 5 contain the component", "BusId 6", "I2C bus 6"}},
        {"by did: first in walk order", none, 5, true, 5, "ScdHam",
         {"Device 5 contain the component", "BusId 2", "AccelId 1", "SCD 0 0000ABCD"}},
        {"by did behind a mux", none, 4, true, 4, "ScdHam",
         {"Device 4 contain the component", "BusId 5", "Mux using device 9", "BusId 2", "AccelId 1",
          "SCD 0 0000ABCD"}},
        {"IOPort", none, 14, true, 14, "IoHam", {"Device 14 contain the component", "BusId 13", "IOPort"}},
        {"Celestica", none, 15, true, 15, "CelHam",
         {"Device 15 contain the component", "BusId 3", "AccelId 2", "Celestica"}},
        {"did of a mux is not a device", none, 9, false, 0, "", {}},
        {"unknown component", 77, 3, false, 0, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost::clearTraces();
        Ham::SearchVisitor visitor(c.uid, c.did);
        Topology::_topology->accept(&visitor);
        EXPECT_EQ(c.found, visitor.found);
        if (c.found) {
            ASSERT_NE(nullptr, visitor.device);
            EXPECT_EQ(c.foundDid, visitor.device->did);
        } else {
            EXPECT_EQ(nullptr, visitor.device);
        }
        EXPECT_EQ(c.hamName, visitor.hamName);
        std::vector<std::string> level2;
        for (const auto& line : TestHost::traces())
            if (line.level == 2) level2.push_back(line.text);
        EXPECT_EQ(c.traces, level2);
    }
}

// Builds a CountingHam-like HAM for any type name and records which was asked for.
struct HamTypeRecorder {
    static std::vector<std::string>& created() {
        static std::vector<std::string> names;
        return names;
    }
    static Ham::HamFactory factory(const std::string& name) {
        return [name](const Topology::Topology&, const Drivers::DriverArgs&) -> Ham::Ham* {
            created().push_back(name);
            static InitCountingHam ham;
            return &ham;
        };
    }
};

TEST_F(HamSearch, CreateHamUsesTheMediumHamType) {
    ScopedHamType scd("ScdHam", HamTypeRecorder::factory("ScdHam"));
    ScopedHamType i2c("I2cHam", HamTypeRecorder::factory("I2cHam"));
    const int32_t savedSim = Utils::isInSimulation;
    Utils::isInSimulation = 0;
    HamTypeRecorder::created().clear();

    Drivers::DriverArgs args;
    args.uid = 11;
    args.did = 3;
    EXPECT_NE(nullptr, Ham::createHam(args));
    args.uid = 0xFFFFFFFF;
    EXPECT_NE(nullptr, Ham::createHam(args));
    EXPECT_EQ((std::vector<std::string>{"I2cHam", "ScdHam"}), HamTypeRecorder::created());
    EXPECT_TRUE(TestHost::traced("looking for component 4294967295 of device 3 in topology", 0));
    EXPECT_TRUE(TestHost::traced("creating ScdHam HAM using topology information", 0));
    Utils::isInSimulation = savedSim;
}

TEST_F(HamSearch, SimulationGivesEverySimHam) {
    const int32_t savedSim = Utils::isInSimulation;
    Utils::isInSimulation = 1;
    Drivers::DriverArgs args;
    args.uid = 0xFFFFFFFF;
    args.did = 14;  // its medium says "IoHam", which is not even registered
    Ham::Ham* ham = Ham::createHam(args);
    Utils::isInSimulation = savedSim;
    ASSERT_NE(nullptr, ham);
    EXPECT_NE(nullptr, dynamic_cast<Ham::SimHam*>(ham));
    EXPECT_TRUE(TestHost::traced("creating SimHam HAM using topology information", 0));
    delete static_cast<Ham::SimHam*>(ham);
}

TEST_F(HamSearch, FailuresGiveNullWithTheirTraces) {
    const int32_t savedSim = Utils::isInSimulation;
    Utils::isInSimulation = 0;
    Drivers::DriverArgs args;
    args.uid = 0xFFFFFFFF;
    args.did = 1234;
    EXPECT_EQ(nullptr, Ham::createHam(args));
    EXPECT_TRUE(TestHost::traced("could not find component uid -1 in topology", 0)) << TestHost::dumpTraces();

    TestHost::clearTraces();
    args.did = 14;  // "IoHam" is not in the registry
    EXPECT_EQ(nullptr, Ham::createHam(args));
    EXPECT_TRUE(TestHost::traced("Couldn't find HAM IoHam", 0));
    EXPECT_TRUE(TestHost::traced("failed to create HAM", 0));
    Utils::isInSimulation = savedSim;
}

TEST(HamSearchNoTree, CreateHamWithoutTopologyBreaksARule) {
    // A text that parses but cannot be built leaves no tree.
    EXPECT_EQ(6, Topology::loadTopology("{}"));
    ASSERT_EQ(nullptr, Topology::_topology);
    TestHost::clearTraces();
    Drivers::DriverArgs args;
    try {
        Ham::createHam(args);
        FAIL() << "no consistency failure";
    } catch (const Utils::ConsistencyError& e) {
        EXPECT_EQ("topology", e.rule());
    }
    EXPECT_TRUE(TestHost::traced("consistency check failed: topology", 0));
}

}  // namespace
