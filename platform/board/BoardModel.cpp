#include "BoardModel.h"

#include <locale>
#include <set>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace BoardModel {

// ---------------------------------------------------------------- address word

namespace {

uint32_t field(uint32_t value, unsigned shift, unsigned bits) { return (value & ((1u << bits) - 1)) << shift; }
uint32_t extract(uint32_t word, unsigned shift, unsigned bits) { return (word >> shift) & ((1u << bits) - 1); }

}  // namespace

uint32_t KhamAddress::word1() const {
    return field(address, kAddressShift, kAddressBits) | field(bus, kBusShift, kBusBits) |
           field(accel, kAccelShift, kAccelBits) | field(requestFlag, kRequestFlagShift, kRequestFlagBits) |
           field(busTimeout, kBusTimeoutShift, kBusTimeoutBits) | field(addrSize, kAddrSizeShift, kAddrSizeBits) |
           field(extraDelay, kExtraDelayShift, kExtraDelayBits) | field(writeDelay, kWriteDelayShift, kWriteDelayBits) |
           field(readDelay, kReadDelayShift, kReadDelayBits);
}

KhamAddress KhamAddress::unpack(uint64_t packed) {
    KhamAddress a;
    uint32_t w = uint32_t(packed >> 32);
    a.reg = uint32_t(packed & 0xFFFFFFFFu);
    a.address = extract(w, kAddressShift, kAddressBits);
    a.bus = extract(w, kBusShift, kBusBits);
    a.accel = extract(w, kAccelShift, kAccelBits);
    a.requestFlag = extract(w, kRequestFlagShift, kRequestFlagBits);
    a.busTimeout = extract(w, kBusTimeoutShift, kBusTimeoutBits);
    a.addrSize = extract(w, kAddrSizeShift, kAddrSizeBits);
    a.extraDelay = extract(w, kExtraDelayShift, kExtraDelayBits);
    a.writeDelay = extract(w, kWriteDelayShift, kWriteDelayBits);
    a.readDelay = extract(w, kReadDelayShift, kReadDelayBits);
    return a;
}

// ---------------------------------------------------------------- topology

int DevicePath::masterType() const {
    switch (medium) {
        case MediumType::Scd: return kMasterScd;
        case MediumType::Celestica: return kMasterCelestica;
        case MediumType::IoPort: return kMasterIoPort;
        case MediumType::I2c: break;
    }
    return simulated ? kMasterSimulatedI2c : kMasterI2c;
}

const Device* Topology::byDid(unsigned did) const {
    for (const auto& device : devices)
        if (device.did == did) return &device;
    return nullptr;
}

const Device* Topology::byLabel(const std::string& label) const {
    const Device* found = nullptr;
    for (const auto& device : devices)
        if (device.label == label) found = &device;
    return found;
}

const Problem* Topology::firstFatal() const {
    for (const auto& problem : problems)
        if (problem.fatal) return &problem;
    return nullptr;
}

namespace {

using Value = rapidjson::Value;

// A driver argument value as text, the way the library converts it: integers in decimal,
// strings up to a NUL, other numbers in the default stream format, booleans as
// "true"/"false"; other 64-bit integers, arrays and objects as "".
std::string argText(const Value& v) {
    if (v.IsInt()) return std::to_string(v.GetInt());
    if (v.IsUint()) return std::to_string(v.GetUint());
    if (v.IsString()) return std::string(v.GetString());
    if (v.IsDouble()) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out << v.GetDouble();
        return out.str();
    }
    if (v.IsBool()) return v.GetBool() ? "true" : "false";
    return "";
}

// One walk over the document; `path` is the place of the bus being walked.
class Reader {
  public:
    explicit Reader(Topology* topology) : topology_(*topology) {}

    void fatal(const std::string& text) { topology_.problems.push_back({text, true}); }
    void lint(const std::string& text) { topology_.problems.push_back({text, false}); }

    void medium(const Value& medium) {
        if (!medium.IsObject() || !medium.HasMember("type") || !medium["type"].IsString() || !medium.HasMember("ham") ||
            !medium["ham"].IsString()) {
            fatal("a medium is not an object with string \"type\" and \"ham\"");
            return;
        }
        std::string type = medium["type"].GetString();
        DevicePath path;
        if (type == "SCD") {
            path.medium = MediumType::Scd;
            if (!medium.HasMember("pci") || !medium["pci"].IsUint())
                fatal("an SCD has no unsigned \"pci\"");
            else
                path.pci = medium["pci"].GetUint();
            accelerators(medium, path);
        } else if (type == "Celestica") {
            path.medium = MediumType::Celestica;
            accelerators(medium, path);
        } else if (type == "I2C" || type == "IOPort") {
            path.medium = type == "I2C" ? MediumType::I2c : MediumType::IoPort;
            auto sim = medium.FindMember("simulated");
            path.simulated = type == "I2C" && sim != medium.MemberEnd() && sim->value.IsBool() && sim->value.GetBool();
            bus(medium, path);
        } else {
            fatal("unknown medium type \"" + type + "\"");
        }
    }

  private:
    template <class Fn>
    void eachIn(const Value& object, const char* key, const std::string& where, Fn fn) {
        auto it = object.FindMember(key);
        if (it == object.MemberEnd()) return;
        if (!it->value.IsArray()) {
            fatal(where + ": \"" + key + "\" is not an array");
            return;
        }
        for (const auto& element : it->value.GetArray()) fn(element);
    }

    void accelerators(const Value& medium, const DevicePath& mediumPath) {
        eachIn(medium, "accelerators", "medium", [&](const Value& accel) {
            if (!accel.IsObject() || !accel.HasMember("id") || !accel["id"].IsUint()) {
                fatal("an accelerator is not an object with an unsigned \"id\"");
                return;
            }
            DevicePath path = mediumPath;
            path.accel = accel["id"].GetUint();
            std::set<int> ids;
            eachIn(accel, "busses", "accelerator", [&](const Value& b) {
                if (b.IsObject() && b.HasMember("id") && b["id"].IsInt() && !ids.insert(b["id"].GetInt()).second)
                    lint("two buses of accelerator " + std::to_string(path.accel) + " have id " +
                         std::to_string(b["id"].GetInt()));
                bus(b, path);
            });
        });
    }

    // A bus's own id places it: the top bus of a medium or accelerator, or a mux channel.
    void bus(const Value& b, DevicePath path, bool behindMux = false) {
        if (!b.IsObject()) {
            fatal("a bus entry is not a JSON object");
            return;
        }
        auto id = b.FindMember("id");
        if (id == b.MemberEnd() || !id->value.IsInt()) {
            fatal("a bus has no integer \"id\"");
        } else if (behindMux) {
            path.muxes.back().channel = id->value.GetInt();
        } else {
            path.bus = id->value.GetInt();
        }
        eachIn(b, "devices", "bus", [&](const Value& d) { device(d, path); });
        eachIn(b, "muxes", "bus", [&](const Value& m) { mux(m, path); });
    }

    void mux(const Value& m, const DevicePath& upstream) {
        if (!m.IsObject()) {
            fatal("a mux entry is not a JSON object");
            return;
        }
        auto did = m.FindMember("did");
        if (did == m.MemberEnd() || !did->value.IsUint()) {
            fatal("a mux has no unsigned \"did\"");
            return;
        }
        unsigned muxDid = did->value.GetUint();
        topology_.muxDids.push_back(muxDid);
        eachIn(m, "busses", "mux " + std::to_string(muxDid), [&](const Value& b) {
            DevicePath path = upstream;
            path.muxes.push_back({muxDid, 0});
            bus(b, path, true);
        });
    }

    void device(const Value& d, const DevicePath& path) {
        if (!d.IsObject()) {
            fatal("a device entry is not a JSON object");
            return;
        }
        Device out;
        out.path = path;
        auto did = d.FindMember("did");
        if (did == d.MemberEnd() || !did->value.IsUint()) {
            fatal("a device has no unsigned \"did\"");
            return;
        }
        out.did = did->value.GetUint();
        auto label = d.FindMember("label");
        if (label != d.MemberEnd()) {
            if (label->value.IsString())
                out.label = label->value.GetString();
            else
                lint("device " + std::to_string(out.did) + ": \"label\" is not a string");
        }
        auto driver = d.FindMember("driver");
        if (driver != d.MemberEnd() && driver->value.IsString()) out.driver = driver->value.GetString();
        auto multi = d.FindMember("isMultiDevice");
        out.isMultiDevice = multi != d.MemberEnd() && multi->value.IsBool() && multi->value.GetBool();
        auto address = d.FindMember("address");
        if (address != d.MemberEnd() && address->value.IsObject()) {
            auto a = address->value.FindMember("address");
            if (a != address->value.MemberEnd() && a->value.IsUint()) out.address = int(a->value.GetUint() & 0x7F);
        }
        std::string who = "device " + std::to_string(out.did) + (out.label.empty() ? "" : " (" + out.label + ")");
        if (driver != d.MemberEnd() && !out.isMultiDevice && out.address < 0)
            lint(who + " names a driver but has no \"address\" object with an \"address\"");
        auto args = d.FindMember("driverArgs");
        if (args != d.MemberEnd() && !args->value.IsNull()) {
            if (!args->value.IsObject()) {
                lint(who + ": \"driverArgs\" is not an object");
            } else {
                for (const auto& member : args->value.GetObject())
                    if (!member.value.IsNull()) out.driverArgs[member.name.GetString()] = argText(member.value);
            }
        }
        topology_.devices.push_back(std::move(out));
    }

    Topology& topology_;
};

}  // namespace

bool parseTopology(const std::string& text, Topology* topology) {
    *topology = Topology();
    Reader reader(topology);
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        reader.fatal(std::string("not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " (offset " +
                     std::to_string(doc.GetErrorOffset()) + ")");
        return false;
    }
    if (!doc.IsArray()) {
        reader.fatal("the root is not an array of media");
        return false;
    }
    for (const auto& medium : doc.GetArray()) reader.medium(medium);
    return topology->problems.empty();
}

}  // namespace BoardModel
