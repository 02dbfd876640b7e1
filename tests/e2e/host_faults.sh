#!/usr/bin/env bash
# The whole board under each fault of the service: every `zolta-host show` ends within a
# bound set by ZOLTA_SMBUS_TIMEOUT_MS, reports the failed readings with their status, and the
# next show after the fault is cleared reads the whole board again.
# Usage: host_faults.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../support/board_service.sh" "$@"
export ZOLTA_SMBUS_TIMEOUT_MS=100

# Runs one show; sets $status, $ms and leaves the report in $work/show.json.
show() {
  local t0=$(date +%s%N)
  "$host" show --json >"$work/show.json" 2>"$work/show.err"
  status=$?
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
}

# expect NAME STATUS BOUND_MS PATTERN: the show exits STATUS within BOUND_MS and its report
# holds PATTERN; then, with every fault cleared, the board reads clean again.
expect() {
  if [ "$status" -eq "$2" ] && [ "$ms" -lt "$3" ] && grep -q -- "$4" "$work/show.json"; then
    pass "$1: exit $status in $ms ms"
  else
    fail "$1: exit $status in $ms ms (want $2 within $3 ms and $4)"; tail -3 "$work/show.err"
  fi
  [ -n "$daemon_pid" ] && "$ctl" fault all off >/dev/null 2>&1
  show
  if [ "$status" -eq 0 ]; then pass "$1: recovered"; else fail "$1: not recovered (exit $status)"; fi
}

start_daemon
show
[ "$status" -eq 0 ] && pass "the board reads clean" || fail "the board does not read clean (exit $status)"

"$ctl" fault TempInlet nak >/dev/null
show; expect "one device naks" 1 5000 '"name":"Inlet".*"status":"failed"'
for kind in garbage count close; do
  "$ctl" fault all $kind >/dev/null
  show; expect "every answer: $kind" 1 20000 '"status":"\(no communication\|failed\)"'
done

# A service that stops answering: each reading waits its timeout, no longer.
kill -STOP "$daemon_pid"
show
kill -CONT "$daemon_pid"
expect "service stopped (SIGSTOP)" 1 60000 '"status":"no communication"'

# The service dies in the middle of a show and comes back: the readings in between fail, the
# rest succeed on a new connection, and the next show reads all. Slowed answers (20 ms, well
# within the timeout) make sure the show is still running when the service dies.
"$ctl" fault all delay 20 >/dev/null
t0=$(date +%s%N)
"$host" show --json >"$work/show.json" 2>/dev/null &
show_pid=$!
sleep 0.5
kill -9 "$daemon_pid"; wait "$daemon_pid" 2>/dev/null; daemon_pid=
rm -f "$ZOLTA_SMBUS_SOCKET" "$ZOLTA_SMBUS_SOCKET.ctl"
start_daemon
wait "$show_pid"; status=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
expect "service dies mid-show and comes back" 1 30000 '"status":"no communication"'

# The service is absent when the host starts. By default the host says so at once (exit 3);
# with --wait-for-service the library tries to reach it once a second (30 attempts), so a
# service that comes up 2 s late is found and the whole board reads: the show waits for the
# service, then ends as fast as a show against a running one.
stop_daemon
rm -f "$ZOLTA_SMBUS_SOCKET" "$ZOLTA_SMBUS_SOCKET.ctl"
t0=$(date +%s%N)
"$host" show --json >"$work/show.json" 2>"$work/show.err"; status=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
if [ "$status" -eq 3 ] && [ "$ms" -lt 1000 ] && grep -q "cannot reach the SMBus service at $ZOLTA_SMBUS_SOCKET" "$work/show.err"; then
  pass "service absent at init: exit 3 in $ms ms"
else
  fail "service absent at init: exit $status in $ms ms (want 3 within 1000 ms, naming the socket)"
fi
t0=$(date +%s%N)
"$host" --wait-for-service show --json >"$work/show.json" 2>"$work/show.err" &
show_pid=$!
sleep 2
start_daemon
wait "$show_pid"; status=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
if [ "$status" -eq 0 ] && [ "$ms" -ge 2000 ] && [ "$ms" -lt 10000 ] && ! grep -q '"status":"\(no communication\|failed\)"' "$work/show.json"; then
  pass "service absent at init, up 2 s later: exit $status in $ms ms"
else
  fail "service absent at init, up 2 s later: exit $status in $ms ms (want 0 within 2000 to 10000 ms, no failed reading)"
  tail -3 "$work/show.err"
fi

echo "$failures failures"
[ "$failures" -eq 0 ]
