#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

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

}  // namespace

Summary Report::summary() const {
    Summary s;
    forEachReading([&s](const ReadingRef& ref) {
        ++s.readings;
        switch (ref.reading.status) {
            case 0: ++s.ok; break;
            case kAbsent: ++s.absent; break;
            case kNotSupported: ++s.notSupported; break;
            case kNotAdded: ++s.notAdded; break;
            default: ++s.failed;
        }
    });
    s.problems = static_cast<int>(problems.size());
    for (const auto& t : temps) s.alarms += alarmOf(t) != nullptr && std::strcmp(alarmOf(t), "ok") != 0;
    return s;
}

const char* alarmOf(const TempRow& t) {
    if (!t.celsius.ok()) return nullptr;
    return t.celsius.value >= t.critical ? "critical" : t.celsius.value >= t.alert ? "alert" : "ok";
}

const char* const kSectionWords = "temps fans psus trays ports leds gpios";

unsigned sectionOf(const std::string& word) {
    static const std::pair<const char*, unsigned> words[] = {{"temps", kTemps}, {"fans", kFans},   {"psus", kPsus},
                                                            {"trays", kTrays}, {"ports", kPorts}, {"leds", kLeds},
                                                            {"gpios", kGpios}};
    for (const auto& [name, bit] : words)
        if (word == name) return bit;
    return 0;
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

namespace {

// Paints the report's values: failures red, alarms yellow (alert) or red (critical), changed
// values marked with '*' against the previous report.
class Painter {
  public:
    Painter(const Report* before, bool colour) : colour_(colour) {
        if (before)
            before->forEachReading([this](const ReadingRef& ref) { previous_[ref.device + '\n' + ref.key] = ref.reading; });
        hasBefore_ = before != nullptr;
    }

    static constexpr const char* kRed = "31";
    static constexpr const char* kYellow = "33";

    std::string paint(const std::string& text, const char* code) const {
        if (!colour_ || !code || text.empty()) return text;
        return std::string("\033[") + code + "m" + text + "\033[0m";
    }
    // The code for a reading's status: red when it failed.
    static const char* codeOf(const Reading& r) {
        return r.status > 0 || r.status == kNotAdded ? kRed : nullptr;
    }
    // "*" when the reading differs from the previous report's, else "".
    std::string mark(const std::string& device, const char* key, const Reading& r) const {
        if (!hasBefore_) return "";
        auto it = previous_.find(device + '\n' + key);
        if (it == previous_.end()) return "";
        bool same = it->second.status == r.status && (!r.ok() || it->second.value == r.value);
        return same ? "" : "*";
    }
    // A column: the reading shown, painted, marked, padded to `width` visible characters.
    std::string cell(const std::string& device, const char* key, const Reading& r, const std::string& text,
                     size_t width = 0, const char* code = nullptr) const {
        std::string visible = text + mark(device, key, r);
        std::string out = paint(visible, code ? code : codeOf(r));
        if (visible.size() < width) out += std::string(width - visible.size(), ' ');
        else if (width) out += ' ';
        return out;
    }

  private:
    bool colour_;
    bool hasBefore_ = false;
    std::map<std::string, Reading> previous_;
};

std::string presenceText(const Reading& present) {
    switch (presenceOf(present)) {
        case Presence::Present: return "present";
        case Presence::Absent: return "absent";
        case Presence::Unknown: break;
    }
    return "presence unknown (" + statusWord(present.status) + ")";
}

std::string summaryLine(const Summary& s) {
    std::string line = std::to_string(s.readings) + " readings: " + std::to_string(s.ok) + " ok";
    const std::pair<int, const char*> parts[] = {{s.failed, " failed"},
                                                 {s.absent, " absent"},
                                                 {s.notSupported, " not supported"},
                                                 {s.notAdded, " not added"}};
    for (const auto& [n, word] : parts)
        if (n) line += ", " + std::to_string(n) + word;
    if (s.problems) line += "; " + std::to_string(s.problems) + (s.problems == 1 ? " problem" : " problems");
    if (s.alarms) line += "; " + std::to_string(s.alarms) + (s.alarms == 1 ? " alarm" : " alarms");
    return line;
}

}  // namespace

std::string renderText(const Report& report, const Report* before, bool colour) {
    const Painter p(before, colour);
    std::ostringstream out;
    out << (report.board.empty() ? "Board" : report.board + " board") << "\n";

    if (!report.temps.empty()) {
        out << "\nTemperatures\n";
        for (const auto& t : report.temps) {
            const char* alarm = alarmOf(t);
            std::string flag;
            if (alarm && std::strcmp(alarm, "critical") == 0)
                flag = "  " + p.paint("CRITICAL", Painter::kRed);
            else if (alarm && std::strcmp(alarm, "alert") == 0)
                flag = "  " + p.paint("ALERT", Painter::kYellow);
            const char* code = flag.empty() ? nullptr : std::strcmp(alarm, "critical") == 0 ? Painter::kRed : Painter::kYellow;
            out << "  " << pad(t.name + ":", 14) << p.cell(t.name, "temperature", t.celsius, shown(t.celsius, "%+.1f", " C"), 18, code)
                << "(alert = " << fmt("%+.1f", t.alert) << " C, crit = " << fmt("%+.1f", t.critical) << " C)" << flag << "\n";
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
                bool absent = f.rpm.status == kAbsent;
                out << "    " << pad(f.name + ":", 12)
                    << p.cell(f.name, "speed", f.rpm, f.fault() ? "FAULT" : shown(f.rpm, "%.0f", " rpm"), 16);
                if (!absent && f.target.status != kNotSupported) out << "target " << shown(f.target, "%.0f", " rpm");
                out << "\n";
            }
        }
    }
    if (!report.psus.empty()) {
        out << "\nPower supplies\n";
        for (const auto& ps : report.psus) {
            out << "  " << ps.name << (ps.bay.empty() ? "" : " (" + ps.bay + ")") << ": "
                << p.cell(ps.name, "presence", ps.present, presenceText(ps.present));
            if (presenceOf(ps.present) == Presence::Present)
                out << ", model " << (ps.model.empty() ? "?" : ps.model) << ", serial " << (ps.serial.empty() ? "?" : ps.serial);
            out << "\n";
            if (presenceOf(ps.present) == Presence::Absent) continue;  // nothing to read in an empty bay
            out << "    power good: "
                << p.cell(ps.name, "powerGood", ps.powerGood, yesNo(ps.powerGood, "yes", "no"), 0,
                          ps.powerGood.ok() && ps.powerGood.value == 0 ? Painter::kRed : nullptr)
                << "\n";
            out << "    input:  " << p.cell(ps.name, "inputVoltage", ps.inputVolts, shown(ps.inputVolts, "%.2f", " V"), 18)
                << p.cell(ps.name, "inputCurrent", ps.inputAmps, shown(ps.inputAmps, "%.2f", " A"), 18)
                << p.cell(ps.name, "inputPower", ps.inputWatts, shown(ps.inputWatts, "%.1f", " W")) << "\n";
            out << "    output: " << p.cell(ps.name, "outputVoltage", ps.outputVolts, shown(ps.outputVolts, "%.2f", " V"), 18)
                << p.cell(ps.name, "outputCurrent", ps.outputAmps, shown(ps.outputAmps, "%.2f", " A"), 18)
                << p.cell(ps.name, "outputPower", ps.outputWatts, shown(ps.outputWatts, "%.1f", " W")) << "\n";
        }
    }
    if (!report.trays.empty()) {
        out << "\nFan trays\n";
        for (const auto& t : report.trays) {
            out << "  " << pad(t.name + ":", 14) << p.cell(t.name, "presence", t.present, presenceText(t.present));
            if (presenceOf(t.present) == Presence::Present)
                out << ", airflow " << (t.airflow.empty() ? "?" : t.airflow) << ", model "
                    << (t.model.empty() ? "?" : t.model) << ", max " << (t.maxRpm.empty() ? "?" : t.maxRpm) << " rpm";
            if (!t.fans.empty()) {
                out << "  [";
                for (size_t i = 0; i < t.fans.size(); ++i) out << (i ? " " : "") << t.fans[i];
                out << "]";
            }
            out << "\n";
        }
    }
    if (!report.xcvrs.empty()) {
        out << "\nTransceivers (x set, . clear, ? failed, - not available, * changed)\n";
        auto cell = [&p](const std::string& name, const char* key, const Reading& r) {
            std::string mark = p.mark(name, key, r);
            std::string lead = mark.empty() ? "  " : " *";
            if (r.status == kNotSupported || r.status == kNotAdded || r.status == kAbsent) return lead + "-";
            if (!r.ok()) return lead + p.paint("?", Painter::kRed);
            return lead + (r.value != 0 ? "x" : ".");
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
                    for (size_t i = start; i < end; ++i) {
                        const XcvrRow& x = *rows[i];
                        out << (line == 0 ? cell(x.name, "presence", x.present)
                                          : cell(x.name, xcvrBitName(qsfp, line - 1), x.bits[line - 1]));
                    }
                    out << "\n";
                }
            }
        }
        // Failed readings in words; devices that were never added are listed under Problems.
        for (const auto& x : report.xcvrs) {
            if (x.present.status > 0) failures.push_back(x.name + " presence unknown: " + statusWord(x.present.status));
            for (int i = 0; i < 3; ++i)
                if (x.bits[i].status > 0)
                    failures.push_back(x.name + " " + xcvrBitName(x.qsfp, i) + ": " + statusWord(x.bits[i].status));
            if (presenceOf(x.present) == Presence::Present) {
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
                out << p.cell(l.name, "field", l.field, statusWord(l.field.status));
            else
                out << p.cell(l.name, "field", l.field,
                              (l.setting.empty() ? "?" : l.setting) + " (field " + fmt("%.0f", l.field.value) + ")", 22);
            if (!l.lastSetting.empty()) out << "set " << l.lastSetting << (l.blinking ? ", blinking" : "");
            out << "\n";
        }
    }
    if (!report.gpios.empty()) {
        out << "\nGPIOs\n";
        for (const auto& g : report.gpios)
            out << "  " << pad(g.name + ":", 20) << p.cell(g.name, "bit", g.bit, shown(g.bit, "%.0f", "")) << "\n";
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
    out << "\n" << summaryLine(report.summary()) << "\n";
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

enum class As { Number, Integer, Boolean };

// A status object: {"status": word, "value": the value or null when the reading did not
// succeed, "unit": ...}.
void reading(Writer& w, const char* name, const Reading& r, const char* unit, As as = As::Number) {
    w.Key(name);
    w.StartObject();
    key(w, "status");
    w.String(statusWord(r.status).c_str());
    key(w, "value");
    if (!r.ok() || (as == As::Number && !std::isfinite(r.value)))
        w.Null();
    else if (as == As::Integer)
        w.Int64(static_cast<int64_t>(std::llround(r.value)));
    else if (as == As::Boolean)
        w.Bool(r.value != 0);
    else
        w.Double(r.value);
    if (unit) {
        key(w, "unit");
        w.String(unit);
    }
    w.EndObject();
}

// A limit or setting that is not a reading: {"value": ..., "unit": ...}.
void quantity(Writer& w, const char* name, double value, const char* unit) {
    w.Key(name);
    w.StartObject();
    key(w, "value");
    w.Double(value);
    key(w, "unit");
    w.String(unit);
    w.EndObject();
}

// A text; null when it is unknown ("").
void str(Writer& w, const char* k, const std::string& v) {
    w.Key(k);
    if (v.empty())
        w.Null();
    else
        w.String(v.c_str());
}

// "present": true, false or null (unknown), then the presence reading itself.
void presence(Writer& w, const Reading& r) {
    key(w, "present");
    switch (presenceOf(r)) {
        case Presence::Present: w.Bool(true); break;
        case Presence::Absent: w.Bool(false); break;
        case Presence::Unknown: w.Null(); break;
    }
    reading(w, "presence", r, nullptr, As::Boolean);
}

class JsonOut {
  public:
    explicit JsonOut(bool compact) : compact_(compact) { out_ << "{"; }

    // "name": value, with the value already JSON.
    void member(const char* name, const std::string& json) {
        out_ << separator() << "\"" << name << "\":" << (compact_ ? "" : " ") << json;
    }

    template <class Rows, class Fn>
    void section(const char* name, const Rows& rows, Fn fn) {
        out_ << separator() << "\"" << name << "\":" << (compact_ ? "[" : " [");
        bool first = true;
        for (const auto& row : rows) {
            rapidjson::StringBuffer buffer;
            Writer w(buffer);
            w.StartObject();
            fn(w, row);
            w.EndObject();
            out_ << (first ? "" : ",") << (compact_ ? "" : "\n    ") << buffer.GetString();
            first = false;
        }
        out_ << (first || compact_ ? "]" : "\n  ]");
    }

    std::string finish() {
        out_ << (compact_ ? "}\n" : "\n}\n");
        return out_.str();
    }

  private:
    const char* separator() {
        bool first = first_;
        first_ = false;
        if (compact_) return first ? "" : ",";
        return first ? "\n  " : ",\n  ";
    }
    bool compact_;
    bool first_ = true;
    std::ostringstream out_;
};

std::string jsonString(const std::string& text) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.String(text.c_str());
    return buffer.GetString();
}

}  // namespace

std::string renderJson(const Report& report, bool compact) {
    JsonOut out(compact);
    out.member("schemaVersion", "1");
    out.member("timestamp", jsonString(report.timestamp));
    out.member("board", report.board.empty() ? "null" : jsonString(report.board));
    out.section("temperatures", report.temps, [](Writer& w, const TempRow& t) {
        str(w, "name", t.name);
        reading(w, "temperature", t.celsius, "C");
        quantity(w, "alert", t.alert, "C");
        quantity(w, "critical", t.critical, "C");
        key(w, "alarm");
        if (const char* alarm = alarmOf(t))
            w.String(alarm);
        else
            w.Null();
    });
    out.section("fans", report.fans, [](Writer& w, const FanRow& f) {
        str(w, "name", f.name);
        str(w, "group", f.group);
        reading(w, "speed", f.rpm, "rpm", As::Integer);
        if (f.target.ok()) {
            key(w, "target");
            w.StartObject();
            key(w, "value");
            w.Int64(std::llround(f.target.value));
            key(w, "unit");
            w.String("rpm");
            w.EndObject();
        } else {
            key(w, "target");
            w.Null();
        }
        key(w, "fault");
        w.Bool(f.fault());
    });
    out.section("powerSupplies", report.psus, [](Writer& w, const PsuRow& p) {
        str(w, "name", p.name);
        str(w, "bay", p.bay);
        presence(w, p.present);
        str(w, "model", p.model);
        str(w, "serial", p.serial);
        reading(w, "powerGood", p.powerGood, nullptr, As::Boolean);
        reading(w, "inputVoltage", p.inputVolts, "V");
        reading(w, "inputCurrent", p.inputAmps, "A");
        reading(w, "inputPower", p.inputWatts, "W");
        reading(w, "outputVoltage", p.outputVolts, "V");
        reading(w, "outputCurrent", p.outputAmps, "A");
        reading(w, "outputPower", p.outputWatts, "W");
    });
    out.section("fanTrays", report.trays, [](Writer& w, const TrayRow& t) {
        str(w, "name", t.name);
        presence(w, t.present);
        str(w, "airflow", t.airflow);
        str(w, "model", t.model);
        key(w, "maxRpm");
        long maxRpm = 0;
        char* end = nullptr;
        if (!t.maxRpm.empty() && (maxRpm = std::strtol(t.maxRpm.c_str(), &end, 10), *end == '\0'))
            w.Int64(maxRpm);
        else
            w.Null();
        key(w, "fans");
        w.StartArray();
        for (const auto& f : t.fans) w.String(f.c_str());
        w.EndArray();
    });
    out.section("transceivers", report.xcvrs, [](Writer& w, const XcvrRow& x) {
        str(w, "name", x.name);
        str(w, "type", x.qsfp ? "QSFP" : "SFP");
        presence(w, x.present);
        for (int i = 0; i < 3; ++i) reading(w, xcvrBitName(x.qsfp, i), x.bits[i], nullptr, As::Boolean);
        reading(w, "eepromId", x.eepromId, nullptr, As::Integer);
    });
    out.section("leds", report.leds, [](Writer& w, const LedRow& l) {
        str(w, "name", l.name);
        str(w, "type", l.type);
        reading(w, "field", l.field, nullptr, As::Integer);
        str(w, "setting", l.setting);
        str(w, "lastSetting", l.lastSetting);
        key(w, "blinking");
        w.Bool(l.blinking);
    });
    out.section("gpios", report.gpios, [](Writer& w, const GpioRow& g) {
        str(w, "name", g.name);
        reading(w, "bit", g.bit, nullptr, As::Integer);
    });
    out.section("problems", report.problems, [](Writer& w, const Problem& p) {
        str(w, "name", p.name);
        str(w, "kind", p.kind);
        str(w, "message", p.message);
        str(w, "reason", p.reason);
    });
    Summary s = report.summary();
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    for (const auto& [name, n] : {std::pair<const char*, int>{"readings", s.readings}, {"ok", s.ok}, {"failed", s.failed},
                                  {"absent", s.absent}, {"notSupported", s.notSupported}, {"notAdded", s.notAdded},
                                  {"problems", s.problems}, {"alarms", s.alarms}}) {
        key(w, name);
        w.Int(n);
    }
    w.EndObject();
    out.member("summary", buffer.GetString());
    return out.finish();
}

namespace {

// A label value with backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", value);
    return buffer;
}

// The unit a metric name ends in, for its UNIT line; "" for none.
const char* unitOf(const std::string& metric) {
    for (const char* unit : {"celsius", "rpm", "volts", "amperes", "watts"}) {
        std::string suffix = std::string("_") + unit;
        if (metric.size() > suffix.size() && metric.compare(metric.size() - suffix.size(), suffix.size(), suffix) == 0)
            return unit;
    }
    return "";
}

// Metric families in order of their first sample.
class Exposition {
  public:
    void add(const std::string& metric, const char* help, const std::string& labels, double value) {
        auto it = std::find_if(families_.begin(), families_.end(), [&](const Family& f) { return f.name == metric; });
        if (it == families_.end()) {
            families_.push_back({metric, help, {}});
            it = families_.end() - 1;
        }
        it->samples += "zolta_" + metric + "{" + labels + "} " + number(value) + "\n";
    }
    std::string text() const {
        std::string out;
        for (const auto& f : families_) {
            out += "# HELP zolta_" + f.name + " " + f.help + "\n# TYPE zolta_" + f.name + " gauge\n";
            if (*unitOf(f.name)) out += "# UNIT zolta_" + f.name + " " + unitOf(f.name) + "\n";
            out += f.samples;
        }
        return out + "# EOF\n";
    }

  private:
    struct Family {
        std::string name;
        const char* help;
        std::string samples;
    };
    std::vector<Family> families_;
};

}  // namespace

std::string renderOpenMetrics(const Report& report) {
    Exposition e;
    auto name = [](const std::string& device) { return "name=\"" + labelValue(device) + "\""; };
    report.forEachReading([&](const ReadingRef& ref) {
        std::string labels = name(ref.device);
        if (*ref.label) labels += "," + std::string(ref.label) + "=\"" + labelValue(ref.labelValue) + "\"";
        if (ref.reading.ok()) e.add(ref.metric, ref.help, labels, ref.reading.value);
    });
    for (const auto& t : report.temps) {
        e.add("temperature_alert_celsius", "The temperature's alert limit.", name(t.name), t.alert);
        e.add("temperature_critical_celsius", "The temperature's critical limit.", name(t.name), t.critical);
        if (const char* alarm = alarmOf(t))
            e.add("temperature_alarm", "0 below the alert limit, 1 at or above it, 2 at or above the critical limit.",
                  name(t.name), std::strcmp(alarm, "critical") == 0 ? 2 : std::strcmp(alarm, "alert") == 0 ? 1 : 0);
    }
    for (const auto& f : report.fans)
        if (f.target.ok()) e.add("fan_target_rpm", "The speed the fan was programmed to.", name(f.name), f.target.value);
    // Whether each reading succeeded; a reading of an absent unit or one the library lacks is
    // no reading at all and has no sample.
    report.forEachReading([&](const ReadingRef& ref) {
        int st = ref.reading.status;
        if (st == kAbsent || st == kNotSupported) return;
        e.add("reading_ok", "1 when the reading succeeded, 0 when it failed.",
              name(ref.device) + ",reading=\"" + labelValue(ref.key) + "\"", st == 0 ? 1 : 0);
    });
    return e.text();
}

}  // namespace Host
