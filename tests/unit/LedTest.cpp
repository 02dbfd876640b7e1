// LEDs: the LED CPLD's fields (read-modify-write, the other field kept), the shared blink timer (one timer, ticks
// in phase, dropped handlers), failed ticks, a host without timers, and zl_led_add.
#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Components/Led.h"
#include "Drivers/Orvik/OrvikLedCpld.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Component::LogicalDevice::Led;
using Drivers::OrvikLedCpld;
using TestHost::FakeHam;

namespace {

std::string ledText(unsigned did, const std::string& id, const std::string& bitOffset, const std::string& type) {
    return "{\"did\":" + std::to_string(did) + ",\"driver\":\"OrvikLedCpld\",\"address\":{\"address\":96}," +
           "\"driverArgs\":{\"id\":\"" + id + "\",\"bitOffset\":\"" + bitOffset + "\",\"type\":\"" + type + "\"}}";
}

// The blink statics and the manual timers start fresh in every test.
class LedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset();
        driver.ham = &ham;
        TestHost::clearTraces();
    }
    void TearDown() override { reset(); }
    static void reset() {
        Led::notifyList_.clear();
        Led::blinkTimer_ = 0;
        Led::blinkStatus_ = false;
        TestHost::resetTimers();
    }
    OrvikLedCpld::Led* make(const std::string& type, const std::string& bitOffset, const std::string& id = "1") {
        auto* led = static_cast<OrvikLedCpld::Led*>(
            driver.newLed(TestHost::argsWith({{"id", id}, {"bitOffset", bitOffset}, {"type", type}})));
        owned.emplace_back(led);
        return led;
    }
    static zl_status set(Led* led, zl_led_status setting) { return Led::setLightSettingCallback(&led->record, setting); }

    FakeHam ham;
    OrvikLedCpld driver;
    std::vector<std::unique_ptr<Led>> owned;
};

TEST_F(LedTest, FieldValuesPerKindAndSetting) {
    const struct { const char* type; int bitOffset; uint8_t reg, before; zl_led_status setting; uint8_t after; } cases[] = {
        {"status", 4, 7, 0x0F, ZL_LED_GOOD, 0x9F},      {"status", 0, 7, 0xF0, ZL_LED_BAD, 0xFA},
        {"status", 0, 7, 0xFF, ZL_LED_UNKNOWN, 0xFB},   {"status", 0, 7, 0xFF, ZL_LED_BEACON, 0xF5},
        {"fantray", 6, 8, 0xFF, ZL_LED_WARNING, 0xBF},  {"multifan", 2, 9, 0x00, ZL_LED_BAD, 0x0C},
        {"multipsu", 0, 7, 0xFF, ZL_LED_OFF, 0xFC},
        {"status", 8, 7, 0x5A, ZL_LED_GOOD, 0x5A},    // a field beyond the register changes nothing
        {"multipsu", 7, 7, 0x00, ZL_LED_GOOD, 0x80},  // the bit that doesn't fit is cut off
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.bitOffset) + " " + std::to_string(c.setting));
        OrvikLedCpld::Led* led = make(c.type, std::to_string(c.bitOffset));
        ham.bytes[c.reg] = c.before;
        ham.traffic();
        EXPECT_EQ(set(led, c.setting), ZL_STATUS_OK);
        char traffic[32];
        std::snprintf(traffic, sizeof traffic, "r8 %02x | w8 %02x=%02x", c.reg, c.reg, c.after);
        EXPECT_EQ(ham.traffic(), traffic);  // read, then write the whole byte, the other field kept
    }
}

// (Each kind's register and field width: the field table. Every declared argument's absence, texts and range
// ends: CatalogueTest and ArgReaderTest.)
TEST_F(LedTest, RejectedSettingsFailedReadsAndArgumentRules) {
    OrvikLedCpld::Led* led = make("multifan", "0");
    for (zl_led_status setting : {ZL_LED_INACTIVE, 7, -1}) {
        TestHost::clearTraces();
        EXPECT_EQ(set(led, setting), ZL_STATUS_BAD_INPUT);
        EXPECT_EQ(ham.traffic(), "");
        EXPECT_TRUE(
            TestHost::traced("OrvikLedCpld MultiFanLed was given an unexpected setting " + std::to_string(setting), 0));
        EXPECT_STREQ(Led::getLedStatusString(setting), setting == ZL_LED_INACTIVE ? "Inactive" : "Invalid");
    }
    ham.status = ZL_STATUS_NO_COMM;
    TestHost::clearTraces();
    EXPECT_EQ(set(led, ZL_LED_GOOD), ZL_STATUS_NO_COMM);
    EXPECT_EQ(ham.traffic(), "r8 09 !4");  // nothing written after a failed read
    EXPECT_TRUE(TestHost::traced("updateLedReg: Failed to read from CPLD register", 0));
    TestHost::clearTraces();
    EXPECT_EQ(make("Status", "0"), nullptr);
    EXPECT_TRUE(TestHost::traced("Error: failed to find driverArg for OrvikLedCpld::newLed", 0));
}

// A host whose timer service fails: a Beacon shows lit. The next blink-capable add tries again and makes the one
// timer, unarmed; a status LED needs none.
TEST_F(LedTest, AddMakesOneTimerOnTheFirstBlinkCapableLed) {
    TestHost::FakeRegistrations registrations;
    ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology("{\"did\":7621}").c_str()), ZL_STATUS_OK);
    TestHost::failTimerAdd(true);
    zl_led* multi = TestHost::hold(zl_led_add(ledText(7621, "1", "2", "multifan").c_str()));
    ASSERT_NE(multi, nullptr) << TestHost::dumpTraces();
    EXPECT_TRUE(TestHost::traced("failed to create blink timer", 0));
    EXPECT_EQ(Led::blinkTimer_, 0u);
    TestHost::clearTraces();
    EXPECT_EQ(Led::setLightSettingCallback(multi, ZL_LED_BEACON), 0);
    FakeHam& ham = *TestHost::fakeHamFor(7621);
    EXPECT_EQ(ham.bytes[9], 0x08);
    EXPECT_TRUE(Led::notifyList_.empty());
    EXPECT_TRUE(TestHost::traced("OrvikLedCpld MultiFanLed 0: no blink timer, Beacon shown lit", 0));

    TestHost::failTimerAdd(false);
    ASSERT_NE(TestHost::hold(zl_led_add(ledText(7621, "1", "4", "status").c_str())), nullptr);
    EXPECT_TRUE(TestHost::timers().empty());
    zl_led* fan = TestHost::hold(zl_led_add(ledText(7621, "1", "0", "fantray").c_str()));
    ASSERT_NE(fan, nullptr);
    ASSERT_NE(TestHost::hold(zl_led_add(ledText(7621, "2", "0", "multipsu").c_str())), nullptr);
    ASSERT_EQ(TestHost::timers().size(), 1u);
    EXPECT_EQ(TestHost::timers().begin()->first, Led::blinkTimer_);
    EXPECT_EQ(TestHost::timers().begin()->second.setCalls, 0);  // made, not armed
    EXPECT_EQ(ZL_CALLBACK(fan, ZL_LED_SET_LIGHT_SETTING, zl_led_set_light_setting_fn)(fan, ZL_LED_GOOD), 0);
    EXPECT_EQ(ham.bytes[8], 0x01);
}

TEST_F(LedTest, BlinkingLedsTickInPhaseOffOneTimer) {
    Led::createBlinkTimer();
    const uint32_t timer = Led::blinkTimer_;
    OrvikLedCpld::Led* fan = make("fantray", "0");
    OrvikLedCpld::Led* multi = make("multifan", "2");
    ham.bytes[9] = 0xF3;
    EXPECT_EQ(set(fan, ZL_LED_BEACON), 0);
    EXPECT_EQ(set(multi, ZL_LED_BEACON), 0);
    EXPECT_EQ(set(multi, ZL_LED_BEACON), 0);  // listed once
    EXPECT_EQ(ham.bytes[8], 0x01);            // lit at once
    EXPECT_EQ(ham.bytes[9], 0xFB);
    ASSERT_EQ(Led::notifyList_.size(), 2u);
    EXPECT_EQ(TestHost::timers()[timer].setCalls, 1);  // armed by the first notifyOnBlink only
    EXPECT_EQ(TestHost::timers()[timer].milliseconds, 1000u);

    // The first tick announces the dark half, then they alternate; both LEDs always agree. A failed write is
    // traced and the LED keeps blinking.
    const struct { bool lit; zl_status bus; } ticks[] = {{false, 0}, {true, 0}, {false, ZL_STATUS_NO_COMM}, {true, 0}};
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.lit);
        ham.status = t.bus;
        ham.bytes[8] = t.lit ? 0x00 : 0x01;
        TestHost::clearTraces();
        ASSERT_TRUE(TestHost::fireTimer(timer));
        EXPECT_EQ(ham.bytes[8], t.bus ? (t.lit ? 0x00 : 0x01) : (t.lit ? 0x01 : 0x00));
        if (!t.bus) {
            EXPECT_EQ(ham.bytes[9], t.lit ? 0xFB : 0xF3);
        }
        EXPECT_EQ(TestHost::traced("OrvikLedCpld Led handleBlinkTimer write failed.", 0), t.bus != 0);
        EXPECT_TRUE(TestHost::timers()[timer].armed);
        EXPECT_EQ(Led::notifyList_.size(), 2u);
    }

    // Good ends the fan LED's blinking; Inactive ends the other's with its field kept. With
    // the list empty a tick arms nothing but still flips the phase; a Beacon starts it again.
    EXPECT_EQ(set(fan, ZL_LED_GOOD), 0);
    EXPECT_EQ(set(multi, ZL_LED_INACTIVE), ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(Led::notifyList_.empty());
    EXPECT_EQ(ham.bytes[9], 0xFB);
    const bool phase = Led::blinkStatus_;
    ASSERT_TRUE(TestHost::fireTimer(timer));
    EXPECT_FALSE(TestHost::timers()[timer].armed);
    EXPECT_EQ(Led::blinkStatus_, !phase);
    EXPECT_EQ(set(fan, ZL_LED_BEACON), 0);
    EXPECT_TRUE(TestHost::timers()[timer].armed);
    owned.clear();  // a blinking LED that goes away leaves the list
    EXPECT_TRUE(Led::notifyList_.empty());
}

TEST_F(LedTest, HandlerReturningFalseIsDroppedAndTheNextStillNotified) {
    struct ScriptedLed : Led {
        ScriptedLed(bool keep, bool throws) : keep(keep), throws(throws) {}
        zl_status setLightSetting(zl_led_status) override { return ZL_STATUS_OK; }
        bool handleBlinkTimer(bool on) override {
            phases.push_back(on);
            if (throws) throw std::runtime_error("handler broke");
            return keep;
        }
        bool keep, throws;
        std::vector<bool> phases;
    } first(true, false), dropped(false, false), broken(true, true), last(true, false);
    Led::createBlinkTimer();
    for (Led* led : std::initializer_list<Led*>{&first, &dropped, &broken, &last}) Led::notifyOnBlink(led);
    Led::handleBlinkTimerCallback(nullptr);
    Led::handleBlinkTimerCallback(nullptr);
    EXPECT_EQ(first.phases, (std::vector<bool>{false, true}));
    EXPECT_EQ(dropped.phases, (std::vector<bool>{false}));
    EXPECT_EQ(broken.phases, (std::vector<bool>{false}));
    EXPECT_EQ(last.phases, (std::vector<bool>{false, true}));
    EXPECT_EQ(Led::notifyList_, (std::list<Led*>{&first, &last}));
    EXPECT_TRUE(TestHost::traced("handler broke", 0));
    Led::notifyList_.clear();

    // Without a timer the list can't be joined.
    Led::blinkTimer_ = 0;
    EXPECT_EQ(TestHost::brokenRule([&] { Led::notifyOnBlink(&first); }), "blinkTimer_");
}

}  // namespace
