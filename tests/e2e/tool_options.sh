#!/usr/bin/env bash
# The command lines of zolta-smbusd, zolta-smbusctl and kvIpmi: --help (--version: install_prefix.sh), and the
# exit status and message of each kind of wrong command line (none of these needs a service).
set -uo pipefail
bin=$1/bin
export ZOLTA_SMBUS_CONTROL=/nonexistent/smbus.sock.ctl
fail=0
# program | arguments | exit status | text the output holds
while IFS='|' read -r program args want text; do
  # shellcheck disable=SC2086
  out=$("$bin/$program" $args 2>&1)
  got=$?
  if [ "$got" != "$want" ] || ! grep -qe "$text" <<<"$out"; then
    echo "FAIL: $program $args: status $got (want $want), output:"; echo "$out" | head -5; fail=1
  fi
done <<'TABLE'
zolta-smbusd|--help|0|--stall-ms MS
zolta-smbusd||2|--topology is required
zolta-smbusd|--topology t.json --stall-ms 0|2|--stall-ms
zolta-smbusd|--topology t.json --max-clients many|2|--max-clients
zolta-smbusd|--topology t.json -v|2|-v
zolta-smbusd|--topology t.json --bogus|2|--bogus
zolta-smbusd|--topology /nonexistent/t.json|1|cannot read /nonexistent/t.json
zolta-smbusctl|--help|0|fault DEVICE|all
zolta-smbusctl||2|no command given
zolta-smbusctl|--control|2|--control
zolta-smbusctl|ping|2|/nonexistent/smbus.sock.ctl
zolta-smbusctl|--control /nonexistent/other.ctl log -1|2|/nonexistent/other.ctl
kvIpmi|--help|0|raw psuSlot ID ModelNumber=M SerialNumber=S
kvIpmi|-h|0|Exit status
kvIpmi||2|Usage: kvIpmi
kvIpmi|psuSlot|2|Usage: kvIpmi
kvIpmi|raw psuSlot 1|2|Usage: kvIpmi
kvIpmi|api psuSlot 1 Extra|2|Usage: kvIpmi
kvIpmi|psuSlot 1|1|/nonexistent/smbus.sock.ctl
TABLE
if [ "$fail" -eq 0 ]; then echo "tool command lines: ok"; fi
exit "$fail"
