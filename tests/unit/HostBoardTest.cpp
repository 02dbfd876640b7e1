// The host program's own parts: status words, description texts, the board file, the
// board check, the report and the timer service.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

// Whether a problem of `device` (any device when null) contains `needle`.
bool mentions(const std::vector<BoardProblem>& problems, const char* device, const std::string& needle) {
    for (const auto& p : problems)
        if ((!device || p.device == device) && p.rule.find(needle) != std::string::npos) return true;
    return false;
}

bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// A small board: CPLDs, a sensor, a PSU, a bay, a fan tray and a mux with one EEPROM behind it.
const char* kTopology = R"([{"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [{"id": 0, "busses": [
  {"id": 0, "devices": [
    {"did": 1, "label": "MasterCpld", "driver": "Dummy", "address": {"address": 35}},
    {"did": 2, "label": "LedCpld", "driver": "OrvikLedCpld", "address": {"address": 96}},
    {"did": 10, "label": "TempInlet", "driver": "TMP75", "address": {"address": 72}},
    {"did": 40, "label": "Psu1", "driver": "Pmbus", "address": {"address": 88}},
    {"did": 42, "label": "PsuBay1", "driver": "PsuSlot", "address": {"address": 80}},
    {"did": 60, "label": "FanTray1", "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": {}},
    {"did": 70, "label": "Loose"}]},
  {"id": 1, "devices": [{"did": 52, "label": "XcvrMux", "driver": "OrvikSXcvrMux", "address": {"address": 112},
                         "driverArgs": {"reg": "16", "reset": "0"}}],
   "muxes": [{"did": 52, "busses": [{"id": 1, "devices": [
     {"did": 101, "label": "xcvr1<0x50>", "driver": "SmbusProxyDriver", "address": {"address": 80}}]}]}]}]}]}])";

// The catalogue of the library linked into the tests; every kind counts as supported so
// that the driver rules are what is checked.
LibraryCatalogue library() {
    LibraryCatalogue out;
    out.drivers = zl_driver_catalogue();
    for (Kind kind : kAllKinds) out.kinds.insert(kind);
    return out;
}

Topology topology(const char* text = kTopology) {
    Topology t;
    std::vector<BoardProblem> problems;
    EXPECT_TRUE(parseTopology(text, &t, &problems)) << joined(problems);
    return t;
}

// A device text: did, driver, address and, when given, the driverArgs object.
std::string dev(int did, const char* driver, int address, const std::string& args = "") {
    return "{\"did\": " + std::to_string(did) + ", \"driver\": \"" + driver + "\", \"address\": {\"address\": " +
           std::to_string(address) + "}" + (args.empty() ? "" : ", \"driverArgs\": " + args) + "}";
}

}  // namespace

TEST(HostStatus, EveryStatusHasItsWord) {
    const std::pair<int, const char*> cases[] = {
        {0, "ok"}, {1, "not found"}, {2, "device fault"}, {3, "bad input"}, {4, "no communication"}, {5, "not provided"},
        {6, "failed"}, {kNotSupported, "not supported"}, {kNotAdded, "not added"}, {7, "status 7"}, {-9, "status -9"}};
    for (const auto& [status, word] : cases) EXPECT_EQ(statusWord(status), word) << status;
}

TEST(HostFdl, ParsesItemsAndTakesTheFirstKeyPresent) {
    const std::pair<const char*, Fdl> cases[] = {
        {"modelName=DPS550AB6A;serialNum=GTVD1615001656", {{"modelName", "DPS550AB6A"}, {"serialNum", "GTVD1615001656"}}},
        {"a=1\nb=2\n", {{"a", "1"}, {"b", "2"}}},
        {"  model : X-1  ;  serial= 42 ", {{"model", "X-1"}, {"serial", "42"}}},  // ':' as fallback, blanks trimmed
        {"k=a=b", {{"k", "a=b"}}},                                              // split at the first '='
        {"=orphan;noseparator;x=1", {{"x", "1"}}},                              // unusable items ignored
        {"maxRpm=", {{"maxRpm", ""}}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseFdl(text), expected) << text;
    Fdl fdl = parseFdl("model=short;modelName=long");
    EXPECT_EQ(fdlValue(fdl, {"modelName", "model"}), "long");
    EXPECT_EQ(fdlValue(fdl, {"serialNum", "model"}), "short");
    EXPECT_EQ(fdlValue(fdl, {"serialNum"}), "");
}

// The fields each kind's reading needs are read by host_show.sh through the board's own file;
// here the forms a device text may take and the paths.
TEST(HostBoardFile, ReadsEveryKind) {
    const char* text = R"({"board": "T", "topology": "topo.json", "emulation": "emu.json",
      "system": {"name": "S", "device": {"board": "T"}},
      "temperatureSensors": [{"name": "Inlet", "alert": 45, "critical": 55.5,
                              "device": {"did": 10, "driver": "TMP75", "address": {"address": 72}}}],
      "slots": [{"name": "Bay", "slotType": "psuBay", "device": "{\"did\": 42"}],
      "powerSupplies": [{"name": "PSU1", "bay": "Bay", "device": {"did": 40}}],
      "leds": [{"name": "L", "readback": {"register": 7, "width": 4}, "device": {"did": 2}}],
      "smbusProxies": [{"name": "E", "address": 80, "port": "P", "device": "xcvr1"}]})";
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(text, "/x/y/board.json", &board, &problems)) << joined(problems);
    EXPECT_TRUE(problems.empty()) << joined(problems);
    EXPECT_EQ(board.name + " " + board.emulationFile + " " + board.topologyPath(), "T emu.json /x/y/topo.json");
    EXPECT_EQ(board.system.text, R"({"board":"T"})");
    ASSERT_EQ(board.devices.size(), 5u);
    const BoardDevice* inlet = board.find(Kind::TempSensor, "Inlet");
    ASSERT_NE(inlet, nullptr);
    EXPECT_EQ(inlet->text, R"({"did":10,"driver":"TMP75","address":{"address":72}})");  // compact
    EXPECT_EQ(inlet->critical, 55.5);
    EXPECT_EQ(board.find(Kind::Slot, "Bay")->text, "{\"did\": 42");  // a string is passed as written
    for (auto [topo, path] : {std::make_pair("/abs/t.json", "/abs/t.json"), std::make_pair("t.json", "./t.json")}) {
        ASSERT_TRUE(parseBoard(std::string("{\"topology\": \"") + topo + "\"}", "b.json", &board, &problems));
        EXPECT_EQ(board.topologyPath(), path);
    }
}

#define BOARD(entries) "{\"topology\": \"t.json\", " entries "}"

TEST(HostBoardFile, UnusableFilesAndEntriesAreReported) {
    // text, usable at all, device the problem names (null: any), rule, devices kept
    const std::tuple<const char*, bool, const char*, const char*, size_t> cases[] = {
        {"{\"topology\": ", false, nullptr, "not JSON", 0},
        {"[1, 2]", false, nullptr, "not a JSON object", 0},
        {"{\"board\": \"x\"}", false, nullptr, "no \"topology\"", 0},
        {BOARD(R"("fans": [7])"), true, "fans[0]", "not a JSON object", 0},
        {BOARD(R"("fans": [{"device": {}}])"), true, "fans[0]", "no \"name\"", 0},
        {BOARD(R"("fans": [{"name": "NoDevice"}])"), true, "NoDevice", "no \"device\"", 0},
        {BOARD(R"("fans": [{"name": "Num", "device": 5}])"), true, "Num", "neither a JSON object nor a string", 0},
        {BOARD(R"("fans": [{"name": "Ok", "device": {}}, {"name": "Ok", "device": {}}])"), true, "Ok", "second fan", 1},
        {BOARD(R"("fans": [{"name": "Ok", "device": {}}], "leds": [{"name": "Ok", "device": {}}])"), true, "Ok",
         "the name of a fan already", 1},
        {BOARD(R"("system": {"name": "S", "device": {}}, "leds": [{"name": "S", "device": {}}])"), true, "S",
         "the name of a system already", 0},
        {BOARD(R"("temperatureSensors": [{"name": "NoLimits", "device": {}}])"), true, "NoLimits", "\"alert\"", 0},
        {BOARD(R"("smbusProxies": [{"name": "Far", "address": 200, "device": "x"}])"), true, "Far", "0 to 127", 0},
        {BOARD(R"("leds": [{"name": "L", "readback": {"register": 7, "width": 9}, "device": {}}])"), true, "L",
         "\"readback\"", 1},  // kept without its read-back
        {BOARD(R"("gpios": {"name": "notalist"})"), true, "gpios", "not a JSON array", 0},
    };
    for (const auto& [text, usable, device, rule, kept] : cases) {
        Board board;
        std::vector<BoardProblem> problems;
        EXPECT_EQ(usable, parseBoard(text, "b.json", &board, &problems)) << text;
        EXPECT_TRUE(mentions(problems, device, rule)) << text << "\n" << joined(problems);
        EXPECT_EQ(kept, board.devices.size()) << text;
        for (const auto& d : board.devices) EXPECT_EQ(d.readbackRegister, -1);
    }
}

TEST(HostCheck, DecimalNumbers) {
    const std::pair<const char*, bool> cases[] = {{"-5", true},    {"+7", true},   {"", false},    {"-", false},
                                                  {" 7", false},   {"0x10", false}, {"1.5", false},
                                                  {"99999999999", false}};
    for (const auto& [text, ok] : cases) EXPECT_EQ(isDecimal(text), ok) << text;
    long v = 0;
    EXPECT_TRUE(isDecimal("-12", &v) && v == -12);
}

// One device text of one kind against the small topology: the rule a problem must contain, or
// no problem at all (rule null). Whether check and library agree on every declared argument is
// CatalogueTest's, so an argument row here pins one text form of the check's (needs, range,
// decimal, choice, label); a text that is no JSON and an unknown driver are host_show.sh's.
TEST(HostCheck, DeviceRules) {
    auto psu = [](const std::string& args) { return dev(42, "PsuSlot", 80, R"({"psuId": "1", )" + args + "}"); };
    const std::string tray = R"({"did": 60, "driver": "OrvikFanTray", "isMultiDevice": true, "multiDeviceArgs": )";
    const std::string trayArgs = R"("driverArgs": {"slotId": "1", "fanFdl": "{modelName}{airflowDirection}{maxRpm}",
                                    "rpmF2B": "1", "rpmB2F": "2", "modelName": "M"}})";
    const std::tuple<Kind, std::string, const char*> cases[] = {
        {Kind::TempSensor, "[1]", "not a JSON object"},
        {Kind::TempSensor, R"({"did": 10, "driver": "TMP75"})", "device text has no \"address\""},
        {Kind::TempSensor, dev(999, "TMP75", 72), "did 999 is not in the topology"},
        {Kind::TempSensor, R"({"did": -1, "driver": "TMP75", "address": {"address": 72}})", "unsigned"},
        {Kind::TempSensor, R"({"did": 10, "driver": "TMP75", "address": 72})", "\"address\" is not an object"},
        {Kind::TempSensor, R"({"did": 10, "driver": "TMP75", "address": {"address": 72, "addrSize": 3}})", "1 or 2"},
        {Kind::Fan, dev(10, "TMP75", 72), "makes no fan"},
        {Kind::Gpio, dev(10, "Dummy", 72, R"({"register": "1", "bitpos": "0"})"), "differs from the topology's \"TMP75\""},
        {Kind::TempSensor, dev(10, "TMP75", 73), "differs from the topology's 72"},
        {Kind::Gpio, dev(1, "Dummy", 35, R"({"register": "16", "bitpos": 31})"), nullptr},  // beyond the byte: reads 0
        {Kind::Gpio, dev(1, "Dummy", 35, R"({"register": "16", "bitpos": 32})"), "\"bitpos\" must be from 0 to 31"},
        {Kind::Gpio, dev(1, "Dummy", 35, "{\"register\": \"1\\u0000; x\", \"bitpos\": \"0\"}"),
         "warning: driverArgs \"register\" holds a NUL character; the library reads only \"1\""},
        {Kind::Fan, dev(40, "Pmbus", 88, R"({"fanId": "1", "maxFanRpm": "fast"})"), "\"maxFanRpm\" must be a decimal number"},
        {Kind::Psu, dev(40, "Pmbus", 88, R"({"voutExponent": "-9", "powerOkReg": "x"})"), nullptr},  // read only with gpioDevice
        {Kind::Psu, dev(40, "Pmbus", 88, R"({"gpioDevice": "Loose", "powerOkReg": "16", "powerOkBit": "3"})"),
         "has no driver"},
        {Kind::Psu, dev(40, "Pmbus", 88, R"({"gpioDevice": "Psu1x", "powerOkReg": "16", "powerOkBit": "3"})"),
         "which the topology lacks"},
        {Kind::Slot, psu(R"("identificationType": "pmbus", "model_1": "M", "model_3": "N")"), "needs \"psuFdl_1\""},
        {Kind::Slot, tray + R"({"presenceGpio1": "{\"did\": 1}"}, )" + trayArgs,
         "device text has no \"driver\""},  // named 'Dev member "presenceGpio1"'
        {Kind::Led, dev(2, "OrvikLedCpld", 96, R"({"id": "1", "bitOffset": "0", "type": "Status"})"),
         "\"type\" must be one of fantray, multifan, multipsu, status (is \"Status\")"},
        {Kind::Smbus, "xcvr1", nullptr},  // a proxy by its label
        {Kind::Smbus, "xcvr2", "labelled xcvr2<0x50>"},
    };
    const Topology t = topology();
    for (const auto& [kind, text, rule] : cases) {
        BoardDevice device;
        device.kind = kind;
        device.name = "Dev";
        device.text = text;
        device.address = 0x50;
        std::vector<BoardProblem> problems;
        checkDevice(device, t, library(), &problems);
        EXPECT_TRUE(rule ? mentions(problems, nullptr, rule) : problems.empty())
            << text << "\nwanted: " << (rule ? rule : "no problem") << "\ngot:\n" << joined(problems);
    }
}

TEST(HostCheck, BoardRulesAcrossEntriesAndInTheTopology) {
    const char* text = BOARD(R"(
      "fans": [{"name": "F", "tray": "NoTray", "device": {"did": 40, "driver": "Pmbus", "address": {"address": 88},
                "driverArgs": {"fanId": "1", "maxFanRpm": "100"}}}],
      "powerSupplies": [{"name": "P", "bay": "B", "device": {"did": 40, "driver": "Pmbus", "address": {"address": 88}}}],
      "slots": [{"name": "B", "device": {"did": 42, "driver": "PsuSlot", "address": {"address": 80},
                 "driverArgs": {"psuId": "1", "identificationType": "ipmi", "model_1": "M", "psuFdl_1": "{serialNum}"}}}],
      "gpios": [{"name": "G", "device": {"did": 40, "driver": "Dummy", "address": {"address": 88},
                 "driverArgs": {"register": "1", "bitpos": "0"}}}],
      "temperatureSensors": [{"name": "T", "alert": 90, "critical": 80,
                              "device": {"did": 10, "driver": "TMP75", "address": {"address": 72}}}])");
    Board board;
    std::vector<BoardProblem> problems;
    ASSERT_TRUE(parseBoard(text, "b.json", &board, &problems));
    checkBoard(board, topology(), library(), &problems);
    Board empty;
    checkBoard(empty, topology(R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [
        {"did": 1, "label": "A", "driver": "Dummy", "address": {"address": 1}},
        {"did": 1, "label": "A", "driver": "Bogus", "address": {"address": 2}},
        {"did": 3, "label": "M", "driver": "OrvikSXcvrMux", "address": {"address": 3}, "driverArgs": {"reg": "0x10"}},
        {"did": 4, "label": "T", "driver": "TMP75", "address": {"address": 4}}],
      "muxes": [{"did": 9, "busses": []}, {"did": 3, "busses": []}, {"did": 4, "busses": []}]}])"),
               library(), &problems);
    const std::pair<const char*, const char*> expected[] = {
        {"F", "\"tray\" names slot \"NoTray\""},
        {"B", "\"slotType\""},
        {"G", "same did"},
        {"T", "\"alert\" is above \"critical\""},
        {"topology", "did 1 is used by"},
        {"topology", "label \"A\" is used twice"},
        {"topology device M", "driverArgs needs \"reset\""},
        {"topology", "mux 4: driver \"TMP75\" makes no mux"},
        {"topology", "mux 9 has no device"},
    };
    for (const auto& [device, rule] : expected)
        EXPECT_TRUE(mentions(problems, device, rule)) << device << ": " << rule << "\n" << joined(problems);
    EXPECT_FALSE(mentions(problems, "P", "")) << "the bay it names exists";
}

TEST(HostReport, SummaryCountsEveryStatusObjectOnceAndAlarmsAgainstTheLimits) {
    Report r;
    const std::pair<Reading, const char*> temps[] = {{Reading::of(0, 44.9), "ok"},  {Reading::of(0, 45), "alert"},
                                                    {Reading::of(0, 55), "critical"}, {Reading::of(4), nullptr},
                                                    {Reading::of(kAbsent), nullptr}};
    for (const auto& [reading, alarm] : temps) {
        r.temps.push_back({"T", reading, 45, 55, ""});
        const char* got = alarmOf(r.temps.back());
        EXPECT_EQ(std::string(got ? got : "null"), alarm ? alarm : "null") << reading.value;
    }
    r.fans.push_back({"unsupported", "", Reading::of(kNotSupported)});
    r.problems.push_back({"unsupported", "fan", "not supported by this library", ""});
    PsuRow empty;
    empty.present = Reading::of(0, 0);
    for (Reading* x : {&empty.powerGood, &empty.inputVolts, &empty.inputAmps, &empty.inputWatts, &empty.outputVolts,
                       &empty.outputAmps, &empty.outputWatts})
        *x = Reading::of(kAbsent);
    r.psus.push_back(empty);
    TrayRow tray;
    tray.present = Reading::of(2);  // a presence that can't be read is unknown, and failed
    r.trays.push_back(tray);
    const Summary s = r.summary();
    // readings, ok, failed, absent, not supported, problems, alarms
    EXPECT_EQ(std::vector<int>({s.readings, s.ok, s.failed, s.absent, s.notSupported, s.problems, s.alarms}),
              std::vector<int>({5 + 1 + 8 + 1, 3 + 1, 2, 1 + 7, 1, 1, 2}));
    EXPECT_TRUE(presenceOf(tray.present) == Presence::Unknown);
}

TEST(HostReport, JsonAndTextShowStatusesInWords) {
    Report r;
    r.temps.push_back({"Inlet", Reading::of(0, 50), 45, 55, ""});
    r.temps.push_back({"Outlet", Reading::of(4), 60, 75, ""});
    // present, model, serial, power good, input volts, amps, watts, output volts
    r.psus.push_back({"PSU1", "Bay1", Reading::of(0, 1), "M", "", Reading::of(0, 0), Reading::of(6), {}, {}, Reading::of(0, 12), {}, {}});
    TrayRow tray{"Tray2", Reading::of(0, 0), "", "", "", {"Fan2"}};
    r.trays.push_back(tray);
    for (int i = 0; i < 5; ++i) r.problems.push_back({"Port" + std::to_string(i + 1), "transceiver", "not supported", ""});
    r.problems.push_back({"Ghost", "fan", "add returned null", "driver Foo not found"});
    r.fans.push_back({"Fan2", "Tray1", Reading::of(2), Reading::of(0, 25000)});
    r.fans.push_back({"PsuFan", "PSU1", Reading::of(0, 9000)});
    r.fans.push_back({"Fan1", "Tray1", Reading::of(0, 12006), Reading::of(0, 12000)});
    // (The document's head, the summary, a failed reading's row, a refused add's reason and a
    // transceiver's eepromId in JSON are host_show.sh's and host_schema.py's.)
    std::string json = renderJson(r), text = renderText(r);
    for (const char* needle :
         {"\n    {\"name\":\"Inlet\",\"temperature\":{\"status\":\"ok\",\"value\":50.0,\"unit\":\"C\"},"
          "\"alert\":{\"value\":45.0,\"unit\":\"C\"},\"critical\":{\"value\":55.0,\"unit\":\"C\"},\"alarm\":\"alert\"}",
          "\"present\":true,\"presence\":{\"status\":\"ok\",\"value\":true},\"model\":\"M\",\"serial\":null,"
          "\"powerGood\":{\"status\":\"ok\",\"value\":false}",
          "{\"name\":\"Tray2\",\"present\":false,\"presence\":{\"status\":\"ok\",\"value\":false},\"airflow\":null,"
          "\"model\":null,\"maxRpm\":null,\"fans\":[\"Fan2\"]}",
          "\"speed\":{\"status\":\"device fault\",\"value\":null,\"unit\":\"rpm\"},\"target\":{\"value\":25000,"
          "\"unit\":\"rpm\"},\"fault\":true}",
          "\"target\":null,\"fault\":false}"})
        EXPECT_TRUE(contains(json, needle)) << needle << "\n" << json;
    for (const char* needle : {"Inlet:        +50.0 C", "ALERT", "Outlet:       no communication",
                               "PSU1 (Bay1): present, model M, serial ?", "power good: no", "input:  failed",
                               "output: 12.00 V", "Tray2:        absent  [Fan2]",
                               "Port1 .. Port5 (5 transceivers): not supported",
                               "Ghost (fan): add returned null: driver Foo not found",
                               // fans by tray, in order of their first fan
                               "Fans\n  Tray1\n    Fan2:       FAULT           target 25000 rpm\n"
                               "    Fan1:       12006 rpm       target 12000 rpm\n"
                               "  PSU1\n    PsuFan:     9000 rpm\n",
                               "14 readings: 11 ok, 3 failed; 6 problems; 1 alarm\n"})
        EXPECT_TRUE(contains(text, needle)) << needle << "\n" << text;
    EXPECT_FALSE(contains(text, " \n")) << "a line ends in a blank:\n" << text;
    EXPECT_FALSE(contains(text, "\n\n\n")) << "doubled blank lines:\n" << text;
    // Change marks only where asked for (the one-line form is host_show.sh's watch --json).
    EXPECT_FALSE(contains(text, "\033["));
    Report before = r;
    before.temps[0].celsius.value = 49;
    std::string marked = renderText(r, &before, true);
    EXPECT_TRUE(contains(marked, "Inlet:        \033[33m+50.0 C*\033[0m")) << marked;
}

TEST(HostReport, LedFieldMeanings) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"status", 0, "Off"},          {"status", 9, "Good"},      {"status", 10, "Warning/Bad"}, {"status", 5, "Beacon"},
        {"status", 11, "Unknown"},     {"status", 3, ""},          {"fantray", 2, "Warning/Bad"}, {"multifan", 1, "Warning"},
        {"multifan", 3, "Bad/Unknown"}, {"multipsu", 3, "Good"},   {"other", 1, ""}};
    for (const auto& [type, field, meaning] : cases) EXPECT_EQ(ledFieldMeaning(type, field), meaning) << type << field;
}

namespace {

// A timer callback: records its id; may arm a timer again or delete one.
struct Tag {
    std::vector<int>* order;
    int id;
    TimerService* service;
    uint32_t rearm = 0, removeId = 0;
};

void record(void* context) {
    auto* tag = static_cast<Tag*>(context);
    tag->order->push_back(tag->id);
    if (tag->rearm) tag->service->set(tag->rearm, 0, TimerService::Clock::time_point{});
    if (tag->removeId) tag->service->remove(tag->removeId);
}

TimerService::Clock::time_point at(int ms) { return TimerService::Clock::time_point{} + std::chrono::milliseconds(ms); }

}  // namespace

TEST(HostTimers, OneExpiryPerArmingInDueOrderAndCallbacksThatArmAgainOrDelete) {
    TimerService timers;
    std::vector<int> order;
    Tag one{&order, 1, &timers}, two{&order, 2, &timers}, three{&order, 3, &timers};
    uint32_t a = timers.add(record, &one), b = timers.add(record, &two), c = timers.add(record, &three);
    EXPECT_TRUE(a && b && a != b);
    EXPECT_EQ(timers.add(nullptr, &one), 0u);
    EXPECT_EQ(timers.set(12345, 10, at(0)), -1);
    timers.remove(c);
    EXPECT_EQ(timers.set(c, 10, at(0)), -1) << "a deleted timer";
    ASSERT_EQ(timers.set(a, 100, at(0)), 0);
    ASSERT_EQ(timers.set(a, 1000, at(0)), 0);  // replaces the earlier arming
    ASSERT_EQ(timers.set(b, 500, at(0)), 0);
    TimerService::Clock::time_point next;
    ASSERT_TRUE(timers.nextDue(&next));
    EXPECT_EQ(next, at(500));
    EXPECT_EQ(timers.runDue(at(499)), 0);
    EXPECT_EQ(timers.runDue(at(1000)), 2);
    EXPECT_EQ(order, (std::vector<int>{2, 1})) << "the earlier expiry first";
    EXPECT_EQ(timers.runDue(at(5000)), 0) << "nothing re-armed: nothing runs again";
    EXPECT_FALSE(timers.nextDue(&next));

    // A polling driver arms its timer again from its callback; a callback deletes a due timer.
    order.clear();
    c = timers.add(record, &three);
    one.rearm = a;
    two.removeId = c;
    timers.set(a, 0, at(0));
    timers.set(b, 10, at(0));
    timers.set(c, 20, at(0));
    EXPECT_EQ(timers.runDue(at(100)), 2) << "the re-armed timer waits for the next round, the deleted one never runs";
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(timers.armedCount(), 1u);
    EXPECT_EQ(timers.runDue(at(100)), 1);
    EXPECT_EQ(timers.set(c, 10, at(0)), -1);
}
