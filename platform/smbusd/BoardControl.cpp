// The control language of the running board: the commands zolta-smbusctl sends.
#include "Board.h"
#include "Text.h"

namespace Smbusd {

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
            for (const auto& h : d.hops) line += " via mux " + std::to_string(h.muxDid) + " channel " + std::to_string(h.value);
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
            " show DEVICE |"
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
    if (cmd == "read" || cmd == "write" || cmd == "prop" || cmd == "props" || cmd == "show") {
        if (!need(2, "read|write|prop|props DEVICE ...")) return false;
        int c = findChip(w[1], err);
        if (c < 0) return false;
        Chip& chip = *chips_[c].chip;
        if (cmd == "show") {  // what the chip shows in words (LED states, fan speeds)
            std::string shows = chip.describe();
            *out += (shows.empty() ? "-" : shows) + "\n";
            return true;
        }
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

}  // namespace Smbusd
