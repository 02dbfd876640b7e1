// The TMP75 driver: register-to-temperature conversion, the start-up configuration write,
// one batch per reading, and failures.
#include <gtest/gtest.h>

#include <memory>

#include "Drivers/TMP75.h"
#include "FakeHam.h"
#include "TestHost.h"

using Component::LogicalDevice::TempSensor;
using Drivers::TMP75;
using TestHost::FakeHam;

namespace {

TEST(TMP75Test, RegisterToTemperature) {
    const std::pair<uint16_t, float> cases[] = {
        {0xE0FF, -0.125f},   // -1 + 7 * 0.125 (25.125: the reading below)
        {0x60E7, -24.625f},  // -25 + 3 * 0.125
        {0x1F19, 25.0f},     // bits below the top three of the fraction byte don't count
        {0x0080, -128.0f}, {0xFF7F, 127.875f}, {0x8000, 0.5f}, {0x00FF, -1.0f}, {0x0000, 0.0f},
    };
    for (const auto& [raw, celsius] : cases) EXPECT_EQ(TMP75::registerToTemperature(raw), celsius) << raw;
}

TEST(TMP75Test, InitSetsElevenBitsAndAReadingIsOneWordRead) {
    FakeHam ham;
    ham.words[0x00] = 0x2019;
    TMP75 driver;
    driver.ham = &ham;
    driver.init();
    TestHost::clearTraces();
    std::unique_ptr<TempSensor> sensor(driver.newTempSensor(Drivers::FactoryArgs()));
    float celsius = 0;
    EXPECT_EQ(TempSensor::getTemperatureCallback(&sensor->record, &celsius), 0);
    EXPECT_EQ(celsius, 25.125f);
    // One configuration write (11 bits, no PEC), then one word read of register 0.
    EXPECT_EQ(ham.traffic(), "w8 01=40 | r16 00");

    // A failed configuration write is traced (failed readings: the end-to-end test).
    ham.status = ZL_STATUS_NO_COMM;
    driver.init();
    EXPECT_TRUE(TestHost::traced("Error: Failed to set converter resolution for TMP75 device", 0));
}

}  // namespace
