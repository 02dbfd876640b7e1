// The library through the host interface against one emulated board in zolta-smbusd: PMBus
// supplies and their bays (kvIpmi included), MAX6620 fans, the port CPLDs' transceivers and a
// TMP75 (the fan tray bays: FanTrayTest and host_show.sh). Checked is what crosses the process boundary: the
// values the emulated chips compute as the library reads them, and the library's answers as
// the board changes under the control client. Bytes a chip only stores are the unit tests'
// (exact traffic); the LEDs and the power cycle through zolta-host are host_show.sh's.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// The library keeps driver objects by did for the whole process: dids 8100..8999 belong to
// this file.
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [{"id": 0, "busses": [
   {"id": 1, "devices": [
     {"did": 8701, "label": "FanCtrl", "driver": "Max6620", "address": {"address": 41}, "driverArgs": {"maxId": "1"}}]},
   {"id": 2, "devices": [
     {"did": 8902, "label": "CpldB", "driver": "OrvikSCpldB", "address": {"address": 50}},
     {"did": 8907, "label": "Module7", "driver": "Dummy", "address": {"address": 80}}]},
   {"id": 3, "devices": [
     {"did": 8101, "label": "temp", "driver": "TMP75", "address": {"address": 72}}]},
   {"id": 5, "devices": [
     {"did": 8501, "label": "MasterCpld", "driver": "Dummy", "address": {"address": 35}},
     {"did": 8502, "label": "Psu1", "driver": "Pmbus", "address": {"address": 88}},
     {"did": 8503, "label": "Psu2", "driver": "Pmbus", "address": {"address": 89},
      "driverArgs": {"gpioDevice": "MasterCpld", "powerOkReg": "16", "powerOkBit": "3"}},
     {"did": 8504, "label": "BayPmbus", "driver": "PsuSlot", "address": {"address": 88},
      "driverArgs": {"identificationType": "pmbus"}},
     {"did": 8505, "label": "BayFru", "driver": "PsuSlot", "address": {"address": 80},
      "driverArgs": {"identificationType": "ipmi"}},
     {"did": 8506, "label": "BayTlv", "driver": "PsuSlot", "address": {"address": 81},
      "driverArgs": {"identificationType": "tlv"}},
     {"did": 8507, "label": "BayWedge", "driver": "PsuSlot", "address": {"address": 82},
      "driverArgs": {"identificationType": "wedge"}}]}
 ]}]}
])";

// Psu1 pulls its presence (active low) and power-good bits of the master CPLD, Psu2 its
// power-good bit (active low). kvIpmi answers
// for bay 1 from the FRU EEPROM and for bay 2 from Psu2. Cage 7's SFP is out.
const char* kState = R"({
  "Psu1": {"bindings": [
     {"property": "present", "device": "MasterCpld", "reg": 16, "bit": 0, "activeLow": true},
     {"property": "power_good", "device": "MasterCpld", "reg": 16, "bit": 2, "activeLow": false}]},
  "Psu2": {"properties": {"model": "DPS550AB6A", "serial": "PSU2SERIAL"},
           "bindings": [{"property": "power_good", "device": "MasterCpld", "reg": 16, "bit": 3, "activeLow": true}],
           "ipmiId": "2"},
  "BayFru": {"properties": {"asset": "ASSET42"}, "ipmiId": "1"},
  "Module7": {"model": "sfp-eeprom", "properties": {"present": 0},
              "bindings": [{"property": "present", "device": "CpldB", "reg": 2, "bit": 6}]}
})";

const std::string kTemplates =
    R"("model_1": "DPS550AB6A", "psuFdl_1": "modelName=DPS550AB6A;serialNum={serialNum};vendor=Delta",
       "model_2": "PS-2471-1AZ1-LF", "psuFdl_2": "modelName=PS-2471-1AZ1-LF;serialNum={serialNum};vendor=Emerson",
       "model_3": "PWR-UNKNOWN", "psuFdl_3": "modelName=PWR-UNKNOWN;serialNum={serialNum};powered=no",
       "model_4": "PWR-WEDGE", "psuFdl_4": "modelName=PWR-WEDGE;serialNum={serialNum}")";

std::string bayText(unsigned did, unsigned address, const std::string& args) {
    return R"({"did": )" + std::to_string(did) + R"(, "driver": "PsuSlot", "address": {"address": )" +
           std::to_string(address) + R"(}, "driverArgs": {)" + kTemplates + ", " + args + "}}";
}
std::string fanText(int channel) {
    return R"({"did": 8701, "driver": "Max6620", "address": {"address": 41}, "driverArgs": {"maxId": "1", "id": ")" +
           std::to_string(channel + 1) + R"(", "regOffset": ")" + std::to_string(channel) + R"(", "maxRpm": "25000"}})";
}
class BoardEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        d_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(d_->start(kTopology, kState)) << d_->log();
        d_->exportEnvironment();
        Utils::isInSimulation = 0;
        ASSERT_EQ(zl_psu_init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        psu1_ = zl_psu_add(R"({"did": 8502, "driver": "Pmbus", "address": {"address": 88}})");
        psu2_ = zl_psu_add(R"({"did": 8503, "driver": "Pmbus", "address": {"address": 89},
            "driverArgs": {"gpioDevice": "MasterCpld", "powerOkReg": "16", "powerOkBit": "3"}})");
        bayPmbus_ = zl_slot_add(bayText(8504, 88, R"("psuId": "1", "identificationType": "pmbus",
            "gpioDevice": "MasterCpld", "presenceReg": "16", "presenceBit": "0", "powerOkReg": "16",
            "powerOkBit": "2", "powerOkActiveLow": "false")").c_str());
        bayFru_ = zl_slot_add(bayText(8505, 80, R"("psuId": "2", "identificationType": "ipmi")").c_str());
        bayTlv_ = zl_slot_add(bayText(8506, 81, R"("psuId": "1", "identificationType": "tlv")").c_str());
        // The command methods use no device of their own; they share the wedge bay's.
        bayTool_ = zl_slot_add(bayText(8507, 82, R"("psuId": "1", "identificationType": "ipmitool", "ipmiId": "2")").c_str());
        bayRaw_ = zl_slot_add(bayText(8507, 82, R"("psuId": "2", "identificationType": "ipmitool_raw",
            "ipmiId": "1", "ipmiRawModel": "model", "ipmiRawSerialNumber": "asset")").c_str());
        for (int ch = 0; ch < 2; ++ch) fans_[ch] = zl_fan_add(fanText(ch).c_str());
        const uint32_t lastTimer = TestHost::timers().empty() ? 0 : TestHost::timers().rbegin()->first;
        sfp7_ = zl_xcvr_add(R"({"did": 8902, "driver": "OrvikSCpldB", "address": {"address": 50},
                                "driverArgs": {"id": "7", "type": "sfp"}})");
        for (const auto& t : TestHost::timers())  // ids only grow: the port CPLD's poll timer
            if (t.first > lastTimer) pollTimers_.insert(t.first);
        sensor_ = zl_temp_sensor_add(R"({"did": 8101, "driver": "TMP75", "address": {"address": 72}})", 80.5f, 95.0f);
        for (const void* record : {(void*)psu1_, (void*)psu2_, (void*)bayPmbus_, (void*)bayFru_, (void*)bayTlv_,
                                   (void*)bayTool_, (void*)bayRaw_, (void*)fans_[0], (void*)fans_[1],
                                   (void*)sfp7_, (void*)sensor_})
            ASSERT_NE(TestHost::hold(record), nullptr) << TestHost::dumpTraces();
        ASSERT_EQ(pollTimers_.size(), 1u);
    }
    static void TearDownTestSuite() { d_.reset(); }

    // Each test starts with a running, fault-free service and the library on this topology.
    void SetUp() override {
        ASSERT_TRUE(sensor_ != nullptr && pollTimers_.size() == 1) << "the suite's set-up failed";
        ASSERT_TRUE(d_->running()) << d_->log();
        d_->exportEnvironment();
        d_->ctl({"fault", "all", "off"});
        ASSERT_EQ(zl_psu_init(kTopology), ZL_STATUS_OK);
        // A library that last talked to another test's service reconnects on first use.
        float warmUp = 0;
        if (temperature(&warmUp) != ZL_STATUS_OK) temperature(&warmUp);
        TestHost::clearTraces();
    }

    static zl_status temperature(float* celsius) {
        return ZL_CALLBACK(sensor_, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn)(sensor_, celsius);
    }
    static zl_status rpm(zl_fan* fan, int* out) { return ZL_CALLBACK(fan, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn)(fan, out); }
    static int xcvrPresence(zl_xcvr* x) { return ZL_CALLBACK(x, ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn)(x); }
    static int line(zl_xcvr* x, int index) {
        int v = -1;
        EXPECT_EQ(ZL_CALLBACK(x, index, zl_xcvr_get_fn)(x, &v), ZL_STATUS_OK);
        return v;
    }
    static std::string ctl(std::vector<std::string> words) { return d_->ctl(words); }
    static void prop(const std::string& device, const std::string& name, const std::string& value) {
        d_->ctl({"prop", device, name, value});
    }
    // Reads the speed every 100 ms until it is `want` (true) or 2 s have passed (false).
    static bool settlesAt(zl_fan* fan, int want, int* last) {
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (rpm(fan, last) == ZL_STATUS_OK && *last == want) return true;
        }
        return false;
    }

    static inline std::unique_ptr<TestSmbusd::Daemon> d_;
    static inline zl_psu *psu1_ = nullptr, *psu2_ = nullptr;
    static inline zl_slot *bayPmbus_ = nullptr, *bayFru_ = nullptr, *bayTlv_ = nullptr,
                          *bayTool_ = nullptr, *bayRaw_ = nullptr;
    static inline zl_fan* fans_[2] = {nullptr, nullptr};
    static inline zl_xcvr* sfp7_ = nullptr;
    static inline zl_temp_sensor* sensor_ = nullptr;
    static inline std::set<uint32_t> pollTimers_;
};

TEST_F(BoardEndToEnd, PsuReadingsFanAndPowerGoodFromStatusWordAndFromTheCpld) {
    const std::pair<int, float> readings[] = {
        {ZL_PSU_GET_INPUT_VOLTAGE, 230.0f}, {ZL_PSU_GET_OUTPUT_VOLTAGE, 12.0f}, {ZL_PSU_GET_OUTPUT_POWER, 240.0f},
    };
    for (const auto& [index, expected] : readings) {
        float value = -1.0f;
        ASSERT_EQ(ZL_CALLBACK(psu1_, index, zl_psu_get_float_fn)(psu1_, &value), ZL_STATUS_OK)
            << index << TestHost::dumpTraces();
        EXPECT_NEAR(value, expected, expected * 0.002f) << index;
    }
    // The supply's fan: the duty the chip is given, the speed it reports.
    zl_fan* fan = TestHost::hold(zl_fan_add(R"({"did": 8502, "driver": "Pmbus", "address": {"address": 88},
        "driverArgs": {"fanId": "1", "maxFanRpm": "20000"}})"));
    ASSERT_NE(fan, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(ZL_CALLBACK(fan, ZL_FAN_SET_RPM, zl_fan_set_rpm_fn)(fan, 12000), ZL_STATUS_OK);
    EXPECT_EQ(ctl({"prop", "Psu1", "fan1_duty"}).substr(0, 2), "60");
    int speed = 0;
    EXPECT_EQ(rpm(fan, &speed), ZL_STATUS_OK);
    EXPECT_EQ(speed, 12000);  // 750 x 2^4, exact in LINEAR11

    // Psu1 from STATUS_WORD; Psu2 from the CPLD bit (active low), its own STATUS_WORD would
    // say fault here.
    const struct { zl_psu* psu; const char* device; const char* off; const char* good; zl_status status; int ok; } cases[] = {
        {psu1_, "Psu1", "0", "1", ZL_STATUS_OK, 1},
        {psu1_, "Psu1", "1", "0", ZL_STATUS_OK, 0},
        {psu1_, "Psu1", "0", "0", ZL_STATUS_DEVICE_FAULT, -1},  // not good while on
        {psu2_, "Psu2", "0", "1", ZL_STATUS_OK, 1},
        {psu2_, "Psu2", "0", "0", ZL_STATUS_OK, 0},
    };
    for (const auto& c : cases) {
        prop(c.device, "off", c.off);
        prop(c.device, "power_good", c.good);
        int ok = -1;
        EXPECT_EQ(ZL_CALLBACK(c.psu, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(c.psu, &ok), c.status)
            << c.device << " off " << c.off << " good " << c.good;
        EXPECT_EQ(ok, c.ok) << c.device << " off " << c.off << " good " << c.good;
    }
    prop("Psu1", "power_good", "1");
    prop("Psu2", "power_good", "1");
}

TEST_F(BoardEndToEnd, PsuBaysIdentifyTheirUnitByEachMethodAsTheBoardChanges) {
    const std::string delta = "modelName=DPS550AB6A;serialNum=GTVD1615001656;vendor=Delta";
    const std::string emerson = "modelName=PS-2471-1AZ1-LF;serialNum=GTVD9999;vendor=Emerson";
    using Words = std::vector<std::string>;
    // What the control client changes, then the bay asked and its answer.
    const struct { std::vector<Words> change; zl_slot* bay; zl_status status; std::string fdl; } steps[] = {
        {{{"prop", "Psu1", "present", "0"}}, bayPmbus_, ZL_STATUS_NOT_FOUND, "-"},
        {{{"prop", "Psu1", "present", "1"}, {"prop", "Psu1", "power_good", "0"}}, bayPmbus_, ZL_STATUS_OK,
         "modelName=PWR-UNKNOWN;serialNum=N/A;powered=no"},
        {{{"prop", "Psu1", "power_good", "1"}, {"prop", "Psu1", "serial", "61AZ10101E340XX"}}, bayPmbus_, ZL_STATUS_OK,
         "modelName=PS-2471-1AZ1-LF;serialNum=61AZ10101E340XX;vendor=Emerson"},
        // The FRU and TLV images the service builds, rebuilt as the unit changes.
        {{}, bayTlv_, ZL_STATUS_OK, delta},
        {{{"prop", "BayFru", "serial", "GTVD9999"}, {"prop", "BayFru", "model", "PS-2471-1AZ1-LF"}}, bayFru_, ZL_STATUS_OK,
         emerson},
        {{{"prop", "BayFru", "present", "0"}}, bayFru_, ZL_STATUS_NOT_FOUND, "-"},
        // "kvIpmi psuSlot 2" answers from Psu2's chip, "0 - -" once it is pulled.
        {{}, bayTool_, ZL_STATUS_OK, "modelName=DPS550AB6A;serialNum=PSU2SERIAL;vendor=Delta"},
        {{{"prop", "Psu2", "present", "0"}}, bayTool_, ZL_STATUS_NOT_FOUND, "-"},
        // "kvIpmi raw psuSlot 1 ModelNumber=model SerialNumber=asset": the asset tag as the serial.
        {{{"prop", "Psu2", "present", "1"}, {"prop", "BayFru", "present", "1"}}, bayRaw_, ZL_STATUS_OK,
         "modelName=PS-2471-1AZ1-LF;serialNum=ASSET42;vendor=Emerson"},
    };
    for (const auto& s : steps) {
        for (const Words& words : s.change) ctl(words);
        const auto [status, fdl] = TestHost::slotPresence(s.bay);
        const std::string what = s.change.empty() ? s.fdl : s.change.back()[1] + " " + s.change.back()[2];
        EXPECT_EQ(status, s.status) << what << TestHost::dumpTraces();
        EXPECT_EQ(fdl, s.fdl) << what;
    }
}

TEST_F(BoardEndToEnd, Tmp75ReadsTheChipAtElevenBitsAndAFailedReadingKeepsTheOutput) {
    EXPECT_EQ(ctl({"read", "temp", "1"}), "40\n") << "init set the converter to 11 bits";
    float celsius = 1000.0f;
    prop("temp", "temperature", "-40");
    ASSERT_EQ(temperature(&celsius), ZL_STATUS_OK) << TestHost::dumpTraces();
    EXPECT_EQ(celsius, -40.0f);
    // A connection the service drops fails the reading; the next one reconnects.
    ctl({"fault", "temp", "close"});
    celsius = 99.0f;
    EXPECT_EQ(temperature(&celsius), ZL_STATUS_NO_COMM);
    EXPECT_EQ(celsius, 99.0f);
    ctl({"fault", "temp", "off"});
    EXPECT_EQ(temperature(&celsius), ZL_STATUS_OK);
    EXPECT_EQ(celsius, -40.0f);
}

TEST_F(BoardEndToEnd, FansSettleOnTheProgrammedSpeedAndAStallIsAFaultWhileTheChipReportsIt) {
    int value = 0;
    ASSERT_TRUE(settlesAt(fans_[0], 25045, &value)) << "the speed the add programs, count 314 at SR 32: " << value;
    ASSERT_EQ(ZL_STATUS_OK, ZL_CALLBACK(fans_[0], ZL_FAN_SET_RPM, zl_fan_set_rpm_fn)(fans_[0], 12000));
    ASSERT_EQ(ZL_STATUS_OK, rpm(fans_[0], &value));
    EXPECT_GT(value, 12006) << "still slowing down right after the change";  // settled: host_show.sh

    ASSERT_TRUE(settlesAt(fans_[1], 25045, &value)) << value;
    prop("FanCtrl", "stalled1", "1");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(2, rpm(fans_[1], &value)) << "reading " << i << " while stalled";
    EXPECT_EQ(ZL_STATUS_OK, rpm(fans_[0], &value)) << "the other channel still reads";
    prop("FanCtrl", "stalled1", "0");
    EXPECT_EQ(2, rpm(fans_[1], &value)) << "the fault the other channel's reading saw, reported once";
    EXPECT_EQ(ZL_STATUS_OK, rpm(fans_[1], &value));
    EXPECT_LT(value, 25045) << "spinning up from standstill";
}

// The control lines' bytes and the QSFP cages' bits are OrvikPortCpldTest's.
TEST_F(BoardEndToEnd, XcvrStatusShowsAfterOnePoll) {
    auto poll = [] {
        for (uint32_t id : pollTimers_) ASSERT_TRUE(TestHost::fireTimer(id));
    };
    EXPECT_EQ(xcvrPresence(sfp7_), 0);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_RX_LOS), 1);  // an empty cage has no signal
    prop("Module7", "present", "1");
    prop("CpldB", "tx_fault7", "1");
    EXPECT_EQ(xcvrPresence(sfp7_), 0);  // answered from the copy
    poll();
    EXPECT_EQ(xcvrPresence(sfp7_), 1);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_RX_LOS), 0);
    EXPECT_EQ(line(sfp7_, ZL_SFP_GET_TX_FAULT), 1);
}

}  // namespace
