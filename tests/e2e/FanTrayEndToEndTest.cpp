// A fan tray bay and raw SMBus access through the host interface against the emulated board:
// the bay's description text in both airflow directions and with the tray pulled, as the
// tray EEPROM's airflow byte and the CPLD's presence bit change under the control client,
// and byte/word reads and writes through an SMBus proxy added by label and address.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Smbusd.h"
#include "TestHost.h"
#include "Utils.h"
#include "zl_api.h"

namespace {

// Dids 8800..8899 belong to this file (the library keeps driver objects by did for the
// whole process).
const char* kTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 0, "busses": [
     {"id": 1, "devices": [
       {"did": 8801, "label": "MasterCpld", "driver": "Dummy", "address": {"address": 35}}]},
     {"id": 3, "devices": [
       {"did": 8802, "label": "FanEeprom2", "driver": "OrvikFanEeprom", "address": {"address": 80},
        "driverArgs": {"offset": "16", "f2bVal": "70", "b2fVal": "66"}},
       {"did": 8803, "label": "FanBus2<0x50>", "driver": "SmbusProxyDriver", "address": {"address": 80}}]}
   ]}]}
])";

// The tray's EEPROM drives the bay's presence bit (active low) of the master CPLD.
const char* kState = R"({
  "FanEeprom2": {"properties": {"airflow": "f2b", "model": "FAN-ORVIKS-80", "serial": "FT2026020202"},
                 "bindings": [{"property": "present", "device": "MasterCpld", "reg": 17, "bit": 1,
                               "activeLow": true}]},
  "MasterCpld": {"registers": {"17": 0}}
})";

// Bay 2 of the OrvikS board: presence bit 1 of CPLD register 17, airflow byte 16 of the tray EEPROM.
const char* kBay =
    R"({"did": 8810, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {)"
    R"("presenceGpio2": "{\"did\":8801,\"driver\":\"Dummy\",\"address\":{\"address\":35},)"
    R"(\"driverArgs\":{\"register\":\"17\",\"bitpos\":\"1\"}}",)"
    R"("airflowGpio2": "{\"did\":8802,\"driver\":\"OrvikFanEeprom\",\"address\":{\"address\":80},)"
    R"(\"driverArgs\":{\"offset\":\"16\",\"f2bVal\":\"70\",\"b2fVal\":\"66\"}}"},)"
    R"("driverArgs": {"slotId": "2",)"
    R"( "fanFdl": "modelName={modelName};airflowDirection={airflowDirection};maxRpm={maxRpm}",
                 "rpmF2B": "25000", "rpmB2F": "23000", "modelName": "FAN-ORVIKS-80"}})";

class FanTrayEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TestSmbusd::addBinDirToPath();
        daemon_ = std::make_unique<TestSmbusd::Daemon>();
        ASSERT_TRUE(daemon_->start(kTopology, kState)) << daemon_->log();
        daemon_->exportEnvironment();
        Utils::isInSimulation = 0;
        for (auto init : {zl_slot_init, zl_gpio_init, zl_smbus_init})
            ASSERT_EQ(init(kTopology), ZL_STATUS_OK) << TestHost::dumpTraces();
        bay_ = TestHost::hold(zl_slot_add(kBay));
        proxy_ = TestHost::hold(zl_smbus_add("FanBus2", 0x50));
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_NE(bay_, nullptr) << TestHost::dumpTraces();
        ASSERT_NE(proxy_, nullptr) << TestHost::dumpTraces();
        ASSERT_TRUE(daemon_->running() || daemon_->restart()) << daemon_->log();
        daemon_->exportEnvironment();
        ASSERT_EQ(zl_slot_init(kTopology), ZL_STATUS_OK);
        // A library that last talked to another test's service reconnects on first use.
        unsigned char warmUp = 0;
        if (readByte(0, &warmUp) != ZL_STATUS_OK) readByte(0, &warmUp);
        TestHost::clearTraces();
    }

    struct Presence {
        zl_status status;
        std::string fdl;
    };
    static Presence presence() {
        char* fdl = nullptr;
        Presence p{ZL_CALLBACK(bay_, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(bay_, &fdl), fdl ? fdl : ""};
        std::free(fdl);
        return p;
    }
    static zl_status readByte(unsigned char reg, unsigned char* value) {
        return ZL_CALLBACK(proxy_, ZL_SMBUS_READ_BYTE, zl_smbus_read_byte_fn)(proxy_, reg, value);
    }
    static void prop(const std::string& name, const std::string& value) {
        daemon_->ctl({"prop", "FanEeprom2", name, value});
    }

    static inline std::unique_ptr<TestSmbusd::Daemon> daemon_;
    static inline zl_slot* bay_ = nullptr;
    static inline zl_smbus* proxy_ = nullptr;
};

const std::string kF2B = "modelName=FAN-ORVIKS-80;airflowDirection=frontToBackAirflow;maxRpm=25000";
const std::string kB2F = "modelName=FAN-ORVIKS-80;airflowDirection=backToFrontAirflow;maxRpm=23000";

TEST_F(FanTrayEndToEnd, BayDescribesTheTrayInBothDirectionsAndPulled) {
    // Each step changes the board, then reads the bay. The text is kept while the tray stays
    // in: a swap of the airflow byte shows only after the tray was out.
    const struct { const char* property; const char* value; zl_status status; const std::string& fdl; } steps[] = {
        {"airflow", "f2b", ZL_STATUS_OK, kF2B},
        {"present", "0", ZL_STATUS_NOT_FOUND, ""},
        {"airflow", "b2f", ZL_STATUS_NOT_FOUND, ""},
        {"present", "1", ZL_STATUS_OK, kB2F},
        {"airflow", "f2b", ZL_STATUS_OK, kB2F},  // cached while present
        {"present", "0", ZL_STATUS_NOT_FOUND, ""},
        {"present", "1", ZL_STATUS_OK, kF2B},
    };
    for (const auto& s : steps) {
        prop(s.property, s.value);
        Presence p = presence();
        EXPECT_EQ(p.status, s.status) << s.property << "=" << s.value << TestHost::dumpTraces();
        EXPECT_EQ(p.fdl, s.fdl) << s.property << "=" << s.value;
    }
    // A blank airflow byte is a failed airflow read: no text, nothing cached.
    prop("present", "0");
    presence();
    prop("airflow", "none");
    prop("present", "1");
    EXPECT_EQ(presence().status, ZL_STATUS_DEVICE_FAULT);
    prop("airflow", "b2f");
    EXPECT_EQ(presence().fdl, kB2F);
}

TEST_F(FanTrayEndToEnd, ProxyReadsAndWritesTheTrayEepromByLabel) {
    prop("airflow", "b2f");
    unsigned char byte = 0;
    ASSERT_EQ(readByte(16, &byte), ZL_STATUS_OK) << TestHost::dumpTraces();
    EXPECT_EQ(byte, 'B');
    ASSERT_EQ(readByte(0x20, &byte), ZL_STATUS_OK);
    EXPECT_EQ(byte, 'F');  // the model text starts there

    // A byte and a word written through the proxy land in the EEPROM, low byte first.
    auto writeByte = ZL_CALLBACK(proxy_, ZL_SMBUS_WRITE_BYTE, zl_smbus_write_byte_fn);
    auto writeWord = ZL_CALLBACK(proxy_, ZL_SMBUS_WRITE_WORD, zl_smbus_write_word_fn);
    auto readWord = ZL_CALLBACK(proxy_, ZL_SMBUS_READ_WORD, zl_smbus_read_word_fn);
    EXPECT_EQ(writeByte(proxy_, 0x80, 0x5A), ZL_STATUS_OK);
    EXPECT_EQ(writeWord(proxy_, 0x90, 0x1234), ZL_STATUS_OK);
    EXPECT_EQ(daemon_->ctl({"read", "FanEeprom2", "0x80"}), "5a\n");
    EXPECT_EQ(daemon_->ctl({"read", "FanEeprom2", "0x90", "2"}), "34 12\n");
    unsigned short word = 0;
    EXPECT_EQ(readWord(proxy_, 0x90, &word), ZL_STATUS_OK);
    EXPECT_EQ(word, 0x1234);

    // A pulled tray does not answer: the status comes back and the output stays.
    prop("present", "0");
    byte = 0x77;
    EXPECT_EQ(readByte(16, &byte), ZL_STATUS_FAILED);
    EXPECT_EQ(byte, 0x77);
    prop("present", "1");

    // A label the topology lacks at that address gives no record.
    EXPECT_EQ(zl_smbus_add("FanBus2", 0x51), nullptr);
    EXPECT_TRUE(TestHost::traced("smbus_add failed: device does not exist in topology", 0)) << TestHost::dumpTraces();
}

}  // namespace
