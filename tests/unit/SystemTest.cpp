// The system object: records, its callback table, power cycle through the master CPLD and
// the reload cause the board does not provide.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"
#include "zl_api.h"

using TestHost::FakeHam;

namespace {

// Dids 7400..7499; each test has its own master CPLD did, so the driver cache gives it its own HAM.
std::string topologyWithCpld(unsigned did, const std::string& rest = ",\"driver\":null,\"address\":{\"address\":35}") {
    return TestHost::fakeHamTopology("{\"did\":" + std::to_string(did) + ",\"label\":\"MasterCpld\"" + rest + "}");
}

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        TestHost::clearTraces();
        system_ = zl_system_add("");
    }
    void TearDown() override { delete system_; }
    zl_status powercycle() { return ZL_CALLBACK(system_, ZL_SYSTEM_POWERCYCLE, zl_system_powercycle_fn)(system_); }
    // The values written by the last power cycle, after making the CPLD's HAM exist.
    std::vector<uint32_t> writtenValues(FakeHam* ham) {
        std::vector<uint32_t> values;
        for (const auto& op : ham->writes()) {
            EXPECT_EQ(op.reg, 3u);
            values.push_back(op.value);
        }
        ham->executed.clear();
        return values;
    }

    TestHost::FakeRegistrations registrations_;
    zl_system* system_ = nullptr;
};

TEST_F(SystemTest, AddMakesADistinctRecordEachTimeAndNoReloadCause) {
    std::unique_ptr<zl_system> other(zl_system_add("not even JSON"));
    ASSERT_TRUE(system_ != nullptr && other != nullptr);
    EXPECT_NE(system_, other.get());
    EXPECT_TRUE(TestHost::traced("OrvikSSystem::zl_system_add( 'not even JSON' )", 0));
    const zl_word* table = system_->callbacks;
    EXPECT_EQ(table[0], 5 * sizeof(zl_word));
    EXPECT_TRUE(table[1] == 0 && table[2] != 0 && table[3] != 0 && table[4] == 0);

    // Not provided, and the host's buffers are left as they were.
    char cause[100] = "c", text[500] = "t";
    long when = 1234;
    auto get = ZL_CALLBACK(system_, ZL_SYSTEM_GET_RELOAD_CAUSE, zl_system_get_reload_cause_fn);
    EXPECT_EQ(get(system_, cause, &when, text), ZL_STATUS_NOT_PROVIDED);
    EXPECT_TRUE(when == 1234 && std::string(cause) == "c" && std::string(text) == "t");
}

TEST_F(SystemTest, PowercycleSetsBitFourThenBitZeroOfRegisterThree) {
    ASSERT_EQ(Topology::loadTopology(topologyWithCpld(7401).c_str()), ZL_STATUS_OK);
    // The CPLD's driver object and HAM are made by the first power cycle; register 3 reads 0.
    EXPECT_EQ(powercycle(), ZL_STATUS_OK) << TestHost::dumpTraces();
    FakeHam* ham = TestHost::fakeHamFor(7401);
    ASSERT_NE(ham, nullptr);
    EXPECT_EQ(ham->driverName, "Dummy");
    EXPECT_EQ(writtenValues(ham), (std::vector<uint32_t>{0x10, 0x11}));
    ham->bytes[3] = 0x80;  // other bits are kept
    EXPECT_EQ(powercycle(), ZL_STATUS_OK);
    EXPECT_EQ(writtenValues(ham), (std::vector<uint32_t>{0x90, 0x91}));

    // A failing first read still lets the second bit go out; any failure gives FAILED.
    ham->bytes[3] = 0;
    ham->nextStatuses = {ZL_STATUS_NO_COMM, ZL_STATUS_OK, ZL_STATUS_OK};
    EXPECT_EQ(powercycle(), ZL_STATUS_FAILED);
    EXPECT_EQ(writtenValues(ham), (std::vector<uint32_t>{0x01}));
    ham->nextStatuses = {ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_FAILED};
    EXPECT_EQ(powercycle(), ZL_STATUS_FAILED);
}

TEST_F(SystemTest, PowercycleWithoutMasterCpldTouchesNothing) {
    const std::pair<const char*, std::string> cases[] = {
        {"no such label", TestHost::fakeHamTopology("{\"did\":7403,\"label\":\"OtherCpld\",\"driver\":null,"
                                                    "\"address\":{\"address\":35}}")},
        {"label without driver arguments", topologyWithCpld(7404, "")},
        {"driver that can't be made",
         topologyWithCpld(7405, ",\"driver\":\"NoSuchDriver\",\"address\":{\"address\":35}")},
    };
    for (const auto& [name, topology] : cases) {
        ASSERT_EQ(Topology::loadTopology(topology.c_str()), ZL_STATUS_OK) << name;
        std::vector<size_t> batches;
        for (FakeHam* ham : TestHost::madeFakeHams()) batches.push_back(ham->executed.size());
        EXPECT_EQ(powercycle(), ZL_STATUS_FAILED) << name;
        for (size_t k = 0; k < TestHost::madeFakeHams().size(); ++k)
            EXPECT_EQ(TestHost::madeFakeHams()[k]->executed.size(), k < batches.size() ? batches[k] : 0u);
    }
}

}  // namespace
