// Power supplies and their bays through the host interface against the emulated board:
// readings of two PMBus supplies, power good from STATUS_WORD and from a CPLD bit, the
// bays' description texts as units are pulled, switched off, swapped and unknown, every
// identification method on its emulated source (kvIpmi included), and the power cycle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 8500..8599 belong to this file (the library keeps driver objects by did for the
// whole process).
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
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
        "driverArgs": {"identificationType": "wedge"}}
     ]}
   ]}]}
])";

// Psu1 pulls its presence (active low) and power-good (active high) bits of the master
// CPLD; Psu2 its power-good bit (active low). kvIpmi answers for bay 1 from the FRU EEPROM and for bay 2 from Psu2.
const char* kState = R"({
  "Psu1": {"bindings": [
     {"property": "present", "device": "MasterCpld", "reg": 16, "bit": 0, "activeLow": true},
     {"property": "power_good", "device": "MasterCpld", "reg": 16, "bit": 2, "activeLow": false}]},
  "Psu2": {"properties": {"vin": 115, "iin": 2.5, "vout": 12.25, "iout": 10.5, "pin": 130, "pout": 120,
                          "model": "DPS550AB6A", "serial": "PSU2SERIAL"},
           "bindings": [{"property": "power_good", "device": "MasterCpld", "reg": 16, "bit": 3,
                         "activeLow": true}],
           "ipmiId": "2"},
  "BayFru": {"properties": {"asset": "ASSET42"}, "ipmiId": "1"},
  "MasterCpld": {"registers": {"0x03": "0x40"}}
})";

const std::string kTemplates =
    R"("model_1": "DPS550AB6A", "psuFdl_1": "modelName=DPS550AB6A;serialNum={serialNum};vendor=Delta",
       "model_2": "PS-2471-1AZ1-LF", "psuFdl_2": "modelName=PS-2471-1AZ1-LF;serialNum={serialNum};vendor=Emerson",
       "model_3": "PWR-UNKNOWN", "psuFdl_3": "modelName=PWR-UNKNOWN;serialNum={serialNum};powered=no",
       "model_4": "PWR-WEDGE", "psuFdl_4": "modelName=PWR-WEDGE;serialNum={serialNum}")";

zl_slot* addSlot(unsigned did, unsigned address, const std::string& args) {
    return zl_slot_add((R"({"did": )" + std::to_string(did) + R"(, "driver": "PsuSlot", "address": {"address": )" +
                        std::to_string(address) + R"(}, "driverArgs": {)" + kTemplates + ", " + args + "}}")
                           .c_str());
}

class PowerEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        daemon_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(daemon_->start(kTopology, kState)) << daemon_->log();
        daemon_->exportEnvironment();
        Utils::isInSimulation = 0;
        for (auto init : {zl_psu_init, zl_slot_init, zl_fan_init, zl_temp_sensor_init, zl_system_init})
            ASSERT_EQ(init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();

        psu1_ = zl_psu_add(R"({"did": 8502, "driver": "Pmbus", "address": {"address": 88}})");
        psu2_ = zl_psu_add(R"({"did": 8503, "driver": "Pmbus", "address": {"address": 89},
            "driverArgs": {"gpioDevice": "MasterCpld", "powerOkReg": "16", "powerOkBit": "3"}})");
        bayPmbus_ = addSlot(8504, 88, R"("psuId": "1", "identificationType": "pmbus",
            "gpioDevice": "MasterCpld", "presenceReg": "16", "presenceBit": "0", "powerOkReg": "16",
            "powerOkBit": "2", "powerOkActiveLow": "false")");
        bayFru_ = addSlot(8505, 80, R"("psuId": "2", "identificationType": "ipmi")");
        bayTlv_ = addSlot(8506, 81, R"("psuId": "1", "identificationType": "tlv")");
        bayWedge_ = addSlot(8507, 82, R"("psuId": "1", "identificationType": "wedge")");
        // The command methods use no device of their own; they share the wedge bay's.
        bayTool_ = addSlot(8507, 82, R"("psuId": "1", "identificationType": "ipmitool", "ipmiId": "2")");
        bayRaw_ = addSlot(8507, 82, R"("psuId": "2", "identificationType": "ipmitool_raw",
            "ipmiId": "1", "ipmiRawModel": "model", "ipmiRawSerialNumber": "asset")");
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(psu1_ && psu2_ && bayPmbus_ && bayFru_ && bayTlv_ && bayWedge_ && bayTool_ && bayRaw_)
            << TestHost::dumpTraces();
        ASSERT_TRUE(daemon_->running() || daemon_->restart()) << daemon_->log();
        daemon_->exportEnvironment();
        daemon_->ctl({"fault", "all", "off"});
        ASSERT_EQ(zl_psu_init(kTopology), ZL_STATUS_OK);
        // A library that last talked to another test's service reconnects on first use.
        float warmUp = 0;
        if (readFloat(psu1_, ZL_PSU_GET_INPUT_VOLTAGE, &warmUp) != ZL_STATUS_OK)
            readFloat(psu1_, ZL_PSU_GET_INPUT_VOLTAGE, &warmUp);
        TestHost::clearTraces();
    }

    static zl_status readFloat(zl_psu* psu, int index, float* value) {
        return ZL_CALLBACK(psu, index, zl_psu_get_float_fn)(psu, value);
    }
    static zl_status powerOk(zl_psu* psu, int* ok) {
        return ZL_CALLBACK(psu, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(psu, ok);
    }
    struct Presence {
        zl_status status;
        std::string fdl;
    };
    static Presence presence(zl_slot* slot) {
        char* fdl = nullptr;
        Presence p{ZL_CALLBACK(slot, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(slot, &fdl), fdl ? fdl : ""};
        std::free(fdl);
        return p;
    }
    static void prop(const std::string& device, const std::string& name, const std::string& value) {
        daemon_->ctl({"prop", device, name, value});
    }

    static inline std::unique_ptr<TestSmbusd::Daemon> daemon_;
    static inline zl_psu *psu1_ = nullptr, *psu2_ = nullptr;
    static inline zl_slot *bayPmbus_ = nullptr, *bayFru_ = nullptr, *bayTlv_ = nullptr, *bayWedge_ = nullptr,
                          *bayTool_ = nullptr, *bayRaw_ = nullptr;
};

TEST_F(PowerEndToEnd, ReadingsOfTwoSuppliesAndTheirFan) {
    const struct { zl_psu* psu; int index; float expected; } cases[] = {
        {psu1_, ZL_PSU_GET_INPUT_VOLTAGE, 230.0f},  {psu1_, ZL_PSU_GET_INPUT_CURRENT, 1.25f},
        {psu1_, ZL_PSU_GET_OUTPUT_VOLTAGE, 12.0f},  {psu1_, ZL_PSU_GET_OUTPUT_CURRENT, 20.0f},
        {psu1_, ZL_PSU_GET_INPUT_POWER, 265.0f},    {psu1_, ZL_PSU_GET_OUTPUT_POWER, 240.0f},
        {psu2_, ZL_PSU_GET_INPUT_VOLTAGE, 115.0f},  {psu2_, ZL_PSU_GET_OUTPUT_VOLTAGE, 12.25f},
    };
    for (const auto& c : cases) {
        float value = -1.0f;
        ASSERT_EQ(readFloat(c.psu, c.index, &value), ZL_STATUS_OK) << c.expected << TestHost::dumpTraces();
        EXPECT_NEAR(value, c.expected, c.expected * 0.002f) << (c.psu == psu1_ ? "psu1 " : "psu2 ") << c.index;
    }
    // A NAK gives 6 and leaves the value alone.
    daemon_->ctl({"fault", "Psu2", "nak"});
    float volts = -7.0f;
    EXPECT_EQ(readFloat(psu2_, ZL_PSU_GET_OUTPUT_VOLTAGE, &volts), ZL_STATUS_FAILED);
    EXPECT_EQ(volts, -7.0f);

    // The supply's fan: the duty the chip is given, the speed it reports.
    zl_fan* fan = TestHost::hold(zl_fan_add(R"({"did": 8502, "driver": "Pmbus", "address": {"address": 88},
        "driverArgs": {"fanId": "1", "maxFanRpm": "20000"}})"));
    ASSERT_NE(fan, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(ZL_CALLBACK(fan, ZL_FAN_SET_RPM, zl_fan_set_rpm_fn)(fan, 12000), ZL_STATUS_OK);
    EXPECT_EQ(daemon_->ctl({"prop", "Psu1", "fan1_duty"}).substr(0, 2), "60");
    int rpm = 0;
    EXPECT_EQ(ZL_CALLBACK(fan, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn)(fan, &rpm), ZL_STATUS_OK);
    EXPECT_EQ(rpm, 12000);  // 750 x 2^4, exact in LINEAR11
}

TEST_F(PowerEndToEnd, PowerGoodFromStatusWordAndFromTheCpld) {
    // Psu1 from STATUS_WORD; Psu2 from the CPLD bit (active low), its own STATUS_WORD would
    // say fault here.
    const struct { zl_psu* psu; const char* device; const char* off; const char* good; zl_status status; int ok; } cases[] = {
        {psu1_, "Psu1", "0", "1", ZL_STATUS_OK, 1},
        {psu1_, "Psu1", "1", "0", ZL_STATUS_OK, 0},
        {psu1_, "Psu1", "0", "0", ZL_STATUS_DEVICE_FAULT, -1},  // not good while on
        {psu2_, "Psu2", "0", "1", ZL_STATUS_OK, 1},
        {psu2_, "Psu2", "0", "0", ZL_STATUS_OK, 0},
        {psu2_, "Psu2", "0", "1", ZL_STATUS_OK, 1},
    };
    for (const auto& c : cases) {
        prop(c.device, "off", c.off);
        prop(c.device, "power_good", c.good);
        int ok = -1;
        EXPECT_EQ(powerOk(c.psu, &ok), c.status) << c.device << " off " << c.off << " good " << c.good;
        EXPECT_EQ(ok, c.ok) << c.device << " off " << c.off << " good " << c.good;
        const unsigned cpld = std::stoul(daemon_->ctl({"read", "MasterCpld", "16"}), nullptr, 16);
        EXPECT_TRUE(c.psu == psu1_ || (cpld & 0x08u) == (c.ok ? 0u : 0x08u)) << std::hex << cpld;
    }
    prop("Psu1", "power_good", "1");
}

TEST_F(PowerEndToEnd, BayFollowsItsPsu) {
    const char* const emerson = "modelName=PS-2471-1AZ1-LF;serialNum=61AZ10101E340DU;vendor=Emerson";
    EXPECT_EQ(presence(bayPmbus_).fdl, emerson) << TestHost::dumpTraces();
    // Pulled: the presence bit says so and the PSU isn't asked.
    prop("Psu1", "present", "0");
    TestHost::clearTraces();
    const Presence empty = presence(bayPmbus_);
    EXPECT_EQ(empty.status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(empty.fdl.empty());
    EXPECT_FALSE(TestHost::traced("readSerialAndModelPmbus"));
    // Back, but switched off.
    prop("Psu1", "present", "1");
    prop("Psu1", "power_good", "0");
    EXPECT_EQ(presence(bayPmbus_).fdl, "modelName=PWR-UNKNOWN;serialNum=N/A;powered=no");
    // Powered again with another serial, then swapped for a unit of another model.
    prop("Psu1", "power_good", "1");
    prop("Psu1", "serial", "61AZ10101E340XX");
    EXPECT_EQ(presence(bayPmbus_).fdl, "modelName=PS-2471-1AZ1-LF;serialNum=61AZ10101E340XX;vendor=Emerson");
    prop("Psu1", "model", "DPS550AB6A");
    prop("Psu1", "serial", "GTVD0000000001");
    EXPECT_EQ(presence(bayPmbus_).fdl, "modelName=DPS550AB6A;serialNum=GTVD0000000001;vendor=Delta");
    // A model the bay has no template for.
    prop("Psu1", "model", "XYZ-1000");
    TestHost::clearTraces();
    EXPECT_EQ(presence(bayPmbus_).status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(TestHost::traced("PSU modelName = 'XYZ-1000'", 0));
    EXPECT_TRUE(TestHost::traced("Unknown modelName. PSU is unmanaged", 0));
    prop("Psu1", "model", "PS-2471-1AZ1-LF");
    prop("Psu1", "serial", "61AZ10101E340DU");
}

TEST_F(PowerEndToEnd, EepromIdentification) {
    for (zl_slot* bay : {bayFru_, bayTlv_})
        EXPECT_EQ(presence(bay).fdl, "modelName=DPS550AB6A;serialNum=GTVD1615001656;vendor=Delta") << TestHost::dumpTraces();
    for (const char* device : {"BayFru", "BayTlv"}) {
        prop(device, "serial", "GTVD9999");
        prop(device, "model", "PS-2471-1AZ1-LF");
    }
    for (zl_slot* bay : {bayFru_, bayTlv_})
        EXPECT_EQ(presence(bay).fdl, "modelName=PS-2471-1AZ1-LF;serialNum=GTVD9999;vendor=Emerson");
    prop("BayFru", "present", "0");
    EXPECT_EQ(presence(bayFru_).status, ZL_STATUS_NOT_FOUND);
    prop("BayFru", "present", "1");
    // Without a serial number record, or with a broken header, a TLV unit isn't identified.
    prop("BayTlv", "serial", "");
    EXPECT_EQ(presence(bayTlv_).status, ZL_STATUS_NOT_FOUND);
    prop("BayTlv", "serial", "TLV-0002");
    daemon_->ctl({"write", "BayTlv", "0", "0x58"});
    EXPECT_EQ(presence(bayTlv_).status, ZL_STATUS_NOT_FOUND);
    prop("BayTlv", "model", "DPS550AB6A");  // rebuilds the image
    EXPECT_EQ(presence(bayTlv_).fdl, "modelName=DPS550AB6A;serialNum=TLV-0002;vendor=Delta");
    prop("BayFru", "model", "DPS550AB6A");
    prop("BayFru", "serial", "GTVD1615001656");
}

TEST_F(PowerEndToEnd, WedgeRegisterIdentification) {
    daemon_->ctl({"write", "BayWedge", "8", "0x01"});  // PSU 2 absent, PSU 1 there
    EXPECT_EQ(presence(bayWedge_).fdl, "modelName=PWR-WEDGE;serialNum=N/A") << TestHost::dumpTraces();
    daemon_->ctl({"write", "BayWedge", "8", "0x02"});
    EXPECT_EQ(presence(bayWedge_).status, ZL_STATUS_NOT_FOUND);
    daemon_->ctl({"fault", "BayWedge", "nak"});
    EXPECT_EQ(presence(bayWedge_).status, ZL_STATUS_NOT_FOUND);
}

TEST_F(PowerEndToEnd, KvIpmiIdentification) {
    // "kvIpmi psuSlot 2" answers from Psu2's chip.
    EXPECT_EQ(presence(bayTool_).fdl, "modelName=DPS550AB6A;serialNum=PSU2SERIAL;vendor=Delta") << TestHost::dumpTraces();
    prop("Psu2", "present", "0");
    EXPECT_EQ(presence(bayTool_).status, ZL_STATUS_NOT_FOUND);  // "0 - -"
    prop("Psu2", "present", "1");
    // "kvIpmi raw psuSlot 1 ModelNumber=model SerialNumber=asset" answers from the FRU chip,
    // with the asset tag as the serial.
    EXPECT_EQ(presence(bayRaw_).fdl, "modelName=DPS550AB6A;serialNum=ASSET42;vendor=Delta") << TestHost::dumpTraces();
    // A tool that can't reach the service exits 1: not identified.
    daemon_->stop();
    EXPECT_EQ(presence(bayRaw_).status, ZL_STATUS_NOT_FOUND);
    ASSERT_TRUE(daemon_->restart()) << daemon_->log();
}

TEST_F(PowerEndToEnd, PowerCycleSetsBitsFourAndZeroOfRegisterThree) {
    std::unique_ptr<zl_system> system(zl_system_add("{}"));
    ASSERT_NE(system, nullptr);
    daemon_->ctl({"write", "MasterCpld", "3", "0x40"});
    auto powercycle = reinterpret_cast<zl_status (*)(zl_system*)>(system->callbacks[2]);
    EXPECT_EQ(powercycle(system.get()), ZL_STATUS_OK) << TestHost::dumpTraces();
    EXPECT_EQ(std::stoul(daemon_->ctl({"read", "MasterCpld", "3"}), nullptr, 16), 0x51u);
    daemon_->ctl({"fault", "MasterCpld", "nak"});
    EXPECT_EQ(powercycle(system.get()), ZL_STATUS_FAILED);
}

}  // namespace
