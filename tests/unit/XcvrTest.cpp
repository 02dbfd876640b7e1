// The transceiver kind: its two callback tables, the "id" and "type" arguments, and
// zl_xcvr_add against the port CPLDs.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>

#include "Components/Xcvr.h"
#include "Drivers/Device.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using namespace Component::LogicalDevice;

namespace {

TEST(XcvrTableTest, PortTypePartSizeAndNullWords) {
    const struct {
        const zl_word* table;
        zl_word type;
        std::string words;  // after the part size: 'x' a callback, '0' null
    } cases[] = {{SfpXcvr::callbacks, 0, "xxxxx000"}, {QsfpXcvr::callbacks, 1, "xxxxxxxx"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(c.table[0], 11 * sizeof(zl_word));
        EXPECT_EQ(c.table[ZL_XCVR_PORT_TYPE], c.type);
        // The type's part: its own size word and its callbacks (24 and 36 on a 32-bit build).
        EXPECT_EQ(c.table[ZL_XCVR_PART_SIZE], (1 + c.words.find_last_of('x') + 1) * sizeof(zl_word));
        for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(c.table[i + 3] == 0, c.words[i] == '0') << i + 3;
    }
    // Presence is no status: a port that can't be asked reports no module.
    EXPECT_EQ(SfpXcvr::getPresenceCallback(nullptr), 0);
    EXPECT_EQ(QsfpXcvr::getPresenceCallback(nullptr), 0);
    int out = -1;
    EXPECT_EQ(SfpXcvr::getRxLosCallback(nullptr, &out), ZL_STATUS_FAILED);
    EXPECT_EQ(out, -1);
}

// (Every declared argument's absence, texts and range ends: CatalogueTest and ArgReaderTest. Leading digits,
// a leading blank and each type text: the add test below.)
TEST(XcvrArgsTest, IdAndTypeConversions) {
    TestHost::clearTraces();
    const std::optional<XcvrArgs> read = readXcvrArgs({{"id", "-1"}, {"type", "qsfp+"}});
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->id, -1);
    EXPECT_TRUE(TestHost::traces().empty());
    EXPECT_FALSE(readXcvrArgs({{"id", "7"}, {"type", "SFP"}}).has_value());
    EXPECT_TRUE(TestHost::traced("Xcvr type SFP not supported", 0));
}

// ---- zl_xcvr_add against the port CPLDs on fake HAMs (dids 7600..7649) ----

class XcvrAddTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        TestHost::resetTimers();
        const std::string devices = "{\"did\":7601},{\"did\":7602},{\"did\":7603}";
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(devices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }
    void TearDown() override {
        TestHost::failTimerSet(false);
        for (zl_xcvr* record : made_) delete static_cast<QsfpXcvr*>(record->object);
        TestHost::forgetDevices({7601, 7602, 7603});
    }
    static std::string text(unsigned did, const char* driver, const std::string& driverArgs) {
        return "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + driver +
               "\",\"address\":{\"address\":35},\"driverArgs\":" + driverArgs + "}";
    }
    zl_xcvr* add(const std::string& devArgs) {
        zl_xcvr* record = zl_xcvr_add(devArgs.c_str());
        if (record != nullptr && record->callbacks == QsfpXcvr::callbacks) made_.push_back(record);
        return record;
    }
    TestHost::FakeRegistrations registrations_;  // the fake HAM of the topology's medium
    std::vector<zl_xcvr*> made_;  // QSFP records to free; the SFP ones are freed by the test
};

TEST_F(XcvrAddTest, AddMakesThePortOfItsTypeOrRefusesWithATrace) {
    zl_xcvr* qsfp = add(text(7601, "OrvikSCpldA", R"({"id":"2","type":"qsfp+"})"));
    ASSERT_NE(qsfp, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(qsfp->callbacks, QsfpXcvr::callbacks);
    EXPECT_EQ(static_cast<QsfpXcvr*>(qsfp->object)->id, 2u);
    EXPECT_EQ(&static_cast<QsfpXcvr*>(qsfp->object)->record, qsfp);
    zl_xcvr* sfp = add(text(7602, "OrvikSCpldB", R"({"id":" 48","type":"sfp+"})"));
    ASSERT_NE(sfp, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(sfp->callbacks, SfpXcvr::callbacks);
    EXPECT_EQ(static_cast<SfpXcvr*>(sfp->object)->id, 48u);
    delete static_cast<SfpXcvr*>(sfp->object);

    const std::pair<std::string, std::string> refused[] = {
        {text(7601, "OrvikSCpldA", R"({"id":"7a","type":"qsfp"})"), "QSFP port 7 is not one of its cages 1 to 6"},
        {text(7601, "OrvikSCpldA", R"({"id":"7a","type":"qsfp"})"), "consistency check failed: 1 <= id && id <= 6"},
        {text(7601, "OrvikSCpldA", R"({"id":"1","type":"sfp"})"), "Not implemented newSfpXcvr"},
        {"{", "DeviceBase::create() failed"},
    };
    for (const auto& [devArgs, trace] : refused) {
        SCOPED_TRACE(trace);
        TestHost::clearTraces();
        EXPECT_EQ(add(devArgs), nullptr);
        EXPECT_TRUE(TestHost::traced(trace, 0)) << TestHost::dumpTraces();
    }
}

TEST_F(XcvrAddTest, ADriverWhoseTimerCantBeArmedIsNotKeptAndItsTimerIsDeleted) {
    TestHost::failTimerSet(true);
    EXPECT_EQ(add(text(7603, "OrvikSCpldA", R"({"id":"1","type":"qsfp"})")), nullptr);
    EXPECT_TRUE(TestHost::traced("consistency check failed: pollStart()", 0));
    EXPECT_EQ(Component::DeviceBase::devices.count(7603), 0u);
    ASSERT_EQ(TestHost::timers().size(), 1u);
    EXPECT_TRUE(TestHost::timers().begin()->second.deleted);
}

}  // namespace
