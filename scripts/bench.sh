#!/usr/bin/env bash
# Runs every performance figure in one go and prints each beside its limit:
#   - single-read callback vs a tight Unix-socket ping-pong of the same frames (median of
#     interleaved rounds), and the latency of batches of 1..64 reads (plotted)
#   - system calls per single-read callback (strace, between the probe's markers)
#   - user-space instructions per single-read callback, library side (callgrind)
#   - bus round trips of a whole-board show and of a status sweep (zolta-smbusd's
#     transaction log), and zolta-host's peak RSS with the full board loaded
# Results: build/bench-results.json; plot: bench/latency.png (BENCH_PLOT=PATH elsewhere).
# BENCH_ROUNDS sets the interleaved rounds (default 9).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build}
rounds=${BENCH_ROUNDS:-9}
plot=${BENCH_PLOT:-$root/bench/latency.png}

ZL_SETUP_BENCH=1 bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target zl_perf zolta-smbusd ZoltaDriversOrvikS zolta-host >/dev/null

work=$(mktemp -d)
daemon_pid=
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
  "$build/bin/zolta-smbusd" --socket "$ZOLTA_SMBUS_SOCKET" --topology "$topology" "${state_args[@]}" \
    --log "$work/smbusd.log" "$@" &
  daemon_pid=$!
  for _ in $(seq 1 100); do
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
start_daemon "$work/tmp75.json" "" -v 0
echo "bench: latency, $rounds interleaved rounds" >&2
"$perf" latency "$rounds" >"$work/latency.json"

echo "bench: system calls (strace)" >&2
strace -o "$work/strace.txt" "$perf" loop 2000 >/dev/null

echo "bench: instructions (callgrind)" >&2
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
  --toggle-collect='*getTemperatureCallback*' "$perf" loop 2000 >"$work/callgrind-loop.json" 2>"$work/callgrind.log"
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

python3 "$root/bench/perf/report.py" --work "$work" --out "$build/bench-results.json" --plot "$plot"
