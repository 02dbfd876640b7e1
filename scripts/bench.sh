#!/usr/bin/env bash
# Runs every performance figure in one go and prints each beside its limit:
#   - single-read callback vs a tight Unix-socket ping-pong of the same frames (median of
#     interleaved rounds), and the latency of batches of 1..64 reads (plotted), with the
#     library talking to a minimal service zl_perf forks, which answers every request at once
#     with a canned answer (the limit applies to this figure: the library's own overhead),
#     and to zolta-smbusd emulating the TMP75 (the same plus the emulated board's work)
#   - system calls per single-read callback (strace, between the probe's markers)
#   - user-space instructions per single-read callback, library side (callgrind)
#   - the service's user-space instructions (callgrind) and system calls (strace) per request
#   - bus round trips of a whole-board show and of a status sweep (zolta-smbusd's
#     transaction log), and zolta-host's peak RSS with the full board loaded
# Results: build/bench-results.json; plot: bench/latency.png (BENCH_PLOT=PATH elsewhere).
# BENCH_ROUNDS sets the interleaved rounds (default 31). The latency rounds run with the
# services, the probe and its echoes on one core (BENCH_CPU, default 0; empty: anywhere): on a
# small shared VM where the scheduler places each process decides how fast it is woken, for
# as long as the process lives, which makes unpinned figures vary by several times between
# runs. On one core both sides pay the same switches, and the ratio measures the work added.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build}
rounds=${BENCH_ROUNDS:-31}
cpu=${BENCH_CPU-0}
pin=()
if [ -n "$cpu" ]; then pin=(taskset -c "$cpu"); fi
plot=${BENCH_PLOT:-$root/bench/latency.png}

ZL_SETUP_BENCH=1 bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target zl_perf zolta-smbusd ZoltaDriversOrvikS zolta-host >/dev/null

work=$(mktemp -d)
daemon_pid=
daemon_prefix=()  # a command zolta-smbusd runs under (callgrind)
stop_daemon() {
  if [ -n "$daemon_pid" ]; then
    kill "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=
  fi
}
trap 'stop_daemon; rm -rf "$work"' EXIT

# start_daemon TOPOLOGY [STATE] [ARGS...]: zolta-smbusd on a private socket, log in $work.
start_daemon() {
  local topology=$1 state=$2
  shift 2
  export ZOLTA_SMBUS_SOCKET=$work/smbus.sock
  export ZOLTA_SMBUS_CONTROL=$work/smbus.sock.ctl
  local state_args=()
  if [ -n "$state" ]; then state_args=(--state "$state"); fi
  "${daemon_prefix[@]}" "$build/bin/zolta-smbusd" --socket "$ZOLTA_SMBUS_SOCKET" --topology "$topology" "${state_args[@]}" \
    --log "$work/smbusd.log" "$@" &
  daemon_pid=$!
  for _ in $(seq 1 400); do
    [ -S "$ZOLTA_SMBUS_SOCKET" ] && return 0
    sleep 0.05
  done
  echo "bench: zolta-smbusd did not start" >&2
  cat "$work/smbusd.log" >&2
  exit 1
}

cat >"$work/tmp75.json" <<'JSON'
[{"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
  {"id": 0, "busses": [{"id": 3, "devices": [
    {"did": 9101, "label": "temp", "driver": "TMP75", "address": {"address": 72}}]}]}]}]
JSON

perf=$build/bench/perf/zl_perf
daemon_prefix=("${pin[@]}")
start_daemon "$work/tmp75.json" "" -v 0
daemon_prefix=()
echo "bench: latency, $rounds interleaved rounds${cpu:+ on cpu $cpu}" >&2
"${pin[@]}" "$perf" latency "$rounds" >"$work/latency.json"

echo "bench: system calls (strace)" >&2
strace -o "$work/strace.txt" "$perf" loop 2000 >/dev/null

echo "bench: instructions (callgrind)" >&2
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
  --toggle-collect='*getTemperatureCallback*' "$perf" loop 2000 >"$work/callgrind-loop.json" 2>"$work/callgrind.log"
stop_daemon

# The service's side of the same readings: its instructions in receive() (a request's read,
# run and answer) under callgrind, and every system call it makes while they run.
echo "bench: the service's instructions and system calls" >&2
daemon_prefix=(valgrind -q --tool=callgrind --callgrind-out-file="$work/smbusd-callgrind.out" --toggle-collect='*Server*receive*')
start_daemon "$work/tmp75.json" "" -v 0
"$perf" loop 2000 >"$work/smbusd-loop.json"
stop_daemon
daemon_prefix=()
start_daemon "$work/tmp75.json" "" -v 0
strace -o "$work/smbusd-strace.txt" -p "$daemon_pid" 2>/dev/null &
strace_pid=$!
sleep 0.5  # attached
"$perf" loop 2000 >/dev/null
sleep 0.2
kill "$strace_pid" 2>/dev/null || true
wait "$strace_pid" 2>/dev/null || true
stop_daemon

# The whole board: the daemon logs every request entry (-v 1), one "req 0:" line per batch.
export ZL_TRACE_LEVEL=-1
board_run() {  # board_run NAME zolta-host ARGS...: trips and peak RSS of one zolta-host run
  local name=$1
  shift
  : >"$work/smbusd.log"
  start_daemon "$root/boards/orviks/topology.json" "$root/boards/orviks/emulation.json" -v 1
  /usr/bin/time -f '%M' -o "$work/$name.rss" "$build/bin/zolta-host" "$@" >"$work/$name.out" 2>&1 || true
  stop_daemon
  grep -c ' req 0: ' "$work/smbusd.log" >"$work/$name.trips" || true
}
echo "bench: whole board (zolta-host show, watch)" >&2
board_run show show
board_run watch1 watch --interval 0.2 --count 1
board_run watch3 watch --interval 0.2 --count 3

python3 "$root/bench/perf/report.py" --work "$work" --out "$build/bench-results.json" --plot "$plot" \
  --pinned "$cpu"
