// The host program's own parts: status words, description texts, the board file, the
// board check, the report and the timer service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BoardCheck.h"
#include "BoardFile.h"
#include "Fdl.h"
#include "Report.h"
#include "Status.h"
#include "Timers.h"

using namespace Host;

namespace {

std::string joined(const std::vector<BoardProblem>& problems) {
    std::string out;
    for (const auto& p : problems) out += p.device + ": " + p.rule + "\n";
    return out;
}

bool mentions(const std::vector<BoardProblem>& problems, const std::string& device, const std::string& needle) {
    for (const auto& p : problems)
        if (p.device == device && p.rule.find(needle) != std::string::npos) return true;
    return false;
}

// A small board: a CPLD, a sensor, a PSU, a fan controller and a mux with one EEPROM behind it.
const char* kTopology = R"([
  {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
    {"id": 0, "busses": [
      {"id": 0, "devices": [
        {"did": 1, "label": "MasterCpld", "driver": "Dummy", "address": {"address": 35}},
        {"did": 2, "label": "LedCpld", "driver": "OrvikLedCpld", "address": {"address": 96}},
        {"did": 10, "label": "TempInlet", "driver": "TMP75", "address": {"address": 72}},
        {"did": 20, "label": "FanCtrl1", "driver": "Max6620", "address": {"address": 41}, "driverArgs": {"maxId": 1}},
        {"did": 30, "label": "FanEeprom1", "driver": "OrvikFanEeprom", "address": {"address": 80}},
        {"did": 40, "label": "Psu1", "driver": "Pmbus", "address": {"address": 88}},
        {"did": 42, "label": "PsuBay1", "driver": "PsuSlot", "address": {"address": 80}},
        {"did": 50, "label": "PortCpldA", "driver": "OrvikSCpldA", "address": {"address": 49}},
        {"did": 60, "label": "FanTray1", "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {}},
        {"did": 70, "label": "Loose"}
      ]},
      {"id": 1, "devices": [
        {"did": 52, "label": "XcvrMux", "driver": "OrvikSXcvrMux", "address": {"address": 112},
         "driverArgs": {"reg": "16", "reset": "0"}}],
       "muxes": [{"did": 52, "busses": [
         {"id": 1, "devices": [{"did": 101, "label": "xcvr1<0x50>", "driver": "SmbusProxyDriver",
                                "address": {"address": 80}}]}]}]}
    ]}
  ]}
])";

Topology topology() {
    Topology t;
    std::vector<BoardProblem> problems;
    EXPECT_TRUE(parseTopology(kTopology, &t, &problems)) << joined(problems);
    return t;
}

BoardDevice deviceOf(Kind kind, const std::string& text) {
    BoardDevice d;
    d.kind = kind;
    d.name = "Dev";
    d.text = text;
    d.address = 0x50;
    return d;
}

}  // namespace

// ---------------------------------------------------------------- status words

TEST(HostStatus, EveryStatusHasItsWord) {
    const std::pair<int, const char*> cases[] = {
        {0, "ok"},          {1, "not found"},    {2, "device fault"}, {3, "bad input"},      {4, "no communication"},
        {5, "not provided"}, {6, "failed"},      {kNotSupported, "not supported"}, {kNotAdded, "not added"},
        {7, "status 7"},    {-9, "status -9"},
    };
    for (const auto& [status, word] : cases) EXPECT_EQ(statusWord(status), word) << status;
}

// ---------------------------------------------------------------- description texts

TEST(HostFdl, ParsesItems) {
    struct Case {
        const char* text;
        std::vector<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {"modelName=DPS550AB6A;serialNum=GTVD1615001656", {{"modelName", "DPS550AB6A"}, {"serialNum", "GTVD1615001656"}}},
        {"a=1\nb=2\n", {{"a", "1"}, {"b", "2"}}},
        {"  model : X-1  ;  serial= 42 ", {{"model", "X-1"}, {"serial", "42"}}},  // ':' as fallback, blanks trimmed
        {"k=a=b", {{"k", "a=b"}}},                                              // split at the first '='
        {"=orphan;noseparator;x=1", {{"x", "1"}}},                              // unusable items ignored
        {"x=1;x=2", {{"x", "2"}}},                                              // later replaces earlier
        {"maxRpm=", {{"maxRpm", ""}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        Fdl fdl = parseFdl(c.text);
        EXPECT_EQ(fdl.size(), c.expected.size()) << c.text;
        for (const auto& [key, value] : c.expected) EXPECT_EQ(fdl[key], value) << c.text << " key " << key;
    }
}

TEST(HostFdl, ValueTakesTheFirstKeyPresent) {
    Fdl fdl = parseFdl("model=short;modelName=long");
    EXPECT_EQ(fdlValue(fdl, {"modelName", "model"}), "long");
    EXPECT_EQ(fdlValue(fdl, {"serialNum", "model"}), "short");
    EXPECT_EQ(fdlValue(fdl, {"serialNum"}), "");
}

// ---------------------------------------------------------------- board file

TEST(HostBoardFile, ReadsEveryKind) {
    const char* text = R"({
      "board": "T", "topology": "topo.json", "emulation": "emu.json",
      "system": {"name": "S", "device": {"board": "T"}},
      "temperatureSensors": [{"name": "Inlet", "alert": 45, "critical": 55.5,
                              "device": {"did": 10, "driver": "TMP75", "address": {"address": 72}}}],
      "slots": [{"name": "Bay", "slotType": "psuBay", "device": "{\"did\": 42"}],
      "powerSupplies": [{"name": "PSU1", "bay": "Bay", "device": {"did": 40}}],
      "leds": [{"name": "L", "readback": {"register": 7, "width": 4}, "device": {"did": 2}}],
      "smbusProxies": [{"name": "E", "address": 80, "port": "P", "device": "xcvr1"}]
    })";
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(text, "/x/y/board.json", &board, &problems)) << joined(problems);
    EXPECT_TRUE(problems.empty()) << joined(problems);
    EXPECT_EQ(board.name, "T");
    EXPECT_EQ(board.dir, "/x/y");
    EXPECT_EQ(board.topologyPath(), "/x/y/topo.json");
    EXPECT_EQ(board.emulationFile, "emu.json");
    ASSERT_TRUE(board.hasSystem);
    EXPECT_EQ(board.system.text, R"({"board":"T"})");
    ASSERT_EQ(board.devices.size(), 5u);

    const BoardDevice* inlet = board.find(Kind::TempSensor, "Inlet");
    ASSERT_NE(inlet, nullptr);
    EXPECT_EQ(inlet->text, R"({"did":10,"driver":"TMP75","address":{"address":72}})");  // compact
    EXPECT_DOUBLE_EQ(inlet->alert, 45);
    EXPECT_DOUBLE_EQ(inlet->critical, 55.5);
    EXPECT_EQ(board.find(Kind::Slot, "Bay")->text, "{\"did\": 42");  // a string is passed as written
    EXPECT_EQ(board.find(Kind::Psu, "PSU1")->bay, "Bay");
    EXPECT_EQ(board.find(Kind::Led, "L")->readbackRegister, 7);
    EXPECT_EQ(board.find(Kind::Led, "L")->readbackWidth, 4);
    EXPECT_EQ(board.find(Kind::Smbus, "E")->address, 80);
    EXPECT_EQ(board.find(Kind::Smbus, "E")->port, "P");
    EXPECT_EQ(board.find(Kind::Fan, "Inlet"), nullptr);  // names are per kind
}

TEST(HostBoardFile, AbsoluteAndBareTopologyPaths) {
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(R"({"topology": "/abs/t.json"})", "b.json", &board, &problems));
    EXPECT_EQ(board.topologyPath(), "/abs/t.json");
    ASSERT_TRUE(parseBoard(R"({"topology": "t.json"})", "b.json", &board, &problems));
    EXPECT_EQ(board.topologyPath(), "./t.json");
}

TEST(HostBoardFile, UnusableFilesAreRefused) {
    struct Case {
        const char* text;
        const char* rule;
    };
    const Case cases[] = {
        {"{\"topology\": ", "not JSON"},
        {"[1, 2]", "not a JSON object"},
        {"{\"board\": \"x\"}", "no \"topology\""},
        {"{\"topology\": 5}", "no \"topology\""},
    };
    for (const auto& c : cases) {
        Board board;
        std::vector<BoardProblem> problems;
        EXPECT_FALSE(parseBoard(c.text, "b.json", &board, &problems)) << c.text;
        ASSERT_EQ(problems.size(), 1u) << c.text;
        EXPECT_NE(problems[0].rule.find(c.rule), std::string::npos) << problems[0].rule;
    }
}

TEST(HostBoardFile, BadEntriesAreReportedAndLeftOut) {
    const char* text = R"({"topology": "t.json",
      "fans": [7, {"device": {}}, {"name": "NoDevice"}, {"name": "Num", "device": 5},
               {"name": "Ok", "device": {}}, {"name": "Ok", "device": {}}],
      "temperatureSensors": [{"name": "NoLimits", "device": {}}],
      "smbusProxies": [{"name": "Far", "address": 200, "device": "x"}],
      "leds": [{"name": "BadReadback", "readback": {"register": 7, "width": 9}, "device": {}}],
      "gpios": {"name": "notalist"}
    })";
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(text, "b.json", &board, &problems));
    EXPECT_TRUE(mentions(problems, "fans[0]", "not a JSON object")) << joined(problems);
    EXPECT_TRUE(mentions(problems, "fans[1]", "no \"name\""));
    EXPECT_TRUE(mentions(problems, "NoDevice", "no \"device\""));
    EXPECT_TRUE(mentions(problems, "Num", "neither a JSON object nor a string"));
    EXPECT_TRUE(mentions(problems, "Ok", "second fan"));
    EXPECT_TRUE(mentions(problems, "NoLimits", "\"alert\""));
    EXPECT_TRUE(mentions(problems, "Far", "0 to 127"));
    EXPECT_TRUE(mentions(problems, "BadReadback", "\"readback\""));
    EXPECT_TRUE(mentions(problems, "gpios", "not a JSON array"));
    // Kept: one "Ok" fan and the LED (its read-back is dropped).
    ASSERT_EQ(board.devices.size(), 2u) << joined(problems);
    EXPECT_EQ(board.find(Kind::Led, "BadReadback")->readbackRegister, -1);
}

// ---------------------------------------------------------------- topology

TEST(HostTopology, CollectsDevicesAboveAndBelowMuxes) {
    Topology t = topology();
    ASSERT_NE(t.byDid(101), nullptr);
    EXPECT_EQ(t.byDid(101)->label, "xcvr1<0x50>");
    EXPECT_EQ(t.byDid(20)->driverArgs.at("maxId"), "1");  // numbers become text as in the library
    EXPECT_EQ(t.byDid(52)->driverArgs.at("reg"), "16");
    EXPECT_EQ(t.byLabel("MasterCpld")->address, 35);
    EXPECT_TRUE(t.byDid(60)->isMultiDevice);
    EXPECT_EQ(t.byDid(70)->driver, "");
    EXPECT_EQ(t.muxDids, std::vector<unsigned>{52});
    EXPECT_EQ(t.byDid(999), nullptr);
}

TEST(HostTopology, BrokenDocuments) {
    struct Case {
        const char* text;
        const char* rule;
    };
    const Case cases[] = {
        {"[", "not JSON"},
        {"{}", "not an array"},
        {R"([{"type": "SCD"}])", "\"type\" and \"ham\""},
        {R"([{"type": "Bus", "ham": "x"}])", "unknown medium type"},
        {R"([{"type": "SCD", "ham": "x"}])", "no unsigned \"pci\""},
        {R"([{"type": "SCD", "ham": "x", "pci": 1, "accelerators": [{"id": 0, "busses": [{"id": 1}, {"id": 1}]}]}])",
         "two buses"},
        {R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [{"label": "nodid"}]}])", "no unsigned \"did\""},
        {R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [{"did": 1, "driver": "TMP75"}]}])", "no \"address\""},
    };
    for (const auto& c : cases) {
        Topology t;
        std::vector<BoardProblem> problems;
        EXPECT_FALSE(parseTopology(c.text, &t, &problems)) << c.text;
        ASSERT_FALSE(problems.empty()) << c.text;
        EXPECT_NE(problems[0].rule.find(c.rule), std::string::npos) << c.text << " -> " << problems[0].rule;
    }
}

TEST(HostCheck, DecimalNumbers) {
    const std::pair<const char*, bool> cases[] = {{"0", true},   {"-5", true},  {"+7", true},   {"25000", true},
                                                  {"", false},   {"-", false},  {"0x10", false}, {" 7", false},
                                                  {"7a", false}, {"1.5", false}, {"99999999999", false}};
    for (const auto& [text, ok] : cases) EXPECT_EQ(isDecimal(text), ok) << text;
    long v = 0;
    ASSERT_TRUE(isDecimal("-12", &v));
    EXPECT_EQ(v, -12);
}

// ---------------------------------------------------------------- device checks

struct DeviceCase {
    const char* what;
    Kind kind;
    const char* text;
    const char* rule;  // a problem must contain this; null: no problem at all
};

class HostDeviceCheck : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(HostDeviceCheck, Rule) {
    const DeviceCase& c = GetParam();
    Topology t = topology();
    std::vector<BoardProblem> problems;
    checkDevice(deviceOf(c.kind, c.text), t, &problems);
    if (c.rule == nullptr) {
        EXPECT_TRUE(problems.empty()) << joined(problems);
    } else {
        bool found = false;
        for (const auto& p : problems) found |= p.rule.find(c.rule) != std::string::npos;
        EXPECT_TRUE(found) << "wanted \"" << c.rule << "\", got:\n" << joined(problems);
    }
}

#define ADDR(a) "\"address\": {\"address\": " #a "}"

INSTANTIATE_TEST_SUITE_P(
    Texts, HostDeviceCheck,
    ::testing::Values(
        DeviceCase{"good sensor", Kind::TempSensor, R"({"did": 10, "driver": "TMP75", )" ADDR(72) "}", nullptr},
        DeviceCase{"cut short", Kind::TempSensor, R"({"did": 10, "driver": )", "not JSON"},
        DeviceCase{"array", Kind::TempSensor, "[1]", "not a JSON object"},
        DeviceCase{"no did", Kind::TempSensor, R"({"driver": "TMP75", )" ADDR(72) "}", "no \"did\""},
        DeviceCase{"negative did", Kind::TempSensor, R"({"did": -1, "driver": "TMP75", )" ADDR(72) "}", "unsigned"},
        DeviceCase{"no driver", Kind::TempSensor, R"({"did": 10, )" ADDR(72) "}", "no \"driver\""},
        DeviceCase{"no address", Kind::TempSensor, R"({"did": 10, "driver": "TMP75"})", "no \"address\""},
        DeviceCase{"address not object", Kind::TempSensor, R"({"did": 10, "driver": "TMP75", "address": 72})",
                   "\"address\" is not an object"},
        DeviceCase{"addrSize 3", Kind::TempSensor,
                   R"({"did": 10, "driver": "TMP75", "address": {"address": 72, "addrSize": 3}})", "1 or 2"},
        DeviceCase{"unknown driver", Kind::TempSensor, R"({"did": 10, "driver": "TMP76", )" ADDR(72) "}",
                   "not one of the library's drivers"},
        DeviceCase{"driver lacks kind", Kind::Fan, R"({"did": 10, "driver": "TMP75", )" ADDR(72) "}", "makes no fan"},
        DeviceCase{"did not in topology", Kind::TempSensor, R"({"did": 11, "driver": "TMP75", )" ADDR(73) "}",
                   "not in the topology"},
        DeviceCase{"driver differs", Kind::Gpio,
                   R"({"did": 10, "driver": "Dummy", )" ADDR(72) R"(, "driverArgs": {"register": "1", "bitpos": "0"}})",
                   "differs from the topology's \"TMP75\""},
        DeviceCase{"GpioDriver on a Dummy", Kind::Gpio,
                   R"({"did": 1, "driver": "GpioDriver", )" ADDR(35) R"(, "driverArgs": {"register": "16", "bitpos": "0"}})",
                   nullptr},
        DeviceCase{"address differs", Kind::TempSensor, R"({"did": 10, "driver": "TMP75", )" ADDR(73) "}",
                   "differs from the topology's 72"},
        DeviceCase{"register gpio without bitpos", Kind::Gpio,
                   R"({"did": 1, "driver": "Dummy", )" ADDR(35) R"(, "driverArgs": {"register": "16"}})",
                   "needs \"bitpos\""},
        DeviceCase{"bitpos 9", Kind::Gpio,
                   R"({"did": 1, "driver": "Dummy", )" ADDR(35) R"(, "driverArgs": {"register": "16", "bitpos": 9}})",
                   "from 0 to 7"},
        DeviceCase{"max6620 fan", Kind::Fan,
                   R"({"did": 20, "driver": "Max6620", )" ADDR(41)
                   R"(, "driverArgs": {"maxId": "1", "id": "1", "regOffset": "0", "maxRpm": "25000"}})",
                   nullptr},
        DeviceCase{"max6620 fan id 9", Kind::Fan,
                   R"({"did": 20, "driver": "Max6620", )" ADDR(41)
                   R"(, "driverArgs": {"maxId": "1", "id": "9", "regOffset": "0", "maxRpm": "25000"}})",
                   "\"id\" must be from 1 to 8"},
        DeviceCase{"max6620 maxRpm text", Kind::Fan,
                   R"({"did": 20, "driver": "Max6620", )" ADDR(41)
                   R"(, "driverArgs": {"maxId": "1", "id": "1", "regOffset": "0", "maxRpm": "fast"}})",
                   "\"maxRpm\" must be a decimal number"},
        DeviceCase{"max6620 without maxId", Kind::Fan,
                   R"({"did": 20, "driver": "Max6620", )" ADDR(41)
                   R"(, "driverArgs": {"id": "1", "regOffset": "0", "maxRpm": "1"}})",
                   "needs \"maxId\""},
        DeviceCase{"pmbus fan 3", Kind::Fan,
                   R"({"did": 40, "driver": "Pmbus", )" ADDR(88) R"(, "driverArgs": {"fanId": "3", "maxFanRpm": "1"}})",
                   "\"fanId\" must be from 1 to 2"},
        DeviceCase{"pmbus sensor", Kind::TempSensor,
                   R"({"did": 40, "driver": "Pmbus", )" ADDR(88) R"(, "driverArgs": {"sensorId": "2"}})", nullptr},
        DeviceCase{"pmbus unknown gpio label", Kind::Psu,
                   R"({"did": 40, "driver": "Pmbus", )" ADDR(88)
                   R"(, "driverArgs": {"gpioDevice": "Nope", "powerOkReg": "16", "powerOkBit": "3"}})",
                   "names label \"Nope\""},
        DeviceCase{"pmbus gpio label without driver", Kind::Psu,
                   R"({"did": 40, "driver": "Pmbus", )" ADDR(88)
                   R"(, "driverArgs": {"gpioDevice": "Loose", "powerOkReg": "16", "powerOkBit": "3"}})",
                   "has no driver"},
        DeviceCase{"psu slot", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "1", "identificationType": "ipmi", "model_1": "M", "psuFdl_1": "s={serialNum}"}})",
                   nullptr},
        DeviceCase{"psu slot bad method", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "1", "identificationType": "IPMI", "model_1": "M", "psuFdl_1": "{serialNum}"}})",
                   "must be one of pmbus, ipmi"},
        DeviceCase{"psu slot template without serial", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "2", "identificationType": "pmbus", "model_1": "M", "psuFdl_1": "model=M"}})",
                   "lacks the placeholder {serialNum}"},
        DeviceCase{"psu slot model without template", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "2", "identificationType": "pmbus", "model_1": "M"}})",
                   "needs \"psuFdl_1\""},
        DeviceCase{"psu slot raw ipmi", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "2", "identificationType": "ipmitool_raw", "ipmiId": "2", "model_1": "M", "psuFdl_1": "{serialNum}"}})",
                   "needs \"ipmiRawModel\""},
        DeviceCase{"psu slot bits", Kind::Slot,
                   R"({"did": 42, "driver": "PsuSlot", )" ADDR(80)
                   R"(, "driverArgs": {"psuId": "1", "identificationType": "ipmi", "model_1": "M", "psuFdl_1": "{serialNum}",
                        "gpioDevice": "MasterCpld", "presenceReg": "16", "presenceBit": "0", "powerOkReg": "16"}})",
                   "needs \"powerOkBit\""},
        DeviceCase{"fan tray", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {
                        "presenceGpio1": "{\"did\":1,\"driver\":\"Dummy\",\"address\":{\"address\":35},\"driverArgs\":{\"register\":\"17\",\"bitpos\":\"0\"}}",
                        "airflowGpio1": "{\"did\":30,\"driver\":\"OrvikFanEeprom\",\"address\":{\"address\":80},\"driverArgs\":{\"offset\":\"16\",\"f2bVal\":\"70\",\"b2fVal\":\"66\"}}"},
                       "driverArgs": {"slotId": "1", "fanFdl": "{modelName}:{airflowDirection}:{maxRpm}",
                                      "rpmF2B": "1", "rpmB2F": "2", "modelName": "M"}})",
                   nullptr},
        DeviceCase{"fan tray without multi-device", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", )" ADDR(1) "}", "needs \"isMultiDevice\": true"},
        DeviceCase{"fan tray slot 4 and template", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {},
                       "driverArgs": {"slotId": "4", "fanFdl": "{modelName}", "rpmF2B": "1", "rpmB2F": "2", "modelName": "M"}})",
                   "lacks the placeholder {maxRpm}"},
        DeviceCase{"fan tray broken member", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {
                        "presenceGpio1": "{\"did\":1,", "airflowGpio1": "x"},
                       "driverArgs": {"slotId": "1", "fanFdl": "{modelName}{airflowDirection}{maxRpm}",
                                      "rpmF2B": "1", "rpmB2F": "2", "modelName": "M"}})",
                   "not JSON"},
        DeviceCase{"fan tray member missing", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {"fan1": "{}"},
                       "driverArgs": {"slotId": "1", "fanFdl": "{modelName}{airflowDirection}{maxRpm}",
                                      "rpmF2B": "1", "rpmB2F": "2", "modelName": "M"}})",
                   "needs \"presenceGpio1\""},
        DeviceCase{"multi-device member not text", Kind::Slot,
                   R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {"fan1": 5}})",
                   "is not a string"},
        DeviceCase{"airflow eeprom", Kind::Gpio,
                   R"({"did": 30, "driver": "OrvikFanEeprom", )" ADDR(80) R"(, "driverArgs": {"offset": "16", "f2bVal": "70"}})",
                   "needs \"b2fVal\""},
        DeviceCase{"led capital type", Kind::Led,
                   R"({"did": 2, "driver": "OrvikLedCpld", )" ADDR(96) R"(, "driverArgs": {"id": "1", "bitOffset": "0", "type": "Status"}})",
                   "must be one of status, fantray, multifan, multipsu"},
        DeviceCase{"qsfp cage 7", Kind::Xcvr,
                   R"({"did": 50, "driver": "OrvikSCpldA", )" ADDR(49) R"(, "driverArgs": {"id": "7", "type": "qsfp"}})",
                   "\"id\" must be from 1 to 6"},
        DeviceCase{"qsfp cage typed sfp", Kind::Xcvr,
                   R"({"did": 50, "driver": "OrvikSCpldA", )" ADDR(49) R"(, "driverArgs": {"id": "2", "type": "sfp"}})",
                   "must be one of qsfp, qsfp+"},
        DeviceCase{"proxy by label", Kind::Smbus, "xcvr1", nullptr},
        DeviceCase{"proxy by unknown label", Kind::Smbus, "xcvr2", "labelled xcvr2<0x50>"},
        DeviceCase{"proxy delay", Kind::Smbus,
                   R"({"did": 101, "driver": "SmbusProxyDriver", )" ADDR(80) R"(, "driverArgs": {"localReadDelayMs": "5ms"}})",
                   "\"localReadDelayMs\" must be a decimal number"}),
    [](const ::testing::TestParamInfo<DeviceCase>& param) {
        std::string name;
        for (const char* p = param.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

// ---------------------------------------------------------------- whole board

TEST(HostCheck, BoardRulesAcrossEntries) {
    const char* text = R"({"topology": "t.json",
      "fans": [{"name": "F", "tray": "NoTray", "device": {"did": 40, "driver": "Pmbus", "address": {"address": 88},
                "driverArgs": {"fanId": "1", "maxFanRpm": "100"}}}],
      "powerSupplies": [{"name": "P", "bay": "B", "device": {"did": 40, "driver": "Pmbus", "address": {"address": 88}}}],
      "slots": [{"name": "B", "device": {"did": 42, "driver": "PsuSlot", "address": {"address": 80},
                 "driverArgs": {"psuId": "1", "identificationType": "ipmi", "model_1": "M", "psuFdl_1": "{serialNum}"}}}],
      "gpios": [{"name": "G", "device": {"did": 40, "driver": "Dummy", "address": {"address": 88},
                 "driverArgs": {"register": "1", "bitpos": "0"}}}],
      "temperatureSensors": [{"name": "T", "alert": 90, "critical": 80,
                              "device": {"did": 10, "driver": "TMP75", "address": {"address": 72}}}]
    })";
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(text, "b.json", &board, &problems));
    checkBoard(board, topology(), &problems);
    EXPECT_TRUE(mentions(problems, "F", "\"tray\" names slot \"NoTray\"")) << joined(problems);
    EXPECT_TRUE(mentions(problems, "B", "\"slotType\""));
    EXPECT_TRUE(mentions(problems, "G", "same did"));
    EXPECT_TRUE(mentions(problems, "T", "\"alert\" is above \"critical\""));
    EXPECT_FALSE(mentions(problems, "P", ""));  // the bay it names exists
}

TEST(HostCheck, TopologyDuplicates) {
    const char* text = R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [
        {"did": 1, "label": "A", "driver": "Dummy", "address": {"address": 1}},
        {"did": 1, "label": "A", "driver": "Bogus", "address": {"address": 2}},
        {"did": 3, "label": "M", "driver": "OrvikSXcvrMux", "address": {"address": 3}, "driverArgs": {"reg": "0x10"}}],
      "muxes": [{"did": 9, "busses": []}]}])";
    Topology t;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseTopology(text, &t, &problems)) << joined(problems);
    Board board;
    checkBoard(board, t, &problems);
    EXPECT_TRUE(mentions(problems, "topology", "did 1 is used by")) << joined(problems);
    EXPECT_TRUE(mentions(problems, "topology", "label \"A\" is used twice"));
    EXPECT_TRUE(mentions(problems, "topology", "unknown driver \"Bogus\""));
    EXPECT_TRUE(mentions(problems, "topology device M", "\"reg\" must be a decimal number"));
    EXPECT_TRUE(mentions(problems, "topology device M", "needs \"reset\""));
    EXPECT_TRUE(mentions(problems, "topology", "mux 9 has no device"));
}

#ifdef ZL_SOURCE_DIR
TEST(HostCheck, TheOrvikSBoardIsClean) {
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(loadBoard(std::string(ZL_SOURCE_DIR) + "/boards/orviks/board.json", &board, &problems))
        << joined(problems);
    std::string text;
    ASSERT_TRUE(readFile(board.topologyPath(), &text));
    Topology t;
    ASSERT_TRUE(parseTopology(text, &t, &problems)) << joined(problems);
    checkBoard(board, t, &problems);
    EXPECT_TRUE(problems.empty()) << joined(problems);
    EXPECT_EQ(board.ofKind(Kind::Xcvr).size(), 54u);
    EXPECT_EQ(board.ofKind(Kind::Psu).size(), 2u);
    EXPECT_EQ(board.ofKind(Kind::Slot).size(), 5u);
    EXPECT_TRUE(board.hasSystem);
    ASSERT_NE(t.byLabel("MasterCpld"), nullptr);
    EXPECT_EQ(t.byLabel("MasterCpld")->driver, "Dummy");
}
#endif

// ---------------------------------------------------------------- report

TEST(HostReport, FailuresCountLibraryStatusesAndProblemsOnly) {
    Report r;
    r.temps.push_back({"ok", Reading::of(0, 25), 45, 55});
    r.temps.push_back({"bus", Reading::of(4), 45, 55});
    r.fans.push_back({"unsupported", "", Reading::of(kNotSupported)});  // counted through the problem below
    PsuRow empty;
    empty.name = "P";
    empty.present = Reading::of(1);  // empty bay: not a failure
    empty.powerGood = Reading::of(6);
    r.psus.push_back(empty);
    TrayRow tray;
    tray.present = Reading::of(2);  // a presence that can't be read is
    r.trays.push_back(tray);
    r.problems.push_back({"unsupported", "fan", "not supported by this library"});
    EXPECT_EQ(r.failures(), 4);
    Report clean;
    clean.temps.push_back({"ok", Reading::of(0, 25), 45, 55});
    EXPECT_EQ(clean.failures(), 0);
}

TEST(HostReport, JsonHasOneObjectPerLineWithStatusWords) {
    Report r;
    r.board = "B";
    r.temps.push_back({"Inlet", Reading::of(0, 31.5), 45, 55});
    r.temps.push_back({"Outlet", Reading::of(4), 60, 75});
    XcvrRow x;
    x.name = "Port49";
    x.qsfp = true;
    x.present = Reading::of(0, 1);
    x.eepromId = Reading::of(0, 17);
    r.xcvrs.push_back(x);
    std::string json = renderJson(r);
    EXPECT_NE(json.find("\n    {\"name\":\"Inlet\",\"temperature\":{\"status\":\"ok\",\"value\":31.5,\"unit\":\"C\"},"
                        "\"alert\":45.0,\"critical\":55.0}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\":\"Outlet\",\"temperature\":{\"status\":\"no communication\",\"value\":null,\"unit\":\"C\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"type\":\"QSFP\",\"present\":{\"status\":\"ok\",\"value\":1},\"lpMode\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"eepromId\":{\"status\":\"ok\",\"value\":17}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"summary\": {\"readings\": 6, \"failed\": 1}"), std::string::npos) << json;
}

TEST(HostReport, TextShowsFailuresInWordsAndKeepsTheRest) {
    Report r;
    r.temps.push_back({"Inlet", Reading::of(0, 50), 45, 55});
    r.temps.push_back({"Outlet", Reading::of(2), 60, 75});
    PsuRow p;
    p.name = "PSU1";
    p.bay = "Bay1";
    p.present = Reading::of(0, 1);
    p.model = "M";
    p.serial = "S";
    p.outputVolts = Reading::of(0, 12);
    p.inputVolts = Reading::of(6);
    r.psus.push_back(p);
    for (int i = 0; i < 5; ++i) r.problems.push_back({"Port" + std::to_string(i + 1), "transceiver", "not supported"});
    std::string text = renderText(r);
    EXPECT_NE(text.find("Inlet:        +50.0 C"), std::string::npos) << text;
    EXPECT_NE(text.find("ALERT"), std::string::npos) << text;
    EXPECT_NE(text.find("Outlet:       device fault"), std::string::npos) << text;
    EXPECT_NE(text.find("PSU1 (Bay1): present, model M, serial S"), std::string::npos) << text;
    EXPECT_NE(text.find("input:  failed"), std::string::npos) << text;
    EXPECT_NE(text.find("output: 12.00 V"), std::string::npos) << text;
    EXPECT_NE(text.find("Port1 .. Port5 (5 transceivers): not supported"), std::string::npos) << text;
    EXPECT_EQ(text.find(" \n"), std::string::npos) << "a line ends in a blank:\n" << text;
    EXPECT_EQ(text.find("\n\n\n"), std::string::npos) << "doubled blank lines:\n" << text;
}

TEST(HostReport, LedFieldMeanings) {
    struct Case {
        const char* type;
        int field;
        const char* meaning;
    };
    const Case cases[] = {
        {"status", 0, "Off"},     {"status", 9, "Good"},        {"status", 10, "Warning/Bad"}, {"status", 5, "Beacon"},
        {"status", 11, "Unknown"}, {"status", 3, ""},           {"fantray", 1, "Good"},        {"fantray", 2, "Warning/Bad"},
        {"multifan", 2, "Good"},  {"multifan", 1, "Warning"},   {"multifan", 3, "Bad/Unknown"}, {"multipsu", 3, "Good"},
        {"multipsu", 2, "Warning/Bad"}, {"multipsu", 1, ""},    {"other", 1, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ledFieldMeaning(c.type, c.field), c.meaning) << c.type << " " << c.field;
}

// ---------------------------------------------------------------- timer service

namespace {

using TimerClock = TimerService::Clock;

struct Fired {
    std::vector<int> order;
    TimerService* service = nullptr;
    uint32_t rearm = 0;     // timer the callback arms again (0 ms)
    uint32_t removeId = 0;  // timer the callback deletes
};

struct Tag {
    Fired* fired;
    int id;
};

void record(void* context) {
    auto* tag = static_cast<Tag*>(context);
    tag->fired->order.push_back(tag->id);
    if (tag->fired->rearm) tag->fired->service->set(tag->fired->rearm, 0, TimerClock::time_point{});
    if (tag->fired->removeId) tag->fired->service->remove(tag->fired->removeId);
}

const TimerClock::time_point t0{};
TimerClock::time_point at(int ms) { return t0 + std::chrono::milliseconds(ms); }

}  // namespace

TEST(HostTimers, AddGivesDistinctHandlesAndRefusesNull) {
    TimerService timers;
    Fired fired;
    Tag tag{&fired, 1};
    uint32_t a = timers.add(record, &tag);
    uint32_t b = timers.add(record, &tag);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(timers.add(nullptr, &tag), 0u);
    EXPECT_EQ(timers.set(12345, 10, t0), -1);
    timers.remove(a);
    EXPECT_EQ(timers.set(a, 10, t0), -1);
    EXPECT_EQ(timers.armedCount(), 0u);
}

TEST(HostTimers, OneExpiryPerArmingInDueOrder) {
    TimerService timers;
    Fired fired;
    Tag one{&fired, 1}, two{&fired, 2};
    uint32_t a = timers.add(record, &one);
    uint32_t b = timers.add(record, &two);
    ASSERT_EQ(timers.set(a, 1000, t0), 0);
    ASSERT_EQ(timers.set(b, 500, t0), 0);
    TimerClock::time_point next;
    ASSERT_TRUE(timers.nextDue(&next));
    EXPECT_EQ(next, at(500));
    EXPECT_EQ(timers.runDue(at(499)), 0);
    EXPECT_EQ(timers.runDue(at(1000)), 2);
    EXPECT_EQ(fired.order, (std::vector<int>{2, 1}));  // the earlier expiry first
    EXPECT_EQ(timers.runDue(at(5000)), 0);              // nothing re-armed: nothing runs again
    EXPECT_FALSE(timers.nextDue(&next));
}

TEST(HostTimers, SetReplacesAnEarlierArming) {
    TimerService timers;
    Fired fired;
    Tag one{&fired, 1};
    uint32_t a = timers.add(record, &one);
    timers.set(a, 100, t0);
    timers.set(a, 300, t0);
    EXPECT_EQ(timers.runDue(at(200)), 0);
    EXPECT_EQ(timers.runDue(at(300)), 1);
}

TEST(HostTimers, CallbackThatArmsAgainRunsInTheNextRound) {
    TimerService timers;
    Fired fired;
    fired.service = &timers;
    Tag one{&fired, 1};
    uint32_t a = timers.add(record, &one);
    fired.rearm = a;  // a polling driver arms its timer again from its callback
    timers.set(a, 0, t0);
    EXPECT_EQ(timers.runDue(at(0)), 1);
    EXPECT_EQ(timers.armedCount(), 1u);
    EXPECT_EQ(timers.runDue(at(0)), 1);
    EXPECT_EQ(fired.order.size(), 2u);
}

TEST(HostTimers, CallbackThatDeletesAnotherDueTimerStopsIt) {
    TimerService timers;
    Fired fired;
    fired.service = &timers;
    Tag one{&fired, 1}, two{&fired, 2};
    uint32_t a = timers.add(record, &one);
    uint32_t b = timers.add(record, &two);
    fired.removeId = b;
    timers.set(a, 10, t0);
    timers.set(b, 20, t0);
    EXPECT_EQ(timers.runDue(at(100)), 1);
    EXPECT_EQ(fired.order, std::vector<int>{1});
    EXPECT_EQ(timers.set(b, 10, t0), -1);
}
