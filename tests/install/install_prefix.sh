#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as an operator and a host developer
# would: the library under its SONAME with both links, a host built from the pkg-config file,
# the programs and their --version, the board file found by zolta-host, man pages that format
# without warnings, and the bash completion of commands, device names and LED settings.
# Arguments: BUILD-DIR SOURCE-DIR C-COMPILER [C-FLAGS]
set -euo pipefail
build=$1 source=$2 cc=$3 cflags=${4:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail=0
check() {  # check WHAT COMMAND...: runs the command, reports a failure
  local what=$1; shift
  if ! "$@"; then echo "FAIL: $what"; fail=1; fi
}

cmake --install "$build" --prefix "$prefix" >/dev/null

# --- the library: real file, SONAME link, development link ---
lib=$(find "$prefix" -name 'libZoltaDriversOrvikS.so.0.*' -type f)
libdir=$(dirname "$lib")
check "library file name $lib" test "$(basename "$lib")" != ""
check "libZoltaDriversOrvikS.so.0 links to the real file" \
  test "$(readlink "$libdir/libZoltaDriversOrvikS.so.0")" = "$(basename "$lib")"
check "libZoltaDriversOrvikS.so links to the SONAME" \
  test "$(readlink "$libdir/libZoltaDriversOrvikS.so")" = libZoltaDriversOrvikS.so.0
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
check "SONAME is '$soname'" test "$soname" = libZoltaDriversOrvikS.so.0

# --- a host built against the pkg-config file ---
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs zolta-drivers-orviks)
check "pkg-config names the prefix: $flags" grep -q -- "-I$prefix/include" <<<"$flags"
# shellcheck disable=SC2086
check "tiny host builds" "$cc" $cflags -Wall -Werror -o "$prefix/tiny-host" "$source/tests/install/TinyHost.c" $flags
check "tiny host runs" env LD_LIBRARY_PATH="$libdir" "$prefix/tiny-host"

# --- the programs ---
version=$(pkg-config --modversion zolta-drivers-orviks)
for program in bin/zolta-host bin/zolta-smbusctl bin/kvIpmi sbin/zolta-smbusd; do
  check "$program --version" test "$("$prefix/$program" --version)" = "$(basename "$program") $version"
done
board=$prefix/share/zolta/boards/orviks/board.json
check "installed zolta-host finds and checks the installed board and library" \
  "$prefix/bin/zolta-host" check

# --- man pages: present and valid ---
for page in man1/zolta-host.1 man1/zolta-smbusctl.1 man1/kvIpmi.1 man8/zolta-smbusd.8; do
  file=$prefix/share/man/$page.gz
  warnings=$(zcat "$file" | groff -man -Tutf8 -ww -z 2>&1 || echo "groff failed")
  check "$page formats without warnings: $warnings" test -z "$warnings"
  check "$page has its version" zgrep -q "zolta-drivers-orviks $version" "$file"
done

# --- bash completion: the words offered after a command line ---
completions=$prefix/share/bash-completion/completions
complete_line() {  # complete_line FILE WORD...: the words offered for the last (partial) word
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
           "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")"; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$@"
}
while IFS='|' read -r file line want; do
  # shellcheck disable=SC2086
  got=$(complete_line "$completions/$file" $line | tr '\n' ' ')
  check "completion of '$line' offers '$want' (got: $got)" grep -qw -- "$want" <<<"$got"
done <<EOF_TABLE
zolta-host|zolta-host s|show
zolta-host|zolta-host --board $board show t|temps
zolta-host|zolta-host --board $board set led S|StatusLed
zolta-host|zolta-host --board $board set led StatusLed B|Beacon
zolta-host|zolta-host --board $board set fan P|Psu1Fan
zolta-host|zolta-host --board $board set xcvr Port1 t|txDisable
zolta-host|zolta-host --board $board watch --led FanLed W|Warning
zolta-host|zolta-host --board $board xcvr eeprom Port5|Port54
zolta-host|zolta-host show --fo|--format
zolta-host|zolta-host show --format o|openmetrics
zolta-host|zolta-host --t|--timeout
zolta-smbusctl|zolta-smbusctl f|fault
zolta-smbusctl|zolta-smbusctl fault all d|delay
EOF_TABLE
# A name of another kind is not offered.
got=$(complete_line "$completions/zolta-host" zolta-host --board "$board" set led P | tr '\n' ' ')
check "set led offers only LEDs (got: $got)" test "$got" = "PsuLed "

if [ "$fail" -eq 0 ]; then echo "install into a prefix: ok"; fi
exit "$fail"
