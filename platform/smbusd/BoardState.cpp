// The state file: chip models, register contents, properties, bindings and faults the
// board starts with.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "Board.h"
#include "Control.h"
#include "Text.h"
#include "chips/Models.h"

namespace Smbusd {

namespace {

using Value = rapidjson::Value;

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

}  // namespace

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
                       "' (" + modelNames() + ")";
                return false;
            }
            chips_[c].chip = std::move(chip);
        }
    }
    // A replaced chip that holds a mux register starts disconnected again.
    std::string ignored;
    for (const auto& slot : chips_) {
        for (const auto& hop : slot.hops) {
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

}  // namespace Smbusd
