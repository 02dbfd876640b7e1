// The port CPLDs: the poll timer's life, the one-batch poll, status answered from the cache
// without bus traffic, writes of the whole cached byte, failed polls, and the cages' bits.
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
        // Re-arming fails: that expiry's poll has run, and no further expiry comes.
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

// ---- the cages: signals from the cache, writes of the whole cached byte ----

int present(zl_xcvr* port) { return ZL_CALLBACK(port, ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(port); }
int get(zl_xcvr* port, int index) {
    int out = -1;
    EXPECT_EQ(ZL_CALLBACK(port, index, zl_xcvr_get_fn)(port, &out), 0);
    return out;
}
zl_status set(zl_xcvr* port, int index, int value) { return ZL_CALLBACK(port, index, zl_xcvr_set_fn)(port, value); }

// CPLD A (six QSFP cages), 0x0B 0x29: low power on cages 2 (bit 0), 3 (bit 3) and 5 (bit 5), the bits of each
// pair of cages swapped; 0x0C 0x05: cages 1 and 3 present; 0x0D 0xFD: cage 2 held in reset; 0x0E 0xFE: cage 1
// interrupting. CPLD B (48 SFP cages): cage 9 present (0x03 bit 0) with a transmitter fault (0x15 bit 0); cage 8
// has lost its signal (0x0E bit 7); 0x0D: every transmitter of cages 41-47 off, cage 48 on. (Cages 8, 9 and 48
// are the ends of the register and bit arithmetic.)
class PortCpldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hamA.bytes = {{0x0B, 0x29}, {0x0C, 0x05}, {0x0D, 0xFD}, {0x0E, 0xFE}};
        hamB.bytes = {{0x03, 0x01}, {0x15, 0x01}, {0x0E, 0x80}, {0x0D, 0x7F}};
        a.ham = &hamA;
        b.ham = &hamB;
        a.init();
        b.init();
        hamA.traffic();
        hamB.traffic();
        TestHost::clearTraces();
    }
    zl_xcvr* qsfp(unsigned cage) {
        if (!qsfps[cage]) qsfps[cage].reset(a.newQsfpXcvr(cage, {}));
        return &qsfps[cage]->record;
    }
    zl_xcvr* sfp(unsigned cage) {
        if (!sfps[cage]) sfps[cage].reset(b.newSfpXcvr(cage, {}));
        return &sfps[cage]->record;
    }

    FakeHam hamA, hamB;
    OrvikSCpldA a;
    OrvikSCpldB b;
    std::unique_ptr<Component::LogicalDevice::QsfpXcvr> qsfps[7];
    std::unique_ptr<Component::LogicalDevice::SfpXcvr> sfps[49];
};

TEST_F(PortCpldTest, SignalsComeFromTheCacheWithoutBusRequests) {
    const int qsfpLines[][5] = {
        // cage, present, low power, reset, interrupt
        {1, 1, 0, 0, 1}, {2, 0, 1, 1, 0}, {3, 1, 1, 0, 0}, {5, 0, 1, 0, 0}, {6, 0, 0, 0, 0},
    };
    for (const auto& [cage, isPresent, lowPower, reset, interrupt] : qsfpLines) {
        SCOPED_TRACE(cage);
        zl_xcvr* port = qsfp(unsigned(cage));
        EXPECT_EQ(present(port), isPresent);
        EXPECT_EQ(get(port, ZL_QSFP_GET_LP_MODE), lowPower);
        EXPECT_EQ(get(port, ZL_QSFP_GET_RESET), reset);
        EXPECT_EQ(get(port, ZL_QSFP_GET_INTERRUPT), interrupt);
    }
    EXPECT_EQ(get(qsfp(1), ZL_QSFP_GET_MOD_SEL), -1);  // not wired: output untouched, status 0
    EXPECT_EQ(set(qsfp(1), ZL_QSFP_SET_MOD_SEL, 1), 0);
    const int sfpLines[][5] = {
        // cage, present, tx fault, rx los, tx disable
        {8, 0, 0, 1, 0}, {9, 1, 1, 0, 0}, {41, 0, 0, 0, 1}, {48, 0, 0, 0, 0},
    };
    for (const auto& [cage, isPresent, fault, los, disabled] : sfpLines) {
        SCOPED_TRACE(cage);
        zl_xcvr* port = sfp(unsigned(cage));
        EXPECT_EQ(present(port), isPresent);
        EXPECT_EQ(get(port, ZL_SFP_GET_TX_FAULT), fault);
        EXPECT_EQ(get(port, ZL_SFP_GET_RX_LOS), los);
        EXPECT_EQ(get(port, ZL_SFP_GET_TX_DISABLE), disabled);
    }
    EXPECT_EQ(hamA.traffic() + hamB.traffic(), "");
}

TEST_F(PortCpldTest, AWriteChangesOneBitOfTheCachedByte) {
    // The CPLDs changed their bytes since the poll: the writes carry the cached bits back.
    hamA.bytes[0x0B] = hamA.bytes[0x0D] = hamB.bytes[0x0D] = 0x00;
    const struct { zl_xcvr* port; int index, value; const char* traffic; } writes[] = {
        {qsfp(3), ZL_QSFP_SET_RESET, 1, "w8 0d=f9"},    // reset active: bit 2 cleared
        {qsfp(6), ZL_QSFP_SET_LP_MODE, 5, "w8 0b=39"},  // bit 4 set
        {qsfp(2), ZL_QSFP_SET_LP_MODE, 0, "w8 0b=38"},  // bit 0 cleared, bit 4 kept
        {sfp(48), ZL_SFP_SET_TX_DISABLE, 1, "w8 0d=ff"},
        {sfp(41), ZL_SFP_SET_TX_DISABLE, 0, "w8 0d=fe"},
    };
    for (const auto& w : writes) {
        EXPECT_EQ(set(w.port, w.index, w.value), 0);
        EXPECT_EQ(hamA.traffic() + hamB.traffic(), w.traffic);
    }
    EXPECT_EQ(get(sfp(48), ZL_SFP_GET_TX_DISABLE), 1);  // the cache follows the write

    // A failed write returns its status and leaves the cached byte.
    hamA.status = ZL_STATUS_NO_COMM;
    EXPECT_EQ(set(qsfp(6), ZL_QSFP_SET_LP_MODE, 0), ZL_STATUS_NO_COMM);
    EXPECT_EQ(get(qsfp(6), ZL_QSFP_GET_LP_MODE), 1);
}

TEST_F(PortCpldTest, CagesOutsideTheirRangeAreRefused) {
    // (QSFP cage 7: XcvrTest.)
    EXPECT_EQ(TestHost::brokenRule([&] { delete a.newQsfpXcvr(0, {}); }), "1 <= id && id <= 6");
    for (unsigned cage : {0u, 49u}) {
        EXPECT_EQ(TestHost::brokenRule([&] { delete b.newSfpXcvr(cage, {}); }), "1 <= id && id <= 48");
        EXPECT_TRUE(TestHost::traced("SFP port " + std::to_string(cage) + " is not one", 0));
    }
}

}  // namespace
