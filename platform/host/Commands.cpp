#include "Commands.h"

#include <strings.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "BoardCheck.h"
#include "BoardFile.h"
#include "HostServices.h"
#include "LibraryCall.h"
#include "Readings.h"
#include "Report.h"
#include "Runner.h"
#include "SmbusCommands.h"
#include "Status.h"

namespace Host {

#ifndef ZL_VERSION
#define ZL_VERSION "unknown"
#endif

const char* const kVersionText = "zolta-host " ZL_VERSION "\n";

#define ZL_EXIT_STATUSES                                                                    \
    "\nexit status:\n"                                                                      \
    "  0  every reading succeeded and no temperature is at its alert limit\n"              \
    "  1  some readings failed (or the change was refused)\n"                               \
    "  2  usage error\n"                                                                    \
    "  3  configuration error: board file, topology or library unusable, SMBus service\n"   \
    "     unreachable, or --timeout passed\n"                                              \
    "  4  an alarm: a temperature at or above its alert or critical limit (also when\n"     \
    "     readings failed)\n"

const char* const kProgramHelp =
    "usage: zolta-host [--board FILE] [--library PATH] [-v LEVEL] [--timeout S] [--no-color]\n"
    "                  [--wait-for-service] COMMAND [ARGS]\n"
    "\n"
    "Loads the OrvikS driver library, adds the devices of a board file and shows or\n"
    "changes them.\n"
    "\n"
    "commands:\n"
    "  show [--json | --format text|json|openmetrics] [SECTION]...\n"
    "                                      one report of the board\n"
    "  watch [--interval S] [--count N] [--json] [--led NAME SETTING]... [SECTION]...\n"
    "                                      refresh the report while timers run\n"
    "  set fan NAME RPM                    set a fan's speed\n"
    "  set led NAME SETTING [--hold S]     set an LED (Off Good Warning Bad Inactive Unknown Beacon)\n"
    "  set xcvr NAME BIT VALUE             set a transceiver control bit\n"
    "  set gpio NAME set|clear             set or clear a GPIO\n"
    "  powercycle --yes                    power-cycle the board through the master CPLD\n"
    "  smbus get|set|dump|block LABEL ADDR ...\n"
    "                                      raw SMBus access through an SMBus proxy\n"
    "  xcvr eeprom PORT [--raw] [--json]   read and decode a transceiver module's EEPROM\n"
    "  check [BOARD]                       validate a board file and its topology\n"
    "SECTION: temps fans psus trays ports leds gpios (default: all)\n"
    "\n"
    "options:\n"
    "  --board FILE     board file (default: boards/orviks/board.json of the source tree)\n"
    "  --library PATH   driver library (default: libZoltaDriversOrvikS.so.0 of the build)\n"
    "  -v LEVEL         print library traces up to LEVEL on stderr (default: none, or\n"
    "                   ZL_TRACE_LEVEL)\n"
    "  --timeout S      end the command with exit status 3 when it takes longer than S\n"
    "                   seconds (watch: each report)\n"
    "  --no-color       no colours (also with NO_COLOR set or when stdout is no terminal)\n"
    "  --wait-for-service\n"
    "                   when the SMBus service cannot be reached, let the library wait\n"
    "                   for it (up to 30 s) instead of exiting 3 at once\n"
    "  --help           help for zolta-host or for a command\n"
    "  --version        print the version\n"
    "\n"
    "The library talks to the SMBus service on ZOLTA_SMBUS_SOCKET (default\n"
    "/run/zolta/smbus.sock); with SIMULATION_VMID set it simulates every device in files\n"
    "instead, but still connects to the service first.\n"
    ZL_EXIT_STATUSES;

namespace {

const char* const kShowHelp =
    "usage: zolta-host [OPTIONS] show [--json | --format text|json|openmetrics] [SECTION]...\n"
    "\n"
    "Adds every device of the board file and prints one report: temperatures with their\n"
    "limits and alarm, fans, power supplies (bay, presence, model, serial, power good,\n"
    "volts, amps, watts), fan trays (presence, airflow, model, maximum speed, their fans),\n"
    "transceivers, LEDs and GPIOs. SECTION (temps fans psus trays ports leds gpios) limits\n"
    "the report to those sections. Presence is present, absent or unknown (the bus failed);\n"
    "the readings of an absent unit are \"absent\", not failed. A reading that fails shows its\n"
    "status in words.\n"
    "--json (--format json) prints JSON, schema version 1: each reading an object with\n"
    "\"status\", \"value\" (null unless ok) and \"unit\", and a \"summary\" that counts them.\n"
    "--format openmetrics prints OpenMetrics text (zolta_* gauges, one per reading, and\n"
    "zolta_reading_ok per reading) for a node_exporter textfile collector.\n"
    ZL_EXIT_STATUSES;

const char* const kWatchHelp =
    "usage: zolta-host [OPTIONS] watch [--interval S] [--count N] [--json] [--led NAME SETTING]...\n"
    "                                  [SECTION]...\n"
    "\n"
    "Adds every device once, then prints the report every S seconds (default 2) while the\n"
    "timer service runs (transceiver polling, LED blinking). Stops after N reports (default:\n"
    "until interrupted). Each report starts with a header line (time, interval, report\n"
    "number); values that changed since the previous report are marked with '*'. On a\n"
    "terminal the screen is redrawn and cut to its height: name SECTIONs (temps fans psus\n"
    "trays ports leds gpios) to see less. --json prints each report as one JSON object on\n"
    "one line. --led sets an LED first (Beacon makes it blink while watch runs; each report\n"
    "then waits for the other blink phase, so a blinking field alternates).\n"
    "The exit status is that of the last report (see zolta-host --help).\n";

const char* const kSetHelp =
    "usage: zolta-host [OPTIONS] set fan NAME RPM\n"
    "       zolta-host [OPTIONS] set led NAME SETTING [--hold S]\n"
    "       zolta-host [OPTIONS] set xcvr NAME BIT VALUE\n"
    "       zolta-host [OPTIONS] set gpio NAME set|clear\n"
    "\n"
    "Adds only the named device and changes it. NAME is the device's name in the board file.\n"
    "SETTING is Off, Good, Warning, Bad, Inactive, Unknown, Beacon or 0-6; --hold keeps the\n"
    "program running S seconds so that a blinking LED keeps blinking. A fan's new speed is read\n"
    "back until it holds still (at most 5 s); a speed above the fan's maximum is warned about.\n"
    "BIT is txDisable for SFP ports, lpMode, reset or modSel for QSFP ports; VALUE 0 or 1.\n"
    "Exit status: 0 done, 1 the library reported a failure, 2 usage error, 3 configuration\n"
    "error (board file, library, SMBus service).\n";

const char* const kPowercycleHelp =
    "usage: zolta-host [OPTIONS] powercycle --yes\n"
    "\n"
    "Power-cycles the board through the system object (the master CPLD's control bits).\n"
    "--yes is required.\n";

const char* const kCheckHelp =
    "usage: zolta-host [OPTIONS] check [BOARD]\n"
    "\n"
    "Validates a board file and its topology against the driver catalogue of the library\n"
    "(--library) without touching hardware: every device text must be JSON with \"did\",\n"
    "\"driver\" and \"address\", name a driver of the library that makes its kind, sit on a\n"
    "topology device of that did, and carry the driver arguments the driver reads, in the\n"
    "ranges the library accepts. Prints every problem with the device's name.\n"
    "Exit status: 0 no problem, 1 problems found, 2 usage error.\n";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

// Ends timer loops (watch, set led --hold) on Ctrl-C or a termination request.
void stopOnSignals() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

int exitFor(const Report& report) {
    Summary s = report.summary();
    if (s.alarms) return kExitAlarm;
    return s.failed + s.notAdded + s.problems == 0 ? kExitOk : kExitFailed;
}

// Colour on a terminal unless --no-color or NO_COLOR (any non-empty value) says otherwise.
bool useColour(const Options& o) {
    const char* no = std::getenv("NO_COLOR");
    return o.colour && !(no && *no) && isatty(STDOUT_FILENO);
}

// Section words at the end of show's and watch's arguments; false when a word is none.
bool sectionWord(const std::string& word, unsigned* sections) {
    unsigned bit = sectionOf(word);
    if (!bit) return false;
    *sections = (*sections == kAllSections ? 0 : *sections) | bit;
    return true;
}

// The timeout of --timeout: the process ends with a message when it passes. The message is
// made before it is armed; the handler only writes it and exits.
char timeoutMessage[128];
size_t timeoutLength = 0;

void onTimeout(int) {
    if (write(STDERR_FILENO, timeoutMessage, timeoutLength) < 0) {
    }
    _exit(kExitConfig);
}

void armTimeout(double seconds, const char* what) {
    itimerval timer{};
    if (seconds > 0) {
        int n = std::snprintf(timeoutMessage, sizeof timeoutMessage, "zolta-host: %s did not finish within %g s (--timeout)\n",
                              what, seconds);
        timeoutLength = n > 0 ? std::min(static_cast<size_t>(n), sizeof timeoutMessage - 1) : 0;
        std::signal(SIGALRM, onTimeout);
        auto micros = static_cast<long long>(seconds * 1e6);
        timer.it_value.tv_sec = static_cast<time_t>(micros / 1000000);
        timer.it_value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    }
    setitimer(ITIMER_REAL, &timer, nullptr);
}

// Prints what was done, or on stderr what failed; the exit status for it.
int outcome(const std::string& what, int status) {
    if (status == ZL_STATUS_OK) {
        std::printf("%s\n", what.c_str());
        return kExitOk;
    }
    std::fprintf(stderr, "zolta-host: %s: %s\n", what.c_str(), statusWord(status).c_str());
    return kExitFailed;
}

constexpr auto& kSettingNames = kLedSettingNames;

// A setting by name (any case) or number; -1 when it is neither.
int settingOf(const std::string& text) {
    for (int i = ZL_LED_OFF; i <= ZL_LED_BEACON; ++i)
        if (strcasecmp(text.c_str(), kSettingNames[i]) == 0) return i;
    long v = 0;
    if (parseLong(text, &v) && v >= ZL_LED_OFF && v <= ZL_LED_BEACON) return static_cast<int>(v);
    return -1;
}

int setLight(zl_led* led, int setting) {
    auto fn = callbackOf<zl_led_set_light_setting_fn>(led, ZL_LED_SET_LIGHT_SETTING);
    return fn ? safeCall([&] { return fn(led, setting); }) : kNotSupported;
}

// One blink half-cycle of the library's LED blink timer, in the timer service's milliseconds.
constexpr long kBlinkHalfCycleMs = 1000;

// The LEDs set to Beacon that blink in software (the status LED blinks in the CPLD), with the
// field each showed in the last report.
using BlinkFields = std::map<const BoardDevice*, Reading>;

BlinkFields blinkFields(const Runner& runner) {
    BlinkFields fields;
    for (const auto& [led, setting] : runner.ledSettings)
        if (setting == ZL_LED_BEACON && textDriverArg(led->text, "type") != "status" && runner.ledBits.count(led))
            fields[led] = readLedField(runner, led);
    return fields;
}

// Runs the timers until every blinking LED shows another field than in the last report (at
// most one and a half half-cycles), so that each report shows the other blink phase. An LED
// whose field did not turn in that time is not waited for again (its field can't be seen
// blinking, as in simulation).
void awaitBlinkPhase(const Runner& runner, BlinkFields* last) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBlinkHalfCycleMs * 3 / 2);
    std::vector<const BoardDevice*> waiting;
    do {
        waiting.clear();
        for (const auto& [led, field] : *last) {
            Reading now = readLedField(runner, led);
            if (field.ok() && now.ok() && now.value == field.value) waiting.push_back(led);
        }
        if (waiting.empty()) return;
        runTimers(20, &stopRequested);
    } while (!stopRequested && std::chrono::steady_clock::now() < end);
    for (const auto* led : waiting) last->erase(led);
}

// Fan speed read-back after a change: readings this far apart, until they hold still for
// kFanSteadyReadings readings or kFanSettleLimitMs passed.
constexpr long kFanReadIntervalMs = 100;
constexpr int kFanSteadyReadings = 4;
constexpr long kFanSettleLimitMs = 5000;

int reportSettledSpeed(const std::string& name, zl_fan* fan) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int rpm = 0, last = -1, steady = 0, status = ZL_STATUS_OK;
    long elapsed = 0;
    while (steady < kFanSteadyReadings && elapsed < kFanSettleLimitMs && !stopRequested) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kFanReadIntervalMs));
        status = getAt(fan, ZL_FAN_GET_RPM, &rpm);
        elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (status != ZL_STATUS_OK) break;
        steady = rpm == last ? steady + 1 : 1;
        last = rpm;
    }
    if (status != ZL_STATUS_OK) return outcome(name + ": reading the speed back", status);
    std::printf("%s: reads %d rpm after %.1f s%s\n", name.c_str(), rpm, static_cast<double>(elapsed) / 1000,
                steady < kFanSteadyReadings ? " (still changing)" : "");
    return kExitOk;
}

int runShow(const Options& o, Runner& runner) {
    std::string format = "text";
    unsigned sections = kAllSections;
    for (size_t i = 1; i < o.args.size(); ++i) {
        const std::string& a = o.args[i];
        if (a == "--json") {
            format = "json";
        } else if (a == "--format" && i + 1 < o.args.size()) {
            format = o.args[++i];
            if (format != "text" && format != "json" && format != "openmetrics")
                return usage("show: --format is text, json or openmetrics, not " + format, kShowHelp);
        } else if (!sectionWord(a, &sections)) {
            return usage("show: unexpected argument " + a + " (sections: " + kSectionWords + ")", kShowHelp);
        }
    }
    if (!runner.initAll()) return kExitConfig;
    runner.addAll();
    Report report = readBoard(runner, sections);
    std::string out = format == "json"          ? renderJson(report)
                      : format == "openmetrics" ? renderOpenMetrics(report)
                                                : renderText(report, nullptr, useColour(o));
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    return exitFor(report);
}

// The rows a terminal has, 0 when stdout is none.
int terminalRows() {
    winsize size{};
    if (!isatty(STDOUT_FILENO) || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_row;
}

// Cuts a text report to `rows` lines, the last saying how many were left out.
std::string fitRows(const std::string& text, int rows) {
    if (rows < 3) return text;
    size_t at = 0;
    int lines = 0;
    while (lines < rows - 1 && (at = text.find('\n', at)) != std::string::npos) ++at, ++lines;
    if (at == std::string::npos || at >= text.size()) return text;
    long rest = std::count(text.begin() + static_cast<long>(at), text.end(), '\n');
    return text.substr(0, at) + "... " + std::to_string(rest) + " more lines: name sections (" + kSectionWords +
           ")\n";
}

// The transceiver lines that changed since the previous report, one text line each:
// "changed: Port7 plugged", "changed: Port3 tx fault 0 -> 1".
std::string xcvrChanges(const Report& before, const Report& now) {
    std::string out;
    for (size_t i = 0; i < now.xcvrs.size() && i < before.xcvrs.size(); ++i) {
        const XcvrRow& a = before.xcvrs[i];
        const XcvrRow& b = now.xcvrs[i];
        if (a.name != b.name) continue;
        if (a.present.ok() && b.present.ok() && (a.present.value != 0) != (b.present.value != 0))
            out += "changed: " + b.name + (b.present.value != 0 ? " plugged\n" : " pulled\n");
        for (int k = 0; k < 3; ++k) {
            if (!a.bits[k].ok() || !b.bits[k].ok() || (a.bits[k].value != 0) == (b.bits[k].value != 0)) continue;
            out += "changed: " + b.name + " " + xcvrBitName(b.qsfp, k) + (b.bits[k].value != 0 ? " 0 -> 1\n" : " 1 -> 0\n");
        }
    }
    return out;
}

int runWatch(const Options& o, Runner& runner) {
    double interval = 2;
    long count = 0;
    bool json = false;
    unsigned sections = kAllSections;
    std::vector<std::pair<const BoardDevice*, int>> leds;  // settings to apply before watching
    for (size_t i = 1; i < o.args.size(); ++i) {
        const std::string& a = o.args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--led" && i + 2 < o.args.size()) {
            const BoardDevice* led = runner.board.find(Kind::Led, o.args[i + 1]);
            int setting = settingOf(o.args[i + 2]);
            if (!led) return usage("watch: no LED named " + o.args[i + 1], kWatchHelp);
            if (setting < 0) return usage("watch: unknown LED setting " + o.args[i + 2], kWatchHelp);
            leds.emplace_back(led, setting);
            i += 2;
        } else if (a == "--interval" && i + 1 < o.args.size()) {
            if (!parseSeconds(o.args[++i], &interval) || interval < 0.05)
                return usage("watch: --interval needs seconds from 0.05 to 86400", kWatchHelp);
        } else if (a == "--count" && i + 1 < o.args.size()) {
            if (!parseLong(o.args[++i], &count) || count < 0)
                return usage("watch: --count needs a number of reports", kWatchHelp);
        } else if (!sectionWord(a, &sections)) {
            return usage("watch: unexpected argument " + a + " (sections: " + kSectionWords + ")", kWatchHelp);
        }
    }
    stopOnSignals();
    if (!runner.initAll()) return kExitConfig;
    runner.addAll();
    for (const auto& [led, setting] : leds) {
        auto record = runner.record<zl_led>(led);
        int status = record ? setLight(record, setting) : runner.addStatus(led);
        if (status == ZL_STATUS_OK) runner.ledSettings[led] = setting;
        if (status != ZL_STATUS_OK)
            std::fprintf(stderr, "zolta-host: %s: setting %s: %s\n", led->name.c_str(), kSettingNames[setting],
                         statusWord(status).c_str());
    }
    const bool tty = isatty(STDOUT_FILENO);
    const bool colour = useColour(o);
    int status = kExitOk;
    BlinkFields blinking = blinkFields(runner);
    Report previous;
    for (long n = 0; (count == 0 || n < count) && !stopRequested; ++n) {
        if (n > 0) {
            armTimeout(0, "");  // the wait between reports is no part of a report's time
            runTimers(static_cast<long>(interval * 1000), &stopRequested);
            if (!blinking.empty()) awaitBlinkPhase(runner, &blinking);
            armTimeout(o.timeout, "a watch report");
        }
        if (stopRequested) break;
        Report report = readBoard(runner, sections);
        for (const auto& row : report.leds)
            for (auto& [led, field] : blinking)
                if (led->name == row.name) field = row.field;
        if (json) {
            std::fputs(renderJson(report, true).c_str(), stdout);
        } else {
            char header[160];
            std::snprintf(header, sizeof header, "zolta-host watch: %s, every %g s, report %ld%s\n",
                          report.timestamp.c_str(), interval, n + 1,
                          count ? (" of " + std::to_string(count)).c_str() : ", Ctrl-C to stop");
            std::string text = header + renderText(report, n > 0 ? &previous : nullptr, colour);
            if (n > 0) text += xcvrChanges(previous, report);
            if (tty)
                std::fputs(("\033[H\033[2J" + fitRows(text, terminalRows())).c_str(), stdout);
            else
                std::fputs(((n > 0 ? "\n" : "") + text).c_str(), stdout);
        }
        std::fflush(stdout);
        status = exitFor(report);
        previous = std::move(report);
    }
    return status;
}

// The table index of the setter of control bit BIT of an SFP or QSFP port; 0 (the table's
// size word) when that kind of port has no such bit.
size_t xcvrSetIndex(bool qsfp, const std::string& bit) {
    if (!qsfp && bit == "txDisable") return ZL_SFP_SET_TX_DISABLE;
    if (qsfp && bit == "lpMode") return ZL_QSFP_SET_LP_MODE;
    if (qsfp && bit == "reset") return ZL_QSFP_SET_RESET;
    if (qsfp && bit == "modSel") return ZL_QSFP_SET_MOD_SEL;
    return 0;
}

int runSet(const Options& o, Runner& runner) {
    const auto& a = o.args;
    if (a.size() < 2) return usage("set: what to set?", kSetHelp);
    const std::string& what = a[1];
    Kind kind;
    size_t want;
    if (what == "fan") kind = Kind::Fan, want = 4;
    else if (what == "led") kind = Kind::Led, want = 4;
    else if (what == "xcvr") kind = Kind::Xcvr, want = 5;
    else if (what == "gpio") kind = Kind::Gpio, want = 4;
    else return usage("set: unknown kind " + what, kSetHelp);
    double hold = 0;
    std::vector<std::string> args(a.begin(), a.end());
    if (kind == Kind::Led) {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--hold") {
                if (!parseSeconds(args[i + 1], &hold)) return usage("set led: --hold needs seconds", kSetHelp);
                args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
                break;
            }
        }
    }
    if (args.size() != want) return usage("set " + what + ": wrong number of arguments", kSetHelp);
    const BoardDevice* device = runner.board.find(kind, args[2]);
    if (!device) {
        std::string names;
        for (const auto* d : runner.board.ofKind(kind)) names += " " + d->name;
        return usage("set " + what + ": no " + kindName(kind) + " named " + args[2] + " (known:" + names + ")", kSetHelp);
    }
    // Check the value before touching the library.
    long number = 0;
    int setting = -1;
    std::string bit;
    if (kind == Kind::Fan && (!parseLong(args[3], &number) || number < 0 || number > 1000000))
        return usage("set fan: RPM must be a number from 0 to 1000000", kSetHelp);
    if (kind == Kind::Led && (setting = settingOf(args[3])) < 0)
        return usage("set led: unknown setting " + args[3], kSetHelp);
    if (kind == Kind::Gpio && args[3] != "set" && args[3] != "clear")
        return usage("set gpio: say set or clear, not " + args[3], kSetHelp);
    if (kind == Kind::Xcvr) {
        bit = args[3];
        if (bit != "txDisable" && bit != "lpMode" && bit != "reset" && bit != "modSel")
            return usage("set xcvr: BIT must be txDisable, lpMode, reset or modSel", kSetHelp);
        if (!parseLong(args[4], &number) || (number != 0 && number != 1))
            return usage("set xcvr: VALUE must be 0 or 1", kSetHelp);
    }

    if (!runner.initAll()) return kExitConfig;
    void* record = runner.add(*device);
    if (!record) {
        const Problem& p = runner.problems.back();
        std::fprintf(stderr, "zolta-host: %s: %s\n", p.name.c_str(), p.text().c_str());
        return kExitFailed;
    }
    const std::string& name = device->name;
    switch (kind) {
        case Kind::Fan: {
            auto fan = static_cast<zl_fan*>(record);
            auto fn = callbackOf<zl_fan_set_rpm_fn>(fan, ZL_FAN_SET_RPM);
            if (!fn) return outcome(name + ": setting the speed", kNotSupported);
            int status;
            {
                // The library warns at level 6 about a speed above the fan's maximum.
                TraceCapture traces(6);
                status = safeCall([&] { return fn(fan, static_cast<int>(number)); });
                for (const auto& line : traces.lines())
                    if (line.rfind("Warning", 0) == 0)
                        std::fprintf(stderr, "zolta-host: %s: %s\n", name.c_str(), line.c_str());
            }
            // The fan runs at most at its maximum, whatever was asked: say so rather than
            // claim the speed asked for.
            long maxRpm = 0;
            std::string maxText = textDriverArg(device->text, "maxRpm");
            if (maxText.empty()) maxText = textDriverArg(device->text, "maxFanRpm");
            std::string done = name + ": speed set to " + std::to_string(number) + " rpm";
            if (parseLong(maxText, &maxRpm) && maxRpm > 0 && number > maxRpm)
                done = name + ": asked for " + std::to_string(number) + " rpm, above the fan's maximum of " +
                       std::to_string(maxRpm) + " rpm";
            int rc = outcome(done, status);
            if (rc != kExitOk) return rc;
            runner.fanTargets[device] = static_cast<int>(number);
            return reportSettledSpeed(name, fan);
        }
        case Kind::Led: {
            auto led = static_cast<zl_led*>(record);
            if (!callbackOf<zl_led_set_light_setting_fn>(led, ZL_LED_SET_LIGHT_SETTING))
                return outcome(name + ": setting the light", kNotSupported);
            int rc = outcome(name + ": set to " + kSettingNames[setting], setLight(led, setting));
            if (rc == kExitOk) runner.ledSettings[device] = setting;
            if (rc == kExitOk && hold > 0) {
                stopOnSignals();
                runTimers(static_cast<long>(hold * 1000), &stopRequested);
            }
            return rc;
        }
        case Kind::Gpio: {
            auto gpio = static_cast<zl_gpio*>(record);
            bool set = args[3] == "set";
            auto fn = callbackOf<zl_gpio_bit_op_fn>(gpio, set ? ZL_GPIO_BIT_SET : ZL_GPIO_BIT_CLEAR);
            if (!fn) return outcome(name + ": " + args[3], kNotSupported);
            return outcome(name + (set ? ": set" : ": cleared"), safeCall([&] { return fn(gpio); }));
        }
        case Kind::Xcvr: {
            auto x = static_cast<zl_xcvr*>(record);
            bool qsfp = isQsfp(x);
            size_t index = xcvrSetIndex(qsfp, bit);
            if (index == 0)
                return usage("set xcvr: " + name + " is " + (qsfp ? "a QSFP port: BIT is lpMode, reset or modSel"
                                                                   : "an SFP port: BIT is txDisable"),
                             kSetHelp);
            // The port CPLD has no module select line: the board keeps every module selected.
            if (bit == "modSel") {
                std::fprintf(stderr, "zolta-host: %s: module select is not wired on this board\n", name.c_str());
                return kExitFailed;
            }
            auto fn = callbackOf<zl_xcvr_set_fn>(x, index);
            if (!fn) return outcome(name + ": " + bit, kNotSupported);
            int status = safeCall([&] { return fn(x, static_cast<int>(number)); });
            if (status != ZL_STATUS_OK) return outcome(name + ": " + bit + " set to " + std::to_string(number), status);
            // Every setter's getter precedes it in the table; the line is read back from there.
            int line = -1;
            int readStatus = getAt(x, index - 1, &line);
            return outcome(name + ": " + bit + " set to " + std::to_string(number) + ", reads back " +
                               (readStatus == ZL_STATUS_OK ? std::to_string(line) : statusWord(readStatus)),
                           ZL_STATUS_OK);
        }
        default: break;
    }
    return kExitFailed;
}

int runPowercycle(const Options& o, Runner& runner) {
    bool yes = false;
    for (size_t i = 1; i < o.args.size(); ++i) {
        if (o.args[i] == "--yes")
            yes = true;
        else
            return usage("powercycle: unexpected argument " + o.args[i], kPowercycleHelp);
    }
    if (!yes) return usage("powercycle: this power-cycles the board; confirm with --yes", kPowercycleHelp);
    if (!runner.board.hasSystem) {
        std::fprintf(stderr, "zolta-host: the board file has no \"system\" entry\n");
        return kExitConfig;
    }
    if (!runner.initAll()) return kExitConfig;
    auto system = static_cast<zl_system*>(runner.add(runner.board.system));
    if (!system) {
        std::fprintf(stderr, "zolta-host: %s\n", runner.problems.back().text().c_str());
        return kExitFailed;
    }
    auto fn = callbackOf<zl_system_powercycle_fn>(system, ZL_SYSTEM_POWERCYCLE);
    if (!fn) return outcome("power cycle", kNotSupported);
    return outcome("power cycle requested", safeCall([&] { return fn(system); }));
}

// Checks the board file against the driver catalogue of the library it would be run with.
int runCheck(const Options& o) {
    std::string path = o.board.empty() ? defaultBoardPath() : o.board;
    if (o.args.size() > 2) return usage("check: too many arguments", kCheckHelp);
    if (o.args.size() == 2) path = o.args[1];
    std::vector<BoardProblem> problems;
    Board board;
    Topology topology;
    size_t devices = 0;
    if (loadBoard(path, &board, &problems)) {
        std::string text;
        if (!readFile(board.topologyPath(), &text))
            problems.push_back({"topology", "cannot read " + board.topologyPath()});
        else if (parseTopology(text, &topology, &problems) || !topology.devices.empty()) {
            // The rules come from the library the board would be run with.
            Library library;
            std::string error;
            if (!library.open(o.library.empty() ? defaultLibraryPath() : o.library, &error))
                problems.push_back({"library", "cannot load the driver library: " + error});
            else
                checkBoard(board, topology, library.checkCatalogue(), &problems);
        }
        devices = board.devices.size() + (board.hasSystem ? 1 : 0);
    }
    // A warning (the board loads, but perhaps not as its author meant) is printed, not counted.
    size_t counted = 0;
    for (const auto& p : problems) {
        std::printf("%s: %s\n", p.device.c_str(), p.rule.c_str());
        if (p.rule.rfind("warning: ", 0) != 0) ++counted;
    }
    if (counted == 0) {
        std::printf("%s: %zu devices, topology %s with %zu devices: no problems\n", path.c_str(), devices,
                    board.topologyPath().c_str(), topology.devices.size());
        return kExitOk;
    }
    std::printf("%s: %zu problem%s\n", path.c_str(), counted, counted == 1 ? "" : "s");
    return kExitFailed;
}

struct Command {
    const char* name;
    const char* help;
    int (*run)(const Options&, Runner&);  // null: the command needs no library (check)
};

const Command kCommands[] = {{"show", kShowHelp, runShow},
                             {"watch", kWatchHelp, runWatch},
                             {"set", kSetHelp, runSet},
                             {"powercycle", kPowercycleHelp, runPowercycle},
                             {"smbus", kSmbusHelp, runSmbus},
                             {"xcvr", kXcvrHelp, runXcvr},
                             {"check", kCheckHelp, nullptr}};

const Command* find(const std::string& name) {
    for (const auto& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

}  // namespace

const char* commandHelp(const std::string& name) {
    const Command* command = find(name);
    return command ? command->help : nullptr;
}

int usage(const std::string& message, const char* help) {
    std::fprintf(stderr, "zolta-host: %s\n\n%s", message.c_str(), help);
    return kExitUsage;
}

int runCommand(const Options& options) {
    const Command* command = find(options.args.empty() ? "" : options.args[0]);
    if (!command) return usage("no such command", kProgramHelp);
    if (!command->run) return runCheck(options);
    armTimeout(options.timeout, ("zolta-host " + options.args[0]).c_str());
    Runner runner;
    std::string boardPath = options.board.empty() ? defaultBoardPath() : options.board;
    std::string libraryPath = options.library.empty() ? defaultLibraryPath() : options.library;
    if (!runner.start(boardPath, libraryPath)) return kExitConfig;
    runner.checkService = !options.waitForService;
    return command->run(options, runner);
}

}  // namespace Host
