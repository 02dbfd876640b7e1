#include "Readings.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>
#include <map>
#include <utility>
#include <type_traits>

#include <rapidjson/document.h>

#include "Fdl.h"
#include "LibraryCall.h"
#include "BoardCheck.h"

namespace Host {

namespace {

// The getters the report uses have the shape getAt calls.
static_assert(std::is_same_v<GetterFn<zl_temp_sensor, float>, zl_temp_get_temperature_fn>);
static_assert(std::is_same_v<GetterFn<zl_fan, int>, zl_fan_get_rpm_fn>);
static_assert(std::is_same_v<GetterFn<zl_psu, int>, zl_psu_get_int_fn>);
static_assert(std::is_same_v<GetterFn<zl_psu, float>, zl_psu_get_float_fn>);
static_assert(std::is_same_v<GetterFn<zl_slot, char*>, zl_slot_get_presence_fn>);
static_assert(std::is_same_v<GetterFn<zl_xcvr, int>, zl_xcvr_get_fn>);
static_assert(std::is_same_v<GetterFn<zl_gpio, unsigned>, zl_gpio_bit_read_fn>);
static_assert(std::is_same_v<GetterFn<zl_smbus, unsigned char, unsigned char>, zl_smbus_read_byte_fn>);

// One numeric reading: the getter's Value at `index`, called with `inputs`.
template <class Value, class Record, class... Inputs>
Reading readAt(Record* record, size_t index, Inputs... inputs) {
    Value value{};
    int status = getAt(record, index, &value, inputs...);
    return Reading::of(status, static_cast<double>(value));
}

// A slot's presence (1 when the library describes what sits in it, 0 when it answers "not
// found": the place is empty) and that description.
Reading readSlot(zl_slot* slot, Fdl* fdl) {
    char* text = nullptr;
    int status = getAt(slot, ZL_SLOT_GET_PRESENCE, &text);
    if (status == ZL_STATUS_OK && text) *fdl = parseFdl(text);
    std::free(text);
    if (status == ZL_STATUS_NOT_FOUND) return Reading::of(ZL_STATUS_OK, 0);
    return Reading::of(status, status == ZL_STATUS_OK ? 1 : 0);
}

// The readings of a unit that is out of its place are not read: they are absent.
void markAbsent(std::vector<FanRow>* fans, const std::string& group) {
    for (auto& fan : *fans)
        if (fan.group == group) fan.rpm = Reading::of(kAbsent);
}

// The topology device a device text sits on, -1 when it names none.
int didOf(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return -1;
    auto it = doc.FindMember("did");
    return it != doc.MemberEnd() && it->value.IsInt() ? it->value.GetInt() : -1;
}

std::string utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

// A transceiver's presence callback answers yes or no, not a status.
Reading readXcvrPresence(zl_xcvr* xcvr) {
    auto presence = callbackOf<zl_xcvr_presence_fn>(xcvr, ZL_XCVR_GET_PRESENCE);
    if (!presence) return Reading::of(kNotSupported);
    int plugged = 0;
    zl_status status = safeCall([&] {
        plugged = presence(xcvr);
        return ZL_STATUS_OK;
    });
    return Reading::of(status, plugged != 0 ? 1 : 0);
}

// Reads one section of the report; the sections in report order follow.
class SectionReader {
  public:
    SectionReader(const Runner& runner, Report* report) : runner_(runner), board_(runner.board), report_(*report) {}

    // A reading of a device without a record says why: its kind is not supported or its add failed.
    Reading of(const BoardDevice* device, Reading reading) const {
        if (reading.status == kNotAdded) reading.status = runner_.addStatus(device);
        return reading;
    }
    template <class Record>
    Record* record(const BoardDevice* device) const {
        return runner_.record<Record>(device);
    }

    void temps() {
        for (const auto* d : board_.ofKind(Kind::TempSensor)) {
            auto celsius = readAt<float>(record<zl_temp_sensor>(d), ZL_TEMP_GET_TEMPERATURE);
            // A sensor on a power supply's chip is that supply's.
            std::string psu;
            for (const auto* p : board_.ofKind(Kind::Psu))
                if (didOf(p->text) >= 0 && didOf(p->text) == didOf(d->text)) psu = p->name;
            report_.temps.push_back({d->name, of(d, celsius), d->alert, d->critical, psu});
        }
    }

    void fans() {
        for (const auto* d : board_.ofKind(Kind::Fan)) {
            auto rpm = readAt<int>(record<zl_fan>(d), ZL_FAN_GET_RPM);
            report_.fans.push_back({d->name, !d->tray.empty() ? d->tray : d->psu, of(d, rpm), target(d)});
        }
    }

    // The speed this process programmed; a fan added with "maxRpm" starts at that speed.
    Reading target(const BoardDevice* d) const {
        auto set = runner_.fanTargets.find(d);
        if (set != runner_.fanTargets.end()) return Reading::of(0, set->second);
        long maxRpm = 0;
        if (record<zl_fan>(d) && isDecimal(textDriverArg(d->text, "maxRpm"), &maxRpm) && maxRpm > 0)
            return Reading::of(0, static_cast<double>(maxRpm));
        return Reading::of(kNotSupported);
    }

    void psus() {
        for (const auto* d : board_.ofKind(Kind::Psu)) {
            PsuRow row;
            row.name = d->name;
            row.bay = d->bay;
            const BoardDevice* bay = d->bay.empty() ? nullptr : board_.find(Kind::Slot, d->bay);
            Fdl fdl;
            row.present = bay ? of(bay, readSlot(record<zl_slot>(bay), &fdl)) : Reading::of(kNotSupported);
            row.model = fdlValue(fdl, {"modelName", "model"});
            row.serial = fdlValue(fdl, {"serialNum", "serial"});
            if (presenceOf(row.present) == Presence::Absent) {
                for (Reading* r : {&row.powerGood, &row.inputVolts, &row.inputAmps, &row.inputWatts, &row.outputVolts,
                                   &row.outputAmps, &row.outputWatts})
                    *r = Reading::of(kAbsent);
                markAbsent(&report_.fans, d->name);
                for (auto& t : report_.temps)
                    if (t.psu == d->name) t.celsius = Reading::of(kAbsent);
                report_.psus.push_back(row);
                continue;
            }
            zl_psu* psu = record<zl_psu>(d);
            row.powerGood = of(d, readAt<int>(psu, ZL_PSU_GET_POWER_OK));
            // A supply that is not power-good answers "device fault": the answer is "no".
            if (row.powerGood.status == ZL_STATUS_DEVICE_FAULT) row.powerGood = Reading::of(ZL_STATUS_OK, 0);
            row.inputVolts = of(d, readAt<float>(psu, ZL_PSU_GET_INPUT_VOLTAGE));
            row.inputAmps = of(d, readAt<float>(psu, ZL_PSU_GET_INPUT_CURRENT));
            row.inputWatts = of(d, readAt<float>(psu, ZL_PSU_GET_INPUT_POWER));
            row.outputVolts = of(d, readAt<float>(psu, ZL_PSU_GET_OUTPUT_VOLTAGE));
            row.outputAmps = of(d, readAt<float>(psu, ZL_PSU_GET_OUTPUT_CURRENT));
            row.outputWatts = of(d, readAt<float>(psu, ZL_PSU_GET_OUTPUT_POWER));
            report_.psus.push_back(row);
        }
    }

    void trays() {
        for (const auto* d : board_.ofKind(Kind::Slot)) {
            if (d->slotType != "fanTray") continue;
            TrayRow row;
            row.name = d->name;
            Fdl fdl;
            row.present = of(d, readSlot(record<zl_slot>(d), &fdl));
            row.airflow = fdlValue(fdl, {"airflowDirection", "airflow"});
            row.model = fdlValue(fdl, {"modelName", "model"});
            row.maxRpm = fdlValue(fdl, {"maxRpm"});
            for (const auto* f : board_.ofKind(Kind::Fan))
                if (f->tray == d->name) row.fans.push_back(f->name);
            // The fans of a pulled tray are absent, whatever their controller reads.
            if (presenceOf(row.present) == Presence::Absent) markAbsent(&report_.fans, d->name);
            report_.trays.push_back(row);
        }
    }

    void xcvrs() {
        std::map<std::string, const BoardDevice*> proxies;  // by the port they reach
        for (const auto* d : board_.ofKind(Kind::Smbus))
            if (!d->port.empty()) proxies[d->port] = d;
        for (const auto* d : board_.ofKind(Kind::Xcvr)) {
            XcvrRow row;
            row.name = d->name;
            row.eepromId = Reading::of(kNotSupported);
            zl_xcvr* x = record<zl_xcvr>(d);
            if (!x) {
                row.present = Reading::of(runner_.addStatus(d));
                for (auto& b : row.bits) b = row.present;
                row.qsfp = textDriverArg(d->text, "type").rfind("qsfp", 0) == 0;
                report_.xcvrs.push_back(row);
                continue;
            }
            row.qsfp = isQsfp(x);
            row.present = readXcvrPresence(x);
            const size_t sfp[] = {ZL_SFP_GET_TX_FAULT, ZL_SFP_GET_RX_LOS, ZL_SFP_GET_TX_DISABLE};
            const size_t qsfp[] = {ZL_QSFP_GET_LP_MODE, ZL_QSFP_GET_RESET, ZL_QSFP_GET_INTERRUPT};
            for (int i = 0; i < 3; ++i) row.bits[i] = readAt<int>(x, row.qsfp ? qsfp[i] : sfp[i]);
            // Presence comes from the port CPLD's polled lines; when the port's lines can't be
            // read now, the cached answer can't be trusted either.
            for (const auto& bit : row.bits)
                if (bit.status > 0) {
                    row.present = Reading::of(bit.status);
                    break;
                }
            // Byte 0 of the module's EEPROM through the port's SMBus proxy, when a module is in.
            auto proxy = proxies.find(d->name);
            if (proxy != proxies.end() && presenceOf(row.present) == Presence::Absent)
                row.eepromId = Reading::of(kAbsent);
            if (proxy != proxies.end() && presenceOf(row.present) == Presence::Present)
                row.eepromId = readAt<unsigned char>(record<zl_smbus>(proxy->second), ZL_SMBUS_READ_BYTE,
                                                     static_cast<unsigned char>(0));
            report_.xcvrs.push_back(row);
        }
    }

    void leds() {
        for (const auto* d : board_.ofKind(Kind::Led)) {
            LedRow row;
            row.name = d->name;
            row.type = textDriverArg(d->text, "type");
            if (!record<zl_led>(d)) {
                row.field = Reading::of(runner_.addStatus(d));
            } else {
                row.field = readLedField(runner_, d);
                if (!runner_.ledBits.count(d)) row.hasReadback = d->readbackRegister >= 0;
            }
            if (row.field.ok()) row.setting = ledFieldMeaning(row.type, static_cast<int>(row.field.value));
            auto set = runner_.ledSettings.find(d);
            if (set != runner_.ledSettings.end() && set->second >= ZL_LED_OFF && set->second <= ZL_LED_BEACON) {
                row.lastSetting = kLedSettingNames[set->second];
                row.blinking = set->second == ZL_LED_BEACON;
            }
            report_.leds.push_back(row);
        }
    }

    void gpios() {
        for (const auto* d : board_.ofKind(Kind::Gpio))
            report_.gpios.push_back({d->name, of(d, readAt<unsigned>(record<zl_gpio>(d), ZL_GPIO_BIT_READ))});
    }

  private:
    const Runner& runner_;
    const Board& board_;
    Report& report_;
};

}  // namespace

Reading readLedField(const Runner& runner, const BoardDevice* led) {
    auto bits = runner.ledBits.find(led);
    if (bits == runner.ledBits.end()) return Reading::of(kNotSupported);
    int field = 0;
    int status = 0;
    for (size_t i = 0; i < bits->second.size() && status == 0; ++i) {
        Reading bit = readAt<unsigned>(bits->second[i], ZL_GPIO_BIT_READ);
        status = bit.status;
        field |= (bit.value != 0 ? 1 : 0) << i;
    }
    return Reading::of(status, field);
}

Report readBoard(const Runner& runner, unsigned sections) {
    Report report;
    report.board = runner.board.name;
    report.timestamp = utcNow();
    // A report of some sections carries the problems of their kinds (and those of no kind).
    for (const auto& problem : runner.problems) {
        unsigned of = kAllSections;
        const std::pair<Kind, unsigned> kinds[] = {{Kind::TempSensor, kTemps}, {Kind::Fan, kFans},
                                                   {Kind::Psu, kPsus},         {Kind::Slot, kPsus | kTrays},
                                                   {Kind::Led, kLeds},         {Kind::Xcvr, kPorts},
                                                   {Kind::Gpio, kGpios},       {Kind::Smbus, kPorts}};
        for (const auto& [kind, bits] : kinds)
            if (problem.kind == kindName(kind)) of = bits;
        if (of & sections) report.problems.push_back(problem);
    }
    SectionReader read(runner, &report);
    if (sections & kTemps) read.temps();
    // The fans' units are read with them: a pulled unit's fans are absent, not failed.
    if (sections & kFans) read.fans();
    if (sections & (kPsus | kFans | kTemps)) read.psus();
    if (sections & (kTrays | kFans)) read.trays();
    if (sections & kPorts) read.xcvrs();
    if (sections & kLeds) read.leds();
    if (sections & kGpios) read.gpios();
    if (!(sections & kPsus)) report.psus.clear();
    if (!(sections & kTrays)) report.trays.clear();
    return report;
}

}  // namespace Host
