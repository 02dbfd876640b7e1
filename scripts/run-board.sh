#!/usr/bin/env bash
# Runs the OrvikS board: sets up and builds what is needed (Release, into build/), starts
# zolta-smbusd with the emulated board on a private socket, runs zolta-host against it and
# stops the service again. Arguments go to zolta-host (default: show), for example
#   scripts/run-board.sh watch --count 3
#   scripts/run-board.sh show --json
# The exit status is zolta-host's. Library traces are off unless ZL_TRACE_LEVEL is set.
# RUN_BOARD_SOCKET=PATH puts the service on PATH (control socket PATH.ctl) instead of a
# temporary directory, so zolta-smbusctl can reach it from another terminal.
# The service's log is kept in BUILD/smbusd.log (RUN_BOARD_LOG=FILE: elsewhere), started
# afresh by each run and named when the run ends.
# SIGINT or SIGTERM stops zolta-host (a watch ends) and the service.
# RUN_BOARD_NO_BUILD=1 uses the programs of the build directory as they are (no setup, no build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${RUN_BOARD_BUILD:-$root/build}   # RUN_BOARD_BUILD: another build directory

if [ "${RUN_BOARD_NO_BUILD:-0}" != 1 ]; then
  bash "$root/scripts/setup.sh"
  targets=(ZoltaDriversOrvikS zolta-host zolta-smbusd zolta-smbusctl)
  if [ -f "$root/platform/kvIpmi/CMakeLists.txt" ]; then targets+=(kvIpmi); fi
  echo "run-board: building ${targets[*]} in $build" >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
fi

work=$(mktemp -d)
log=${RUN_BOARD_LOG:-$build/smbusd.log}
: >"$log"
daemon_pid=
host_pid=
cleanup() {
  if [ -n "$daemon_pid" ]; then
    kill "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    echo "run-board: zolta-smbusd stopped; its log: $log" >&2
  fi
  rm -rf "$work"
}
# A signal ends zolta-host first (a watch stops between two reports), then the service.
# zolta-host runs in the background so that the signal is seen while it runs; it gets SIGTERM
# for SIGINT as well, since background programs of a script ignore SIGINT.
stop() {
  if [ -n "$host_pid" ]; then
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  exit "$1"
}
trap cleanup EXIT
trap 'stop 130' INT
trap 'stop 143' TERM

export ZOLTA_SMBUS_SOCKET=${RUN_BOARD_SOCKET:-$work/smbus.sock}
unset ZOLTA_SMBUS_CONTROL
export ZL_TRACE_LEVEL=${ZL_TRACE_LEVEL:--1}
export PATH=$build/bin:$PATH   # kvIpmi, for PSU bays identified through it

"$build/bin/zolta-smbusd" --socket "$ZOLTA_SMBUS_SOCKET" \
  --topology "$root/boards/orviks/topology.json" --state "$root/boards/orviks/emulation.json" \
  --log "$log" &
daemon_pid=$!
for _ in $(seq 1 100); do
  [ -S "$ZOLTA_SMBUS_SOCKET" ] && break
  if ! kill -0 "$daemon_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ ! -S "$ZOLTA_SMBUS_SOCKET" ]; then
  echo "run-board: zolta-smbusd did not start:" >&2
  cat "$log" >&2
  exit 1
fi
echo "run-board: zolta-smbusd on $ZOLTA_SMBUS_SOCKET (log: $log);" \
     "change the board with: ZOLTA_SMBUS_SOCKET=$ZOLTA_SMBUS_SOCKET $build/bin/zolta-smbusctl ..." >&2

if [ $# -eq 0 ]; then set -- show; fi
status=0
"$build/bin/zolta-host" --board "$root/boards/orviks/board.json" --library "$build/libZoltaDriversOrvikS.so.0" "$@" \
  <&0 &
host_pid=$!
wait "$host_pid" || status=$?
host_pid=
exit "$status"
