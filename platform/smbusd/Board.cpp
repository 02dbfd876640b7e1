#include "Board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Text.h"
#include "chips/Models.h"

namespace Smbusd {

namespace {

const char* masterName(int mt) {
    switch (mt) {
        case BoardModel::kMasterSimulatedI2c: return "simulated-I2C";
        case BoardModel::kMasterI2c: return "I2C";
        case BoardModel::kMasterScd: return "SCD";
        case BoardModel::kMasterIoPort: return "IOPort";
        case BoardModel::kMasterCelestica: return "Celestica";
        default: return nullptr;
    }
}

// Decimal text read the way the library reads driver arguments: leading blanks and
// a sign, digits up to the first other character; 0 when there are none.
long leadingInt(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

const char* requestName(const Smbus::Request& r) {
    uint32_t reg = BoardModel::KhamAddress::unpack(r.address()).reg;
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
    if (mastertype == BoardModel::kMasterScd) {
        k.pci = pci;
        k.accel = accel & 0x7F;
    } else if (mastertype == BoardModel::kMasterCelestica) {
        k.accel = accel & 0x7F;
    } else if (mastertype != BoardModel::kMasterSimulatedI2c && mastertype != BoardModel::kMasterI2c &&
               mastertype != BoardModel::kMasterIoPort) {
        k.pci = pci;
        k.accel = accel & 0x7F;
    }
    return k;
}

std::string BusKey::describe() const {
    std::string s;
    const char* m = masterName(mastertype);
    s = m ? m : "master " + std::to_string(mastertype);
    if (mastertype == BoardModel::kMasterScd) s += " pci " + hex(pci, 1);
    if (mastertype == BoardModel::kMasterScd || mastertype == BoardModel::kMasterCelestica) s += " accel " + std::to_string(accel);
    s += " bus " + std::to_string(bus) + " address " + hex(address);
    return s;
}

// ---------------------------------------------------------------- loading

namespace {

// The chip model a topology device's driver suggests. The richer the model, the higher the
// rank: when several topology devices share one address, the chip takes the model of the
// highest-ranked one. The first rule that matches counts; a rule without an identification
// type matches any.
struct ModelRule {
    const char* driver;
    const char* identificationType;
    const char* model;
    int rank;
};

const ModelRule kModelRules[] = {
    {"Pmbus", nullptr, "pmbus", 5},
    {"PsuSlot", "ipmi", "fru-eeprom", 3},
    {"PsuSlot", "tlv", "tlv-eeprom", 3},
    {"PsuSlot", "wedge", "register-file", 1},
    {"PsuSlot", "ipmitool", "register-file", 1},
    {"PsuSlot", "ipmitool_raw", "register-file", 1},
    {"PsuSlot", nullptr, "pmbus", 5},  // the PMBus method, also the fallback for unknown types
    {"Max6620", nullptr, "max6620", 4},
    {"TMP75", nullptr, "tmp75", 4},
    {"OrvikLedCpld", nullptr, "orvik-led-cpld", 4},
    {"OrvikFanEeprom", nullptr, "fan-eeprom", 3},
    {"OrvikSCpldA", nullptr, "orviks-port-cpld-a", 4},
    {"OrvikSCpldB", nullptr, "orviks-port-cpld-b", 4},
};
const ModelRule kDefaultModel = {nullptr, nullptr, "register-file", 1};

const ModelRule& modelFor(const std::string& driver, const std::map<std::string, std::string>& args) {
    auto it = args.find("identificationType");
    const std::string id = it == args.end() ? std::string() : it->second;
    for (const auto& rule : kModelRules) {
        if (driver == rule.driver && (!rule.identificationType || id == rule.identificationType)) return rule;
    }
    return kDefaultModel;
}

}  // namespace

bool Board::load(const std::string& topologyText, const std::string& stateText, std::string* err) {
    devices_.clear();
    chips_.clear();
    byKey_.clear();
    muxRegs_.clear();
    warnings_.clear();
    BoardModel::Topology topology;
    BoardModel::parseTopology(topologyText, &topology);
    if (const BoardModel::Problem* problem = topology.firstFatal()) {
        *err = "topology: " + problem->text;
        return false;
    }
    for (auto& d : topology.devices) {
        Device dev;
        static_cast<BoardModel::Device&>(dev) = std::move(d);
        if (dev.address >= 0) {
            dev.key = BusKey::make(dev.path.masterType(), dev.path.pci, dev.path.accel, uint32_t(dev.path.bus),
                                   uint32_t(dev.address));
        }
        for (const auto& hop : dev.path.muxes) {
            MuxHop h;
            h.muxDid = hop.muxDid;
            h.value = uint8_t(uint32_t(hop.channel) & 0xFF);
            dev.hops.push_back(h);
        }
        devices_.push_back(std::move(dev));
    }

    // One chip per bus address and mux path; devices sharing both share the chip.
    std::map<std::pair<BusKey, std::vector<std::pair<uint32_t, uint8_t>>>, int> chipAt;
    std::vector<int> rank;
    for (size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        if (d.address < 0) continue;
        std::vector<std::pair<uint32_t, uint8_t>> sig;
        for (const auto& h : d.hops) sig.emplace_back(h.muxDid, h.value);
        auto k = std::make_pair(d.key, sig);
        auto it = chipAt.find(k);
        const ModelRule& rule = modelFor(d.driver, d.driverArgs);
        const std::string model = rule.model;
        const int r = rule.rank;
        if (it == chipAt.end()) {
            ChipSlot slot;
            slot.chip = makeChip(model);
            slot.key = d.key;
            slot.hops = d.hops;
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
        for (auto& hop : slot.hops) {
            for (const auto& d : devices_) {
                if (d.did != hop.muxDid || d.chip < 0) continue;
                auto reg = d.driverArgs.find("reg");
                auto reset = d.driverArgs.find("reset");
                if (reg == d.driverArgs.end() || reset == d.driverArgs.end()) continue;
                hop.chip = d.chip;
                hop.reg = uint8_t(leadingInt(reg->second) & 0xFF);
                hop.reset = uint8_t(leadingInt(reset->second) & 0xFF);
                muxRegs_[hop.chip] = {hop.reg, hop.reset};
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
            for (const auto& hop : slot.hops) {
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
    for (const auto& hop : slot.hops) {
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
    execute(request, client, logLevel, log, &out);
    return out;
}

void Board::execute(const Smbus::TransactionRequest& request, int client, int logLevel, std::string* log,
                    BatchOutcome* outcome) {
    BatchOutcome& out = *outcome;
    out.response.Clear();
    out.action = FaultKind::None;
    out.delayMs = 0;
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
            BoardModel::KhamAddress address = BoardModel::KhamAddress::unpack(r.address());
            uint32_t reg = address.reg;
            BusKey key = BusKey::make(int(r.mastertype()), r.pci(), address.accel, address.bus, address.address);
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
            line += " reg " + hex(BoardModel::KhamAddress::unpack(r.address()).reg) + " len " + std::to_string(r.length());
            if (r.has_data()) line += " data [" + hexBytes(r.data()) + "]";
            // Mux control writes say what they do to the downstream buses.
            auto mux = c >= 0 ? muxRegs_.find(c) : muxRegs_.end();
            if (mux != muxRegs_.end() && r.type() == Smbus::REQUEST_WRITE && r.data().size() == 1 &&
                BoardModel::KhamAddress::unpack(r.address()).reg == mux->second.first) {
                const uint8_t v = uint8_t(r.data()[0]);
                line += v == mux->second.second ? " mux reset" : " mux select channel " + std::to_string(v);
            }
            line += ok ? " -> ok" : " -> failed: " + err;
            if (ok && !data.empty()) line += " [" + hexBytes(data) + "]";
            if (ok && c >= 0 && r.type() == Smbus::REQUEST_WRITE) {
                std::string shows = chips_[c].chip->describe();  // what a write changed, in words
                if (!shows.empty()) line += " => " + shows;
            }
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
}

}  // namespace Smbusd
