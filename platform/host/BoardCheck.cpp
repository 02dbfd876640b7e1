#include "BoardCheck.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace Host {

const zl_driver_entry* LibraryCatalogue::find(const std::string& name) const {
    if (drivers == nullptr) return nullptr;
    for (unsigned i = 0; i < drivers->driverCount; ++i)
        if (name == drivers->drivers[i].name) return &drivers->drivers[i];
    return nullptr;
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

// Reads "driverArgs"; `cut` gets the keys of texts holding a NUL (the library stops there).
bool readArgs(const rapidjson::Value& object, Args* args, std::vector<std::string>* cut = nullptr) {
    auto it = object.FindMember("driverArgs");
    if (it == object.MemberEnd() || it->value.IsNull()) return true;
    if (!it->value.IsObject()) return false;
    for (const auto& member : it->value.GetObject()) {
        if (member.value.IsNull()) continue;
        (*args)[member.name.GetString()] = argText(member.value);
        if (cut && member.value.IsString() && std::strlen(member.value.GetString()) != member.value.GetStringLength())
            cut->push_back(member.name.GetString());
    }
    return true;
}

}  // namespace

bool parseTopology(const std::string& text, Topology* topology, Problems* problems) {
    const bool clean = BoardModel::parseTopology(text, topology);
    for (const auto& problem : topology->problems) problems->push_back({"topology", problem.text});
    return clean;
}

namespace {

bool sameDriverClass(const std::string& a, const std::string& b) {
    auto norm = [](const std::string& s) { return s == "GpioDriver" ? std::string("Dummy") : s; };
    return norm(a) == norm(b);
}

// The catalogue's kind number of a host kind (both follow the order of the add functions).
unsigned catalogueKind(Kind kind) { return static_cast<unsigned>(kind); }

bool makes(const zl_driver_entry& entry, unsigned kind) { return (entry.kinds & ZL_KIND_BIT(kind)) != 0; }

std::string seriesKey(const char* key, unsigned index) {
    std::string out(key);
    auto hash = out.find('#');
    if (hash != std::string::npos) out.replace(hash, 1, std::to_string(index));
    return out;
}

// Evaluates the catalogue's rules for the arguments the given calls read, exactly as the
// library reads them: std::stoi for numbers, the low 8 bits before the range check, the
// argument read only when its condition holds.
class ArgRules {
  public:
    // `members`: the multi-device's "multiDeviceArgs" texts; `checkMember` checks one as a
    // GPIO device text under the given name.
    using MemberCheck = std::function<void(const std::string& name, const std::string& text)>;

    ArgRules(const std::string& name, const Args& args, const Topology& topology, const LibraryCatalogue& library,
             Problems* problems, const Args* members = nullptr, MemberCheck checkMember = nullptr)
        : name_(name), args_(args), topology_(topology), library_(library), problems_(problems), members_(members),
          checkMember_(std::move(checkMember)) {}

    void check(const zl_driver_entry& entry, unsigned call) {
        for (unsigned i = 0; i < entry.argCount; ++i) {
            const zl_driver_arg& arg = entry.args[i];
            if (arg.call != call) continue;
            if (arg.read == ZL_READ_GPIO_MEMBER) {
                member(entry, arg);
                continue;
            }
            if (std::string(arg.key).find('#') == std::string::npos) {
                if (applies(arg, 0)) one(arg, arg.key);
                continue;
            }
            // A numbered series ends at the first member whose condition (or itself) is missing.
            for (unsigned n = 1;; ++n) {
                if (arg.whenKey ? !applies(arg, n) : !has(seriesKey(arg.key, n))) break;
                one(arg, seriesKey(arg.key, n));
            }
        }
    }

  private:
    bool has(const std::string& key) const { return args_.count(key) != 0; }
    void fail(const std::string& rule) { problems_->push_back({name_, rule}); }

    bool applies(const zl_driver_arg& arg, unsigned n) const {
        if (arg.whenKey == nullptr) return true;
        auto it = args_.find(seriesKey(arg.whenKey, n));
        return it != args_.end() && (arg.whenValue == nullptr || it->second == arg.whenValue);
    }

    void one(const zl_driver_arg& arg, const std::string& key) {
        auto it = args_.find(key);
        if (it == args_.end()) {
            if (arg.required) fail("driverArgs needs \"" + key + "\"");
            return;
        }
        const std::string& text = it->second;
        if (arg.read == ZL_READ_LABEL) return label(key, text);
        if (arg.choices != nullptr) return choice(arg, key, text);
        if (arg.read != ZL_READ_DECIMAL && arg.read != ZL_READ_DECIMAL_U8) return;
        int value = 0;
        try {
            value = std::stoi(text);
        } catch (const std::invalid_argument&) {
            return fail("driverArgs \"" + key + "\" must be a decimal number (is \"" + text + "\")");
        } catch (const std::out_of_range&) {
            return fail("driverArgs \"" + key + "\" is too large for an int (is \"" + text + "\")");
        }
        const int read = arg.read == ZL_READ_DECIMAL_U8 ? static_cast<uint8_t>(value) : value;
        if (arg.min <= arg.max && (read < arg.min || read > arg.max))
            fail("driverArgs \"" + key + "\" must be from " + std::to_string(arg.min) + " to " + std::to_string(arg.max) +
                 " (is " + (read == value ? std::to_string(value) : "\"" + text + "\", read as " + std::to_string(read)) +
                 ")");
    }

    void choice(const zl_driver_arg& arg, const std::string& key, const std::string& text) {
        std::string list;
        for (const char* c = arg.choices; *c;) {
            const char* end = std::strchr(c, '|');
            const std::string one(c, end ? end : c + std::strlen(c));
            if (one == text) return;
            list += (list.empty() ? "" : ", ") + one;
            c = end ? end + 1 : c + one.size();
        }
        fail("driverArgs \"" + key + "\" must be one of " + list + " (is \"" + text + "\")");
    }

    // The member whose key carries the number of the argument `whenKey`, read as the entry
    // declares that argument; a missing member or an unusable number (reported on its own)
    // leaves nothing to check.
    void member(const zl_driver_entry& entry, const zl_driver_arg& arg) {
        auto number = args_.find(arg.whenKey ? arg.whenKey : "");
        if (number == args_.end() || members_ == nullptr || !checkMember_) return;
        int n = 0;
        try {
            n = std::stoi(number->second);
        } catch (const std::logic_error&) {
            return;
        }
        for (unsigned i = 0; i < entry.argCount; ++i)
            if (std::strcmp(entry.args[i].key, arg.whenKey) == 0 && entry.args[i].read == ZL_READ_DECIMAL_U8)
                n = static_cast<uint8_t>(n);
        if (n < 0) return;
        const std::string key = seriesKey(arg.key, static_cast<unsigned>(n));
        auto text = members_->find(key);
        if (text != members_->end()) checkMember_(name_ + " member \"" + key + "\"", text->second);
    }

    // The library makes a register GPIO on the labelled topology device: the entry needs a
    // driver (Dummy when its "driver" is empty) that is in the library and makes GPIOs.
    void label(const std::string& key, const std::string& text) {
        const TopologyDevice* d = topology_.byLabel(text);
        if (!d) return fail("\"" + key + "\" names label \"" + text + "\", which the topology lacks");
        if (d->driver.empty()) return fail("\"" + key + "\" names label \"" + text + "\", whose topology entry has no driver");
        const zl_driver_entry* entry = library_.find(d->driver);
        if (!entry) return fail("\"" + key + "\" names label \"" + text + "\", whose driver " + d->driver + " is not in this library");
        if (!makes(*entry, ZL_KIND_GPIO))
            fail("\"" + key + "\" names label \"" + text + "\", whose driver " + d->driver + " makes no GPIO");
    }

    const std::string name_;
    const Args& args_;
    const Topology& topology_;
    const LibraryCatalogue& library_;
    Problems* problems_;
    const Args* members_;
    MemberCheck checkMember_;
};

void checkText(const BoardDevice& device, const std::string& text, const Topology& topology,
               const LibraryCatalogue& library, Problems* problems) {
    auto fail = [&](const std::string& rule) { problems->push_back({device.name, rule}); };
    if (!library.kinds.count(device.kind)) {
        fail(std::string("kind ") + kindSymbol(device.kind) + " is not supported by this library");
        return;
    }
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
    const zl_driver_entry* entry = nullptr;
    if (driver == doc.MemberEnd()) {
        fail("device text has no \"driver\"");
        ok = false;
    } else if (!driver->value.IsString()) {
        fail("\"driver\" is not a string");
        ok = false;
    } else {
        driverName = driver->value.GetString();
        entry = library.find(driverName);
        if (!entry) {
            fail("driver " + driverName + " is not in this library");
            ok = false;
        } else if (!makes(*entry, catalogueKind(device.kind))) {
            fail("driver \"" + driverName + "\" makes no " + kindName(device.kind));
        }
    }
    bool multi = false;
    Args members;
    auto isMulti = doc.FindMember("isMultiDevice");
    if (isMulti != doc.MemberEnd()) {
        if (!isMulti->value.IsBool())
            fail("\"isMultiDevice\" is not a bool");
        else
            multi = isMulti->value.GetBool();
    }
    if (entry && (entry->flags & ZL_DRIVER_MULTI) && !multi)
        fail("driver \"" + driverName + "\" needs \"isMultiDevice\": true");
    if (entry && !(entry->flags & ZL_DRIVER_MULTI) && multi)
        fail("driver \"" + driverName + "\" makes no multi-devices");
    int address = -1;
    if (multi) {
        auto mda = doc.FindMember("multiDeviceArgs");
        if (mda == doc.MemberEnd() || !mda->value.IsObject()) {
            fail("a multi-device needs a \"multiDeviceArgs\" object");
        } else {
            for (const auto& member : mda->value.GetObject()) {
                if (!member.value.IsString())
                    fail(std::string("\"multiDeviceArgs\" member \"") + member.name.GetString() + "\" is not a string");
                else
                    members[member.name.GetString()] = member.value.GetString();
            }
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
    std::vector<std::string> cut;
    if (!readArgs(doc, &args, &cut)) {
        fail("\"driverArgs\" is not an object");
        ok = false;
    }
    for (const auto& key : cut)
        fail("warning: driverArgs \"" + key + "\" holds a NUL character; the library reads only \"" + args[key] + "\"");
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
    ArgRules rules(device.name, args, topology, library, problems, &members,
                   [&](const std::string& name, const std::string& memberText) {
                       BoardDevice gpio;
                       gpio.kind = Kind::Gpio;
                       gpio.name = name;
                       checkText(gpio, memberText, topology, library, problems);
                   });
    rules.check(*entry, ZL_CALL_CREATE);
    rules.check(*entry, catalogueKind(device.kind));
}

}  // namespace

void checkDevice(const BoardDevice& device, const Topology& topology, const LibraryCatalogue& library,
                 Problems* problems) {
    if (device.kind == Kind::System) return;  // the system text is only traced by the library
    checkText(device, device.text, topology, library, problems);
}

void checkBoard(const Board& board, const Topology& topology, const LibraryCatalogue& library, Problems* problems) {
    if (library.drivers == nullptr) problems->push_back({"library", "the library reports no driver catalogue"});
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
    }
    // A mux node's device is built from its topology entry for every device behind the mux.
    for (unsigned mux : topology.muxDids) {
        const TopologyDevice* d = topology.byDid(mux);
        if (!d || d->driver.empty()) {
            problems->push_back({"topology", "mux " + std::to_string(mux) + " has no device with a driver"});
            continue;
        }
        const zl_driver_entry* entry = library.find(d->driver);
        if (!entry) {
            problems->push_back({"topology", "mux " + std::to_string(mux) + ": driver " + d->driver + " is not in this library"});
        } else if (!makes(*entry, ZL_KIND_MUX)) {
            problems->push_back({"topology", "mux " + std::to_string(mux) + ": driver \"" + d->driver + "\" makes no mux"});
        } else {
            ArgRules rules("topology device " + d->label, d->driverArgs, topology, library, problems);
            rules.check(*entry, ZL_CALL_CREATE);
            rules.check(*entry, ZL_CALL_NEW_MUX);
        }
    }

    // Devices.
    if (board.hasSystem) checkDevice(board.system, topology, library, problems);
    struct Seen {
        std::string name, driver;
        int address;
    };
    std::map<unsigned, Seen> byDid;
    for (const auto& device : board.devices) {
        checkDevice(device, topology, library, problems);
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
