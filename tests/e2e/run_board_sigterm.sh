#!/usr/bin/env bash
# scripts/run-board.sh stopped by SIGTERM during a watch: it ends at once with status 143, the
# service is stopped (its sockets removed) and its log is kept and named.
set -euo pipefail
build=$1 source=$2
tmp=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    for child in $(pgrep -P "$pid" || true); do kill -KILL "$child" 2>/dev/null || true; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

RUN_BOARD_NO_BUILD=1 RUN_BOARD_BUILD=$build RUN_BOARD_SOCKET=$tmp/smbus.sock RUN_BOARD_LOG=$tmp/smbusd.log \
  bash "$source/scripts/run-board.sh" watch --interval 0.2 >"$tmp/out" 2>"$tmp/err" &
pid=$!
for _ in $(seq 1 300); do [ -s "$tmp/out" ] || ! kill -0 "$pid" 2>/dev/null && break; sleep 0.1; done
[ -s "$tmp/out" ] || { echo "FAIL: watch printed no report"; cat "$tmp/err"; exit 1; }
sleep 0.5
kill -TERM "$pid"
status=
for _ in $(seq 1 50); do
  if ! kill -0 "$pid" 2>/dev/null; then status=0; wait "$pid" || status=$?; break; fi
  sleep 0.1
done

fail=0
[ -n "$status" ] || { echo "FAIL: run-board.sh still runs 5 s after SIGTERM"; fail=1; }
[ -z "$status" ] || [ "$status" = 143 ] || { echo "FAIL: exit status $status, not 143"; fail=1; }
[ ! -e "$tmp/smbus.sock" ] || { echo "FAIL: the service's socket is left"; fail=1; }
grep -q "zolta-smbusd: stopped" "$tmp/smbusd.log" || { echo "FAIL: the service did not stop"; fail=1; }
grep -qF "its log: $tmp/smbusd.log" "$tmp/err" || { echo "FAIL: the log is not named"; fail=1; }
[ "$fail" -eq 0 ] || { cat "$tmp/err"; exit 1; }
echo "run-board.sh on SIGTERM: ok"
