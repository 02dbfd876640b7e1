// The TMP75 driver: register-to-temperature conversion, the start-up configuration write,
// one batch per reading, and failures.
#include <gtest/gtest.h>

#include "Drivers/TMP75.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::TMP75;
using TestHost::FakeHam;

namespace {

TEST(TMP75ConversionTest, RegisterToTemperature) {
    struct Case {
        uint16_t raw;
        float celsius;
    };
    const Case cases[] = {
        {0x2019, 25.125f},  // 25 degrees, fraction 001
        {0xE0FF, -0.125f},  // -1 + 7 * 0.125
        {0x0080, -128.0f},
        {0x1F19, 25.0f},    // bits below the top three of the fraction byte don't count
        {0x0000, 0.0f},
        {0xFF7F, 127.875f},
        {0x8000, 0.5f},
        {0x00FF, -1.0f},
        {0x60E7, -24.625f},  // -25 + 3 * 0.125
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(TMP75::registerToTemperature(c.raw), c.celsius);
    }
}

TEST(TMP75DriverTest, InitSetsElevenBitResolutionInOneBatch) {
    FakeHam ham;
    TMP75 driver;
    driver.ham = &ham;
    driver.init();
    ASSERT_EQ(ham.executed.size(), 1u);
    ASSERT_EQ(ham.executed[0].size(), 1u);
    EXPECT_EQ(ham.executed[0][0].kind, FakeHam::Op::Write8);
    EXPECT_EQ(ham.executed[0][0].reg, 0x01u);
    EXPECT_EQ(ham.executed[0][0].value, 0x40u);
    EXPECT_FALSE(ham.executed[0][0].pec);
}

TEST(TMP75DriverTest, FailedConfigurationWriteIsTraced) {
    FakeHam ham;
    ham.status = ZL_STATUS_NO_COMM;
    TMP75 driver;
    driver.ham = &ham;
    TestHost::clearTraces();
    driver.init();
    EXPECT_TRUE(TestHost::traced("Error: Failed to set converter resolution for TMP75 device", 0));
}

TEST(TMP75DriverTest, ReadingIsOneWordReadOfRegisterZero) {
    FakeHam ham;
    ham.words[0x00] = 0x2019;
    TMP75 driver;
    driver.ham = &ham;
    std::unique_ptr<Component::LogicalDevice::TempSensor> sensor(driver.newTempSensor(Drivers::FactoryArgs()));
    ASSERT_NE(sensor, nullptr);
    TestHost::clearTraces();
    float celsius = 0;
    EXPECT_EQ(Component::LogicalDevice::TempSensor::getTemperatureCallback(&sensor->record, &celsius), 0);
    EXPECT_EQ(celsius, 25.125f);
    ASSERT_EQ(ham.executed.size(), 1u);
    ASSERT_EQ(ham.executed[0].size(), 1u);
    EXPECT_EQ(ham.executed[0][0].kind, FakeHam::Op::Read16);
    EXPECT_EQ(ham.executed[0][0].reg, 0x00u);
    EXPECT_TRUE(TestHost::traced("zl_status Drivers::TMP75::getTemperature(float*)", 6));
}

TEST(TMP75DriverTest, FailedReadReturnsStatusAndLeavesOutput) {
    for (zl_status failure : {ZL_STATUS_NO_COMM, ZL_STATUS_FAILED}) {
        FakeHam ham;
        ham.status = failure;
        TMP75 driver;
        driver.ham = &ham;
        TestHost::clearTraces();
        float celsius = 99.0f;
        EXPECT_EQ(driver.getTemperature(&celsius), failure);
        EXPECT_EQ(celsius, 99.0f);
        EXPECT_TRUE(TestHost::traced("Error: Failed to read temperature for TMP75 device", 0));
    }
}

TEST(TMP75DriverTest, EachNewTempSensorIsANewLogicalDevice) {
    TMP75 driver;
    TestHost::clearTraces();
    std::unique_ptr<Component::LogicalDevice::TempSensor> a(driver.newTempSensor(Drivers::FactoryArgs()));
    std::unique_ptr<Component::LogicalDevice::TempSensor> b(driver.newTempSensor(Drivers::FactoryArgs()));
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(TestHost::traceCount("Creating TMP75"), 2);
}

// Through the add function: two sensors for one did share one driver object and one HAM,
// and the configuration write happened once.
TEST(TMP75DriverTest, TwoAddsForOneDeviceShareTheDriver) {
    TestHost::FakeRegistrations registrations;
    Utils::isInSimulation = 0;
    ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology("{\"did\":7201}").c_str()), ZL_STATUS_OK);
    const char* text = "{\"did\":7201,\"driver\":\"TMP75\",\"address\":{\"address\":72}}";
    zl_temp_sensor* first = zl_temp_sensor_add(text, 70, 80);
    zl_temp_sensor* second = zl_temp_sensor_add(text, 75, 85);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    FakeHam* ham = TestHost::fakeHamFor(7201);
    ASSERT_NE(ham, nullptr);
    EXPECT_EQ(ham->writes().size(), 1u);
    EXPECT_EQ(ham->driverName, "TMP75");
    EXPECT_EQ(ham->expected, &Component::HardwareDevice::emptyExpectedValues);

    ham->words[0] = 0xE0FF;
    float celsius = 0;
    auto get = ZL_CALLBACK(second, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn);
    EXPECT_EQ(get(second, &celsius), 0);
    EXPECT_EQ(celsius, -0.125f);
    delete static_cast<Component::LogicalDevice::TempSensor*>(first->object);
    delete static_cast<Component::LogicalDevice::TempSensor*>(second->object);
}

}  // namespace
