# Sourced by the shell scenarios that run zolta-host against the emulated OrvikS board:
#   . board_service.sh BUILD_DIR SOURCE_DIR
# Sets build, src, host, daemon, ctl and work (a scratch directory removed at exit), points
# the library at a private socket there, and gives pass/fail counting and start_daemon /
# stop_daemon (its log goes to $work/daemon.log).
build=$(cd "${1:?build directory}" && pwd)
src=$(cd "${2:?source directory}" && pwd)
host=$build/bin/zolta-host
daemon=$build/bin/zolta-smbusd
ctl=$build/bin/zolta-smbusctl
for tool in "$host" "$daemon" "$ctl"; do
  if [ ! -x "$tool" ]; then echo "missing $tool (build it first)"; exit 1; fi
done

work=$(mktemp -d)
daemon_pid=
stop_daemon() {
  if [ -n "$daemon_pid" ]; then kill -CONT "$daemon_pid" 2>/dev/null; kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; fi
  daemon_pid=
}
trap 'stop_daemon; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

export ZOLTA_SMBUS_SOCKET=$work/smbus.sock
unset SIMULATION_VMID
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Starts zolta-smbusd with the OrvikS board and waits (at most 10 s) for its socket.
start_daemon() {
  "$daemon" --topology "$src/boards/orviks/topology.json" --state "$src/boards/orviks/emulation.json" \
    >>"$work/daemon.log" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 1 100); do
    [ -S "$ZOLTA_SMBUS_SOCKET" ] && return 0
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "zolta-smbusd did not start:"; cat "$work/daemon.log"; exit 1
}
