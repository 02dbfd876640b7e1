#include "BoardCheck.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace Host {

const TopologyDevice* Topology::byDid(unsigned did) const {
    for (const auto& device : devices)
        if (device.did == did) return &device;
    return nullptr;
}

const TopologyDevice* Topology::byLabel(const std::string& label) const {
    const TopologyDevice* found = nullptr;
    for (const auto& device : devices)
        if (device.label == label) found = &device;
    return found;
}

const std::vector<std::string>& knownDrivers() {
    static const std::vector<std::string> names = {
        "Dummy",       "GpioDriver",   "SmbusProxyDriver", "Max6620",     "TMP75",         "OrvikFanTray", "OrvikFanEeprom",
        "OrvikLedCpld", "OrvikSCpldA", "OrvikSCpldB",      "OrvikSXcvrMux", "Pmbus",       "PsuSlot"};
    return names;
}

bool isDecimal(const std::string& text, long* value) {
    if (text.empty()) return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    if (value) *value = v;
    return true;
}

namespace {

using Args = std::map<std::string, std::string>;
using Problems = std::vector<BoardProblem>;

// Driver argument values become text the way the library converts them.
std::string argText(const rapidjson::Value& v) {
    if (v.IsInt()) return std::to_string(v.GetInt());
    if (v.IsUint()) return std::to_string(v.GetUint());
    if (v.IsString()) return std::string(v.GetString());
    if (v.IsNumber() && !v.IsInt64() && !v.IsUint64()) {
        std::ostringstream out;
        out << v.GetDouble();
        return out.str();
    }
    if (v.IsBool()) return v.GetBool() ? "true" : "false";
    return "";
}

bool readArgs(const rapidjson::Value& object, Args* args) {
    auto it = object.FindMember("driverArgs");
    if (it == object.MemberEnd() || it->value.IsNull()) return true;
    if (!it->value.IsObject()) return false;
    for (const auto& member : it->value.GetObject()) {
        if (member.value.IsNull()) continue;
        (*args)[member.name.GetString()] = argText(member.value);
    }
    return true;
}

// Walks buses, devices and muxes below one JSON value, collecting devices.
void walkBus(const rapidjson::Value& bus, Topology* topology, Problems* problems);

void walkDevice(const rapidjson::Value& device, Topology* topology, Problems* problems) {
    if (!device.IsObject()) {
        problems->push_back({"topology", "a device entry is not a JSON object"});
        return;
    }
    TopologyDevice out;
    auto did = device.FindMember("did");
    if (did == device.MemberEnd() || !did->value.IsUint()) {
        problems->push_back({"topology", "a device has no unsigned \"did\""});
        return;
    }
    out.did = did->value.GetUint();
    auto label = device.FindMember("label");
    if (label != device.MemberEnd()) {
        if (label->value.IsString())
            out.label = label->value.GetString();
        else
            problems->push_back({"topology", "device " + std::to_string(out.did) + ": \"label\" is not a string"});
    }
    auto driver = device.FindMember("driver");
    if (driver != device.MemberEnd() && driver->value.IsString()) out.driver = driver->value.GetString();
    auto multi = device.FindMember("isMultiDevice");
    out.isMultiDevice = multi != device.MemberEnd() && multi->value.IsBool() && multi->value.GetBool();
    auto address = device.FindMember("address");
    if (address != device.MemberEnd() && address->value.IsObject()) {
        auto a = address->value.FindMember("address");
        if (a != address->value.MemberEnd() && a->value.IsUint()) out.address = static_cast<int>(a->value.GetUint() & 0x7F);
    }
    std::string who = "device " + std::to_string(out.did) + (out.label.empty() ? "" : " (" + out.label + ")");
    if (driver != device.MemberEnd() && !out.isMultiDevice && out.address < 0)
        problems->push_back({"topology", who + " names a driver but has no \"address\" object with an \"address\""});
    if (!readArgs(device, &out.driverArgs))
        problems->push_back({"topology", who + ": \"driverArgs\" is not an object"});
    topology->devices.push_back(std::move(out));
}

template <class Fn>
void eachIn(const rapidjson::Value& object, const char* key, Problems* problems, const std::string& where, Fn fn) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) return;
    if (!it->value.IsArray()) {
        problems->push_back({"topology", where + ": \"" + key + "\" is not an array"});
        return;
    }
    for (const auto& element : it->value.GetArray()) fn(element);
}

void walkMux(const rapidjson::Value& mux, Topology* topology, Problems* problems) {
    if (!mux.IsObject()) {
        problems->push_back({"topology", "a mux entry is not a JSON object"});
        return;
    }
    auto did = mux.FindMember("did");
    if (did == mux.MemberEnd() || !did->value.IsUint()) {
        problems->push_back({"topology", "a mux has no unsigned \"did\""});
        return;
    }
    topology->muxDids.push_back(did->value.GetUint());
    eachIn(mux, "busses", problems, "mux " + std::to_string(did->value.GetUint()),
           [&](const rapidjson::Value& bus) { walkBus(bus, topology, problems); });
}

void walkBus(const rapidjson::Value& bus, Topology* topology, Problems* problems) {
    if (!bus.IsObject()) {
        problems->push_back({"topology", "a bus entry is not a JSON object"});
        return;
    }
    auto id = bus.FindMember("id");
    if (id == bus.MemberEnd() || !id->value.IsInt()) problems->push_back({"topology", "a bus has no integer \"id\""});
    eachIn(bus, "devices", problems, "bus", [&](const rapidjson::Value& d) { walkDevice(d, topology, problems); });
    eachIn(bus, "muxes", problems, "bus", [&](const rapidjson::Value& m) { walkMux(m, topology, problems); });
}

void walkAccelerators(const rapidjson::Value& medium, Topology* topology, Problems* problems) {
    eachIn(medium, "accelerators", problems, "medium", [&](const rapidjson::Value& accel) {
        if (!accel.IsObject() || !accel.HasMember("id") || !accel["id"].IsUint()) {
            problems->push_back({"topology", "an accelerator is not an object with an unsigned \"id\""});
            return;
        }
        std::set<int> ids;
        eachIn(accel, "busses", problems, "accelerator", [&](const rapidjson::Value& bus) {
            if (bus.IsObject() && bus.HasMember("id") && bus["id"].IsInt() && !ids.insert(bus["id"].GetInt()).second)
                problems->push_back({"topology", "two buses of accelerator " + std::to_string(accel["id"].GetUint()) +
                                                     " have id " + std::to_string(bus["id"].GetInt())});
            walkBus(bus, topology, problems);
        });
    });
}

}  // namespace

bool parseTopology(const std::string& text, Topology* topology, Problems* problems) {
    *topology = Topology();
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        problems->push_back({"topology", std::string("not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) +
                                             " (offset " + std::to_string(doc.GetErrorOffset()) + ")"});
        return false;
    }
    if (!doc.IsArray()) {
        problems->push_back({"topology", "the root is not an array of media"});
        return false;
    }
    size_t before = problems->size();
    for (const auto& medium : doc.GetArray()) {
        if (!medium.IsObject() || !medium.HasMember("type") || !medium["type"].IsString() || !medium.HasMember("ham") ||
            !medium["ham"].IsString()) {
            problems->push_back({"topology", "a medium is not an object with string \"type\" and \"ham\""});
            continue;
        }
        std::string type = medium["type"].GetString();
        if (type == "SCD") {
            if (!medium.HasMember("pci") || !medium["pci"].IsUint())
                problems->push_back({"topology", "an SCD has no unsigned \"pci\""});
            walkAccelerators(medium, topology, problems);
        } else if (type == "Celestica") {
            walkAccelerators(medium, topology, problems);
        } else if (type == "I2C" || type == "IOPort") {
            walkBus(medium, topology, problems);
        } else {
            problems->push_back({"topology", "unknown medium type \"" + type + "\""});
        }
    }
    return problems->size() == before;
}

namespace {

bool serves(const std::string& driver, Kind kind) {
    static const std::map<std::string, std::vector<Kind>> table = {
        {"Dummy", {Kind::Gpio}},
        {"GpioDriver", {Kind::Gpio}},
        {"SmbusProxyDriver", {Kind::Smbus, Kind::Gpio}},
        {"Max6620", {Kind::Fan, Kind::Gpio}},
        {"TMP75", {Kind::TempSensor, Kind::Gpio}},
        {"OrvikFanTray", {Kind::Slot}},
        {"OrvikFanEeprom", {Kind::Gpio}},
        {"OrvikLedCpld", {Kind::Led, Kind::Gpio}},
        {"OrvikSCpldA", {Kind::Xcvr, Kind::Gpio}},
        {"OrvikSCpldB", {Kind::Xcvr, Kind::Gpio}},
        {"OrvikSXcvrMux", {Kind::Gpio}},
        {"Pmbus", {Kind::TempSensor, Kind::Fan, Kind::Psu, Kind::Gpio}},
        {"PsuSlot", {Kind::Slot, Kind::Gpio}},
    };
    auto it = table.find(driver);
    return it != table.end() && std::find(it->second.begin(), it->second.end(), kind) != it->second.end();
}

bool sameDriverClass(const std::string& a, const std::string& b) {
    auto norm = [](const std::string& s) { return s == "GpioDriver" ? std::string("Dummy") : s; };
    return norm(a) == norm(b);
}

// Collects the problems of one device's driver arguments.
class ArgCheck {
  public:
    ArgCheck(const std::string& name, const Args& args, Problems* problems)
        : name_(name), args_(args), problems_(problems) {}

    bool has(const std::string& key) const { return args_.count(key) != 0; }
    std::string get(const std::string& key) const {
        auto it = args_.find(key);
        return it == args_.end() ? "" : it->second;
    }
    void fail(const std::string& rule) { problems_->push_back({name_, rule}); }

    // Present and a decimal number, optionally in [lo, hi].
    bool number(const std::string& key, long lo = LONG_MIN, long hi = LONG_MAX) {
        if (!has(key)) {
            fail("driverArgs needs \"" + key + "\"");
            return false;
        }
        long v = 0;
        if (!isDecimal(get(key), &v)) {
            fail("driverArgs \"" + key + "\" must be a decimal number (is \"" + get(key) + "\")");
            return false;
        }
        if (v < lo || v > hi) {
            fail("driverArgs \"" + key + "\" must be from " + std::to_string(lo) + " to " + std::to_string(hi) +
                 " (is " + std::to_string(v) + ")");
            return false;
        }
        return true;
    }
    // Optional, but a decimal number when present.
    void optionalNumber(const std::string& key) {
        if (has(key)) number(key);
    }
    bool present(const std::string& key) {
        if (has(key)) return true;
        fail("driverArgs needs \"" + key + "\"");
        return false;
    }
    void oneOf(const std::string& key, std::initializer_list<const char*> values) {
        if (!present(key)) return;
        std::string list;
        for (const char* v : values) {
            if (get(key) == v) return;
            list += (list.empty() ? "" : ", ") + std::string(v);
        }
        fail("driverArgs \"" + key + "\" must be one of " + list + " (is \"" + get(key) + "\")");
    }
    void placeholders(const std::string& key, std::initializer_list<const char*> names) {
        if (!present(key)) return;
        for (const char* n : names)
            if (get(key).find(std::string("{") + n + "}") == std::string::npos)
                fail("driverArgs \"" + key + "\" lacks the placeholder {" + std::string(n) + "}");
    }
    void label(const std::string& key, const Topology& topology) {
        if (!has(key)) return;
        const TopologyDevice* d = topology.byLabel(get(key));
        if (!d)
            fail("\"" + key + "\" names label \"" + get(key) + "\", which the topology lacks");
        else if (d->driver.empty())
            fail("\"" + key + "\" names label \"" + get(key) + "\", whose topology entry has no driver");
    }

  private:
    const std::string& name_;
    const Args& args_;
    Problems* problems_;
};

void checkRegisterGpio(ArgCheck& c) {
    c.number("register", 0, 255);
    c.number("bitpos", 0, 7);
}

void checkDriverArgs(const BoardDevice& device, const std::string& driver, const Args& args,
                     const rapidjson::Value& text, const Topology& topology, Problems* problems);

void checkText(const BoardDevice& device, const std::string& text, const Topology& topology, Problems* problems) {
    auto fail = [&](const std::string& rule) { problems->push_back({device.name, rule}); };
    if (device.kind == Kind::Smbus && (text.empty() || text[0] != '{')) {
        // A label: the library looks up "<label><0x<address>>".
        char key[300];
        std::snprintf(key, sizeof key, "%s<0x%x>", text.c_str(), static_cast<unsigned>(device.address));
        if (!topology.byLabel(key)) fail(std::string("no topology device is labelled ") + key);
        return;
    }
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        fail(std::string("device text is not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " (offset " +
             std::to_string(doc.GetErrorOffset()) + ")");
        return;
    }
    if (!doc.IsObject()) {
        fail("device text is not a JSON object");
        return;
    }
    bool ok = true;
    auto did = doc.FindMember("did");
    if (did == doc.MemberEnd()) {
        fail("device text has no \"did\"");
        ok = false;
    } else if (!did->value.IsUint()) {
        fail("\"did\" is not an unsigned integer");
        ok = false;
    }
    auto driver = doc.FindMember("driver");
    std::string driverName;
    if (driver == doc.MemberEnd()) {
        fail("device text has no \"driver\"");
        ok = false;
    } else if (!driver->value.IsString()) {
        fail("\"driver\" is not a string");
        ok = false;
    } else {
        driverName = driver->value.GetString();
        const auto& known = knownDrivers();
        if (std::find(known.begin(), known.end(), driverName) == known.end()) {
            fail("driver \"" + driverName + "\" is not one of the library's drivers");
            ok = false;
        } else if (!serves(driverName, device.kind)) {
            fail("driver \"" + driverName + "\" makes no " + kindName(device.kind));
        }
    }
    bool multi = false;
    auto isMulti = doc.FindMember("isMultiDevice");
    if (isMulti != doc.MemberEnd()) {
        if (!isMulti->value.IsBool())
            fail("\"isMultiDevice\" is not a bool");
        else
            multi = isMulti->value.GetBool();
    }
    if (driverName == "OrvikFanTray" && !multi) fail("driver \"OrvikFanTray\" needs \"isMultiDevice\": true");
    if (multi && !driverName.empty() && driverName != "OrvikFanTray")
        fail("only \"OrvikFanTray\" makes multi-devices, not \"" + driverName + "\"");
    int address = -1;
    if (multi) {
        auto mda = doc.FindMember("multiDeviceArgs");
        if (mda == doc.MemberEnd() || !mda->value.IsObject()) {
            fail("a multi-device needs a \"multiDeviceArgs\" object");
        } else {
            for (const auto& member : mda->value.GetObject())
                if (!member.value.IsString())
                    fail(std::string("\"multiDeviceArgs\" member \"") + member.name.GetString() + "\" is not a string");
        }
    } else {
        auto addr = doc.FindMember("address");
        if (addr == doc.MemberEnd()) {
            fail("device text has no \"address\"");
            ok = false;
        } else if (!addr->value.IsObject()) {
            fail("\"address\" is not an object");
            ok = false;
        } else {
            const auto& a = addr->value;
            auto value = a.FindMember("address");
            if (value == a.MemberEnd() || !value->value.IsUint()) {
                fail("\"address\" object needs an unsigned \"address\"");
                ok = false;
            } else {
                address = static_cast<int>(value->value.GetUint() & 0x7F);
            }
            for (const char* key : {"writeDelay", "readDelay", "busTimeout", "extraDelay", "accel", "addrSize"}) {
                auto it = a.FindMember(key);
                if (it != a.MemberEnd() && !it->value.IsUint()) fail(std::string("address \"") + key + "\" is not unsigned");
            }
            auto size = a.FindMember("addrSize");
            if (size != a.MemberEnd() && size->value.IsUint() && (size->value.GetUint() & 3) != 1 &&
                (size->value.GetUint() & 3) != 2)
                fail("address \"addrSize\" must be 1 or 2");
        }
    }
    for (const char* key : {"uid", "provideHam"}) {
        auto it = doc.FindMember(key);
        if (it != doc.MemberEnd() && !it->value.IsUint()) fail(std::string("\"") + key + "\" is not an unsigned integer");
    }
    Args args;
    if (!readArgs(doc, &args)) {
        fail("\"driverArgs\" is not an object");
        ok = false;
    }
    if (!ok) return;

    unsigned didValue = did->value.GetUint();
    const TopologyDevice* topo = topology.byDid(didValue);
    if (!topo) {
        fail("did " + std::to_string(didValue) + " is not in the topology");
    } else {
        if (!topo->driver.empty() && !sameDriverClass(topo->driver, driverName))
            fail("driver \"" + driverName + "\" differs from the topology's \"" + topo->driver + "\" for did " +
                 std::to_string(didValue));
        if (!multi && topo->address >= 0 && address >= 0 && topo->address != address)
            fail("address " + std::to_string(address) + " differs from the topology's " + std::to_string(topo->address) +
                 " for did " + std::to_string(didValue));
    }
    checkDriverArgs(device, driverName, args, doc, topology, problems);
}

void checkDriverArgs(const BoardDevice& device, const std::string& driver, const Args& args,
                     const rapidjson::Value& text, const Topology& topology, Problems* problems) {
    ArgCheck c(device.name, args, problems);
    Kind kind = device.kind;
    if (kind == Kind::Gpio && driver != "OrvikFanEeprom") {
        checkRegisterGpio(c);
        return;
    }
    if (driver == "Max6620") {
        c.number("maxId");
        if (kind == Kind::Fan) {
            c.number("id", 1, 8);
            c.number("regOffset", 0, 3);
            c.number("maxRpm", 1);
        }
    } else if (driver == "Pmbus") {
        c.optionalNumber("voutExponent");
        if (c.has("gpioDevice")) {
            c.label("gpioDevice", topology);
            c.number("powerOkReg", 0, 255);
            c.number("powerOkBit", 0, 7);
        }
        if (kind == Kind::Fan) {
            c.number("fanId", 1, 2);
            c.number("maxFanRpm", 1);
        }
        if (kind == Kind::TempSensor) c.number("sensorId", 1, 2);
    } else if (driver == "PsuSlot") {
        c.number("psuId", 1, 2);
        c.oneOf("identificationType", {"pmbus", "ipmi", "ipmitool", "ipmitool_raw", "wedge", "tlv"});
        std::string type = c.get("identificationType");
        if (type == "ipmitool") c.present("ipmiId");
        if (type == "ipmitool_raw") {
            c.present("ipmiId");
            c.present("ipmiRawModel");
            c.present("ipmiRawSerialNumber");
        }
        if (!c.has("model_1")) c.fail("driverArgs has no \"model_1\": every unit would be unmanaged");
        for (int i = 1; c.has("model_" + std::to_string(i)); ++i)
            c.placeholders("psuFdl_" + std::to_string(i), {"serialNum"});
        if (type == "wedge") {
            bool found = false;
            for (int i = 1; c.has("model_" + std::to_string(i)); ++i) found |= c.get("model_" + std::to_string(i)) == "PWR-WEDGE";
            if (!found) c.fail("identification \"wedge\" needs a model \"PWR-WEDGE\"");
        }
        if (c.has("gpioDevice")) {
            c.label("gpioDevice", topology);
            c.number("presenceReg", 0, 255);
            c.number("presenceBit", 0, 7);
            c.number("powerOkReg", 0, 255);
            c.number("powerOkBit", 0, 7);
        }
    } else if (driver == "OrvikFanTray") {
        long slot = 0;
        if (c.number("slotId", 1, 3)) isDecimal(c.get("slotId"), &slot);
        c.placeholders("fanFdl", {"airflowDirection", "maxRpm", "modelName"});
        c.present("rpmF2B");
        c.present("rpmB2F");
        c.present("modelName");
        auto mda = text.FindMember("multiDeviceArgs");
        if (slot && mda != text.MemberEnd() && mda->value.IsObject()) {
            for (const char* prefix : {"presenceGpio", "airflowGpio"}) {
                std::string key = prefix + std::to_string(slot);
                auto member = mda->value.FindMember(key.c_str());
                if (member == mda->value.MemberEnd() || !member->value.IsString()) {
                    c.fail("\"multiDeviceArgs\" needs \"" + key + "\"");
                    continue;
                }
                BoardDevice gpio;
                gpio.kind = Kind::Gpio;
                gpio.name = device.name + " member " + key;
                gpio.text = member->value.GetString();
                checkText(gpio, gpio.text, topology, problems);
            }
        }
    } else if (driver == "OrvikFanEeprom") {
        c.number("offset", 0, 255);
        c.number("f2bVal", 0, 255);
        c.number("b2fVal", 0, 255);
    } else if (driver == "OrvikLedCpld" && kind == Kind::Led) {
        c.number("id", 1, 3);
        c.number("bitOffset", 0, 7);
        c.oneOf("type", {"status", "fantray", "multifan", "multipsu"});
    } else if (driver == "OrvikSCpldA" && kind == Kind::Xcvr) {
        c.number("id", 1, 6);
        c.oneOf("type", {"qsfp", "qsfp+"});
    } else if (driver == "OrvikSCpldB" && kind == Kind::Xcvr) {
        c.number("id", 1, 48);
        c.oneOf("type", {"sfp", "sfp+"});
    } else if (driver == "OrvikSXcvrMux") {
        c.number("reg", 0, 255);
        c.number("reset", 0, 255);
    } else if (driver == "SmbusProxyDriver") {
        c.optionalNumber("localReadDelayMs");
        c.optionalNumber("localWriteDelayMs");
    }
}

}  // namespace

void checkDevice(const BoardDevice& device, const Topology& topology, Problems* problems) {
    if (device.kind == Kind::System) return;  // the system text is only traced by the library
    checkText(device, device.text, topology, problems);
}

void checkBoard(const Board& board, const Topology& topology, Problems* problems) {
    // Topology consistency.
    std::map<unsigned, const TopologyDevice*> dids;
    std::map<std::string, const TopologyDevice*> labels;
    for (const auto& d : topology.devices) {
        auto [it, fresh] = dids.emplace(d.did, &d);
        if (!fresh)
            problems->push_back({"topology", "did " + std::to_string(d.did) + " is used by \"" + it->second->label +
                                                 "\" and \"" + d.label + "\""});
        if (!d.label.empty() && !labels.emplace(d.label, &d).second)
            problems->push_back({"topology", "label \"" + d.label + "\" is used twice"});
        if (!d.driver.empty()) {
            const auto& known = knownDrivers();
            if (std::find(known.begin(), known.end(), d.driver) == known.end())
                problems->push_back({"topology", "device " + std::to_string(d.did) + " names unknown driver \"" + d.driver + "\""});
        }
        if (d.driver == "OrvikSXcvrMux") {
            BoardDevice mux;
            mux.name = "topology device " + d.label;
            ArgCheck c(mux.name, d.driverArgs, problems);
            c.number("reg", 0, 255);
            c.number("reset", 0, 255);
        }
    }
    for (unsigned mux : topology.muxDids) {
        const TopologyDevice* d = topology.byDid(mux);
        if (!d || d->driver.empty())
            problems->push_back({"topology", "mux " + std::to_string(mux) + " has no device with a driver"});
    }

    // Devices.
    if (board.hasSystem) checkDevice(board.system, topology, problems);
    struct Seen {
        std::string name, driver;
        int address;
    };
    std::map<unsigned, Seen> byDid;
    for (const auto& device : board.devices) {
        checkDevice(device, topology, problems);
        rapidjson::Document doc;
        doc.Parse(device.text.c_str(), device.text.size());
        if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("did") || !doc["did"].IsUint() ||
            !doc.HasMember("driver") || !doc["driver"].IsString())
            continue;
        int address = -1;
        if (doc.HasMember("address") && doc["address"].IsObject() && doc["address"].HasMember("address") &&
            doc["address"]["address"].IsUint())
            address = static_cast<int>(doc["address"]["address"].GetUint() & 0x7F);
        Seen seen{device.name, doc["driver"].GetString(), address};
        auto [it, fresh] = byDid.emplace(doc["did"].GetUint(), seen);
        if (!fresh && !sameDriverClass(it->second.driver, seen.driver))
            problems->push_back({device.name, "driver \"" + seen.driver + "\" differs from \"" + it->second.driver +
                                                  "\" of " + it->second.name + ", which has the same did"});
    }

    // References between entries.
    for (const auto& device : board.devices) {
        auto ref = [&](const std::string& value, Kind kind, const char* key) {
            if (!value.empty() && !board.find(kind, value))
                problems->push_back({device.name, std::string("\"") + key + "\" names " + kindName(kind) + " \"" + value +
                                                      "\", which the board lacks"});
        };
        ref(device.bay, Kind::Slot, "bay");
        ref(device.tray, Kind::Slot, "tray");
        ref(device.psu, Kind::Psu, "psu");
        ref(device.port, Kind::Xcvr, "port");
        if (device.kind == Kind::Slot && device.slotType != "psuBay" && device.slotType != "fanTray")
            problems->push_back({device.name, "\"slotType\" must be \"psuBay\" or \"fanTray\""});
        if (device.kind == Kind::TempSensor && device.alert > device.critical)
            problems->push_back({device.name, "\"alert\" is above \"critical\""});
    }
}

}  // namespace Host
