// A TMP75 sensor driven through the host interface against the emulated board: readings
// follow the chip, a lost service gives 4 and is recovered from, an injected NAK gives 6.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 8100..8199 belong to this file (the library keeps driver objects by did for the
// whole process).
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
     {"id": 3, "devices": [
       {"did": 8101, "label": "temp", "driver": "TMP75", "address": {"address": 72}}
     ]}
   ]}]}
])";

const char* kTempText = R"({"did": 8101, "driver": "TMP75", "address": {"address": 72}})";

class Tmp75EndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        daemon_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(daemon_->start(kTopology)) << daemon_->log();
        daemon_->exportEnvironment();
        Utils::isInSimulation = 0;
        ASSERT_EQ(zl_temp_sensor_init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        sensor_ = zl_temp_sensor_add(kTempText, 80.5f, 95.0f);
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_NE(sensor_, nullptr) << TestHost::dumpTraces();
        // Each test starts with a running, fault-free service and the library on this topology.
        if (!daemon_->running()) {
            ASSERT_TRUE(daemon_->restart()) << daemon_->log();
        }
        daemon_->ctl({"fault", "all", "off"});
        ASSERT_EQ(zl_temp_sensor_init(kTopology), ZL_STATUS_OK);
        TestHost::clearTraces();
    }

    static zl_status read(zl_temp_sensor* sensor, float* celsius) {
        return ZL_CALLBACK(sensor, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn)(sensor, celsius);
    }

    static std::unique_ptr<TestSmbusd::Daemon> daemon_;
    static zl_temp_sensor* sensor_;
};

std::unique_ptr<TestSmbusd::Daemon> Tmp75EndToEnd::daemon_;
zl_temp_sensor* Tmp75EndToEnd::sensor_ = nullptr;

TEST_F(Tmp75EndToEnd, ReadsTheChipsTemperatureAtElevenBitResolution) {
    // init set the converter to 11 bits.
    EXPECT_EQ(std::stoul(daemon_->ctl({"read", "temp", "1"}), nullptr, 16), 0x40u);
    const std::pair<const char*, float> cases[] = {{"25.125", 25.125f}, {"-0.125", -0.125f}, {"-40", -40.0f}};
    for (const auto& [set, expected] : cases) {
        daemon_->ctl({"prop", "temp", "temperature", set});
        float celsius = 1000.0f;
        ASSERT_EQ(read(sensor_, &celsius), ZL_STATUS_OK) << TestHost::dumpTraces();
        EXPECT_EQ(celsius, expected) << set;
    }
    EXPECT_TRUE(TestHost::traced("getTemperatureCallback", 4));
}

TEST_F(Tmp75EndToEnd, LostServiceGivesNoCommunicationAndIsRecoveredNakGivesFailure) {
    float celsius = 0;
    ASSERT_EQ(read(sensor_, &celsius), ZL_STATUS_OK);  // connected before the service goes
    daemon_->stop();
    celsius = 99.0f;
    EXPECT_EQ(read(sensor_, &celsius), ZL_STATUS_NO_COMM);
    EXPECT_EQ(celsius, 99.0f);
    EXPECT_TRUE(TestHost::traced("Error: Failed to read temperature for TMP75 device", 0));

    ASSERT_TRUE(daemon_->restart()) << daemon_->log();
    daemon_->ctl({"prop", "temp", "temperature", "22.5"});
    EXPECT_EQ(read(sensor_, &celsius), ZL_STATUS_OK) << TestHost::dumpTraces();
    EXPECT_EQ(celsius, 22.5f);

    // A NAK from the sensor gives a failure and leaves the output.
    daemon_->ctl({"fault", "temp", "nak"});
    celsius = 99.0f;
    EXPECT_EQ(read(sensor_, &celsius), ZL_STATUS_FAILED);
    EXPECT_EQ(celsius, 99.0f);
}

}  // namespace
