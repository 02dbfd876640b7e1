// The port CPLDs: the poll timer's life, the one-batch poll, status answered from the cache
// without bus traffic, writes of the whole cached byte, failed polls, and the cage maps.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "Drivers/Orvik/OrvikSCpldA.h"
#include "Drivers/Orvik/OrvikSCpldB.h"
#include "FakeHam.h"
#include "TestHost.h"

using Drivers::OrvikSCpldA;
using Drivers::OrvikSCpldB;
using Drivers::OrvikSPortCpld;
using TestHost::FakeHam;

namespace {

const char kPollA[] = "r8 0b, r8 0c, r8 0d, r8 0e";

// ---- the poll timer ----

TEST(PollingDeviceTest, ArmedByInitReArmedAfterEveryExpiryDeletedWithTheDriver) {
    TestHost::resetTimers();
    FakeHam ham;
    uint32_t id = 0;
    {
        OrvikSCpldA cpld;
        cpld.ham = &ham;
        id = cpld.timer;
        ASSERT_NE(id, 0u);
        const TestHost::Timer& timer = TestHost::timers().at(id);
        EXPECT_FALSE(timer.armed);
        cpld.init();
        EXPECT_EQ(ham.traffic(), kPollA);  // the first poll runs before the timer starts
        EXPECT_TRUE(timer.armed && timer.milliseconds == 1000u);
        EXPECT_TRUE(cpld.pollStart());  // already polling: the timer is not set again
        EXPECT_EQ(timer.setCalls, 1);
        // (Re-armed after every expiry: the poll test below.) Re-arming fails: that expiry's poll has run, and no further expiry comes.
        TestHost::failTimerSet(true);
        TestHost::clearTraces();
        ASSERT_TRUE(TestHost::fireTimer(id));
        EXPECT_EQ(ham.traffic(), kPollA);
        EXPECT_TRUE(TestHost::traced("failed to set timer interval", 0));
        EXPECT_FALSE(TestHost::fireTimer(id));
        TestHost::failTimerSet(false);
        EXPECT_FALSE(timer.deleted);
    }
    EXPECT_TRUE(TestHost::timers().at(id).deleted);
    EXPECT_TRUE(TestHost::traced("destroying timer", 0));
}

// ---- what both CPLDs share ----

struct CpldCase {
    const char* name;
    std::function<OrvikSPortCpld*()> make;
    std::vector<uint32_t> polled;
    std::string poll;  // the traffic of one poll
};

std::vector<CpldCase> cpldCases() {
    std::vector<uint32_t> b;
    std::string pollB;
    char op[16];
    for (uint32_t reg = 0x02; reg <= 0x19; ++reg) {
        b.push_back(reg);
        pollB += (std::snprintf(op, sizeof op, reg > 2 ? ", r8 %02x" : "r8 %02x", reg), op);
    }
    return {{"OrvikSCpldA", [] { return new OrvikSCpldA(); }, {0x0B, 0x0C, 0x0D, 0x0E}, kPollA},
            {"OrvikSCpldB", [] { return new OrvikSCpldB(); }, b, pollB}};
}

TEST(OrvikSPortCpldTest, EachPollIsOneBatchAndAFailedPollKeepsTheCacheUntilTheBusRecovers) {
    for (const CpldCase& c : cpldCases()) {
        SCOPED_TRACE(c.name);
        TestHost::resetTimers();
        FakeHam ham;
        std::unique_ptr<OrvikSPortCpld> cpld(c.make());
        cpld->ham = &ham;
        // A failed first poll still starts polling; the empty cache reads 0.
        ham.status = ZL_STATUS_FAILED;
        cpld->init();
        EXPECT_TRUE(cpld->polling);
        EXPECT_TRUE(cpld->registerCache.empty());
        int out = 7;
        EXPECT_EQ(cpld->getRegisterBit(static_cast<uint8_t>(c.polled[0]), 0, &out, true), 0);
        EXPECT_EQ(out, 1);

        // Each round: the bus's bytes, whether the poll fails, the cached value afterwards.
        const struct { uint8_t onBus; zl_status status; uint8_t cached; } rounds[] = {
            {0x11, ZL_STATUS_OK, 0x11}, {0x22, ZL_STATUS_NO_COMM, 0x11}, {0x22, ZL_STATUS_OK, 0x22}};
        for (const auto& r : rounds) {
            for (uint32_t reg : c.polled) ham.bytes[reg] = r.onBus;
            ham.status = r.status;
            TestHost::clearTraces();
            ham.traffic();
            ASSERT_TRUE(TestHost::fireTimer(cpld->timer));  // armed again after every expiry
            EXPECT_EQ(ham.traffic(), c.poll + (r.status ? " !" + std::to_string(r.status) : ""));
            ASSERT_EQ(cpld->registerCache.size(), c.polled.size());
            for (const auto& [reg, value] : cpld->registerCache) EXPECT_EQ(value, r.cached) << int(reg);
            EXPECT_EQ(TestHost::traced(std::string("Failed to poll information for ") + c.name, 0), r.status != 0);
        }
    }
}

// ---- port CPLD A: six QSFP cages ----

class OrvikSCpldATest : public ::testing::Test {
  protected:
    void SetUp() override {
        ham.bytes = {{0x0B, 0x29}, {0x0C, 0x05}, {0x0D, 0xFD}, {0x0E, 0xFE}};
        cpld.ham = &ham;
        cpld.init();
        for (unsigned cage = 1; cage <= 6; ++cage) cages[cage].reset(cpld.newQsfpXcvr(cage, {}));
        ham.traffic();
        TestHost::clearTraces();
    }
    zl_xcvr* port(unsigned cage) { return &cages[cage]->record; }
    int get(unsigned cage, int index) {
        int out = -1;
        EXPECT_EQ(ZL_CALLBACK(port(cage), index, zl_xcvr_get_fn)(port(cage), &out), 0);
        return out;
    }
    zl_status set(unsigned cage, int index, int value) {
        return ZL_CALLBACK(port(cage), index, zl_xcvr_set_fn)(port(cage), value);
    }

    FakeHam ham;
    OrvikSCpldA cpld;
    std::unique_ptr<Component::LogicalDevice::QsfpXcvr> cages[7];
};

TEST_F(OrvikSCpldATest, SignalsComeFromTheCacheWithoutBusRequests) {
    // 0x0B 0x29: low power on cages 2 (bit 0), 3 (bit 3) and 5 (bit 5), the bits of each pair of cages swapped;
    // 0x0C 0x05: cages 1 and 3 present; 0x0D 0xFD: cage 2 held in reset; 0x0E 0xFE: cage 1 interrupting.
    const int expected[][5] = {
        // cage, present, low power, reset, interrupt
        {1, 1, 0, 0, 1}, {2, 0, 1, 1, 0}, {3, 1, 1, 0, 0}, {4, 0, 0, 0, 0}, {5, 0, 1, 0, 0}, {6, 0, 0, 0, 0},
    };
    for (const auto& [cage, present, lowPower, reset, interrupt] : expected) {
        SCOPED_TRACE(cage);
        const unsigned n = static_cast<unsigned>(cage);
        EXPECT_EQ(ZL_CALLBACK(port(n), ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(port(n)), present);
        EXPECT_EQ(get(n, ZL_QSFP_GET_LP_MODE), lowPower);
        EXPECT_EQ(get(n, ZL_QSFP_GET_RESET), reset);
        EXPECT_EQ(get(n, ZL_QSFP_GET_INTERRUPT), interrupt);
        EXPECT_EQ(get(n, ZL_QSFP_GET_MOD_SEL), -1);  // not wired: output untouched, status 0
        EXPECT_EQ(set(n, ZL_QSFP_SET_MOD_SEL, 1), 0);
    }
    EXPECT_EQ(ham.traffic(), "");
    // (Cage 7: XcvrTest.)
    EXPECT_EQ(TestHost::brokenRule([&] { delete cpld.newQsfpXcvr(0, {}); }), "1 <= id && id <= 6");
    EXPECT_TRUE(TestHost::traced("QSFP port 0 is not one", 0));
}

TEST_F(OrvikSCpldATest, AWriteChangesOneBitOfTheCachedByte) {
    // The CPLD changed its bytes since the poll: the writes carry the cached bits back.
    ham.bytes[0x0B] = 0x00;
    ham.bytes[0x0D] = 0x00;
    const struct { unsigned cage; int index, value; uint8_t reg, written; const char* traffic; } writes[] = {
        {3, ZL_QSFP_SET_RESET, 1, 0x0D, 0xF9, "w8 0d=f9"},    // reset active: bit 2 cleared
        {6, ZL_QSFP_SET_LP_MODE, 5, 0x0B, 0x39, "w8 0b=39"},  // bit 4 set
        {2, ZL_QSFP_SET_LP_MODE, 0, 0x0B, 0x38, "w8 0b=38"},  // bit 0 cleared
    };
    for (const auto& w : writes) {
        EXPECT_EQ(set(w.cage, w.index, w.value), 0);
        EXPECT_EQ(ham.traffic(), w.traffic);
        EXPECT_EQ(cpld.registerCache[w.reg], w.written) << w.traffic;
    }
    EXPECT_EQ(get(3, ZL_QSFP_GET_RESET), 1);
    EXPECT_EQ(ham.traffic(), "");

    // A failed write returns its status and leaves the cached byte.
    ham.status = ZL_STATUS_NO_COMM;
    EXPECT_EQ(set(6, ZL_QSFP_SET_LP_MODE, 0), ZL_STATUS_NO_COMM);
    EXPECT_EQ(cpld.registerCache[0x0B], 0x38);
    EXPECT_EQ(get(6, ZL_QSFP_GET_LP_MODE), 1);
}

// ---- port CPLD B: 48 SFP cages ----

TEST(OrvikSCpldBTest, SignalsFromTheCacheAndTxDisableWrites) {
    TestHost::resetTimers();
    FakeHam ham;
    // Cage 9 present (0x03 bit 0) with a transmitter fault (0x15 bit 0); cage 8 has lost its
    // signal (0x0E bit 7); 0x0D: every transmitter of cages 41-47 off, cage 48 on. (Cages 8, 9
    // and 48 are the ends of the register and bit arithmetic.)
    ham.bytes = {{0x03, 0x01}, {0x15, 0x01}, {0x0E, 0x80}, {0x0D, 0x7F}};
    OrvikSCpldB cpld;
    cpld.ham = &ham;
    cpld.init();
    ham.traffic();
    const int expected[][5] = {
        // cage, present, tx fault, rx los, tx disable
        {8, 0, 0, 1, 0}, {9, 1, 1, 0, 0}, {41, 0, 0, 0, 1}, {48, 0, 0, 0, 0},
    };
    std::unique_ptr<Component::LogicalDevice::SfpXcvr> ports[49];
    auto port = [&](unsigned cage) {
        if (!ports[cage]) ports[cage].reset(cpld.newSfpXcvr(cage, {}));
        return &ports[cage]->record;
    };
    auto get = [&](unsigned cage, int index) {
        int out = -1;
        EXPECT_EQ(ZL_CALLBACK(port(cage), index, zl_xcvr_get_fn)(port(cage), &out), 0);
        return out;
    };
    for (const auto& [cage, present, fault, los, disabled] : expected) {
        SCOPED_TRACE(cage);
        const unsigned n = static_cast<unsigned>(cage);
        EXPECT_EQ(ZL_CALLBACK(port(n), ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(port(n)), present);
        EXPECT_EQ(get(n, ZL_SFP_GET_TX_FAULT), fault);
        EXPECT_EQ(get(n, ZL_SFP_GET_RX_LOS), los);
        EXPECT_EQ(get(n, ZL_SFP_GET_TX_DISABLE), disabled);
    }
    EXPECT_EQ(ham.traffic(), "");

    EXPECT_EQ(ZL_CALLBACK(port(48), ZL_SFP_SET_TX_DISABLE, zl_xcvr_set_fn)(port(48), 1), 0);
    EXPECT_EQ(ZL_CALLBACK(port(41), ZL_SFP_SET_TX_DISABLE, zl_xcvr_set_fn)(port(41), 0), 0);
    EXPECT_EQ(ham.traffic(), "w8 0d=ff | w8 0d=fe");
    EXPECT_EQ(get(48, ZL_SFP_GET_TX_DISABLE), 1);

    for (unsigned cage : {0u, 49u}) {
        EXPECT_EQ(TestHost::brokenRule([&] { delete cpld.newSfpXcvr(cage, {}); }), "1 <= id && id <= 48");
        EXPECT_TRUE(TestHost::traced("SFP port " + std::to_string(cage) + " is not one", 0));
    }
}

}  // namespace
