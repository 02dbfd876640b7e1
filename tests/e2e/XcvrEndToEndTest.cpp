// Transceiver ports against the emulated board: the port CPLDs' status lines reach the host
// from the polled copy, so a module plugged or pulled in the service shows after one poll
// and not before; control lines written by the host land in the CPLD at once.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 8900..8999 belong to this file (the library keeps driver objects by did).
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
     {"id": 2, "devices": [
       {"did": 8901, "label": "CpldA", "driver": "OrvikSCpldA", "address": {"address": 49}},
       {"did": 8902, "label": "CpldB", "driver": "OrvikSCpldB", "address": {"address": 50}},
       {"did": 8907, "label": "Module7", "driver": "Dummy", "address": {"address": 80}},
       {"did": 8950, "label": "Module50", "driver": "Dummy", "address": {"address": 81}}
     ]}
   ]}]}
])";
const char* kState = R"({
  "Module7": {"model": "sfp-eeprom", "properties": {"present": 0},
              "bindings": [{"property": "present", "device": "CpldB", "reg": 2, "bit": 6}]},
  "Module50": {"model": "qsfp-eeprom",
               "bindings": [{"property": "present", "device": "CpldA", "reg": 12, "bit": 1}]}
})";

class XcvrEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        daemon_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(daemon_->start(kTopology, kState)) << daemon_->log();
        daemon_->exportEnvironment();
        Utils::isInSimulation = 0;
        ASSERT_EQ(zl_xcvr_init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        std::set<uint32_t> before;
        for (const auto& t : TestHost::timers()) before.insert(t.first);
        sfp7_ = TestHost::hold(zl_xcvr_add(
            R"({"did": 8902, "driver": "OrvikSCpldB", "address": {"address": 50}, "driverArgs": {"id": "7", "type": "sfp"}})"));
        qsfp2_ = TestHost::hold(zl_xcvr_add(
            R"({"did": 8901, "driver": "OrvikSCpldA", "address": {"address": 49}, "driverArgs": {"id": "2", "type": "qsfp"}})"));
        for (const auto& t : TestHost::timers())
            if (!before.count(t.first)) pollTimers_.insert(t.first);
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_NE(sfp7_, nullptr) << TestHost::dumpTraces();
        ASSERT_NE(qsfp2_, nullptr) << TestHost::dumpTraces();
        ASSERT_EQ(pollTimers_.size(), 2u);  // one per CPLD
        daemon_->exportEnvironment();
    }

    // One expiry of each CPLD's poll timer.
    static void poll() {
        for (uint32_t id : pollTimers_) ASSERT_TRUE(TestHost::fireTimer(id));
    }
    static int presence(zl_xcvr* x) { return ZL_CALLBACK(x, ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(x); }
    static int line(zl_xcvr* x, int index) {
        int v = -1;
        EXPECT_EQ(ZL_CALLBACK(x, index, zl_xcvr_get_fn)(x, &v), ZL_STATUS_OK);
        return v;
    }

    static inline std::unique_ptr<TestSmbusd::Daemon> daemon_;
    static inline zl_xcvr *sfp7_ = nullptr, *qsfp2_ = nullptr;
    static inline std::set<uint32_t> pollTimers_;
};

TEST_F(XcvrEndToEnd, PlugAndPullShowAfterOnePollNotBefore) {
    EXPECT_EQ(presence(sfp7_), 0);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_RX_LOS), 1);  // an empty cage has no signal
    daemon_->ctl({"prop", "Module7", "present", "1"});
    daemon_->ctl({"prop", "CpldB", "tx_fault7", "1"});
    EXPECT_EQ(presence(sfp7_), 0);  // answered from the copy
    poll();
    EXPECT_EQ(presence(sfp7_), 1);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_RX_LOS), 0);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_TX_FAULT), 1);

    EXPECT_EQ(presence(qsfp2_), 1);
    daemon_->ctl({"prop", "CpldA", "interrupt2", "1"});
    daemon_->ctl({"prop", "Module50", "present", "0"});
    poll();
    EXPECT_EQ(presence(qsfp2_), 0);
    EXPECT_EQ(line(qsfp2_, ZL_QSFP_GET_INTERRUPT), 0);  // no module, no interrupt
    daemon_->ctl({"prop", "Module50", "present", "1"});
    poll();
    EXPECT_EQ(presence(qsfp2_), 1);
    EXPECT_EQ(line(qsfp2_, ZL_QSFP_GET_INTERRUPT), 1);
}

TEST_F(XcvrEndToEnd, ControlLinesLandInTheCpldAtOnce) {
    // Cage 2's low-power bit is bit 0 of LP (pairs swapped); RESET_N is active low; PRESENT sits between them.
    auto set = [](zl_xcvr* x, int index, int v) { return ZL_CALLBACK(x, index, zl_xcvr_set_fn)(x, v); };
    ASSERT_EQ(set(qsfp2_, ZL_QSFP_SET_LP_MODE, 1), ZL_STATUS_OK);
    ASSERT_EQ(set(qsfp2_, ZL_QSFP_SET_RESET, 1), ZL_STATUS_OK);
    ASSERT_EQ(set(sfp7_, ZL_SFP_SET_TX_DISABLE, 1), ZL_STATUS_OK);
    EXPECT_EQ(daemon_->ctl({"read", "CpldA", "0x0b", "3"}), "01 02 fd\n");
    EXPECT_EQ(daemon_->ctl({"read", "CpldB", "0x08"}), "40\n");
    EXPECT_EQ(line(qsfp2_, ZL_QSFP_GET_LP_MODE), 1);
    EXPECT_EQ(line(qsfp2_, ZL_QSFP_GET_RESET), 1);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_TX_DISABLE), 1);
}

}  // namespace
