// The system object: records, its callback table, power cycle through the master CPLD and
// the reload cause the board does not provide.
#include <gtest/gtest.h>

#include <cstring>

#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"
#include "zl_api.h"

using TestHost::FakeHam;

namespace {

// Dids 7400..7499 belong to this file; each test has its own master CPLD did so that the
// driver-object cache gives each its own HAM.
std::string topologyWithCpld(unsigned did) {
    return TestHost::fakeHamTopology("{\"did\":" + std::to_string(did) +
                                     ",\"label\":\"MasterCpld\",\"driver\":null,\"address\":{\"address\":35}}");
}

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        TestHost::clearTraces();
    }
    static zl_status powercycle(zl_system* system) {
        return ZL_CALLBACK(system, ZL_SYSTEM_POWERCYCLE, zl_system_powercycle_fn)(system);
    }

    TestHost::FakeRegistrations registrations_;
};

TEST_F(SystemTest, AddMakesADistinctRecordEachTime) {
    zl_system* a = zl_system_add("{\"whatever\":1}");
    zl_system* b = zl_system_add("not even JSON");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->host, 0u);
    EXPECT_EQ(a->callbacks, b->callbacks);
    EXPECT_TRUE(TestHost::traced("OrvikSSystem::zl_system_add( '{\"whatever\":1}' )", 0));
    EXPECT_TRUE(TestHost::traced("OrvikSSystem::zl_system_add( 'not even JSON' )", 0));

    const zl_word* table = a->callbacks;
    EXPECT_EQ(table[0], 5 * sizeof(zl_word));
    EXPECT_EQ(table[1], 0u);
    EXPECT_NE(table[2], 0u);
    EXPECT_NE(table[3], 0u);
    EXPECT_EQ(table[4], 0u);
    delete a;
    delete b;
}

TEST_F(SystemTest, ReloadCauseIsNotProvidedAndTouchesNothing) {
    zl_system* system = zl_system_add("");
    char cause[100];
    char text[500];
    std::memset(cause, 'c', sizeof cause);
    std::memset(text, 't', sizeof text);
    long when = 1234;
    auto get = ZL_CALLBACK(system, ZL_SYSTEM_GET_RELOAD_CAUSE, zl_system_get_reload_cause_fn);
    EXPECT_EQ(get(system, cause, &when, text), ZL_STATUS_NOT_PROVIDED);
    EXPECT_EQ(when, 1234);
    for (char ch : cause) ASSERT_EQ(ch, 'c');
    for (char ch : text) ASSERT_EQ(ch, 't');
    delete system;
}

TEST_F(SystemTest, PowercycleSetsBitFourThenBitZeroOfRegisterThree) {
    ASSERT_EQ(Topology::loadTopology(topologyWithCpld(7401).c_str()), ZL_STATUS_OK);
    zl_system* system = zl_system_add("");
    // The CPLD's driver object and HAM are made by the first power cycle; register 3 reads 0.
    EXPECT_EQ(powercycle(system), ZL_STATUS_OK) << TestHost::dumpTraces();
    FakeHam* ham = TestHost::fakeHamFor(7401);
    ASSERT_NE(ham, nullptr);
    auto writes = ham->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].reg, 3u);
    EXPECT_EQ(writes[0].value, 0x10u);
    EXPECT_EQ(writes[1].reg, 3u);
    EXPECT_EQ(writes[1].value, 0x11u);
    EXPECT_EQ(ham->driverName, "Dummy");

    // With other bits already set they are kept.
    ham->bytes[3] = 0x80;
    ham->executed.clear();
    EXPECT_EQ(powercycle(system), ZL_STATUS_OK);
    writes = ham->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 0x90u);
    EXPECT_EQ(writes[1].value, 0x91u);
    delete system;
}

TEST_F(SystemTest, PowercycleAttemptsBothBitsAndReportsAFailure) {
    ASSERT_EQ(Topology::loadTopology(topologyWithCpld(7402).c_str()), ZL_STATUS_OK);
    zl_system* system = zl_system_add("");
    // Make the CPLD's HAM exist, then script: first read fails, second read and write succeed.
    EXPECT_EQ(powercycle(system), ZL_STATUS_OK);
    FakeHam* ham = TestHost::fakeHamFor(7402);
    ASSERT_NE(ham, nullptr);
    ham->bytes[3] = 0;
    ham->executed.clear();
    ham->nextStatuses = {ZL_STATUS_NO_COMM, ZL_STATUS_OK, ZL_STATUS_OK};
    EXPECT_EQ(powercycle(system), ZL_STATUS_FAILED);
    auto writes = ham->writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, 0x01u);  // the second bit still went out

    ham->executed.clear();
    ham->nextStatuses = {ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_FAILED};
    EXPECT_EQ(powercycle(system), ZL_STATUS_FAILED);
    delete system;
}

TEST_F(SystemTest, PowercycleWithoutMasterCpldTouchesNothing) {
    struct Case {
        const char* name;
        std::string topology;
    };
    const Case cases[] = {
        {"no such label", TestHost::fakeHamTopology("{\"did\":7403,\"label\":\"OtherCpld\",\"driver\":null,"
                                                    "\"address\":{\"address\":35}}")},
        {"label without driver arguments", TestHost::fakeHamTopology("{\"did\":7404,\"label\":\"MasterCpld\"}")},
        {"driver that can't be made",
         TestHost::fakeHamTopology("{\"did\":7405,\"label\":\"MasterCpld\",\"driver\":\"NoSuchDriver\","
                                   "\"address\":{\"address\":35}}")},
    };
    zl_system* system = zl_system_add("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Topology::loadTopology(c.topology.c_str()), ZL_STATUS_OK);
        size_t before = TestHost::madeFakeHams().size();
        std::vector<size_t> batches;
        for (FakeHam* ham : TestHost::madeFakeHams()) batches.push_back(ham->executed.size());
        EXPECT_EQ(powercycle(system), ZL_STATUS_FAILED);
        for (size_t k = 0; k < batches.size(); ++k) EXPECT_EQ(TestHost::madeFakeHams()[k]->executed.size(), batches[k]);
        for (size_t k = before; k < TestHost::madeFakeHams().size(); ++k)
            EXPECT_TRUE(TestHost::madeFakeHams()[k]->executed.empty());
    }
    delete system;
}

}  // namespace
