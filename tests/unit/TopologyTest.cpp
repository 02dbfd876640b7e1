// The hardware tree: building it from the topology document, the rules that reject a
// document, parse errors, reuse, lookups, the visitor walk and the address record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Drivers/DriverArgs.h"
#include "TestHost.h"
#include "Topology/Topology.h"

extern "C" int capiCheckRecords(void);

namespace {

using namespace Topology;
using TestHost::hasLine;

void resetTopology() {
    delete _topology;
    _topology = nullptr;
    _topology_index.clear();
    _topology_json.clear();
}

class TopologyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetTopology();
        TestHost::clearTraces();
    }
    void TearDown() override { resetTopology(); }
};

// Records every visit as "<kind> <number>" and stops at one of them.
struct RecordingVisitor : TopologyVisitor {
    explicit RecordingVisitor(std::string stop = "") : stopAt(std::move(stop)) {}
    bool visit(const Component* n) override { return record("Component ", n->uid); }
    bool visit(const Device* n) override { return record("Device ", n->did); }
    bool visit(const Mux* n) override { return record("Mux ", n->did); }
    bool visit(const Bus* n) override { return record("Bus ", n->id); }
    bool visit(const Accelerator* n) override { return record("Accelerator ", n->id); }
    bool visit(const SCD* n) override { return record("SCD ", n->pci); }
    bool visit(const I2C* n) override { return record("I2C ", n->id); }
    bool visit(const IOPort* n) override { return record("IOPort ", n->id); }
    bool visit(const Celestica*) override { return record("Celestica", -1); }
    bool visit(const Topology::Topology*) override { return record("Topology", -1); }
    bool record(std::string what, long long number) {
        seen.push_back(what += number < 0 ? "" : std::to_string(number));
        return what != stopAt;
    }
    std::string stopAt;
    std::vector<std::string> seen;
};

// Accelerators and buses deliberately out of id order, a mux with two buses, components,
// and a second medium after the first.
const char* kWalkDoc = R"([
  {"type":"SCD","ham":"ZoltaSmbus","pci":7,"accelerators":[
    {"id":2,"busses":[{"id":5,"devices":[{"did":50}]}]},
    {"id":1,"busses":[
      {"id":4,"devices":[{"did":40,"components":[{"uid":400},{"uid":401}]}],
       "muxes":[{"did":41,"busses":[{"id":1,"devices":[{"did":42}]},{"id":0,"devices":[{"did":43}]}]}]},
      {"id":3,"devices":[{"did":30}]}]}]},
  {"type":"I2C","ham":"SimHam","id":9,"devices":[{"did":90}]},
  {"type":"Celestica","ham":"CelHam","accelerators":[{"id":6}]},
  {"type":"IOPort","ham":"IoHam","id":8}
])";

const std::vector<std::string> kFullWalk = {
    "Device 30", "Bus 3",  "Component 400", "Component 401", "Device 40", "Device 43",     "Bus 0",     "Device 42",
    "Bus 1",     "Mux 41", "Bus 4",         "Accelerator 1", "Device 50", "Bus 5",         "Accelerator 2", "SCD 7",
    "Device 90", "Bus 9",  "I2C 9",         "Accelerator 6", "Celestica", "Bus 8",         "IOPort 8",  "Topology"};

TEST_F(TopologyTest, WalkIsChildrenFirstAndAStopStillVisitsEveryAncestor) {
    ASSERT_EQ(loadTopology(kWalkDoc), ZL_STATUS_OK) << TestHost::dumpTraces();
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", kFullWalk},
        // behind a mux: the mux, every bus and the root are still visited
        {"Device 43", {"Device 30", "Bus 3", "Component 400", "Component 401", "Device 40", "Device 43", "Bus 0",
                       "Mux 41", "Bus 4", "Accelerator 1", "SCD 7"}},
        {"Bus 3", {"Device 30", "Bus 3", "Accelerator 1", "SCD 7"}},  // later siblings skipped
    };
    for (const auto& [stopAt, seen] : cases) {
        SCOPED_TRACE(stopAt);
        RecordingVisitor visitor(stopAt);
        EXPECT_EQ(_topology->accept(&visitor), stopAt.empty());
        std::vector<std::string> expected = seen;
        if (expected.back() != "Topology") expected.push_back("Topology");
        EXPECT_EQ(visitor.seen, expected);
    }
    // An I2C is walked as itself through either base.
    const auto* i2c = dynamic_cast<const I2C*>(_topology->media[1].get());
    ASSERT_NE(i2c, nullptr);
    RecordingVisitor viaBus, viaMedium;
    EXPECT_TRUE(static_cast<const Bus&>(*i2c).accept(&viaBus));
    EXPECT_TRUE(static_cast<const MediumNode&>(*i2c).accept(&viaMedium));
    EXPECT_EQ(viaBus.seen, (std::vector<std::string>{"Device 90", "Bus 9", "I2C 9"}));
    EXPECT_EQ(viaMedium.seen, viaBus.seen);
}

// The fields every other test's topology relies on (pci, buses, muxes, device arguments,
// labels) are read there; here the edges: repeated keys, extreme numbers, absent members.
TEST_F(TopologyTest, BuildsEveryNodeKindWithItsFieldsAndTheFirstOfARepeatedKey) {
    const char* doc = R"([
      {"type":"SCD","type":"I2C","ham":"ZoltaSmbus","ham":"second","pci":4294967295,"pci":2,"unknown":[1,{"x":2}]},
      {"type":"I2C","ham":"SimHam","id":-1,"id":4,"simulated":true,"simulated":false,
       "devices":[{"did":1,"did":2,"label":"a","label":"b"}]},
      {"type":"I2C","ham":"SimHam","id":2},
      {"type":"IOPort","ham":"IoHam","id":2147483647,
       "devices":[{"did":10,"label":"psu1","driver":"Pmbus","address":{"address":88},"components":[{"uid":2},{"uid":1}]},
                  {"did":11}],
       "muxes":[{"did":7,"busses":[{"id":1,"devices":[{"did":1}]},{"id":1,"devices":[{"did":2}]}]}]},
      {"type":"Celestica","ham":"CelHam"}
    ])";
    ASSERT_EQ(loadTopology(doc), ZL_STATUS_OK) << TestHost::dumpTraces();
    ASSERT_EQ(_topology->media.size(), 5u);
    const auto& scd = dynamic_cast<const SCD&>(*_topology->media[0]);
    EXPECT_TRUE(scd.ham == "ZoltaSmbus" && scd.pci == 4294967295u);
    const auto& i2cNegative = dynamic_cast<const I2C&>(*_topology->media[1]);
    EXPECT_EQ(i2cNegative.id, 4294967295u);  // -1 kept as its bit pattern
    EXPECT_TRUE(i2cNegative.simulated);
    EXPECT_EQ(i2cNegative.devices[0]->did, 1u);
    EXPECT_TRUE(getDeviceByLabel("a") != nullptr && getDeviceByLabel("b") == nullptr);
    EXPECT_FALSE(dynamic_cast<const I2C&>(*_topology->media[2]).simulated);  // absent means false

    const auto& io = dynamic_cast<const IOPort&>(*_topology->media[3]);
    EXPECT_EQ(io.id, 2147483647u);
    const Device& psu = *io.devices.at(0);
    ASSERT_NE(psu.args, nullptr);
    EXPECT_EQ(psu.args->jsonText, nullptr);
    EXPECT_EQ(psu.components.at(0)->uid, 2u);    // document order
    EXPECT_EQ(io.devices.at(1)->args, nullptr);  // no driver, no address needed
    ASSERT_EQ(io.muxes[0]->busses.size(), 1u);   // the later bus with id 1 replaced the first
    EXPECT_EQ(io.muxes[0]->busses.at(1)->devices.at(0)->did, 2u);
}

// A chain of `levels` muxes, each on a bus of the one before.
std::string muxChain(int levels) {
    std::string doc = R"([{"type":"I2C","ham":"h","id":0,"muxes":[)";
    for (int i = 0; i < levels; ++i) doc += R"({"did":)" + std::to_string(i) + R"(,"busses":[{"id":0,"muxes":[)";
    for (int i = 0; i < levels; ++i) doc += "]}]}";
    return doc + "]}]";
}
std::string onBus(const std::string& device) {
    return R"([{"type":"I2C","ham":"h","id":1,"devices":[)" + device + "]}]";
}
std::string inScd(const std::string& accelerators) {
    return R"([{"type":"SCD","ham":"h","pci":1,"accelerators":)" + accelerators + "}]";
}
std::string i2c(const std::string& members) { return R"([{"type":"I2C","ham":"h","id":1)" + members + "}]"; }

const std::pair<std::string, std::string> kBrokenDocs[] = {
    // structure rules, in build order
    {R"({})", "json.IsArray()"}, {onBus(R"({"did":1,"components":[null]})"), "it->IsObject()"},
    {R"([{"ham":"h"}])", "it->HasMember( \"type\" )"}, {R"([{"type":"SCD","pci":1}])", "it->HasMember( \"ham\" )"},
    {R"([{"type":"scd","ham":"h"}])", "false && \"Unknown type\""}, {inScd("[1]"), "json.IsObject()"},
    {R"([{"type":"SCD","ham":"h"}])", "json.HasMember( \"pci\" )"}, {inScd("[{}]"), "json.HasMember( \"id\" )"},
    {i2c(R"(,"muxes":[{}])"), "json.HasMember( \"did\" )"},
    {onBus(R"({"did":1,"components":[{}]})"), "json.HasMember( \"uid\" )"}, {inScd("{}"), "accels.IsArray()"},
    {inScd(R"([{"id":1,"busses":{}}])"), "busses.IsArray()"},
    {inScd(R"([{"id":1},{"id":1}])"), "scd->accelerators.find( accel->id ) == scd->accelerators.end()"},
    {R"([{"type":"Celestica","ham":"h","accelerators":[{"id":0},{"id":0}]}])",
     "cel->accelerators.find( accel->id ) == cel->accelerators.end()"},
    {inScd(R"([{"id":1,"busses":[{"id":2},{"id":2}]}])"), "accel->busses.find( bus->id ) == accel->busses.end()"},
    {onBus(R"({"did":1,"driver":"D"})"), "json.HasMember( \"address\" )"},
    {onBus(R"({"did":1,"driver":"D","isMultiDevice":true})"), "json.HasMember( \"multiDeviceArgs\" )"},
    // the reader's own type checks
    {onBus(R"({"did":1,"label":5})"), "IsString()"}, {i2c(R"(,"simulated":"yes")"), "IsBool()"},
    {R"([{"type":"SCD","ham":"h","pci":4294967296}])", "IsUint()"},
    {onBus(R"({"did":"x","did":1})"), "IsUint()"},  // the first occurrence is checked
    {R"([{"type":"I2C","ham":"h","id":2147483648}])", "IsInt()"}, {R"([{"type":"I2C","ham":"h","id":1.0}])", "IsInt()"},
    {i2c(R"(,"devices":{})"), "IsArray()"},
    {onBus(R"({"did":1,"driver":"D","address":{"address":1,"addrSize":3}})"),  // one of FillAddress's rules
     "address.addrSize == 1 || address.addrSize == 2"},
    // the driver-argument rules of a device inside the document
    {onBus(R"({"did":1,"driver":"D","driverArgs":[],"address":{"address":1}})"), "IsObject()"},
    {onBus(R"({"did":1,"driver":"D","isMultiDevice":true,"multiDeviceArgs":{"fan":1}})"), "IsString()"},
    {muxChain(65), "muxNesting < kMaxMuxNesting"},  // muxes nested beyond any board
};

TEST_F(TopologyTest, BrokenDocumentsYieldNoTreeAndNameTheRule) {
    const std::string previous = onBus(R"({"did":77,"label":"kept"})");
    for (const auto& [doc, rule] : kBrokenDocs) {
        SCOPED_TRACE(doc);
        resetTopology();
        ASSERT_EQ(loadTopology(previous.c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
        EXPECT_EQ(loadTopology(doc.c_str()), ZL_STATUS_FAILED);
        EXPECT_TRUE(hasLine(0, "consistency check failed: " + rule)) << TestHost::dumpTraces();
        EXPECT_EQ(TestHost::traceCount("consistency check failed"), 1) << "the build stops at the first rule";
        EXPECT_TRUE(hasLine(2, "failed to create topology tree"));
        EXPECT_EQ(_topology, nullptr);
        EXPECT_EQ(_topology_json, previous);
        EXPECT_EQ(getDeviceByLabel("kept"), nullptr);
    }
}

TEST_F(TopologyTest, NestingAtTheLimitBuildsAndHugeNestingFailsWithoutCrashing) {
    ASSERT_EQ(loadTopology(muxChain(64).c_str()), ZL_STATUS_OK) << TestHost::dumpTraces();
    RecordingVisitor visitor;
    EXPECT_TRUE(_topology->accept(&visitor));
    EXPECT_EQ(visitor.seen.size(), 64u * 2 + 3);  // a bus and a mux per level, the I2C twice, the root

    const size_t depth = 200000;
    EXPECT_EQ(loadTopology((std::string(depth, '[') + std::string(depth, ']')).c_str()), ZL_STATUS_FAILED);
    EXPECT_TRUE(hasLine(0, "consistency check failed: it->IsObject()"));
    EXPECT_EQ(loadTopology(std::string(depth, '[').c_str()), ZL_STATUS_BAD_INPUT);
}

TEST(JsonNestingDepth, CountsBracketsOutsideStrings) {
    const std::pair<const char*, size_t> table[] = {
        {"5", 0}, {"[[],[[]]]", 3}, {R"({"a":[{}]})", 3}, {R"(["[[[{{"])", 1}, {"[[[", 3}, {"]]][", 1},
        {R"(["\"[[", "]"])", 1},  // an escaped quote does not end the string
        {R"(["\\", [[]]])", 3},   // an escaped backslash does not escape the quote
        {"[\"\\", 1}, {nullptr, 0},
    };
    for (const auto& [text, depth] : table) EXPECT_EQ(jsonNestingDepth(text), depth) << (text ? text : "null");
}

TEST_F(TopologyTest, TextThatIsNotJsonKeepsTheLoadedTree) {
    const struct { const char* text; std::string message; size_t offset; } cases[] = {
        {nullptr, "The document is empty.", 0},
        {"[][]", "The document root must not follow by other values.", 2},
        {"[1e400]", "Number too big to be stored in double.", 1},
    };
    const std::string good = onBus(R"({"did":5,"label":"l"})");
    ASSERT_EQ(loadTopology(good.c_str()), ZL_STATUS_OK);
    Topology::Topology* tree = _topology;
    Device* labelled = getDeviceByLabel("l");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        TestHost::clearTraces();
        EXPECT_EQ(loadTopology(c.text), ZL_STATUS_BAD_INPUT);
        EXPECT_TRUE(hasLine(2, "failed to load topology from json: " + c.message + " offset " +
                                   std::to_string(c.offset)))
            << TestHost::dumpTraces();
        EXPECT_EQ(_topology, tree);
        EXPECT_EQ(getDeviceByLabel("l"), labelled);
        EXPECT_EQ(_topology_json, good);
    }
}

TEST(ParseErrorMessage, CoversTheLastCodeAndFallsBackForOthers) {
    const std::pair<int, const char*> table[] = {
        {0, "Unknown error."}, {17, "Unspecific syntax error."}, {18, "Unknown error."}, {-1, "Unknown error."}};
    for (const auto& [code, message] : table)
        EXPECT_STREQ(parseErrorMessage(static_cast<rapidjson::ParseErrorCode>(code)), message) << code;
}

TEST_F(TopologyTest, IdenticalTextIsReusedAndAnyOtherTextRebuilds) {
    EXPECT_EQ(findDevice(0), nullptr);  // no tree yet
    _topology_json = "[]";  // text without a tree is not reused
    EXPECT_EQ(loadTopology("[]"), ZL_STATUS_OK);
    ASSERT_NE(_topology, nullptr);
    EXPECT_TRUE(_topology->media.empty());

    const std::string doc = onBus(R"({"did":1,"label":"old"})");
    for (bool afterFailure : {false, true}) {
        ASSERT_EQ(loadTopology(afterFailure ? "[1]" : doc.c_str()), afterFailure ? ZL_STATUS_FAILED : ZL_STATUS_OK);
        Topology::Topology* first = _topology;
        EXPECT_EQ(loadTopology(std::string(doc).c_str()), ZL_STATUS_OK);
        EXPECT_EQ(_topology == first, !afterFailure);  // the same text after a failure is rebuilt
        EXPECT_NE(getDeviceByLabel("old"), nullptr);
    }
    const std::string second = onBus(R"({"did":2,"label":"new"})") + " ";  // differs by a blank only
    ASSERT_EQ(loadTopology(second.c_str()), ZL_STATUS_OK);
    EXPECT_EQ(getDeviceByLabel("old"), nullptr);
    EXPECT_EQ(findDevice(1), nullptr);
    ASSERT_NE(getDeviceByLabel("new"), nullptr);
    EXPECT_EQ(findDevice(2), getDeviceByLabel("new"));
    EXPECT_EQ(_topology_json, second);
}

TEST_F(TopologyTest, LabelsKeepTheLastDeviceInDocumentOrderWhileDidsFindTheFirstInWalkOrder) {
    const char* doc = R"([
      {"type":"SCD","ham":"h","pci":1,"accelerators":[
        {"id":2,"busses":[{"id":0,"devices":[{"did":1,"label":"same"},{"did":9,"label":"dup9a"}]}]},
        {"id":1,"busses":[{"id":0,"devices":[{"did":9,"label":"dup9b"}]}]}]},
      {"type":"I2C","ham":"h","id":0,"devices":[{"did":2,"label":"same"}]}
    ])";
    ASSERT_EQ(loadTopology(doc), ZL_STATUS_OK) << TestHost::dumpTraces();
    ASSERT_NE(getDeviceByLabel("same"), nullptr);
    EXPECT_EQ(getDeviceByLabel("same")->did, 2u);
    EXPECT_EQ(findDevice(9), getDeviceByLabel("dup9b"));  // accelerator 1 is walked before 2
    EXPECT_EQ(findDevice(12345), nullptr);
    EXPECT_EQ(getDeviceByLabel("missing"), nullptr);
    EXPECT_EQ(getDeviceByLabel(nullptr), nullptr);
}

constexpr uint32_t kAddrSize1 = 1u << 25;

TEST(FillAddress, PacksFieldsTruncatesAndChecksAddrSize) {
    // The packed word when valid, else the broken rule.
    const struct { const char* json; uint32_t word1; const char* rule; } cases[] = {
        // every field at once, each with a distinct pattern
        {R"({"address":85,"accel":42,"busTimeout":5,"addrSize":2,"extraDelay":1,"writeDelay":3,"readDelay":2})",
         0xbd4a8055u, nullptr},
        {R"({"address":200})", 72u | kAddrSize1, nullptr},  // low 7 bits
        {R"({"address":1,"busTimeout":9})", 1u | (1u << 22) | kAddrSize1, nullptr},
        {R"({"address":1,"writeDelay":7})", 1u | (3u << 28) | kAddrSize1, nullptr},
        {R"({"address":1,"readDelay":5})", 1u | (1u << 30) | kAddrSize1, nullptr},
        {R"({"address":1,"extraDelay":2})", 1u | kAddrSize1, nullptr},  // low bit only
        {R"({"address":1,"accel":200})", 1u | (72u << 14) | kAddrSize1, nullptr},
        {R"({"address":1,"addrSize":6})", 1u | (2u << 25), nullptr},  // stores 2
        {R"({"address":1,"addrSize":3})", 0, "address.addrSize == 1 || address.addrSize == 2"},
        {R"({"accel":1})", 0, "value.HasMember( \"address\" )"}, {R"([{"address":1}])", 0, "value.IsObject()"},
        {R"({"address":4294967296})", 0, "IsUint()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        TestHost::clearTraces();
        rapidjson::Document doc;
        doc.Parse(c.json);
        KhamAddress address;
        address.reg = 0x1234;
        address.setWord1(0xFFFFFFFFu);
        if (c.rule) {
            EXPECT_THROW(fillAddressFromJSON(doc, address), Utils::ConsistencyError);
            EXPECT_TRUE(hasLine(0, std::string("consistency check failed: ") + c.rule)) << TestHost::dumpTraces();
            EXPECT_EQ(address.reg, 0x1234u);  // left as it was
            EXPECT_EQ(address.word1(), 0xFFFFFFFFu);
        } else {
            fillAddressFromJSON(doc, address);
            EXPECT_EQ(address.reg, 0u);
            EXPECT_EQ(address.word1(), c.word1) << std::hex << address.word1();
        }
    }
}

TEST(CApi, HeaderIsUsableFromC) { EXPECT_EQ(capiCheckRecords(), 0); }

}  // namespace
