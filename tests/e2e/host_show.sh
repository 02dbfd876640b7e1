#!/usr/bin/env bash
# zolta-host against the emulated OrvikS board: `show --json` keeps its schema (host_schema.py)
# for the whole board and for one with a pulled PSU, a pulled fan tray and a hung sensor; each
# exit status; OpenMetrics as a real parser reads it; a board file with broken device texts;
# the commands that change the board; watch. (The report's texts and the board file's rules
# are HostBoardTest's; the library against the board is BoardEndToEndTest's; no service at all
# is host_faults.sh's.)
# Usage: host_show.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../support/board_service.sh" "$@"
export ZOLTA_SMBUS_TIMEOUT_MS=5000
start_daemon

schema() {  # WHAT [NAME.PATH=JSON]...: the last show's document keeps the schema
  local what=$1; shift
  if /usr/bin/python3 "$src/tests/e2e/host_schema.py" "$work/show.json" "$@" >"$work/schema.out" 2>&1; then
    pass "schema: $what"; else fail "schema: $what:"; head -20 "$work/schema.out"; fi
}
exit_is() {  # WANT WHAT: the last command's exit status ($status)
  if [ "$status" -eq "$1" ]; then pass "exit $1: $2"; else fail "$2: exit $status, wanted $1"; fi
}
holds() {  # FILE PATTERN WHAT: FILE has a line matching PATTERN
  if grep -q -- "$2" "$1"; then pass "$3"; else fail "$3: $(head -c 400 "$1")"; fi
}
run() { "$host" "$@" >"$work/run.out" 2>&1; status=$?; }  # ARGS...: output in $work/run.out

# --- the board as the state file sets it up
"$host" show --json >"$work/show.json" 2>"$work/show.err"; status=$?
exit_is 0 "the whole board reads clean"
schema "the whole board" 'PSU1.present=true' 'FanTray1.maxRpm=25000' 'Port5.present=false' \
  'Port5.eepromId.status="absent"' 'Inlet.alarm="ok"' 'Inlet.temperature.value=24.5' \
  'PSU2.model="PS-2471-1AZ1-LF"' 'PSU1.serial="GTVD1615001656"'

# --- raw SMBus through the proxy the library makes for FanEeprom1<0x50>: format byte,
# airflow 'F', model, serial as an i2cdump-style table
run smbus dump FanEeprom1 0x50
cat >"$work/dump.want" <<'DUMP'
     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
00: 01 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff    ?...............
10: 46 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff    F...............
20: 46 41 4e 2d 4f 52 56 49 4b 53 2d 38 30 00 00 00    FAN-ORVIKS-80...
30: 46 54 32 30 32 36 30 31 30 31 00 00 00 00 00 00    FT20260101......
DUMP
if head -5 "$work/run.out" | cmp -s - "$work/dump.want" && [ "$(wc -l <"$work/run.out")" -eq 17 ]; then
  pass "smbus dump of a fan tray EEPROM"; else fail "smbus dump:"; cat "$work/run.out"; fi

# --- a pulled fan tray and PSU are absent, no failure; a hung sensor is a failure
"$ctl" prop FanEeprom2 present 0 >/dev/null && "$ctl" prop Psu2 present 0 >/dev/null \
  && "$ctl" fault TempOutlet delay 20000 >/dev/null || fail "control: pull fan tray 2 and PSU2, hang the outlet sensor"
ZOLTA_SMBUS_TIMEOUT_MS=300 "$host" show --json >"$work/show.json" 2>"$work/show.err"; status=$?
exit_is 1 "a hung sensor fails its reading"
schema "pulled PSU, pulled fan tray, hung sensor" 'PSU2.present=false' 'PSU2.model=null' \
  'PSU2.powerGood.status="absent"' 'PSU2.outputPower={"status": "absent", "value": null, "unit": "W"}' \
  'Psu2Fan.speed.status="absent"' 'Fan4.speed.status="absent"' 'FanTray2.airflow=null' \
  'Outlet.temperature.status="no communication"' 'Outlet.alarm=null'
"$ctl" fault TempOutlet off >/dev/null
run show; exit_is 0 "a pulled PSU and fan tray cost no failure"
"$ctl" prop FanEeprom2 present 1 >/dev/null && "$ctl" prop Psu2 present 1 >/dev/null || fail "control: put back"

# --- an alarm (4, also with a failed reading), colour on a terminal only, --timeout (3)
"$ctl" prop TempInlet temperature 60 >/dev/null
run show; exit_is 4 "a temperature above its critical limit"
holds "$work/run.out" "^  Inlet: *+60.0 C .*CRITICAL$" "text: CRITICAL"
holds "$work/run.out" "Port49 module id 0x11$" "a module's identifier byte in hex"
for r in "paint:$host show temps" "plain:env NO_COLOR=1 $host show temps" "plain:$host --no-color show temps"; do
  script -qc "${r#*:}" /dev/null >"$work/tty.out" 2>&1
  if grep -q $'\033\[31mCRITICAL' "$work/tty.out"; then got=paint; elif grep -q $'\033' "$work/tty.out"; then got=other; else got=plain; fi
  [ "$got" = "${r%%:*}" ] && pass "terminal: ${r#*:}: $got" || fail "terminal: ${r#*:}: $got"
done
"$ctl" fault TempOutlet nak >/dev/null
run show --json; exit_is 4 "an alarm and a failed reading"
"$ctl" fault TempOutlet off >/dev/null
"$ctl" prop TempInlet temperature 24.5 >/dev/null
"$ctl" fault all delay 20000 >/dev/null
t0=$(date +%s%N)
run --timeout 1 show
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
"$ctl" fault all off >/dev/null
exit_is 3 "--timeout passed"
[ "$ms" -lt 3000 ] && grep -q "^zolta-host: zolta-host show did not finish within 1 s (--timeout)$" "$work/run.out" \
  && pass "--timeout ends the command ($ms ms)" || fail "--timeout: $ms ms: $(cat "$work/run.out")"

# A service whose listen queue is full takes the connection check but not the library's init,
# which retries: a terminal hears what the host waits for until --timeout ends it.
/usr/bin/python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(0)
held = socket.socket(socket.AF_UNIX); held.connect(sys.argv[1]); time.sleep(20)' "$work/full.sock" &
full_pid=$!
for _ in $(seq 1 50); do [ -S "$work/full.sock" ] && break; sleep 0.1; done
sleep 0.2
ZOLTA_SMBUS_SOCKET=$work/full.sock ZOLTA_SMBUS_TIMEOUT_MS=200 script -qc "$host --timeout 3 show" /dev/null >"$work/full.out" 2>&1
kill "$full_pid" 2>/dev/null; wait "$full_pid" 2>/dev/null
grep -q "^zolta-host: waiting for the SMBus service at $work/full.sock (up to 30 s)" "$work/full.out" \
  && grep -q "did not finish within 3 s" "$work/full.out" && pass "a terminal hears that init waits for the service" \
  || fail "waiting for the service: $(cat "$work/full.out")"

# --- OpenMetrics through the Prometheus client's own parser (which also wants "# EOF")
"$host" show --format openmetrics >"$work/show.om" 2>&1; status=$?
exit_is 0 "show --format openmetrics"
/usr/bin/python3 - "$work/show.om" >"$work/om.out" 2>&1 <<'PY'
import sys
from prometheus_client.openmetrics.parser import text_string_to_metric_families
samples = {}
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    assert family.type == "gauge", family.name
    for s in family.samples:
        samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
checks = [("zolta_temperature_celsius", {"name": "Inlet"}, 24.5), ("zolta_temperature_alarm", {"name": "Inlet"}, 0),
          ("zolta_psu_power_watts", {"name": "PSU2", "direction": "input"}, 212),
          ("zolta_psu_power_good", {"name": "PSU1"}, 1), ("zolta_present", {"name": "Port5"}, 0),
          ("zolta_reading_ok", {"name": "Outlet", "reading": "temperature"}, 1)]
bad = [c for c in checks if samples.get((c[0], tuple(sorted(c[1].items())))) != c[2]]
print(len(samples), "samples; mismatches:", bad)
sys.exit(1 if bad or len(samples) < 300 else 0)
PY
[ $? -eq 0 ] && pass "OpenMetrics parsed: $(cat "$work/om.out")" || fail "OpenMetrics: $(cat "$work/om.out")"
run show temps psus
[ "$(grep -c "^[A-Z]" "$work/run.out")" -eq 3 ] && grep -q "^Power supplies$" "$work/run.out" \
  && pass "show temps psus: two sections" || fail "sections: $(grep "^[A-Z]" "$work/run.out")"
[ "$("$host" --version)" = "zolta-host 1.0.0" ] && pass "--version" || fail "--version: $("$host" --version)"

# --- the tree's board file has no problems; one with broken device texts: `check` exits 1
# naming them, `show` reads the rest and gives the library's reason for the refused add
run check; holds "$work/run.out" ': no problems$' "check of the OrvikS board"
cat >"$work/broken.json" <<JSON
{"board": "Broken", "topology": "$src/boards/orviks/topology.json", "temperatureSensors": [
  {"name": "Inlet", "alert": 45, "critical": 55,
   "device": {"name": "TempInlet", "did": 10, "driver": "TMP75", "address": {"address": 72}}},
  {"name": "CutShort", "alert": 45, "critical": 55, "device": "{\"did\": 11, \"driver\": \"TMP75\","},
  {"name": "WrongDriver", "alert": 45, "critical": 55, "device": {"did": 12, "driver": "TMP76", "address": {"address": 74}}}]}
JSON
run check "$work/broken.json"; exit_is 1 "check of a broken board"
[ "$(grep -c '^CutShort: device text is not JSON\|^WrongDriver: driver TMP76 is not' "$work/run.out")" -eq 2 ] \
  && ! grep -q '^Inlet:' "$work/run.out" && pass "check names the broken devices only" || fail "check: $(cat "$work/run.out")"
"$host" --board "$work/broken.json" show --json >"$work/show.json" 2>"$work/show.err"; status=$?
exit_is 1 "show of a broken board"
holds "$work/show.json" '"name":"Inlet","temperature":{"status":"ok","value":24.5' "show reads the good sensor"
holds "$work/show.json" '"name":"WrongDriver",.*"message":"add returned null","reason":"driver TMP76 not found"' \
  "show gives the library's reason for a refused add"

# --- hostile files (a board file nested 100,000 deep, a topology that is /dev/zero) are
# refused with the file named, within seconds, by show (3) and check (1)
python3 -c 'print("{\"topology\": \"t.json\", \"fans\": " + "[" * 100000 + "]" * 100000 + "}")' >"$work/deep.json"
printf '{"topology": "/dev/zero"}' >"$work/zero.json"
for bad in "deep.json:nested deeper" "zero.json:/dev/zero"; do
  file=${bad%%:*} want=${bad#*:}
  for cmd in "3:--board $work/$file show" "1:check $work/$file"; do
    # shellcheck disable=SC2086
    timeout 20 "$host" ${cmd#*:} >"$work/bad.out" 2>&1; status=$?
    [ "$status" -eq "${cmd%%:*}" ] && grep -q -- "$want" "$work/bad.out" && pass "${cmd#*:} refused" \
      || fail "${cmd#*:}: exit $status: $(head -c 300 "$work/bad.out")"
  done
done

# --- changes through the library reach the board (the PSU fan's duty: BoardEndToEndTest)
run powercycle --yes || fail "powercycle exit status"
[ "$("$ctl" read MasterCpld 3)" = "11" ] && pass "powercycle sets bits 4 and 0 of the master CPLD" \
  || fail "powercycle: master CPLD register 3 reads $("$ctl" read MasterCpld 3)"
run set gpio FanTray3PresentN set || fail "set gpio exit status"
[ "$("$ctl" read MasterCpld 17)" = "04" ] && pass "set gpio writes its bit" \
  || fail "set gpio: master CPLD register 17 reads $("$ctl" read MasterCpld 17)"
run set fan Fan3 12000 || fail "set fan Fan3 exit status"
grep -q "^Fan3: speed set to 12000 rpm$" "$work/run.out" && grep -q "^Fan3: reads 12006 rpm after [0-9.]* s$" "$work/run.out" \
  && pass "set fan reports the programmed speed and the settled read-back" || fail "set fan: $(cat "$work/run.out")"
run set fan Psu1Fan 99999
grep -q "^Psu1Fan: asked for 99999 rpm, above the fan's maximum of 24000 rpm$" "$work/run.out" \
  && ! grep -q "speed set to 99999" "$work/run.out" && pass "set fan above the maximum says so" || fail "set fan 99999: $(cat "$work/run.out")"

# --- a Beacon LED's field alternates from one watch report to the next (its register's
# read-modify-write: LedTest)
"$host" watch --json --interval 0.2 --count 4 --led FanTray2Led Beacon leds >"$work/watch.json" 2>&1
led='"name":"FanTray2Led","type":"fantray","field":{"status":"ok","value":'
fields=$(grep -o "$led[0-9]" "$work/watch.json" | grep -o '[0-9]$' | tr -d '\n')
case "$fields" in 0101|1010) pass "watch: the Beacon LED alternates ($fields)" ;; *) fail "watch: Beacon fields $fields" ;; esac
holds "$work/watch.json" "$led[0-9]},\"setting\":[^,]*,\"lastSetting\":\"Beacon\",\"blinking\":true" "watch shows the last setting"
[ "$(wc -l <"$work/watch.json")" -eq 4 ] && /usr/bin/python3 -c '
import json, sys
docs = [json.loads(line) for line in open(sys.argv[1])]
assert all(d["schemaVersion"] == 1 and d["temperatures"] == [] and len(d["leds"]) == 6 for d in docs)' "$work/watch.json" \
  && pass "watch --json: one JSON object per line" || fail "watch --json: $(head -c 300 "$work/watch.json")"
run watch --interval 0.1 --count 2 temps
[ "$(grep -c "^zolta-host watch: [0-9T:-]*Z, every 0.1 s, report [12] of 2$" "$work/run.out")" -eq 2 ] \
  && [ "$(grep -c "^[A-Z]" "$work/run.out")" -eq 4 ] && ! grep -q $'\033' "$work/run.out" \
  && pass "watch: a header per report, the sections asked for, no colour off a terminal" || fail "watch: $(cat "$work/run.out")"

# --- the host's timer service keeps a stand-in library's LED blinking (the stand-in's other
# outcomes: tests/host)
fake=$build/platform/host/libzolta_host_fake_library.so
[ -f "$fake" ] || fail "missing $fake"
echo '[]' >"$work/empty-topology.json"
cat >"$work/fake-board.json" <<JSON
{"board": "Fake", "topology": "$work/empty-topology.json",
 "leds": [{"name": "Blinky", "readback": {"register": 8, "width": 2},
           "device": {"did": 7, "driver": "ok", "driverArgs": {"type": "fantray", "bitOffset": "0"}}}]}
JSON
"$host" -v 0 --library "$fake" --board "$work/fake-board.json" set led Blinky Beacon --hold 0.5 >/dev/null 2>"$work/set.err"
status=$?
[ "$status" -eq 0 ] && grep -q "fake blink tick 3" "$work/set.err" && pass "set led --hold keeps the LED blinking" \
  || fail "set led --hold: exit $status, $(grep -c tick "$work/set.err") ticks"

# --- command line: usage (2) and configuration (3) errors that need no service
run --help; exit_is 0 "--help"
holds "$work/run.out" "^  4  an alarm" "--help lists the exit statuses"
while IFS='|' read -r want what args; do
  # shellcheck disable=SC2086
  "$host" $args >/dev/null 2>&1; status=$?
  exit_is "$want" "$what"
done <<TABLE
2|an unknown option|show --bogus
2|an unknown device name|set fan NoSuchFan 100
2|powercycle wants --yes|powercycle
2|an unknown LED setting|--library $fake --board $work/fake-board.json set led Blinky Sparkle
3|a board file that is not there|--board $work/missing.json show
3|a library that is not there|--library $work/missing.so show
TABLE

# Under the sanitizer build a report may hide behind an expected exit status of 1.
if grep -l "Sanitizer\|runtime error:" "$work"/*.err "$work"/*.out >/dev/null 2>&1; then
  fail "sanitizer report in $(grep -l "Sanitizer\|runtime error:" "$work"/*.err "$work"/*.out | xargs -n1 basename)"
fi
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"; echo "--- daemon log"; tail -20 "$work/daemon.log"; exit 1
fi
echo "all host checks passed"
