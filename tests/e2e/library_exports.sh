#!/usr/bin/env bash
# The shared object the host loads exports the host interface and nothing of its internals: only zl_* entry
# points and Drivers::insertDriverArg; the host services stay undefined. (Its SONAME: install_prefix.sh.)
set -euo pipefail
exports=$(nm -D --defined-only "$1/libZoltaDriversOrvikS.so.0" | awk '{print $3}')
arg=_ZN7Drivers15insertDriverArgEPKcPPcS1_S1_
fail=0
unexpected=$(grep -vE '^zl_[a-z_]+$' <<<"$exports" | grep -vxF "$arg" || true)
[ -z "$unexpected" ] || { echo "FAIL: unexpected exports:"; echo "$unexpected"; fail=1; }
required="zl_driver_catalogue $arg"
for kind in system slot led temp_sensor fan xcvr psu gpio smbus; do required="$required zl_${kind}_init zl_${kind}_add"; done
for symbol in $required; do
  grep -qxF "$symbol" <<<"$exports" || { echo "FAIL: $symbol is not exported"; fail=1; }
done
for symbol in zl_trace zl_timer_add zl_timer_set zl_timer_delete; do
  if grep -qxF "$symbol" <<<"$exports"; then echo "FAIL: the library defines the host service $symbol"; fail=1; fi
done
[ "$fail" -ne 0 ] || echo "library exports: ok"
exit "$fail"
