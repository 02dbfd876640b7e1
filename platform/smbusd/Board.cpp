#include "Board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace smbusd {

namespace {

using Value = rapidjson::Value;

const char* masterName(int mt) {
    switch (mt) {
        case 0: return "simulated-I2C";
        case 1: return "I2C";
        case 2: return "SCD";
        case 3: return "IOPort";
        case 4: return "Celestica";
        default: return nullptr;
    }
}

std::string hex(uint64_t v, int width = 2) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

std::string hexBytes(const std::string& bytes, size_t max = 64) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", unsigned(uint8_t(bytes[i])));
        if (!s.empty()) s += ' ';
        s += buf;
    }
    if (bytes.size() > max) s += " ...";
    return s;
}

// Decimal text read the way the library reads driver arguments: leading blanks and
// a sign, digits up to the first other character; 0 when there are none.
long leadingInt(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

bool getUnsigned(const Value& obj, const char* key, uint32_t* out) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsUint()) return false;
    *out = it->value.GetUint();
    return true;
}

std::string valueText(const Value& v) {
    if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
    if (v.IsBool()) return v.GetBool() ? "1" : "0";
    if (v.IsInt64()) return std::to_string(v.GetInt64());
    if (v.IsUint64()) return std::to_string(v.GetUint64());
    if (v.IsNumber()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.10g", v.GetDouble());
        return buf;
    }
    return std::string();
}

bool parseFault(const std::vector<std::string>& w, size_t at, Fault* f, std::string* err) {
    if (at >= w.size()) {
        *err = "fault kind missing (nak, count, close, garbage, delay MS, off)";
        return false;
    }
    const std::string& k = w[at];
    Fault nf;
    if (k == "nak") nf.kind = FaultKind::Nak;
    else if (k == "count") nf.kind = FaultKind::Count;
    else if (k == "close") nf.kind = FaultKind::Close;
    else if (k == "garbage") nf.kind = FaultKind::Garbage;
    else if (k == "off" || k == "none") nf.kind = FaultKind::None;
    else if (k == "delay") {
        uint64_t ms;
        if (at + 1 >= w.size() || !parseUnsigned(w[at + 1], &ms) || ms > 600000) {
            *err = "delay needs a time in milliseconds (0 to 600000)";
            return false;
        }
        nf.kind = FaultKind::Delay;
        nf.delayMs = int(ms);
    } else {
        *err = "unknown fault kind '" + k + "' (nak, count, close, garbage, delay MS, off)";
        return false;
    }
    *f = nf;
    return true;
}

std::string faultText(const Fault& f) {
    switch (f.kind) {
        case FaultKind::None: return "off";
        case FaultKind::Nak: return "nak";
        case FaultKind::Count: return "count";
        case FaultKind::Close: return "close";
        case FaultKind::Garbage: return "garbage";
        case FaultKind::Delay: return "delay " + std::to_string(f.delayMs);
    }
    return "off";
}

const char* requestName(const Smbus::Request& r) {
    uint32_t reg = uint32_t(r.address() & 0xFFFFFFFFu);
    switch (r.type()) {
        case Smbus::REQUEST_READ: return r.length() == 0 && reg == 0 ? "receive-byte" : "read";
        case Smbus::REQUEST_WRITE: return r.length() == 0 ? "send-byte" : "write";
        case Smbus::REQUEST_PROCESS_CALL: return "process-call";
        case Smbus::REQUEST_BLOCK_READ: return "block-read";
        case Smbus::REQUEST_BLOCK_WRITE: return "block-write";
    }
    return "?";
}

}  // namespace

// ---------------------------------------------------------------- keys

BusKey BusKey::make(int mastertype, uint32_t pci, uint32_t accel, uint32_t bus, uint32_t address) {
    BusKey k;
    k.mastertype = mastertype;
    k.bus = bus & 0x7F;
    k.address = address & 0x7F;
    if (mastertype == 2) {
        k.pci = pci;
        k.accel = accel & 0x7F;
    } else if (mastertype == 4) {
        k.accel = accel & 0x7F;
    } else if (mastertype != 0 && mastertype != 1 && mastertype != 3) {
        k.pci = pci;
        k.accel = accel & 0x7F;
    }
    return k;
}

std::string BusKey::describe() const {
    std::string s;
    const char* m = masterName(mastertype);
    s = m ? m : "master " + std::to_string(mastertype);
    if (mastertype == 2) s += " pci " + hex(pci, 1);
    if (mastertype == 2 || mastertype == 4) s += " accel " + std::to_string(accel);
    s += " bus " + std::to_string(bus) + " address " + hex(address);
    return s;
}

// ---------------------------------------------------------------- loading

bool Board::walkBus(const void* busPtr, const BusKey& top, std::vector<MuxHop> path, std::string* err) {
    const Value& bus = *static_cast<const Value*>(busPtr);
    if (!bus.IsObject()) {
        *err = "topology: a bus is not an object";
        return false;
    }
    auto devs = bus.FindMember("devices");
    if (devs != bus.MemberEnd()) {
        if (!devs->value.IsArray()) {
            *err = "topology: \"devices\" is not an array";
            return false;
        }
        for (const auto& d : devs->value.GetArray()) {
            if (!d.IsObject()) {
                *err = "topology: a device is not an object";
                return false;
            }
            Device dev;
            if (!getUnsigned(d, "did", &dev.did)) {
                *err = "topology: a device has no unsigned \"did\"";
                return false;
            }
            auto lab = d.FindMember("label");
            if (lab != d.MemberEnd() && lab->value.IsString()) dev.label = lab->value.GetString();
            auto drv = d.FindMember("driver");
            if (drv != d.MemberEnd() && drv->value.IsString()) dev.driver = drv->value.GetString();
            auto addr = d.FindMember("address");
            if (addr != d.MemberEnd() && addr->value.IsObject()) {
                uint32_t a;
                if (getUnsigned(addr->value, "address", &a)) {
                    dev.onBus = true;
                    dev.key = BusKey::make(top.mastertype, top.pci, top.accel, top.bus, a);
                }
            }
            auto args = d.FindMember("driverArgs");
            if (args != d.MemberEnd() && args->value.IsObject()) {
                for (const auto& m : args->value.GetObject()) {
                    dev.args[std::string(m.name.GetString(), m.name.GetStringLength())] = valueText(m.value);
                }
            }
            dev.path = path;
            devices_.push_back(std::move(dev));
        }
    }
    auto muxes = bus.FindMember("muxes");
    if (muxes != bus.MemberEnd()) {
        if (!muxes->value.IsArray()) {
            *err = "topology: \"muxes\" is not an array";
            return false;
        }
        for (const auto& m : muxes->value.GetArray()) {
            uint32_t did;
            if (!m.IsObject() || !getUnsigned(m, "did", &did)) {
                *err = "topology: a mux has no unsigned \"did\"";
                return false;
            }
            auto busses = m.FindMember("busses");
            if (busses == m.MemberEnd()) continue;
            if (!busses->value.IsArray()) {
                *err = "topology: a mux's \"busses\" is not an array";
                return false;
            }
            for (const auto& b : busses->value.GetArray()) {
                if (!b.IsObject() || !b.HasMember("id") || !b["id"].IsInt()) {
                    *err = "topology: a mux bus has no integer \"id\"";
                    return false;
                }
                MuxHop hop;
                hop.muxDid = did;
                hop.value = uint8_t(uint32_t(b["id"].GetInt()) & 0xFF);
                auto sub = path;
                sub.push_back(hop);
                if (!walkBus(&b, top, sub, err)) return false;
            }
        }
    }
    return true;
}

namespace {
// The richer the model, the higher the rank: when several topology devices share
// one address, the chip takes the model of the highest-ranked one.
int modelFor(const std::string& driver, const std::map<std::string, std::string>& args, std::string* model) {
    if (driver == "Pmbus") {
        *model = "pmbus";
        return 5;
    }
    if (driver == "PsuSlot") {
        auto it = args.find("identificationType");
        std::string id = it == args.end() ? std::string() : it->second;
        if (id == "ipmi") {
            *model = "fru-eeprom";
            return 3;
        }
        if (id == "tlv") {
            *model = "tlv-eeprom";
            return 3;
        }
        if (id == "wedge" || id == "ipmitool" || id == "ipmitool_raw") {
            *model = "register-file";
            return 1;
        }
        *model = "pmbus";  // the PMBus method, also the fallback for unknown types
        return 5;
    }
    if (driver == "Max6620") {
        *model = "max6620";
        return 4;
    }
    if (driver == "TMP75") {
        *model = "tmp75";
        return 4;
    }
    *model = "register-file";
    return 1;
}
}  // namespace

bool Board::load(const std::string& topologyText, const std::string& stateText, std::string* err) {
    devices_.clear();
    chips_.clear();
    byKey_.clear();
    warnings_.clear();
    rapidjson::Document doc;
    doc.Parse(topologyText.c_str(), topologyText.size());
    if (doc.HasParseError()) {
        *err = std::string("topology: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " (offset " +
               std::to_string(doc.GetErrorOffset()) + ")";
        return false;
    }
    if (!doc.IsArray()) {
        *err = "topology: the document is not an array";
        return false;
    }
    for (const auto& medium : doc.GetArray()) {
        if (!medium.IsObject() || !medium.HasMember("type") || !medium["type"].IsString()) {
            *err = "topology: a medium has no \"type\"";
            return false;
        }
        std::string type = medium["type"].GetString();
        if (type == "SCD" || type == "Celestica") {
            int mt = type == "SCD" ? 2 : 4;
            uint32_t pci = 0;
            if (mt == 2 && !getUnsigned(medium, "pci", &pci)) {
                *err = "topology: an SCD has no unsigned \"pci\"";
                return false;
            }
            auto accels = medium.FindMember("accelerators");
            if (accels == medium.MemberEnd()) continue;
            if (!accels->value.IsArray()) {
                *err = "topology: \"accelerators\" is not an array";
                return false;
            }
            for (const auto& acc : accels->value.GetArray()) {
                uint32_t accelId;
                if (!acc.IsObject() || !getUnsigned(acc, "id", &accelId)) {
                    *err = "topology: an accelerator has no unsigned \"id\"";
                    return false;
                }
                auto busses = acc.FindMember("busses");
                if (busses == acc.MemberEnd()) continue;
                if (!busses->value.IsArray()) {
                    *err = "topology: an accelerator's \"busses\" is not an array";
                    return false;
                }
                for (const auto& b : busses->value.GetArray()) {
                    if (!b.IsObject() || !b.HasMember("id") || !b["id"].IsInt()) {
                        *err = "topology: a bus has no integer \"id\"";
                        return false;
                    }
                    BusKey top = BusKey::make(mt, pci, accelId, uint32_t(b["id"].GetInt()), 0);
                    if (!walkBus(&b, top, {}, err)) return false;
                }
            }
        } else if (type == "I2C" || type == "IOPort") {
            int mt = 3;
            if (type == "I2C") {
                auto sim = medium.FindMember("simulated");
                mt = sim != medium.MemberEnd() && sim->value.IsBool() && sim->value.GetBool() ? 0 : 1;
            }
            if (!medium.HasMember("id") || !medium["id"].IsInt()) {
                *err = "topology: an " + type + " medium has no integer \"id\"";
                return false;
            }
            BusKey top = BusKey::make(mt, 0, 0, uint32_t(medium["id"].GetInt()), 0);
            if (!walkBus(&medium, top, {}, err)) return false;
        } else {
            *err = "topology: unknown medium type '" + type + "'";
            return false;
        }
    }

    // One chip per bus address and mux path; devices sharing both share the chip.
    std::map<std::pair<BusKey, std::vector<std::pair<uint32_t, uint8_t>>>, int> chipAt;
    std::vector<int> rank;
    for (size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        if (!d.onBus) continue;
        std::vector<std::pair<uint32_t, uint8_t>> sig;
        for (const auto& h : d.path) sig.emplace_back(h.muxDid, h.value);
        auto k = std::make_pair(d.key, sig);
        auto it = chipAt.find(k);
        std::string model;
        int r = modelFor(d.driver, d.args, &model);
        if (it == chipAt.end()) {
            ChipSlot slot;
            slot.chip = makeChip(model);
            slot.key = d.key;
            slot.path = d.path;
            chips_.push_back(std::move(slot));
            rank.push_back(r);
            it = chipAt.emplace(k, int(chips_.size() - 1)).first;
        } else if (r > rank[it->second]) {
            chips_[it->second].chip = makeChip(model);
            rank[it->second] = r;
        }
        d.chip = it->second;
        chips_[it->second].devices.push_back(int(i));
    }
    for (size_t c = 0; c < chips_.size(); ++c) byKey_.emplace(chips_[c].key, int(c));

    // Resolve each mux on the way to a chip to the chip that holds its register.
    for (auto& slot : chips_) {
        for (auto& hop : slot.path) {
            for (const auto& d : devices_) {
                if (d.did != hop.muxDid || d.chip < 0) continue;
                auto reg = d.args.find("reg");
                auto reset = d.args.find("reset");
                if (reg == d.args.end() || reset == d.args.end()) continue;
                hop.chip = d.chip;
                hop.reg = uint8_t(leadingInt(reg->second) & 0xFF);
                hop.reset = uint8_t(leadingInt(reset->second) & 0xFF);
                break;
            }
            if (hop.chip < 0) {
                std::string w = "mux " + std::to_string(hop.muxDid) +
                                ": no device with that did on a bus with driverArgs \"reg\" and \"reset\"; "
                                "the devices behind it never answer";
                if (std::find(warnings_.begin(), warnings_.end(), w) == warnings_.end()) warnings_.push_back(w);
            }
        }
    }
    auto initMuxes = [this]() {
        std::string ignored;
        for (const auto& slot : chips_) {
            for (const auto& hop : slot.path) {
                if (hop.chip >= 0) chips_[hop.chip].chip->poke(hop.reg, std::string(1, char(hop.reset)), &ignored);
            }
        }
    };
    initMuxes();
    if (!stateText.empty() && !applyState(stateText, err)) return false;
    applyAllBindings();
    return true;
}

int Board::findChip(const std::string& name, std::string* err) const {
    int found = -1;
    if (name.compare(0, 4, "did:") == 0) {
        uint64_t did;
        if (parseUnsigned(name.substr(4), &did)) {
            for (const auto& d : devices_) {
                if (d.did == did) {
                    found = d.chip;
                    if (found >= 0) break;
                }
            }
            if (found < 0) {
                bool exists = false;
                for (const auto& d : devices_) exists |= d.did == did;
                *err = exists ? "device " + name + " is not on a bus" : "unknown device '" + name + "'";
                return -1;
            }
            return found;
        }
    }
    bool exists = false;
    for (const auto& d : devices_) {
        if (d.label == name) {
            exists = true;
            found = d.chip;  // the last device with a label wins, as in the topology index
        }
    }
    if (found < 0) *err = exists ? "device '" + name + "' is not on a bus" : "unknown device '" + name + "'";
    return found;
}

bool Board::applyState(const std::string& stateText, std::string* err) {
    rapidjson::Document doc;
    doc.Parse(stateText.c_str(), stateText.size());
    if (doc.HasParseError()) {
        *err = std::string("state: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " (offset " +
               std::to_string(doc.GetErrorOffset()) + ")";
        return false;
    }
    if (!doc.IsObject()) {
        *err = "state: the document is not an object";
        return false;
    }
    // Pass 1: model overrides, so that later settings land in the final chip.
    for (const auto& m : doc.GetObject()) {
        std::string name = m.name.GetString();
        if (!name.empty() && name[0] == '_') continue;  // comments
        if (!m.value.IsObject()) {
            *err = "state: entry '" + name + "' is not an object";
            return false;
        }
        int c = findChip(name, err);
        if (c < 0) {
            *err = "state: " + *err;
            return false;
        }
        auto model = m.value.FindMember("model");
        if (model != m.value.MemberEnd()) {
            std::string mname = valueText(model->value);
            auto chip = makeChip(mname);
            if (!chip) {
                *err = "state: '" + name + "': unknown model '" + mname +
                       "' (register-file, tmp75, pmbus, fru-eeprom, tlv-eeprom, max6620)";
                return false;
            }
            chips_[c].chip = std::move(chip);
        }
    }
    // A replaced chip that holds a mux register starts disconnected again.
    std::string ignored;
    for (const auto& slot : chips_) {
        for (const auto& hop : slot.path) {
            if (hop.chip >= 0) chips_[hop.chip].chip->poke(hop.reg, std::string(1, char(hop.reset)), &ignored);
        }
    }
    // Pass 2: everything else.
    for (const auto& m : doc.GetObject()) {
        std::string name = m.name.GetString();
        if (!name.empty() && name[0] == '_') continue;
        int c = findChip(name, err);
        ChipSlot& slot = chips_[c];
        const Value& e = m.value;
        auto where = [&name](const std::string& what) { return "state: '" + name + "': " + what; };
        auto regs = e.FindMember("registers");
        if (regs != e.MemberEnd()) {
            if (!regs->value.IsObject()) {
                *err = where("\"registers\" is not an object");
                return false;
            }
            for (const auto& r : regs->value.GetObject()) {
                uint64_t reg;
                if (!parseUnsigned(r.name.GetString(), &reg) || reg > 0xFFFF) {
                    *err = where(std::string("bad register number '") + r.name.GetString() + "'");
                    return false;
                }
                std::string bytes;
                auto byteOf = [&](const Value& v) {
                    uint64_t b;
                    if (v.IsUint() && v.GetUint() <= 0xFF) {
                        bytes += char(v.GetUint());
                        return true;
                    }
                    if (v.IsString() && parseUnsigned(v.GetString(), &b) && b <= 0xFF) {
                        bytes += char(b);
                        return true;
                    }
                    return false;
                };
                bool ok = true;
                if (r.value.IsArray()) {
                    for (const auto& b : r.value.GetArray()) ok = ok && byteOf(b);
                } else {
                    ok = byteOf(r.value);
                }
                if (!ok) {
                    *err = where(std::string("bad value of register ") + r.name.GetString() +
                                 " (a byte, \"0x..\" text or an array of bytes)");
                    return false;
                }
                std::string perr;
                if (!slot.chip->poke(uint32_t(reg), bytes, &perr)) {
                    *err = where(perr);
                    return false;
                }
            }
        }
        auto blocks = e.FindMember("blockLengths");
        if (blocks != e.MemberEnd() && blocks->value.IsObject()) {
            for (const auto& b : blocks->value.GetObject()) {
                uint64_t reg;
                if (!parseUnsigned(b.name.GetString(), &reg) || reg > 0xFF || !b.value.IsUint() ||
                    b.value.GetUint() > 255) {
                    *err = where("bad \"blockLengths\" entry");
                    return false;
                }
                slot.chip->setBlockLength(uint8_t(reg), uint8_t(b.value.GetUint()));
            }
        }
        auto props = e.FindMember("properties");
        if (props != e.MemberEnd()) {
            if (!props->value.IsObject()) {
                *err = where("\"properties\" is not an object");
                return false;
            }
            for (const auto& p : props->value.GetObject()) {
                std::string perr;
                if (!slot.chip->setProperty(p.name.GetString(), valueText(p.value), &perr)) {
                    *err = where(perr);
                    return false;
                }
            }
        }
        auto binds = e.FindMember("bindings");
        if (binds != e.MemberEnd()) {
            if (!binds->value.IsArray()) {
                *err = where("\"bindings\" is not an array");
                return false;
            }
            for (const auto& b : binds->value.GetArray()) {
                if (!b.IsObject() || !b.HasMember("property") || !b.HasMember("device") || !b.HasMember("reg") ||
                    !b.HasMember("bit")) {
                    *err = where("a binding needs \"property\", \"device\", \"reg\" and \"bit\"");
                    return false;
                }
                Binding bind;
                bind.property = valueText(b["property"]);
                if (!slot.chip->hasProperty(bind.property)) {
                    std::string perr;
                    // Generic chips take any property; declare it so the binding has a value.
                    if (!slot.chip->setProperty(bind.property, "0", &perr)) {
                        *err = where(perr);
                        return false;
                    }
                }
                std::string target = valueText(b["device"]), ferr;
                bind.targetChip = findChip(target, &ferr);
                uint64_t reg, bit;
                if (bind.targetChip < 0) {
                    *err = where("binding: " + ferr);
                    return false;
                }
                if (!parseUnsigned(valueText(b["reg"]), &reg) || reg > 0xFF || !parseUnsigned(valueText(b["bit"]), &bit) ||
                    bit > 7) {
                    *err = where("binding: \"reg\" must be 0..255 and \"bit\" 0..7");
                    return false;
                }
                bind.reg = uint8_t(reg);
                bind.bit = uint8_t(bit);
                auto al = b.FindMember("activeLow");
                if (al != b.MemberEnd()) {
                    bool v;
                    if (!parseFlag(valueText(al->value), &v)) {
                        *err = where("binding: \"activeLow\" must be true or false");
                        return false;
                    }
                    bind.activeLow = v;
                }
                slot.bindings.push_back(bind);
            }
        }
        auto ipmi = e.FindMember("ipmiId");
        if (ipmi != e.MemberEnd()) slot.ipmiId = valueText(ipmi->value);
        auto fault = e.FindMember("fault");
        if (fault != e.MemberEnd()) {
            std::vector<std::string> w;
            splitWords(valueText(fault->value), &w);
            std::string ferr;
            if (!parseFault(w, 0, &slot.fault, &ferr)) {
                *err = where(ferr);
                return false;
            }
        }
    }
    return true;
}

void Board::applyBindings(int chip, const std::string& property) {
    ChipSlot& slot = chips_[chip];
    for (const auto& b : slot.bindings) {
        // power_good follows present too, so re-drive everything on either.
        if (!property.empty() && b.property != property && property != "present") continue;
        bool level = slot.chip->signal(b.property);
        if (b.activeLow) level = !level;
        Chip& target = *chips_[b.targetChip].chip;
        uint8_t v = target.peek(b.reg);
        v = level ? uint8_t(v | (1u << b.bit)) : uint8_t(v & ~(1u << b.bit));
        std::string ignored;
        target.poke(b.reg, std::string(1, char(v)), &ignored);
    }
}

void Board::applyAllBindings() {
    for (size_t c = 0; c < chips_.size(); ++c) applyBindings(int(c), std::string());
}

// ---------------------------------------------------------------- transactions

bool Board::reachable(const ChipSlot& slot) const {
    for (const auto& hop : slot.path) {
        if (hop.chip < 0 || chips_[hop.chip].chip->peek(hop.reg) != hop.value) return false;
    }
    return true;
}

int Board::route(const BusKey& key) const {
    auto range = byKey_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (reachable(chips_[it->second])) return it->second;
    }
    return -1;
}

BatchOutcome Board::execute(const Smbus::TransactionRequest& request, int client, int logLevel, std::string* log) {
    BatchOutcome out;
    Fault batchFault = globalFault_;
    auto fail = [&out](const std::string& error) {
        out.response.set_failed(true);
        out.response.set_error(error);
    };
    if (globalFault_.kind == FaultKind::Nak) {
        fail("bus error: no acknowledge (injected fault)");
    }
    for (int i = 0; i < request.request_size() && !out.response.failed(); ++i) {
        const Smbus::Request& r = request.request(i);
        std::string err, data;
        std::string where;
        int c = -1;
        bool ok = false;
        if (!r.has_type() || !r.has_mastertype() || !r.has_address()) {
            err = "request " + std::to_string(i) + ": missing " +
                  (!r.has_type() ? "or unknown type" : !r.has_mastertype() ? "or unknown mastertype" : "address");
        } else {
            uint32_t w1 = uint32_t(r.address() >> 32);
            uint32_t reg = uint32_t(r.address() & 0xFFFFFFFFu);
            BusKey key = BusKey::make(int(r.mastertype()), r.pci(), (w1 >> 14) & 0x7F, (w1 >> 7) & 0x7F, w1 & 0x7F);
            c = route(key);
            // The place is only spelled out for the log and for errors.
            if (logLevel >= 1 || c < 0 || !chips_[c].chip->present() || chips_[c].fault.kind == FaultKind::Nak) {
                where = key.describe();
            }
            if (c < 0 || !chips_[c].chip->present()) {
                err = "no device at " + where;
                c = -1;
            } else if (chips_[c].fault.kind == FaultKind::Nak) {
                err = "no acknowledge from " + where + " (injected fault)";
            } else {
                Chip& chip = *chips_[c].chip;
                uint32_t len = r.length();
                const std::string& in = r.data();
                switch (r.type()) {
                    case Smbus::REQUEST_READ:
                        if (len == 0 && reg == 0) {
                            ok = chip.receiveByte(&data, &err);
                            if (ok) data.resize(1, '\xff');
                        } else if (len > 65536) {
                            err = "read of " + std::to_string(len) + " bytes too long";
                        } else {
                            ok = chip.read(reg, len, &data, &err);
                            if (ok) data.resize(len, '\xff');
                        }
                        break;
                    case Smbus::REQUEST_WRITE:
                        if (len == 0) {
                            if (reg > 0xFF) err = "send byte of command " + hex(reg) + " out of range";
                            else ok = chip.sendByte(uint8_t(reg), &err);
                        } else if (in.size() != len) {
                            err = "write of " + std::to_string(len) + " bytes carries " + std::to_string(in.size()) +
                                  " bytes of data";
                        } else {
                            ok = chip.write(reg, in, &err);
                        }
                        break;
                    case Smbus::REQUEST_PROCESS_CALL:
                        if (in.size() != 2) {
                            err = "process call needs 2 bytes of data, got " + std::to_string(in.size());
                        } else {
                            uint16_t v = uint16_t(uint8_t(in[0]) | uint8_t(in[1]) << 8);
                            ok = chip.processCall(reg, v, &data, &err);
                            if (ok) data.resize(2, '\xff');
                        }
                        break;
                    case Smbus::REQUEST_BLOCK_READ:
                        ok = chip.blockRead(reg, &data, &err);
                        if (ok && data.size() > 255) data.resize(255);
                        break;
                    case Smbus::REQUEST_BLOCK_WRITE:
                        if (in.size() != len) {
                            err = "block write of " + std::to_string(len) + " bytes carries " +
                                  std::to_string(in.size()) + " bytes of data";
                        } else {
                            ok = chip.blockWrite(reg, in, &err);
                        }
                        break;
                }
                if (!ok && err.empty()) err = "no acknowledge";
                if (!ok) err = key.describe() + ": " + err;
            }
            if (c >= 0 && batchFault.kind == FaultKind::None) batchFault = chips_[c].fault;
        }
        if (logLevel >= 1 && log) {
            char head[64];
            std::snprintf(head, sizeof head, "client %d req %d: ", client, i);
            std::string line = head;
            line += r.has_type() ? requestName(r) : "?";
            if (!where.empty()) line += " " + where;
            if (c >= 0) {
                std::string label;
                for (int d : chips_[c].devices) {
                    if (!devices_[d].label.empty()) {
                        label = devices_[d].label;
                        break;
                    }
                }
                if (!label.empty()) line += " (" + label + ")";
            }
            line += " reg " + hex(r.address() & 0xFFFFFFFFu) + " len " + std::to_string(r.length());
            if (r.has_data()) line += " data [" + hexBytes(r.data()) + "]";
            line += ok ? " -> ok" : " -> failed: " + err;
            if (ok && !data.empty()) line += " [" + hexBytes(data) + "]";
            *log += line + "\n";
        }
        if (!ok) {
            fail(err);
            break;
        }
        out.response.add_response()->set_data(data);
    }
    out.action = batchFault.kind == FaultKind::Nak ? FaultKind::None : batchFault.kind;
    out.delayMs = batchFault.delayMs;
    if (out.action == FaultKind::Count) {
        if (out.response.response_size() > 0) out.response.mutable_response()->RemoveLast();
        out.action = FaultKind::None;
    }
    return out;
}

// ---------------------------------------------------------------- control

bool Board::cmdList(std::string* out) const {
    for (const auto& d : devices_) {
        std::string line = (d.label.empty() ? "-" : d.label) + " " + std::to_string(d.did) + " " +
                           (d.driver.empty() ? "-" : d.driver) + " ";
        if (d.chip < 0) {
            line += "- -";
        } else {
            const ChipSlot& s = chips_[d.chip];
            line += s.chip->model() + " " + d.key.describe();
            for (const auto& h : d.path) line += " via mux " + std::to_string(h.muxDid) + " channel " + std::to_string(h.value);
            if (s.fault.kind != FaultKind::None) line += " fault " + faultText(s.fault);
        }
        *out += line + "\n";
    }
    return true;
}

bool Board::cmdIpmi(const std::vector<std::string>& w, std::string* out, std::string* err) const {
    if (w.size() < 2) {
        *err = "usage: ipmi ID [MODEL-PROPERTY SERIAL-PROPERTY]";
        return false;
    }
    for (const auto& slot : chips_) {
        if (slot.ipmiId.empty() || slot.ipmiId != w[1]) continue;
        auto pick = [&](size_t at, const char* dflt) {
            std::string v;
            if (at < w.size() && slot.chip->getProperty(w[at], &v)) return v;
            slot.chip->getProperty(dflt, &v);
            return v;
        };
        std::string model = pick(2, "model"), serial = pick(3, "serial");
        if (!slot.chip->present() || model.empty() || serial.empty()) {
            *out += "0 - -\n";
        } else {
            *out += "1 " + model + " " + serial + "\n";
        }
        return true;
    }
    *err = "unknown PSU bay " + w[1];
    return false;
}

bool Board::control(const std::vector<std::string>& w, std::string* out, std::string* err) {
    if (w.empty()) {
        *err = "empty command";
        return false;
    }
    const std::string& cmd = w[0];
    auto need = [&](size_t n, const char* usage) {
        if (w.size() < n) {
            *err = std::string("usage: ") + usage;
            return false;
        }
        return true;
    };
    if (cmd == "ping") {
        *out += "pong\n";
        return true;
    }
    if (cmd == "help") {
        *out +=
            "list | read DEVICE REG [COUNT] | write DEVICE REG BYTE... | prop DEVICE NAME [VALUE] | props DEVICE |"
            " fault DEVICE|all nak|count|close|garbage|delay MS|off | log LEVEL | ipmi ID [MPROP SPROP] | ping\n";
        return true;
    }
    if (cmd == "list") return cmdList(out);
    if (cmd == "ipmi") return cmdIpmi(w, out, err);
    if (cmd == "log") {
        uint64_t lvl;
        if (!need(2, "log LEVEL")) return false;
        if (!parseUnsigned(w[1], &lvl) || lvl > 9) {
            *err = "log level must be 0..9";
            return false;
        }
        logLevel_ = int(lvl);
        return true;
    }
    if (cmd == "fault") {
        if (!need(3, "fault DEVICE|all nak|count|close|garbage|delay MS|off")) return false;
        Fault f;
        if (!parseFault(w, 2, &f, err)) return false;
        if (w[1] == "all") {
            globalFault_ = f;
            if (f.kind == FaultKind::None) {
                for (auto& s : chips_) s.fault = Fault();  // "fault all off" clears everything
            }
            return true;
        }
        int c = findChip(w[1], err);
        if (c < 0) return false;
        chips_[c].fault = f;
        return true;
    }
    if (cmd == "read" || cmd == "write" || cmd == "prop" || cmd == "props") {
        if (!need(2, "read|write|prop|props DEVICE ...")) return false;
        int c = findChip(w[1], err);
        if (c < 0) return false;
        Chip& chip = *chips_[c].chip;
        if (cmd == "props") {
            for (const auto& p : chip.properties()) *out += p.first + "=" + p.second + "\n";
            return true;
        }
        if (cmd == "prop") {
            if (!need(3, "prop DEVICE NAME [VALUE]")) return false;
            if (w.size() == 3) {
                std::string v;
                if (!chip.getProperty(w[2], &v)) {
                    *err = "no property '" + w[2] + "' on " + w[1] + " (" + chip.model() + ")";
                    return false;
                }
                *out += v + "\n";
                return true;
            }
            if (!chip.setProperty(w[2], w[3], err)) return false;
            applyBindings(c, w[2]);
            return true;
        }
        uint64_t reg;
        if (!need(3, cmd == "read" ? "read DEVICE REG [COUNT]" : "write DEVICE REG BYTE...")) return false;
        if (!parseUnsigned(w[2], &reg) || reg > 0xFFFF) {
            *err = "bad register '" + w[2] + "'";
            return false;
        }
        if (cmd == "read") {
            uint64_t count = 1;
            if (w.size() > 3 && (!parseUnsigned(w[3], &count) || count == 0 || count > 65536)) {
                *err = "bad count '" + w[3] + "'";
                return false;
            }
            std::string data;
            if (!chip.read(uint32_t(reg), uint32_t(count), &data, err)) return false;
            *out += hexBytes(data, data.size()) + "\n";
            return true;
        }
        if (!need(4, "write DEVICE REG BYTE...")) return false;
        std::string data;
        for (size_t i = 3; i < w.size(); ++i) {
            uint64_t b;
            if (!parseUnsigned(w[i], &b) || b > 0xFF) {
                *err = "bad byte '" + w[i] + "'";
                return false;
            }
            data += char(b);
        }
        return chip.write(uint32_t(reg), data, err);
    }
    *err = "unknown command '" + cmd + "' (try help)";
    return false;
}

}  // namespace smbusd
