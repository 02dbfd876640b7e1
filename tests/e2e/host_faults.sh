#!/usr/bin/env bash
# The whole board under each fault of the service: every `zolta-host show` ends within a bound set by
# ZOLTA_SMBUS_TIMEOUT_MS, reports the failed readings with their status, and the next show after the fault is
# cleared reads the whole board again. A service absent at start is reported at once, or waited for.
# Usage: host_faults.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../support/board_service.sh" "$@"
export ZOLTA_SMBUS_TIMEOUT_MS=100
failed='"status":"\(no communication\|failed\)"'

# start_show [OPTION]... starts a show; finish waits for it and sets $status and $ms (report in $work/show.json).
start_show() { t0=$(date +%s%N); "$host" "$@" show --json >"$work/show.json" 2>"$work/show.err" & show_pid=$!; }
finish() { wait "$show_pid"; status=$?; ms=$(( ($(date +%s%N) - t0) / 1000000 )); }
show() { start_show "$@"; finish; }

# within NAME STATUS BOUND_MS PATTERN: the show exited STATUS within BOUND_MS and its output holds PATTERN.
within() {
  if [ "$status" -eq "$2" ] && [ "$ms" -lt "$3" ] && grep -q -- "$4" "$work/show.json" "$work/show.err"; then
    pass "$1: exit $status in $ms ms"
  else fail "$1: exit $status in $ms ms (want $2 within $3 ms and $4)"; tail -3 "$work/show.err"; fi
}
# expect: as within; then, with every fault cleared, the board reads clean again.
expect() {
  within "$@"
  "$ctl" fault all off >/dev/null 2>&1
  show
  [ "$status" -eq 0 ] && pass "$1: recovered" || fail "$1: not recovered (exit $status)"
}

start_daemon
show
[ "$status" -eq 0 ] && pass "the board reads clean" || fail "the board does not read clean (exit $status)"
"$ctl" fault TempInlet nak >/dev/null
show; expect "one device naks" 1 5000 '"name":"Inlet".*"status":"failed"'
for kind in garbage count close; do
  "$ctl" fault all $kind >/dev/null
  show; expect "every answer: $kind" 1 20000 "$failed"
done

# A service that stops answering: each reading waits its timeout, no longer.
kill -STOP "$daemon_pid"; show; kill -CONT "$daemon_pid"
expect "service stopped (SIGSTOP)" 1 60000 '"status":"no communication"'

# The service dies in the middle of a show and comes back: the readings in between fail, the rest succeed on a
# new connection. Slowed answers (20 ms, well within the timeout) keep the show running when the service dies.
"$ctl" fault all delay 20 >/dev/null
start_show
sleep 0.5
kill -9 "$daemon_pid"; wait "$daemon_pid" 2>/dev/null; daemon_pid=
rm -f "$ZOLTA_SMBUS_SOCKET" "$ZOLTA_SMBUS_SOCKET.ctl"
start_daemon
finish
expect "service dies mid-show and comes back" 1 30000 '"status":"no communication"'

# The service is absent when the host starts: by default the host says so at once (exit 3); with
# --wait-for-service the library tries once a second, so a service up 2 s late is found and the whole board
# reads as fast as against a running one.
stop_daemon
rm -f "$ZOLTA_SMBUS_SOCKET" "$ZOLTA_SMBUS_SOCKET.ctl"
show
within "service absent at init" 3 1000 "cannot reach the SMBus service at $ZOLTA_SMBUS_SOCKET"
start_show --wait-for-service
sleep 2
start_daemon
finish
if [ "$status" -eq 0 ] && [ "$ms" -ge 2000 ] && [ "$ms" -lt 10000 ] && ! grep -q "$failed" "$work/show.json"; then
  pass "service absent at init, up 2 s later: exit $status in $ms ms"
else
  fail "service absent at init, up 2 s later: exit $status in $ms ms (want 0 within 2000 to 10000 ms, no failure)"
  tail -3 "$work/show.err"
fi

echo "$failures failures"
[ "$failures" -eq 0 ]
