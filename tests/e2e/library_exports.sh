#!/usr/bin/env bash
# The shared object the host loads must export the host interface and nothing of its
# internals: only zl_* entry points and Drivers::insertDriverArg, under the right SONAME.
set -euo pipefail
build=$1
lib="$build/libZoltaDriversOrvikS.so.0"

fail=0
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libZoltaDriversOrvikS.so.0" ]; then
  echo "FAIL: SONAME is '$soname'"; fail=1
fi

unexpected=$(nm -D --defined-only "$lib" | awk '{print $3}' \
  | grep -vE '^zl_[a-z_]+$' | grep -vxF '_ZN7Drivers15insertDriverArgEPKcPPcS1_S1_' || true)
if [ -n "$unexpected" ]; then
  echo "FAIL: unexpected exports:"; echo "$unexpected"; fail=1
fi

for symbol in zl_system_init zl_slot_init zl_led_init zl_temp_sensor_init zl_fan_init zl_xcvr_init \
              zl_psu_init zl_gpio_init zl_smbus_init zl_system_add zl_slot_add zl_led_add zl_temp_sensor_add \
              zl_fan_add zl_xcvr_add zl_psu_add zl_gpio_add zl_smbus_add zl_driver_catalogue _ZN7Drivers15insertDriverArgEPKcPPcS1_S1_; do
  if ! nm -D --defined-only "$lib" | awk '{print $3}' | grep -qxF "$symbol"; then
    echo "FAIL: $symbol is not exported"; fail=1
  fi
done

# The host services belong to the host: the library must leave them undefined.
for symbol in zl_trace zl_timer_add zl_timer_set zl_timer_delete; do
  if nm -D --defined-only "$lib" | awk '{print $3}' | grep -qxF "$symbol"; then
    echo "FAIL: the library defines the host service $symbol"; fail=1
  fi
done

if [ "$fail" -eq 0 ]; then echo "library exports: ok"; fi
exit "$fail"
