// MAX6620 fans and CPLD LEDs through the host interface against the emulated board: a new
// speed is programmed and read back as the fan settles on it, a stalled fan reads as a fault
// (status 2) while the chip reports it and as a speed again once it turns, and LED settings
// land in their field of a shared CPLD register, blinking on the library's timer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 8700..8799 belong to this file (the library keeps driver objects by did for the
// whole process).
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
     {"id": 1, "devices": [
       {"did": 8701, "label": "FanCtrl", "driver": "Max6620", "address": {"address": 41},
        "driverArgs": {"maxId": "1"}},
       {"did": 8702, "label": "LedCpld", "driver": "OrvikLedCpld", "address": {"address": 96}}
     ]}
   ]}]}
])";

std::string fanText(int channel) {
    return R"({"did": 8701, "driver": "Max6620", "address": {"address": 41}, "driverArgs": {"maxId": "1", "id": ")" +
           std::to_string(channel + 1) + R"(", "regOffset": ")" + std::to_string(channel) +
           R"(", "maxRpm": "25000"}})";
}
std::string ledText(const char* type, int bitOffset) {
    return R"({"did": 8702, "driver": "OrvikLedCpld", "address": {"address": 96}, "driverArgs": {"id": "1",
               "bitOffset": ")" + std::to_string(bitOffset) + R"(", "type": ")" + type + R"("}})";
}

class FanLedEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        daemon_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(daemon_->start(kTopology)) << daemon_->log();
        daemon_->exportEnvironment();
        Utils::isInSimulation = 0;
        ASSERT_EQ(zl_fan_init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        ASSERT_EQ(zl_led_init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        for (int ch = 0; ch < 2; ++ch) fans_[ch] = TestHost::hold(zl_fan_add(fanText(ch).c_str()));
        statusLed_ = TestHost::hold(zl_led_add(ledText("status", 0).c_str()));
        psuLed_ = TestHost::hold(zl_led_add(ledText("multipsu", 4).c_str()));
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        for (const void* record : {(void*)fans_[0], (void*)fans_[1], (void*)statusLed_, (void*)psuLed_})
            ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
        daemon_->exportEnvironment();
        ASSERT_EQ(zl_fan_init(kTopology), ZL_STATUS_OK);
        ASSERT_EQ(zl_led_init(kTopology), ZL_STATUS_OK);
        TestHost::clearTraces();
    }

    static zl_status rpm(zl_fan* fan, int* out) {
        return ZL_CALLBACK(fan, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn)(fan, out);
    }
    static zl_status setRpm(zl_fan* fan, int value) {
        return ZL_CALLBACK(fan, ZL_FAN_SET_RPM, zl_fan_set_rpm_fn)(fan, value);
    }
    static zl_status light(zl_led* led, zl_led_status setting) {
        return ZL_CALLBACK(led, ZL_LED_SET_LIGHT_SETTING, zl_led_set_light_setting_fn)(led, setting);
    }
    // Reads the speed every 100 ms until it is `want` (true) or 2 s have passed (false).
    static bool settlesAt(zl_fan* fan, int want, int* last) {
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (rpm(fan, last) == ZL_STATUS_OK && *last == want) return true;
        }
        return false;
    }
    static std::string reg(int r) { return daemon_->ctl({"read", "LedCpld", std::to_string(r)}); }

    static std::unique_ptr<TestSmbusd::Daemon> daemon_;
    static zl_fan* fans_[2];
    static zl_led* statusLed_;
    static zl_led* psuLed_;
};

std::unique_ptr<TestSmbusd::Daemon> FanLedEndToEnd::daemon_;
zl_fan* FanLedEndToEnd::fans_[2];
zl_led* FanLedEndToEnd::statusLed_;
zl_led* FanLedEndToEnd::psuLed_;

TEST_F(FanLedEndToEnd, ANewSpeedIsProgrammedAndReadBackAsTheFanSettles) {
    int value = 0;
    ASSERT_TRUE(settlesAt(fans_[0], 25045, &value)) << "the speed the add programs, count 314 at SR 32: " << value;
    ASSERT_EQ(ZL_STATUS_OK, setRpm(fans_[0], 12000));
    EXPECT_EQ("ac\n", daemon_->ctl({"read", "FanCtrl", "0x06"})) << "speed range 16";
    EXPECT_EQ("51 e0\n", daemon_->ctl({"read", "FanCtrl", "0x20", "2"})) << "target count 655";
    ASSERT_EQ(ZL_STATUS_OK, rpm(fans_[0], &value));
    EXPECT_GT(value, 12006) << "still slowing down right after the change";
    EXPECT_TRUE(settlesAt(fans_[0], 12006, &value)) << value;
}

TEST_F(FanLedEndToEnd, AStalledFanIsAFaultWhileTheChipReportsItAndASpeedOnceItTurns) {
    int value = 0;
    ASSERT_TRUE(settlesAt(fans_[1], 25045, &value)) << value;
    daemon_->ctl({"prop", "FanCtrl", "stalled1", "1"});
    for (int i = 0; i < 2; ++i) EXPECT_EQ(2, rpm(fans_[1], &value)) << "reading " << i << " while stalled";
    EXPECT_TRUE(TestHost::traced("Error: Fan 2 had a fault failure", 0));
    EXPECT_EQ(ZL_STATUS_OK, rpm(fans_[0], &value)) << "the other channel still reads";
    daemon_->ctl({"prop", "FanCtrl", "stalled1", "0"});
    EXPECT_EQ(2, rpm(fans_[1], &value)) << "the fault the other channel's reading saw, reported once";
    EXPECT_EQ(ZL_STATUS_OK, rpm(fans_[1], &value));
    EXPECT_LT(value, 25045) << "spinning up from standstill";
    EXPECT_TRUE(settlesAt(fans_[1], 25045, &value)) << value;
}

TEST_F(FanLedEndToEnd, LedSettingsLandInTheSharedRegisterKeepingTheOtherField) {
    ASSERT_EQ(ZL_STATUS_OK, light(statusLed_, ZL_LED_GOOD));
    ASSERT_EQ(ZL_STATUS_OK, light(psuLed_, ZL_LED_WARNING));
    EXPECT_EQ("29\n", reg(7));
    EXPECT_EQ(3, light(psuLed_, ZL_LED_INACTIVE)) << "rejected, nothing written";
    ASSERT_EQ(ZL_STATUS_OK, light(statusLed_, ZL_LED_UNKNOWN));
    EXPECT_EQ("2b\n", reg(7));
    EXPECT_EQ("status=Unknown psu=Warning/Bad fan=Off tray1=Off tray2=Off tray3=Off\n",
              daemon_->ctl({"show", "LedCpld"}));

    // Beacon: the PSU field blinks between 3 and 0 on the blink timer, the status field stays.
    ASSERT_EQ(ZL_STATUS_OK, light(psuLed_, ZL_LED_BEACON));
    EXPECT_EQ("3b\n", reg(7));
    std::string seen;
    for (int tick = 0; tick < 4; ++tick) {
        ASSERT_EQ(1, TestHost::fireArmedTimers()) << "tick " << tick;
        seen += reg(7).substr(0, 2) + " ";
    }
    EXPECT_TRUE(seen == "0b 3b 0b 3b " || seen == "3b 0b 3b 0b ") << seen;
    EXPECT_NE(std::string::npos, daemon_->ctl({"show", "LedCpld"}).find("psu=Beacon("));
    ASSERT_EQ(ZL_STATUS_OK, light(psuLed_, ZL_LED_GOOD));
    EXPECT_EQ("3b\n", reg(7));
    TestHost::fireArmedTimers();  // the tick already due finds no LED and does not re-arm
    EXPECT_EQ("3b\n", reg(7));
    EXPECT_EQ(0, TestHost::fireArmedTimers()) << "no LED blinks any more";
}

}  // namespace
