// The MAX6620 driver: speed bands and target counts, the 11-bit count rotation, the exact
// register traffic of init and setRpm, latched faults, refused values and argument rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "Drivers/Max6620.h"
#include "FakeHam.h"
#include "TestHost.h"

using Drivers::Max6620;
using TestHost::FakeHam;
using TestHost::argsWith;

namespace {

// The text FakeHam::traffic() gives a 16-bit write of the count.
std::string countWrite(uint32_t reg, uint16_t count) {
    char text[16];
    std::snprintf(text, sizeof text, "w16 %02x=%04x", reg, Max6620::countToWord(count));
    return text;
}

TEST(Max6620Conversions, BandsAndTargetCounts) {
    const struct { int rpm; uint8_t k; int64_t target; } cases[] = {
        {12000, 5, 655}, {6000, 5, 1310}, {5999, 4, 655}, {3001, 4, 1310}, {3000, 3, 655}, {1501, 3, 1309},
        {1500, 2, 655},  {1001, 2, 982},  {1000, 1, 491}, {751, 1, 654},   {750, 0, 327},  {121, 0, 2031},
        {120, 0, 2048},  // beyond the count field: refused by setRpm
        {0, 0, 0},       {-5, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Max6620::speedRangeExponent(c.rpm), c.k) << c.rpm;
        EXPECT_EQ(Max6620::targetCount(c.k, c.rpm), c.target) << c.rpm;
    }
}

TEST(Max6620Conversions, CountRotationAndTachExtremes) {
    const struct { uint16_t count, word; uint8_t sr; int32_t rpm; } cases[] = {
        {655, 0xE051, 32, 12006},
        {314, 0x4027, 32, 25045},
        {1, 0x2000, 32, 7864320},  // fastest reading
        {2047, 0xE0FF, 1, 120},    // stalled count in the slowest range
        {2047, 0xE0FF, 32, 3841},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Max6620::countToWord(c.count), c.word) << c.count;
        EXPECT_EQ(Max6620::wordToCount(c.word), c.count) << c.word;
        EXPECT_EQ(Max6620::countToRpm(c.sr, c.count), c.rpm) << c.count;
    }
    // No bits are masked: a word with low bits set rotates them into the top of the count.
    EXPECT_EQ(Max6620::wordToCount(0x0001), 0x0008);
    EXPECT_EQ(Max6620::wordToCount(0xFFFF), 0xFFFF);
}

struct Max6620Fixture : ::testing::Test {
    void SetUp() override { driver.ham = &ham; }
    // A fan on channel ch whose init batch is already recorded and cleared.
    std::unique_ptr<Max6620::Fan> fan(uint8_t ch, int maxRpm = 25000) {
        std::unique_ptr<Max6620::Fan> made(new Max6620::Fan(&driver, static_cast<uint8_t>(ch + 1), ch, maxRpm));
        ham.traffic();
        return made;
    }
    FakeHam ham;
    Max6620 driver{3};
};

TEST_F(Max6620Fixture, InitProgramsClosedLoopAtMaxSpeedInOneBatch) {
    const struct { int maxRpm; uint16_t count; } cases[] = {
        {25000, 314}, {3000, 2046},  // 2621 doesn't fit: the field's limit
        {8000000, 1},                // 0 doesn't fit either
    };
    for (const auto& c : cases) {
        Max6620::Fan made(&driver, 3, 2, c.maxRpm);
        EXPECT_EQ(ham.traffic(), "w8 08=ac, " + countWrite(0x24, c.count) + ", w8 04=e0") << c.maxRpm;
    }
}

TEST_F(Max6620Fixture, SetRpmWritesDynamicsAndTargetInOneBatch) {
    auto f = fan(1);
    const struct { int rpm; const char* dynamics; uint16_t count; } cases[] = {
        {12000, "ac", 655}, {5999, "8c", 655}, {750, "0c", 327},
        {30000, "ac", 262},  // above maxRpm: a warning, still programmed
    };
    for (const auto& c : cases) {
        TestHost::clearTraces();
        EXPECT_EQ(f->setRpm(c.rpm), ZL_STATUS_OK) << c.rpm;
        EXPECT_EQ(ham.traffic(), "w8 07=" + std::string(c.dynamics) + ", " + countWrite(0x22, c.count));
        EXPECT_EQ(TestHost::traced("Warning: setRpm value of 30000 is more than fan's max RPM 25000", 6), c.rpm == 30000);
    }
    // A failed write still takes the new range, as the chip may have taken the first write.
    ham.status = ZL_STATUS_NO_COMM;
    EXPECT_EQ(f->setRpm(3000), ZL_STATUS_NO_COMM);
    EXPECT_EQ(f->speedRange, 8);
    EXPECT_TRUE(TestHost::traced("Error status 4 while writing to Fan2's target tach register", 0));
}

TEST_F(Max6620Fixture, RefusedSpeedsAndCountsTouchNothing) {
    auto f = fan(0);
    for (int rpm : {120, 0, -1}) {
        TestHost::clearTraces();
        EXPECT_EQ(f->setRpm(rpm), ZL_STATUS_BAD_INPUT) << rpm;
        EXPECT_EQ(f->speedRange, 32);
        EXPECT_TRUE(TestHost::traced("Error: setRpm value of " + std::to_string(rpm) + " for Fan1 gives target count", 0));
    }
    EXPECT_EQ(ham.traffic(), "");
    ham.words[0x10] = 0x0000;  // count 0
    int rpm = -7;
    EXPECT_EQ(f->getRpm(&rpm), ZL_STATUS_DEVICE_FAULT);
    EXPECT_EQ(rpm, -7);
    EXPECT_TRUE(TestHost::traced("Error: Fan1 reports a tach count of 0", 0));
    ham.traffic();
    EXPECT_EQ(f->getRpm(nullptr), ZL_STATUS_BAD_INPUT);
    EXPECT_EQ(ham.traffic(), "");
}

// (A fault the other channel's reading saw is reported once: BoardEndToEndTest.)
TEST_F(Max6620Fixture, GetRpmIsOneBatch) {
    auto f0 = fan(0);
    auto f1 = fan(1);
    ham.words[0x12] = 0xE051;
    ham.bytes[0x01] = 0x20;  // channel 1 reports a fault
    int rpm = -1;
    TestHost::clearTraces();
    EXPECT_EQ(f1->getRpm(&rpm), ZL_STATUS_DEVICE_FAULT);
    EXPECT_EQ(rpm, -1);
    EXPECT_TRUE(TestHost::traced("Error: Fan 2 had a fault failure", 0));
    EXPECT_EQ(ham.traffic(), "r8 01, r16 12");
    ham.bytes[0x01] = 0x00;  // the chip clears the register when read
    EXPECT_EQ(f1->getRpm(&rpm), ZL_STATUS_OK);
    EXPECT_EQ(rpm, 12006);

    ham.status = ZL_STATUS_FAILED;
    TestHost::clearTraces();
    EXPECT_EQ(f0->getRpm(&rpm), ZL_STATUS_FAILED);
    EXPECT_TRUE(TestHost::traced("Error status 6 reading Max6620-3 fan fault register", 0));
}

TEST_F(Max6620Fixture, FailedInitIsRetriedOnceTheBusAnswers) {
    ham.status = ZL_STATUS_NO_COMM;
    TestHost::clearTraces();
    Max6620::Fan reading(&driver, 1, 0, 25000);
    Max6620::Fan setting(&driver, 2, 1, 25000);
    EXPECT_EQ(TestHost::traceCount("Fan init: failed to configure Fan"), 2);
    ham.status = ZL_STATUS_OK;
    ham.traffic();
    int rpm = 0;
    ham.words[0x10] = 0x4027;
    // The init batch again, then the reading; the speed and the configuration in one batch.
    EXPECT_EQ(reading.getRpm(&rpm), ZL_STATUS_OK);
    EXPECT_EQ(ham.traffic(), "w8 06=ac, w16 20=4027, w8 02=e0 | r8 01, r16 10");
    EXPECT_EQ(setting.setRpm(6000), ZL_STATUS_OK);
    EXPECT_EQ(ham.traffic(), "w8 07=ac, " + countWrite(0x22, 1310) + ", w8 03=e0");
    EXPECT_EQ(setting.setRpm(6000), ZL_STATUS_OK);
    EXPECT_EQ(ham.traffic(), "w8 07=ac, " + countWrite(0x22, 1310));  // configured now
}

// (Every declared argument's absence, texts, range ends and 8-bit cut: CatalogueTest and ArgReaderTest;
// a declared range's failure text is ArgReaderTest's.)
TEST(Max6620Args, ZeroMaxRpmMakesNoFan) {
    FakeHam ham;
    Max6620 driver(1);
    driver.ham = &ham;
    EXPECT_EQ(driver.newFan(argsWith({{"id", "8"}, {"regOffset", "3"}, {"maxRpm", "0"}})), nullptr);
    EXPECT_TRUE(TestHost::traced("Error: Fan8 maxRpm 0 is not a positive speed", 0));
    EXPECT_TRUE(ham.executed.empty());
}

}  // namespace
