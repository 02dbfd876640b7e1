// The fan tray bays and the tray EEPROM's airflow byte: a bay made through the library's own
// add function, its text in both airflow directions, the cache and when it is emptied, bays
// without a GPIO, the slot's range and member keys, the EEPROM's byte values.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/Orvik/OrvikFanEeprom.h"
#include "Drivers/Orvik/OrvikFanTray.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::OrvikFanEeprom;
using Drivers::OrvikFanTray;
using TestHost::FakeHam;
using TestHost::ScriptedGpio;

namespace {

// Bay 3 (the last) of a tray whose presence bits are in register 17 of the CPLD (did 7710) and whose airflow byte
// is at offset 16 of its EEPROM (did 7713), front-to-back 70, back-to-front 66.
constexpr uint8_t kF2B = 70, kB2F = 66;
const char kTray[] = R"({"did":7723,"driver":"OrvikFanTray","isMultiDevice":true,"multiDeviceArgs":{
  "presenceGpio3":"{\"did\":7710,\"driver\":\"Dummy\",\"address\":{\"address\":35},\"driverArgs\":{\"register\":\"17\",\"bitpos\":\"2\"}}",
  "airflowGpio3":"{\"did\":7713,\"driver\":\"OrvikFanEeprom\",\"address\":{\"address\":80},\"driverArgs\":{\"offset\":\"16\",\"f2bVal\":\"70\",\"b2fVal\":\"66\"}}"},
  "driverArgs":{"slotId":"3","fanFdl":"{modelName}:{airflowDirection}:{maxRpm}","rpmF2B":"25000","rpmB2F":"23000","modelName":"M"}})";

TEST(FanTrayTest, ABayDescribesItsTrayByAirflowUntilPulled) {
    TestHost::FakeRegistrations registrations;
    Utils::isInSimulation = 0;
    ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology("{\"did\":7710},{\"did\":7713}").c_str()), ZL_STATUS_OK);
    const std::string f2b = "M:frontToBackAirflow:25000", b2f = "M:backToFrontAirflow:23000";
    // Step by step: tray in or out, the EEPROM's airflow byte, the CPLD's status, and what
    // the bay answers and whether it read the EEPROM.
    const struct { bool in; uint8_t airflow; zl_status cpld; zl_status status; std::string fdl; bool readsEeprom; } steps[] = {
        {true, kF2B, 0, 0, f2b, true},
        {true, kB2F, 0, 0, f2b, false},  // cached while the tray stays in
        {true, kB2F, 4, 4, "-", false},  // presence unreadable: cache emptied
        {true, kB2F, 0, 0, b2f, true},
        {false, kB2F, 0, 1, "-", false},
        {true, 0, 0, 2, "-", true},      // put back: read again, a byte of no known meaning
    };
    TestHost::clearTraces();
    zl_slot* record = TestHost::hold(zl_slot_add(kTray));
    ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(static_cast<OrvikFanTray::FanSlot*>(record->object)->index, 2);
    FakeHam& cpld = *TestHost::fakeHamFor(7710);
    FakeHam& eeprom = *TestHost::fakeHamFor(7713);
    for (const auto& s : steps) {
        cpld.bytes[17] = s.in ? 0xFB : 0x04;  // other bays opposite
        cpld.status = s.cpld;
        eeprom.bytes[16] = s.airflow;
        const size_t reads = eeprom.executed.size();
        EXPECT_EQ(TestHost::slotPresence(record), std::make_pair(s.status, s.fdl));
        EXPECT_EQ(eeprom.executed.size() - reads, s.readsEeprom ? 1u : 0u);
    }
}

// Bays made directly with scripted GPIOs: a missing GPIO answers with a status, never a call
// through a null record; a template without one of the keys fails the call, not the process.
TEST(FanTraySlot, MissingGpiosAndBrokenTemplates) {
    OrvikFanTray::SlotArgs values{2, "{modelName}:{airflowDirection}:{maxRpm}", "R", "B", "M"};
    const Drivers::DriverSpecificArgs args;
    ScriptedGpio in(0, ZL_STATUS_OK), out(1, ZL_STATUS_OK), b2f(1, ZL_STATUS_OK);
    const struct { zl_gpio* presence; zl_gpio* airflow; zl_status status; const char* fdl; } cases[] = {
        {&in.record, &b2f.record, 0, "M:backToFrontAirflow:B"},
        {nullptr, &b2f.record, 5, "-"},
        {&in.record, nullptr, 5, "-"},
        {&out.record, nullptr, 1, "-"},
    };
    for (const auto& c : cases) {
        OrvikFanTray::FanSlot slot(values, c.presence, c.airflow, args, nullptr);
        EXPECT_EQ(TestHost::slotPresence(&slot.record), std::make_pair(c.status, std::string(c.fdl)));
    }
    values.fanFdl = "{modelName}:{airflowDirection}";
    OrvikFanTray::FanSlot broken(values, &in.record, &b2f.record, args, nullptr);
    EXPECT_EQ(TestHost::slotPresence(&broken.record).first, ZL_STATUS_FAILED);
    EXPECT_EQ(broken.cachedFdl_, nullptr);
}

// (Every declared argument's absence, texts and range ends: CatalogueTest and ArgReaderTest.)
TEST(FanTraySlot, SlotRulesAndMemberKeys) {
    OrvikFanTray tray;
    tray.deviceDriverArgsIs({{"presenceGpio2", "{"}});  // a member that can't be made: a null handle
    Drivers::FactoryArgs args;
    args.driverArgs = {
        {"slotId", "4"}, {"fanFdl", "{modelName}"}, {"rpmF2B", "R"}, {"rpmB2F", "B"}, {"modelName", "M"}};
    EXPECT_EQ(TestHost::brokenRule([&] { tray.newSlot(args); }), "1 <= slotId && slotId <= 3");
    EXPECT_TRUE(tray.gpios.empty());  // no member added for a bay that isn't made
    // "258" keeps its low 8 bits: bay 2, member keys presenceGpio2 and airflowGpio2.
    args.driverArgs["slotId"] = "258";
    TestHost::clearTraces();
    std::unique_ptr<Component::LogicalDevice::Slot> slot(tray.newSlot(args));
    EXPECT_EQ(slot->index, 1);
    EXPECT_EQ(tray.gpios, std::vector<zl_gpio*>{nullptr});
    EXPECT_TRUE(TestHost::traced("Failed to find driverArgs for driver key 'airflowGpio2'", 0));
}

TEST(FanEeprom, AirflowByteAndArguments) {
    FakeHam ham;
    OrvikFanEeprom eeprom;
    eeprom.ham = &ham;
    Drivers::FactoryArgs args;
    args.driverArgs = {{"offset", "300"}, {"f2bVal", "70"}, {"b2fVal", "66"}};
    std::unique_ptr<Component::LogicalDevice::Gpio> gpio(eeprom.newGpio(args));
    const struct { uint8_t byte; zl_status status; unsigned bit; } cases[] = {{70, 0, 0}, {66, 0, 1}, {0, 2, 9}};
    for (const auto& c : cases) {
        ham.bytes[44] = c.byte;  // offset 300 is 44 in 8 bits
        unsigned bit = 9;
        EXPECT_EQ(gpio->bitRead(&bit), c.status) << int(c.byte);
        EXPECT_EQ(bit, c.bit) << int(c.byte);
    }
    ham.status = ZL_STATUS_NO_COMM;
    unsigned bit = 9;
    EXPECT_EQ(gpio->bitRead(&bit), ZL_STATUS_NO_COMM);
    ham.traffic();
    EXPECT_EQ(gpio->bitSet(), ZL_STATUS_OK);
    EXPECT_EQ(gpio->bitClear(), ZL_STATUS_OK);
    EXPECT_EQ(ham.traffic(), "");  // never written

    // Equal values read as front-to-back.
    args.driverArgs = {{"offset", "1"}, {"f2bVal", "5"}, {"b2fVal", "261"}};
    ham.status = ZL_STATUS_OK;
    ham.bytes[1] = 5;
    std::unique_ptr<Component::LogicalDevice::Gpio> same(eeprom.newGpio(args));
    EXPECT_EQ(same->bitRead(&bit), ZL_STATUS_OK);
    EXPECT_EQ(bit, 0u);
}

}  // namespace
