#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Status.h"

namespace Host {

namespace {

// "SMBus proxy" -> "SMBus proxies", "fan" -> "fans".
std::string plural(const std::string& noun) {
    if (!noun.empty() && noun.back() == 'y') return noun.substr(0, noun.size() - 1) + "ies";
    return noun + "s";
}

bool presenceCountsAsFailure(const Reading& r) { return !r.ok() && r.status != 1; }

}  // namespace

int Report::readings() const {
    int n = static_cast<int>(temps.size() + fans.size() + gpios.size());
    n += static_cast<int>(psus.size()) * 8 + static_cast<int>(trays.size()) + static_cast<int>(xcvrs.size()) * 4;
    for (const auto& led : leds) n += led.hasReadback ? 1 : 0;
    return n;
}

int Report::failures() const {
    // Devices that could not be added count once, as problems; readings count when the
    // library reported a failure for them.
    auto bad = [](const Reading& r) { return r.status > 0 ? 1 : 0; };
    int n = static_cast<int>(problems.size());
    for (const auto& t : temps) n += bad(t.celsius);
    for (const auto& f : fans) n += f.trayAbsent ? 0 : bad(f.rpm);
    for (const auto& p : psus) {
        n += presenceCountsAsFailure(p.present) && p.present.status > 0;
        for (const Reading* r : {&p.powerGood, &p.inputVolts, &p.inputAmps, &p.inputWatts, &p.outputVolts,
                                 &p.outputAmps, &p.outputWatts})
            n += bad(*r);
    }
    for (const auto& t : trays) n += presenceCountsAsFailure(t.present) && t.present.status > 0;
    for (const auto& x : xcvrs) {
        n += bad(x.present) + bad(x.eepromId);
        for (const auto& b : x.bits) n += bad(b);
    }
    for (const auto& l : leds) n += bad(l.field);
    for (const auto& g : gpios) n += bad(g.bit);
    return n;
}

const char* xcvrBitName(bool qsfp, int index) {
    static const char* sfp[] = {"txFault", "rxLos", "txDisable"};
    static const char* qsfpNames[] = {"lpMode", "reset", "interrupt"};
    return (qsfp ? qsfpNames : sfp)[index];
}

const char* const kLedSettingNames[7] = {"Off", "Good", "Warning", "Bad", "Inactive", "Unknown", "Beacon"};

std::string ledFieldMeaning(const std::string& type, int field) {
    if (field == 0) return "Off";
    if (type == "status") {
        switch (field) {
            case 9: return "Good";
            case 10: return "Warning/Bad";
            case 11: return "Unknown";
            case 5: return "Beacon";
        }
        return "";
    }
    int good = type == "fantray" ? 1 : type == "multifan" ? 2 : type == "multipsu" ? 3 : -1;
    if (good < 0) return "";
    if (type == "fantray") return field == 1 ? "Good" : field == 2 ? "Warning/Bad" : "";
    if (type == "multifan") return field == 2 ? "Good" : field == 1 ? "Warning" : field == 3 ? "Bad/Unknown" : "";
    return field == 3 ? "Good" : field == 2 ? "Warning/Bad" : "";
}

namespace {

// Formats one double; a format of an integer conversion gets the value as an integer.
std::string fmt(const char* format, double value) {
    char buffer[64];
    const char conversion = format[std::strlen(format) - 1];
    if (std::strchr("xXdiuo", conversion) != nullptr) {
        std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned>(static_cast<long long>(value)));
        return buffer;
    }
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// A reading for people: the value with its unit, or the status in words.
std::string shown(const Reading& r, const char* format, const char* unit) {
    if (!r.ok()) return statusWord(r.status);
    return fmt(format, r.value) + unit;
}

std::string pad(const std::string& s, size_t width) { return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' '); }

std::string yesNo(const Reading& r, const char* yes, const char* no) {
    if (!r.ok()) return statusWord(r.status);
    return r.value != 0 ? yes : no;
}

}  // namespace

std::string renderText(const Report& report) {
    std::ostringstream out;
    out << (report.board.empty() ? "Board" : report.board + " board") << "\n";

    if (!report.temps.empty()) {
        out << "\nTemperatures\n";
        for (const auto& t : report.temps) {
            std::string flag;
            if (t.celsius.ok() && t.celsius.value >= t.critical)
                flag = "  CRITICAL";
            else if (t.celsius.ok() && t.celsius.value >= t.alert)
                flag = "  ALERT";
            out << "  " << pad(t.name + ":", 14) << pad(shown(t.celsius, "%+.1f", " C"), 18) << "(alert = "
                << fmt("%+.1f", t.alert) << " C, crit = " << fmt("%+.1f", t.critical) << " C)" << flag << "\n";
        }
    }
    if (!report.fans.empty()) {
        out << "\nFans\n";
        // Grouped by tray (or power supply), the groups in order of their first fan.
        std::vector<std::string> groups;
        for (const auto& f : report.fans)
            if (std::find(groups.begin(), groups.end(), f.group) == groups.end()) groups.push_back(f.group);
        for (const auto& group : groups) {
            out << "  " << (group.empty() ? "(no tray)" : group) << "\n";
            for (const auto& f : report.fans) {
                if (f.group != group) continue;
                out << "    " << pad(f.name + ":", 12) << pad(f.trayAbsent ? "absent" : f.fault() ? "FAULT" : shown(f.rpm, "%.0f", " rpm"), 16);
                if (!f.trayAbsent && f.target.status != kNotSupported) out << "target " << shown(f.target, "%.0f", " rpm");
                out << "\n";
            }
        }
    }
    if (!report.psus.empty()) {
        out << "\nPower supplies\n";
        for (const auto& p : report.psus) {
            out << "  " << p.name << (p.bay.empty() ? "" : " (" + p.bay + ")") << ": ";
            if (p.present.ok())
                out << "present, model " << (p.model.empty() ? "?" : p.model) << ", serial "
                    << (p.serial.empty() ? "?" : p.serial);
            else if (p.present.status == 1)
                out << "bay empty or unit not identified";
            else
                out << "bay " << statusWord(p.present.status);
            out << "\n";
            out << "    power good: " << yesNo(p.powerGood, "yes", "no") << "\n";
            out << "    input:  " << pad(shown(p.inputVolts, "%.2f", " V"), 18) << pad(shown(p.inputAmps, "%.2f", " A"), 18)
                << shown(p.inputWatts, "%.1f", " W") << "\n";
            out << "    output: " << pad(shown(p.outputVolts, "%.2f", " V"), 18)
                << pad(shown(p.outputAmps, "%.2f", " A"), 18) << shown(p.outputWatts, "%.1f", " W") << "\n";
        }
    }
    if (!report.trays.empty()) {
        out << "\nFan trays\n";
        for (const auto& t : report.trays) {
            out << "  " << pad(t.name + ":", 14);
            if (t.present.ok())
                out << "present, airflow " << (t.airflow.empty() ? "?" : t.airflow) << ", model "
                    << (t.model.empty() ? "?" : t.model) << ", max " << (t.maxRpm.empty() ? "?" : t.maxRpm) << " rpm";
            else if (t.present.status == 1)
                out << "absent";
            else
                out << statusWord(t.present.status);
            if (!t.fans.empty()) {
                out << "  [";
                for (size_t i = 0; i < t.fans.size(); ++i) out << (i ? " " : "") << t.fans[i];
                out << "]";
            }
            out << "\n";
        }
    }
    if (!report.xcvrs.empty()) {
        out << "\nTransceivers (x set, . clear, ? failed, - not available)\n";
        auto cell = [](const Reading& r) {
            if (r.status == kNotSupported || r.status == kNotAdded) return std::string("  -");
            if (!r.ok()) return std::string("  ?");
            return std::string(r.value != 0 ? "  x" : "  .");
        };
        std::vector<std::string> failures;
        for (bool qsfp : {false, true}) {
            std::vector<const XcvrRow*> rows;
            for (const auto& x : report.xcvrs)
                if (x.qsfp == qsfp) rows.push_back(&x);
            for (size_t start = 0; start < rows.size(); start += 24) {
                size_t end = std::min(rows.size(), start + 24);
                out << "  " << pad(qsfp ? "QSFP port" : "SFP port", 12);
                for (size_t i = start; i < end; ++i) {
                    std::string n = rows[i]->name;
                    auto digits = n.find_first_of("0123456789");
                    std::string label = digits == std::string::npos ? n : n.substr(digits);
                    out << (label.size() < 3 ? std::string(3 - label.size(), ' ') + label : " " + label);
                }
                out << "\n";
                const char* names[] = {"present", qsfp ? "low power" : "tx fault", qsfp ? "reset" : "rx los",
                                       qsfp ? "interrupt" : "tx disable"};
                for (int line = 0; line < 4; ++line) {
                    out << "   " << pad(names[line], 11);
                    for (size_t i = start; i < end; ++i) out << cell(line == 0 ? rows[i]->present : rows[i]->bits[line - 1]);
                    out << "\n";
                }
            }
        }
        // Failed readings in words; devices that were never added are listed under Problems.
        for (const auto& x : report.xcvrs) {
            if (x.present.status > 0) failures.push_back(x.name + " present: " + statusWord(x.present.status));
            for (int i = 0; i < 3; ++i)
                if (x.bits[i].status > 0)
                    failures.push_back(x.name + " " + xcvrBitName(x.qsfp, i) + ": " + statusWord(x.bits[i].status));
            if (x.present.ok() && x.present.value != 0) {
                if (x.eepromId.ok())
                    failures.push_back(x.name + " module id " + fmt("0x%02x", x.eepromId.value));
                else if (x.eepromId.status != kNotSupported)
                    failures.push_back(x.name + " module EEPROM: " + statusWord(x.eepromId.status));
            }
        }
        for (const auto& line : failures) out << "    " << line << "\n";
    }
    if (!report.leds.empty()) {
        out << "\nLEDs\n";
        for (const auto& l : report.leds) {
            out << "  " << pad(l.name + ":", 14) << pad(l.type, 10);
            if (!l.hasReadback)
                out << "no read-back";
            else if (!l.field.ok())
                out << statusWord(l.field.status);
            else
                out << pad((l.setting.empty() ? "?" : l.setting) + " (field " + fmt("%.0f", l.field.value) + ")", 22);
            if (!l.lastSetting.empty()) out << "set " << l.lastSetting << (l.blinking ? ", blinking" : "");
            out << "\n";
        }
    }
    if (!report.gpios.empty()) {
        out << "\nGPIOs\n";
        for (const auto& g : report.gpios) out << "  " << pad(g.name + ":", 20) << shown(g.bit, "%.0f", "") << "\n";
    }
    if (!report.problems.empty()) {
        out << "\nProblems\n";
        // A run of devices of one kind with the same problem is shown as one line.
        const auto& ps = report.problems;
        for (size_t i = 0; i < ps.size();) {
            size_t j = i + 1;
            while (j < ps.size() && ps[j].kind == ps[i].kind && ps[j].text() == ps[i].text()) ++j;
            if (j - i >= 4)
                out << "  " << ps[i].name << " .. " << ps[j - 1].name << " (" << (j - i) << " "
                    << plural(ps[i].kind) << "): " << ps[i].text() << "\n";
            else
                for (size_t k = i; k < j; ++k) out << "  " << ps[k].name << " (" << ps[k].kind << "): " << ps[k].text() << "\n";
            i = j;
        }
    }
    out << "\n" << report.readings() << " readings, " << report.failures() << " failed\n";
    // Columns are padded; no line ends in blanks.
    std::string text = out.str(), tidy;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        line.erase(line.find_last_not_of(' ') + 1);  // npos + 1 == 0 empties an all-blank line
        tidy += line + '\n';
        start = end + 1;
    }
    return tidy;
}

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void key(Writer& w, const char* k) { w.Key(k); }

void reading(Writer& w, const char* name, const Reading& r, const char* unit, bool integer = false) {
    w.Key(name);
    w.StartObject();
    key(w, "status");
    w.String(statusWord(r.status).c_str());
    key(w, "value");
    if (!r.ok())
        w.Null();
    else if (integer)
        w.Int64(static_cast<int64_t>(std::llround(r.value)));
    else
        w.Double(std::isfinite(r.value) ? r.value : 0.0);
    if (unit) {
        key(w, "unit");
        w.String(unit);
    }
    w.EndObject();
}

void str(Writer& w, const char* k, const std::string& v) {
    w.Key(k);
    w.String(v.c_str());
}

template <class Rows, class Fn>
void section(std::ostringstream& out, const char* name, const Rows& rows, Fn fn) {
    out << "  \"" << name << "\": [";
    bool first = true;
    for (const auto& row : rows) {
        rapidjson::StringBuffer buffer;
        Writer w(buffer);
        w.StartObject();
        fn(w, row);
        w.EndObject();
        out << (first ? "\n    " : ",\n    ") << buffer.GetString();
        first = false;
    }
    out << (first ? "]" : "\n  ]") << ",\n";
}

}  // namespace

std::string renderJson(const Report& report) {
    std::ostringstream out;
    out << "{\n";
    {
        rapidjson::StringBuffer buffer;
        Writer w(buffer);
        w.String(report.board.c_str());
        out << "  \"board\": " << buffer.GetString() << ",\n";
    }
    section(out, "temperatures", report.temps, [](Writer& w, const TempRow& t) {
        str(w, "name", t.name);
        reading(w, "temperature", t.celsius, "C");
        key(w, "alert");
        w.Double(t.alert);
        key(w, "critical");
        w.Double(t.critical);
    });
    section(out, "fans", report.fans, [](Writer& w, const FanRow& f) {
        str(w, "name", f.name);
        str(w, "group", f.group);
        reading(w, "speed", f.rpm, "rpm", true);
        reading(w, "target", f.target, "rpm", true);
        key(w, "fault");
        w.Bool(f.fault());
        if (f.trayAbsent) {
            key(w, "absent");
            w.Bool(true);
        }
    });
    section(out, "powerSupplies", report.psus, [](Writer& w, const PsuRow& p) {
        str(w, "name", p.name);
        str(w, "bay", p.bay);
        reading(w, "present", p.present, nullptr, true);
        str(w, "model", p.model);
        str(w, "serial", p.serial);
        reading(w, "powerGood", p.powerGood, nullptr, true);
        reading(w, "inputVoltage", p.inputVolts, "V");
        reading(w, "inputCurrent", p.inputAmps, "A");
        reading(w, "inputPower", p.inputWatts, "W");
        reading(w, "outputVoltage", p.outputVolts, "V");
        reading(w, "outputCurrent", p.outputAmps, "A");
        reading(w, "outputPower", p.outputWatts, "W");
    });
    section(out, "fanTrays", report.trays, [](Writer& w, const TrayRow& t) {
        str(w, "name", t.name);
        reading(w, "present", t.present, nullptr, true);
        str(w, "airflow", t.airflow);
        str(w, "model", t.model);
        str(w, "maxRpm", t.maxRpm);
        key(w, "fans");
        w.StartArray();
        for (const auto& f : t.fans) w.String(f.c_str());
        w.EndArray();
    });
    section(out, "transceivers", report.xcvrs, [](Writer& w, const XcvrRow& x) {
        str(w, "name", x.name);
        str(w, "type", x.qsfp ? "QSFP" : "SFP");
        // Port lines are flags: true or false (null when the reading failed).
        auto line = [&w](const char* name, const Reading& r) {
            w.Key(name);
            w.StartObject();
            key(w, "status");
            w.String(statusWord(r.status).c_str());
            key(w, "value");
            if (r.ok())
                w.Bool(r.value != 0);
            else
                w.Null();
            w.EndObject();
        };
        line("present", x.present);
        for (int i = 0; i < 3; ++i) line(xcvrBitName(x.qsfp, i), x.bits[i]);
        reading(w, "eepromId", x.eepromId, nullptr, true);
    });
    section(out, "leds", report.leds, [](Writer& w, const LedRow& l) {
        str(w, "name", l.name);
        str(w, "type", l.type);
        reading(w, "field", l.field, nullptr, true);
        str(w, "setting", l.setting);
        str(w, "lastSetting", l.lastSetting);
        key(w, "blinking");
        w.Bool(l.blinking);
    });
    section(out, "gpios", report.gpios, [](Writer& w, const GpioRow& g) {
        str(w, "name", g.name);
        reading(w, "bit", g.bit, nullptr, true);
    });
    section(out, "problems", report.problems, [](Writer& w, const Problem& p) {
        str(w, "name", p.name);
        str(w, "kind", p.kind);
        str(w, "message", p.message);
        str(w, "reason", p.reason);
    });
    out << "  \"summary\": {\"readings\": " << report.readings() << ", \"failed\": " << report.failures() << "}\n";
    out << "}\n";
    return out.str();
}

}  // namespace Host
