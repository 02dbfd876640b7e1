// zolta-host: loads the OrvikS driver library the way the platform does, adds the board's
// devices from a board file, and shows or changes them.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "BoardCheck.h"
#include "BoardFile.h"
#include "Fdl.h"
#include "HostServices.h"
#include "Library.h"
#include "Report.h"
#include "Status.h"
#include "zl_api.h"

#ifndef ZL_HOST_SOURCE_DIR
#define ZL_HOST_SOURCE_DIR "."
#endif

namespace {

using namespace Host;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

// ---------------------------------------------------------------------------------------
// Help texts

const char* kMainHelp =
    "usage: zolta-host [--board FILE] [--library PATH] [-v LEVEL] COMMAND [ARGS]\n"
    "\n"
    "Loads the OrvikS driver library, adds the devices of a board file and shows or\n"
    "changes them.\n"
    "\n"
    "commands:\n"
    "  show [--json]                       one report of the whole board\n"
    "  watch [--interval S] [--count N] [--led NAME SETTING]...\n"
    "                                      refresh the report while timers run\n"
    "  set fan NAME RPM                    set a fan's speed\n"
    "  set led NAME SETTING [--hold S]     set an LED (Off Good Warning Bad Inactive Unknown Beacon)\n"
    "  set xcvr NAME BIT VALUE             set a transceiver control bit\n"
    "  set gpio NAME set|clear             set or clear a GPIO\n"
    "  powercycle --yes                    power-cycle the board through the master CPLD\n"
    "  check [BOARD]                       validate a board file and its topology\n"
    "\n"
    "options:\n"
    "  --board FILE     board file (default: boards/orviks/board.json of the source tree)\n"
    "  --library PATH   driver library (default: libZoltaDriversOrvikS.so.0 of the build)\n"
    "  -v LEVEL         print library traces up to LEVEL on stderr (-1: none; default 0,\n"
    "                   or ZL_TRACE_LEVEL)\n"
    "  --help           help for zolta-host or for a command\n"
    "\n"
    "The library talks to the SMBus service on ZOLTA_SMBUS_SOCKET; with SIMULATION_VMID set\n"
    "it simulates every device in files instead, but still connects to the service first.\n"
    "Exit status: 0 every reading succeeded, 1 some failed, 2 usage error.\n";

const char* kShowHelp =
    "usage: zolta-host [OPTIONS] show [--json]\n"
    "\n"
    "Adds every device of the board file and prints one report: temperatures with their\n"
    "thresholds, fans, power supplies (bay, model, serial, power good, volts, amps, watts),\n"
    "fan trays, transceivers, LEDs and GPIOs. A reading that fails shows its status in words.\n"
    "--json prints the same as JSON: one object per device, each reading with \"status\",\n"
    "\"value\" and \"unit\".\n"
    "Exit status: 0 every reading succeeded, 1 some failed, 2 usage error.\n";

const char* kWatchHelp =
    "usage: zolta-host [OPTIONS] watch [--interval S] [--count N] [--json] [--led NAME SETTING]...\n"
    "\n"
    "Adds every device once, then prints the report every S seconds (default 2) while the\n"
    "timer service runs (transceiver polling, LED blinking). Stops after N reports (default:\n"
    "until interrupted). --led sets an LED first (Beacon makes it blink while watch runs).\n"
    "The exit status is that of the last report.\n";

const char* kSetHelp =
    "usage: zolta-host [OPTIONS] set fan NAME RPM\n"
    "       zolta-host [OPTIONS] set led NAME SETTING [--hold S]\n"
    "       zolta-host [OPTIONS] set xcvr NAME BIT VALUE\n"
    "       zolta-host [OPTIONS] set gpio NAME set|clear\n"
    "\n"
    "Adds only the named device and changes it. NAME is the device's name in the board file.\n"
    "SETTING is Off, Good, Warning, Bad, Inactive, Unknown, Beacon or 0-6; --hold keeps the\n"
    "program running S seconds so that a blinking LED keeps blinking.\n"
    "BIT is txDisable for SFP ports, lpMode, reset or modSel for QSFP ports; VALUE 0 or 1.\n"
    "Exit status: 0 done, 1 the library reported a failure, 2 usage error.\n";

const char* kPowercycleHelp =
    "usage: zolta-host [OPTIONS] powercycle --yes\n"
    "\n"
    "Power-cycles the board through the system object (the master CPLD's control bits).\n"
    "--yes is required.\n";

const char* kCheckHelp =
    "usage: zolta-host [OPTIONS] check [BOARD]\n"
    "\n"
    "Validates a board file and its topology without loading the library or touching\n"
    "hardware: every device text must be JSON with \"did\", \"driver\" and \"address\", name a\n"
    "known driver that makes its kind, sit on a topology device of that did, and carry the\n"
    "driver arguments the driver needs. Prints every problem with the device's name.\n"
    "Exit status: 0 no problem, 1 problems found, 2 usage error.\n";

int usage(const std::string& message, const char* help) {
    std::fprintf(stderr, "zolta-host: %s\n\n%s", message.c_str(), help);
    return kExitUsage;
}

// ---------------------------------------------------------------------------------------
// Paths

std::string exeDir() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    buffer[n] = '\0';
    std::string path(buffer);
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string defaultBoard() {
    std::string fromSource = std::string(ZL_HOST_SOURCE_DIR) + "/boards/orviks/board.json";
    if (exists(fromSource)) return fromSource;
    return exeDir() + "/../../boards/orviks/board.json";
}

std::string defaultLibrary() { return exeDir() + "/../libZoltaDriversOrvikS.so.0"; }

// ---------------------------------------------------------------------------------------
// Number parsing for the command line

bool parseLong(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

bool parseSeconds(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 86400) return false;
    *value = v;
    return true;
}

// ---------------------------------------------------------------------------------------
// The running host: board, library, records

// Runs one call into the library; an exception escaping it counts as a failure.
template <class Fn>
zl_status safeCall(Fn fn) {
    try {
        return fn();
    } catch (...) {
        return ZL_STATUS_FAILED;
    }
}

template <class Fn, class Record>
Fn callbackOf(const Record* record, size_t index) {
    if (record == nullptr || record->callbacks == nullptr) return nullptr;
    if (ZL_TABLE_WORDS(record) <= index) return nullptr;
    return reinterpret_cast<Fn>(record->callbacks[index]);
}

class Runner {
  public:
    Board board;
    Library library;
    std::string topologyText;
    std::vector<Problem> problems;

    // Loads the board file, the topology and the library. Prints why and returns false when
    // one of them is unusable.
    bool start(const std::string& boardPath, const std::string& libraryPath) {
        std::vector<BoardProblem> boardProblems;
        bool ok = loadBoard(boardPath, &board, &boardProblems);
        for (const auto& p : boardProblems) {
            if (!ok) std::fprintf(stderr, "zolta-host: %s: %s: %s\n", boardPath.c_str(), p.device.c_str(), p.rule.c_str());
            else problems.push_back({p.device, "board entry", p.rule});
        }
        if (!ok) return false;
        if (!readFile(board.topologyPath(), &topologyText)) {
            std::fprintf(stderr, "zolta-host: cannot read topology %s\n", board.topologyPath().c_str());
            return false;
        }
        std::string error;
        if (!library.open(libraryPath, &error)) {
            std::fprintf(stderr, "zolta-host: cannot load library: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    // Calls every kind's init with the topology. When the SMBus service can't be reached the
    // remaining kinds are not tried (each attempt would wait for the service again).
    void initAll() {
        int failed = 0;
        for (Kind kind : kAllKinds) {
            auto init = library.init(kind);
            if (!init) {
                initStatus_[static_cast<int>(kind)] = kNotSupported;
                continue;
            }
            if (failed == ZL_STATUS_NO_COMM) {
                initStatus_[static_cast<int>(kind)] = failed;
                continue;
            }
            zl_status status = safeCall([&] { return init(topologyText.c_str()); });
            initStatus_[static_cast<int>(kind)] = status;
            if (status != ZL_STATUS_OK) {
                problems.push_back({std::string("zl_") + kindSymbol(kind) + "_init", kindName(kind),
                                    "init failed: " + statusWord(status)});
                if (status == ZL_STATUS_NO_COMM) failed = status;
            }
        }
    }

    // Calls the kind's add function with the device text. The library keeps exceptions
    // inside its entry points; one that doesn't still must not end the host.
    static void* callAdd(const BoardDevice& device, void* fn, std::string* why) {
        const char* text = device.text.c_str();
        try {
            switch (device.kind) {
                case Kind::System: return reinterpret_cast<zl_system* (*)(const char*)>(fn)(text);
                case Kind::TempSensor:
                    return reinterpret_cast<zl_temp_sensor* (*)(const char*, float, float)>(fn)(
                        text, static_cast<float>(device.alert), static_cast<float>(device.critical));
                case Kind::Smbus:
                    return reinterpret_cast<zl_smbus* (*)(const char*, unsigned char)>(fn)(
                        text, static_cast<unsigned char>(device.address));
                default: return reinterpret_cast<void* (*)(const char*)>(fn)(text);
            }
        } catch (const std::exception& e) {
            *why = std::string("add threw: ") + e.what();
        } catch (...) {
            *why = "add threw an exception";
        }
        return nullptr;
    }

    // Adds one device of the board; null (with a problem naming the device) on failure.
    void* add(const BoardDevice& device) {
        auto known = records_.find(&device);
        if (known != records_.end()) return known->second;
        void* record = nullptr;
        int init = initStatus_[static_cast<int>(device.kind)];
        void* fn = library.add(device.kind);
        if (!fn) {
            problems.push_back({device.name, kindName(device.kind), "not supported by this library"});
        } else if (init != ZL_STATUS_OK) {
            problems.push_back({device.name, kindName(device.kind), "not added: init " + statusWord(init)});
        } else {
            std::string why = "add returned null";
            record = callAdd(device, fn, &why);
            if (!record) problems.push_back({device.name, kindName(device.kind), why});
        }
        records_[&device] = record;
        addStatus_[&device] = record ? 0 : fn ? kNotAdded : kNotSupported;
        // A host keeps every record it was given for the life of the process: the library
        // never destroys logical devices, and the records stay reachable until exit.
        static auto* kept = new std::vector<void*>;
        if (record) kept->push_back(record);
        return record;
    }

    void addAll() {
        for (const auto& device : board.devices) add(device);
        for (const auto& device : board.devices)
            if (device.kind == Kind::Led && device.readbackRegister >= 0 && records_[&device]) addLedReadback(device);
    }

    // kNotSupported when the library lacks the kind, kNotAdded when the add failed, else 0.
    int addStatus(const BoardDevice* device) const {
        auto it = addStatus_.find(device);
        return it == addStatus_.end() ? kNotAdded : it->second;
    }

    template <class Record>
    Record* record(const BoardDevice* device) {
        auto it = records_.find(device);
        return it == records_.end() ? nullptr : static_cast<Record*>(it->second);
    }

    Report read();

    // LED field read-back: one register GPIO per bit of the field, on the LED's device.
    void addLedReadback(const BoardDevice& led);
    std::map<const BoardDevice*, std::vector<zl_gpio*>> ledBits;
    std::map<const BoardDevice*, std::string> ledTypes;

  private:
    int initStatus_[9] = {kNotAdded, kNotAdded, kNotAdded, kNotAdded, kNotAdded,
                          kNotAdded, kNotAdded, kNotAdded, kNotAdded};
    std::map<const BoardDevice*, void*> records_;
    std::map<const BoardDevice*, int> addStatus_;
};

std::string textDriverArg(const std::string& text, const char* key) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("driverArgs") || !doc["driverArgs"].IsObject())
        return "";
    const auto& args = doc["driverArgs"];
    auto it = args.FindMember(key);
    if (it == args.MemberEnd()) return "";
    if (it->value.IsString()) return it->value.GetString();
    if (it->value.IsInt()) return std::to_string(it->value.GetInt());
    return "";
}

void Runner::addLedReadback(const BoardDevice& led) {
    ledTypes[&led] = textDriverArg(led.text, "type");
    long offset = 0;
    if (!isDecimal(textDriverArg(led.text, "bitOffset"), &offset) || offset < 0 || offset > 7) return;
    auto gpioAdd = reinterpret_cast<zl_gpio* (*)(const char*)>(library.add(Kind::Gpio));
    if (!gpioAdd || initStatus_[static_cast<int>(Kind::Gpio)] != ZL_STATUS_OK) return;
    rapidjson::Document doc;
    doc.Parse(led.text.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return;
    std::vector<zl_gpio*> bits;
    for (int i = 0; i < led.readbackWidth; ++i) {
        rapidjson::Value args(rapidjson::kObjectType);
        auto& alloc = doc.GetAllocator();
        args.AddMember("register", rapidjson::Value(std::to_string(led.readbackRegister).c_str(), alloc), alloc);
        args.AddMember("bitpos", rapidjson::Value(std::to_string(offset + i).c_str(), alloc), alloc);
        if (doc.HasMember("driverArgs")) doc.RemoveMember("driverArgs");
        doc.AddMember("driverArgs", args, alloc);
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        doc.Accept(writer);
        zl_gpio* bit = gpioAdd(buffer.GetString());
        if (!bit) {
            problems.push_back({led.name, kindName(Kind::Led), "read-back GPIO add returned null"});
            return;
        }
        bits.push_back(bit);
    }
    ledBits[&led] = bits;
}

// ---------------------------------------------------------------------------------------
// Readings

Reading readTemp(zl_temp_sensor* s) {
    if (!s) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_temp_get_temperature_fn>(s, ZL_TEMP_GET_TEMPERATURE);
    if (!fn) return Reading::of(kNotSupported);
    float value = 0;
    zl_status st = safeCall([&] { return fn(s, &value); });
    return Reading::of(st, value);
}

Reading readRpm(zl_fan* f) {
    if (!f) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_fan_get_rpm_fn>(f, ZL_FAN_GET_RPM);
    if (!fn) return Reading::of(kNotSupported);
    int value = 0;
    zl_status st = safeCall([&] { return fn(f, &value); });
    return Reading::of(st, value);
}

Reading readPsuFloat(zl_psu* p, size_t index) {
    if (!p) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_psu_get_float_fn>(p, index);
    if (!fn) return Reading::of(kNotSupported);
    float value = 0;
    zl_status st = safeCall([&] { return fn(p, &value); });
    return Reading::of(st, value);
}

Reading readPowerOk(zl_psu* p) {
    if (!p) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_psu_get_int_fn>(p, ZL_PSU_GET_POWER_OK);
    if (!fn) return Reading::of(kNotSupported);
    int value = 0;
    zl_status st = safeCall([&] { return fn(p, &value); });
    return Reading::of(st, value);
}

// A slot's presence and, when present, its description.
Reading readSlot(zl_slot* s, Fdl* fdl) {
    if (!s) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_slot_get_presence_fn>(s, ZL_SLOT_GET_PRESENCE);
    if (!fn) return Reading::of(kNotSupported);
    char* text = nullptr;
    zl_status st = safeCall([&] { return fn(s, &text); });
    if (st == ZL_STATUS_OK) {
        if (text) *fdl = parseFdl(text);
        std::free(text);
        return Reading::of(0, 1);
    }
    return Reading::of(st, 0);
}

Reading readXcvrBit(zl_xcvr* x, size_t index) {
    if (!x) return Reading::of(kNotAdded);
    if (ZL_TABLE_WORDS(x) <= index) return Reading::of(kNotSupported);
    auto fn = reinterpret_cast<zl_xcvr_get_fn>(x->callbacks[index]);
    if (!fn) return Reading::of(kNotSupported);
    int value = 0;
    zl_status st = safeCall([&] { return fn(x, &value); });
    return Reading::of(st, value);
}

Reading readGpio(zl_gpio* g) {
    if (!g) return Reading::of(kNotAdded);
    auto fn = callbackOf<zl_gpio_bit_read_fn>(g, ZL_GPIO_BIT_READ);
    if (!fn) return Reading::of(kNotSupported);
    unsigned value = 0;
    zl_status st = safeCall([&] { return fn(g, &value); });
    return Reading::of(st, value);
}

Reading readProxyByte(zl_smbus* s, unsigned char command) {
    if (!s) return Reading::of(kNotSupported);
    auto fn = callbackOf<zl_smbus_read_byte_fn>(s, ZL_SMBUS_READ_BYTE);
    if (!fn) return Reading::of(kNotSupported);
    unsigned char value = 0;
    zl_status st = safeCall([&] { return fn(s, command, &value); });
    return Reading::of(st, value);
}

Report Runner::read() {
    Report report;
    report.board = board.name;
    report.problems = problems;
    // A reading of a device that has no record says why: kind not supported or add failed.
    auto fix = [this](Reading r, const BoardDevice* d) {
        if (r.status == kNotAdded && d) r.status = addStatus(d);
        return r;
    };

    for (const auto* d : board.ofKind(Kind::TempSensor))
        report.temps.push_back({d->name, fix(readTemp(record<zl_temp_sensor>(d)), d), d->alert, d->critical});
    for (const auto* d : board.ofKind(Kind::Fan))
        report.fans.push_back({d->name, !d->tray.empty() ? d->tray : d->psu, fix(readRpm(record<zl_fan>(d)), d)});

    for (const auto* d : board.ofKind(Kind::Psu)) {
        PsuRow row;
        row.name = d->name;
        row.bay = d->bay;
        const BoardDevice* bay = d->bay.empty() ? nullptr : board.find(Kind::Slot, d->bay);
        Fdl fdl;
        row.present = bay ? fix(readSlot(record<zl_slot>(bay), &fdl), bay) : Reading::of(kNotSupported);
        row.model = fdlValue(fdl, {"modelName", "model"});
        row.serial = fdlValue(fdl, {"serialNum", "serial"});
        zl_psu* psu = record<zl_psu>(d);
        row.powerGood = fix(readPowerOk(psu), d);
        row.inputVolts = fix(readPsuFloat(psu, ZL_PSU_GET_INPUT_VOLTAGE), d);
        row.inputAmps = fix(readPsuFloat(psu, ZL_PSU_GET_INPUT_CURRENT), d);
        row.inputWatts = fix(readPsuFloat(psu, ZL_PSU_GET_INPUT_POWER), d);
        row.outputVolts = fix(readPsuFloat(psu, ZL_PSU_GET_OUTPUT_VOLTAGE), d);
        row.outputAmps = fix(readPsuFloat(psu, ZL_PSU_GET_OUTPUT_CURRENT), d);
        row.outputWatts = fix(readPsuFloat(psu, ZL_PSU_GET_OUTPUT_POWER), d);
        report.psus.push_back(row);
    }

    for (const auto* d : board.ofKind(Kind::Slot)) {
        if (d->slotType != "fanTray") continue;
        TrayRow row;
        row.name = d->name;
        Fdl fdl;
        row.present = fix(readSlot(record<zl_slot>(d), &fdl), d);
        row.airflow = fdlValue(fdl, {"airflowDirection", "airflow"});
        row.model = fdlValue(fdl, {"modelName", "model"});
        row.maxRpm = fdlValue(fdl, {"maxRpm"});
        for (const auto* f : board.ofKind(Kind::Fan))
            if (f->tray == d->name) row.fans.push_back(f->name);
        report.trays.push_back(row);
    }

    std::map<std::string, zl_smbus*> proxies;
    for (const auto* d : board.ofKind(Kind::Smbus))
        if (!d->port.empty()) proxies[d->port] = record<zl_smbus>(d);

    for (const auto* d : board.ofKind(Kind::Xcvr)) {
        XcvrRow row;
        row.name = d->name;
        zl_xcvr* x = record<zl_xcvr>(d);
        if (!x) {
            row.present = Reading::of(addStatus(d));
            for (auto& b : row.bits) b = Reading::of(addStatus(d));
            row.eepromId = Reading::of(kNotSupported);
            row.qsfp = textDriverArg(d->text, "type").rfind("qsfp", 0) == 0;
            report.xcvrs.push_back(row);
            continue;
        }
        row.qsfp = ZL_TABLE_WORDS(x) > ZL_XCVR_PORT_TYPE && x->callbacks[ZL_XCVR_PORT_TYPE] == ZL_XCVR_TYPE_QSFP;
        auto presence = ZL_TABLE_WORDS(x) > ZL_XCVR_GET_PRESENCE
                            ? reinterpret_cast<zl_xcvr_presence_fn>(x->callbacks[ZL_XCVR_GET_PRESENCE])
                            : nullptr;
        if (presence) {
            int plugged = 0;
            zl_status st = safeCall([&] {
                plugged = presence(x);
                return ZL_STATUS_OK;
            });
            row.present = Reading::of(st, plugged != 0 ? 1 : 0);
        } else {
            row.present = Reading::of(kNotSupported);
        }
        const size_t sfp[] = {ZL_SFP_GET_TX_FAULT, ZL_SFP_GET_RX_LOS, ZL_SFP_GET_TX_DISABLE};
        const size_t qsfp[] = {ZL_QSFP_GET_LP_MODE, ZL_QSFP_GET_RESET, ZL_QSFP_GET_INTERRUPT};
        for (int i = 0; i < 3; ++i) row.bits[i] = readXcvrBit(x, row.qsfp ? qsfp[i] : sfp[i]);
        auto proxy = proxies.find(d->name);
        if (proxy == proxies.end())
            row.eepromId = Reading::of(kNotSupported);
        else if (row.present.ok() && row.present.value != 0)
            row.eepromId = proxy->second ? readProxyByte(proxy->second, 0) : Reading::of(kNotAdded);
        else
            row.eepromId = Reading::of(kNotSupported);
        report.xcvrs.push_back(row);
    }

    for (const auto* d : board.ofKind(Kind::Led)) {
        LedRow row;
        row.name = d->name;
        row.type = textDriverArg(d->text, "type");
        auto bits = ledBits.find(d);
        if (!record<zl_led>(d)) {
            row.field = Reading::of(addStatus(d));
        } else if (bits == ledBits.end()) {
            row.field = Reading::of(kNotSupported);
            row.hasReadback = d->readbackRegister >= 0;
        } else {
            int field = 0;
            int status = 0;
            for (size_t i = 0; i < bits->second.size() && status == 0; ++i) {
                Reading bit = readGpio(bits->second[i]);
                status = bit.status;
                field |= (bit.value != 0 ? 1 : 0) << i;
            }
            row.field = Reading::of(status, field);
            if (status == 0) row.setting = ledFieldMeaning(row.type, field);
        }
        report.leds.push_back(row);
    }

    for (const auto* d : board.ofKind(Kind::Gpio)) report.gpios.push_back({d->name, fix(readGpio(record<zl_gpio>(d)), d)});
    return report;
}

// ---------------------------------------------------------------------------------------
// Commands

struct Options {
    std::string board;
    std::string library;
    bool help = false;
    std::vector<std::string> args;  // command and its arguments, global options removed
};

// Pulls the global options out of the command line, wherever they stand.
bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
    const char* env = std::getenv("ZL_TRACE_LEVEL");
    long level = 0;
    if (env && *env) {
        if (!parseLong(env, &level)) {
            *error = std::string("ZL_TRACE_LEVEL is not a number: ") + env;
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        if (arg == "--board") {
            if (!value(&options->board)) return false;
        } else if (arg == "--library") {
            if (!value(&options->library)) return false;
        } else if (arg == "-v" || arg == "--verbose") {
            std::string text;
            if (!value(&text)) return false;
            if (!parseLong(text, &level)) {
                *error = "-v needs a number, not " + text;
                return false;
            }
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else {
            options->args.push_back(arg);
        }
    }
    setTraceLevel(static_cast<int>(level < -1 ? -1 : level > 100 ? 100 : level));
    return true;
}

int exitFor(const Report& report) { return report.failures() == 0 ? kExitOk : kExitFailed; }

int cmdShow(const Options& o, Runner& runner) {
    bool json = false;
    for (size_t i = 1; i < o.args.size(); ++i) {
        if (o.args[i] == "--json")
            json = true;
        else
            return usage("show: unexpected argument " + o.args[i], kShowHelp);
    }
    runner.initAll();
    runner.addAll();
    Report report = runner.read();
    std::fputs((json ? renderJson(report) : renderText(report)).c_str(), stdout);
    std::fflush(stdout);
    return exitFor(report);
}

int settingOf(const std::string& text) {
    static const char* names[] = {"off", "good", "warning", "bad", "inactive", "unknown", "beacon"};
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 0; i < 7; ++i)
        if (lower == names[i]) return i;
    long v = 0;
    if (parseLong(text, &v) && v >= 0 && v <= 6) return static_cast<int>(v);
    return -1;
}

const char* const kSettingNames[] = {"Off", "Good", "Warning", "Bad", "Inactive", "Unknown", "Beacon"};

int cmdWatch(const Options& o, Runner& runner) {
    double interval = 2;
    long count = 0;
    bool json = false;
    std::vector<std::pair<const BoardDevice*, int>> leds;  // settings to apply before watching
    for (size_t i = 1; i < o.args.size(); ++i) {
        const std::string& a = o.args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--led" && i + 2 < o.args.size()) {
            const BoardDevice* led = runner.board.find(Kind::Led, o.args[i + 1]);
            int setting = settingOf(o.args[i + 2]);
            if (!led) return usage("watch: no LED named " + o.args[i + 1], kWatchHelp);
            if (setting < 0) return usage("watch: unknown LED setting " + o.args[i + 2], kWatchHelp);
            leds.emplace_back(led, setting);
            i += 2;
        } else if (a == "--interval" && i + 1 < o.args.size()) {
            if (!parseSeconds(o.args[++i], &interval) || interval < 0.05)
                return usage("watch: --interval needs seconds from 0.05 to 86400", kWatchHelp);
        } else if (a == "--count" && i + 1 < o.args.size()) {
            if (!parseLong(o.args[++i], &count) || count < 0)
                return usage("watch: --count needs a number of reports", kWatchHelp);
        } else {
            return usage("watch: unexpected argument " + a, kWatchHelp);
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    runner.initAll();
    runner.addAll();
    for (const auto& [led, setting] : leds) {
        auto record = runner.record<zl_led>(led);
        auto fn = callbackOf<zl_led_set_light_setting_fn>(record, ZL_LED_SET_LIGHT_SETTING);
        int status = fn ? safeCall([&] { return fn(record, setting); }) : (record ? kNotSupported : runner.addStatus(led));
        if (status != ZL_STATUS_OK)
            std::fprintf(stderr, "zolta-host: %s: setting %s: %s\n", led->name.c_str(), kSettingNames[setting],
                         statusWord(status).c_str());
    }
    bool tty = isatty(STDOUT_FILENO);
    int status = kExitOk;
    for (long n = 0; (count == 0 || n < count) && !stopRequested; ++n) {
        if (n > 0) runTimers(static_cast<long>(interval * 1000), &stopRequested);
        if (stopRequested) break;
        Report report = runner.read();
        if (tty) std::fputs("\033[H\033[2J", stdout);
        else if (n > 0 && !json) std::fputs("----\n", stdout);
        std::fputs((json ? renderJson(report) : renderText(report)).c_str(), stdout);
        std::fflush(stdout);
        status = exitFor(report);
    }
    return status;
}

int report(const std::string& what, int status) {
    if (status == ZL_STATUS_OK) {
        std::printf("%s\n", what.c_str());
        return kExitOk;
    }
    std::fprintf(stderr, "zolta-host: %s: %s\n", what.c_str(), statusWord(status).c_str());
    return kExitFailed;
}

int cmdSet(const Options& o, Runner& runner) {
    const auto& a = o.args;
    if (a.size() < 2) return usage("set: what to set?", kSetHelp);
    const std::string& what = a[1];
    Kind kind;
    size_t want;
    if (what == "fan") kind = Kind::Fan, want = 4;
    else if (what == "led") kind = Kind::Led, want = 4;
    else if (what == "xcvr") kind = Kind::Xcvr, want = 5;
    else if (what == "gpio") kind = Kind::Gpio, want = 4;
    else return usage("set: unknown kind " + what, kSetHelp);
    double hold = 0;
    std::vector<std::string> args(a.begin(), a.end());
    if (kind == Kind::Led) {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--hold") {
                if (!parseSeconds(args[i + 1], &hold)) return usage("set led: --hold needs seconds", kSetHelp);
                args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
                break;
            }
        }
    }
    if (args.size() != want) return usage("set " + what + ": wrong number of arguments", kSetHelp);
    const BoardDevice* device = runner.board.find(kind, args[2]);
    if (!device) {
        std::string names;
        for (const auto* d : runner.board.ofKind(kind)) names += " " + d->name;
        return usage("set " + what + ": no " + kindName(kind) + " named " + args[2] + " (known:" + names + ")", kSetHelp);
    }
    // Check the value before touching the library.
    long number = 0;
    int setting = -1;
    std::string bit;
    if (kind == Kind::Fan && (!parseLong(args[3], &number) || number < 0 || number > 1000000))
        return usage("set fan: RPM must be a number from 0 to 1000000", kSetHelp);
    if (kind == Kind::Led && (setting = settingOf(args[3])) < 0)
        return usage("set led: unknown setting " + args[3], kSetHelp);
    if (kind == Kind::Gpio && args[3] != "set" && args[3] != "clear")
        return usage("set gpio: say set or clear, not " + args[3], kSetHelp);
    if (kind == Kind::Xcvr) {
        bit = args[3];
        if (bit != "txDisable" && bit != "lpMode" && bit != "reset" && bit != "modSel")
            return usage("set xcvr: BIT must be txDisable, lpMode, reset or modSel", kSetHelp);
        if (!parseLong(args[4], &number) || (number != 0 && number != 1))
            return usage("set xcvr: VALUE must be 0 or 1", kSetHelp);
    }

    runner.initAll();
    void* record = runner.add(*device);
    if (!record) {
        const Problem& p = runner.problems.back();
        std::fprintf(stderr, "zolta-host: %s: %s\n", p.name.c_str(), p.message.c_str());
        return kExitFailed;
    }
    const std::string& name = device->name;
    switch (kind) {
        case Kind::Fan: {
            auto fan = static_cast<zl_fan*>(record);
            auto fn = callbackOf<zl_fan_set_rpm_fn>(fan, ZL_FAN_SET_RPM);
            if (!fn) return report(name + ": setting the speed", kNotSupported);
            return report(name + ": speed set to " + std::to_string(number) + " rpm", safeCall([&] { return fn(fan, static_cast<int>(number)); }));
        }
        case Kind::Led: {
            auto led = static_cast<zl_led*>(record);
            auto fn = callbackOf<zl_led_set_light_setting_fn>(led, ZL_LED_SET_LIGHT_SETTING);
            if (!fn) return report(name + ": setting the light", kNotSupported);
            int rc = report(name + ": set to " + kSettingNames[setting], safeCall([&] { return fn(led, setting); }));
            if (rc == kExitOk && hold > 0) {
                std::signal(SIGINT, onSignal);
                std::signal(SIGTERM, onSignal);
                runTimers(static_cast<long>(hold * 1000), &stopRequested);
            }
            return rc;
        }
        case Kind::Gpio: {
            auto gpio = static_cast<zl_gpio*>(record);
            bool set = args[3] == "set";
            auto fn = callbackOf<zl_gpio_bit_op_fn>(gpio, set ? ZL_GPIO_BIT_SET : ZL_GPIO_BIT_CLEAR);
            if (!fn) return report(name + ": " + args[3], kNotSupported);
            return report(name + (set ? ": set" : ": cleared"), safeCall([&] { return fn(gpio); }));
        }
        case Kind::Xcvr: {
            auto x = static_cast<zl_xcvr*>(record);
            bool qsfp = ZL_TABLE_WORDS(x) > ZL_XCVR_PORT_TYPE && x->callbacks[ZL_XCVR_PORT_TYPE] == ZL_XCVR_TYPE_QSFP;
            size_t index = 0;
            if (!qsfp && bit == "txDisable") index = ZL_SFP_SET_TX_DISABLE;
            else if (qsfp && bit == "lpMode") index = ZL_QSFP_SET_LP_MODE;
            else if (qsfp && bit == "reset") index = ZL_QSFP_SET_RESET;
            else if (qsfp && bit == "modSel") index = ZL_QSFP_SET_MOD_SEL;
            else
                return usage("set xcvr: " + name + " is " + (qsfp ? "a QSFP port: BIT is lpMode, reset or modSel"
                                                                   : "an SFP port: BIT is txDisable"),
                             kSetHelp);
            zl_xcvr_set_fn fn = ZL_TABLE_WORDS(x) > index ? reinterpret_cast<zl_xcvr_set_fn>(x->callbacks[index]) : nullptr;
            if (!fn) return report(name + ": " + bit, kNotSupported);
            return report(name + ": " + bit + " set to " + std::to_string(number), safeCall([&] { return fn(x, static_cast<int>(number)); }));
        }
        default: break;
    }
    return kExitFailed;
}

int cmdPowercycle(const Options& o, Runner& runner) {
    bool yes = false;
    for (size_t i = 1; i < o.args.size(); ++i) {
        if (o.args[i] == "--yes")
            yes = true;
        else
            return usage("powercycle: unexpected argument " + o.args[i], kPowercycleHelp);
    }
    if (!yes) return usage("powercycle: this power-cycles the board; confirm with --yes", kPowercycleHelp);
    if (!runner.board.hasSystem) {
        std::fprintf(stderr, "zolta-host: the board file has no \"system\" entry\n");
        return kExitFailed;
    }
    runner.initAll();
    auto system = static_cast<zl_system*>(runner.add(runner.board.system));
    if (!system) {
        std::fprintf(stderr, "zolta-host: %s\n", runner.problems.back().message.c_str());
        return kExitFailed;
    }
    auto fn = callbackOf<zl_system_powercycle_fn>(system, ZL_SYSTEM_POWERCYCLE);
    if (!fn) return report("power cycle", kNotSupported);
    return report("power cycle requested", safeCall([&] { return fn(system); }));
}

int cmdCheck(const Options& o, const std::string& defaultBoardPath) {
    std::string path = o.board.empty() ? defaultBoardPath : o.board;
    if (o.args.size() > 2) return usage("check: too many arguments", kCheckHelp);
    if (o.args.size() == 2) path = o.args[1];
    std::vector<BoardProblem> problems;
    Board board;
    Topology topology;
    size_t devices = 0;
    if (loadBoard(path, &board, &problems)) {
        std::string text;
        if (!readFile(board.topologyPath(), &text))
            problems.push_back({"topology", "cannot read " + board.topologyPath()});
        else if (parseTopology(text, &topology, &problems) || !topology.devices.empty())
            checkBoard(board, topology, &problems);
        devices = board.devices.size() + (board.hasSystem ? 1 : 0);
    }
    for (const auto& p : problems) std::printf("%s: %s\n", p.device.c_str(), p.rule.c_str());
    if (problems.empty()) {
        std::printf("%s: %zu devices, topology %s with %zu devices: no problems\n", path.c_str(), devices,
                    board.topologyPath().c_str(), topology.devices.size());
        return kExitOk;
    }
    std::printf("%s: %zu problem%s\n", path.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) return usage(error, kMainHelp);
    std::string command = options.args.empty() ? "" : options.args[0];
    if (options.help) {
        const char* help = command == "show"         ? kShowHelp
                           : command == "watch"      ? kWatchHelp
                           : command == "set"        ? kSetHelp
                           : command == "powercycle" ? kPowercycleHelp
                           : command == "check"      ? kCheckHelp
                                                     : kMainHelp;
        std::fputs(help, stdout);
        return kExitOk;
    }
    if (command.empty()) return usage("no command given", kMainHelp);
    if (command == "check") return cmdCheck(options, defaultBoard());
    if (command != "show" && command != "watch" && command != "set" && command != "powercycle")
        return usage("unknown command " + command, kMainHelp);

    Runner runner;
    std::string boardPath = options.board.empty() ? defaultBoard() : options.board;
    std::string libraryPath = options.library.empty() ? defaultLibrary() : options.library;
    if (!runner.start(boardPath, libraryPath)) return kExitFailed;
    if (command == "show") return cmdShow(options, runner);
    if (command == "watch") return cmdWatch(options, runner);
    if (command == "set") return cmdSet(options, runner);
    return cmdPowercycle(options, runner);
}
