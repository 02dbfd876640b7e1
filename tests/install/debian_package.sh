#!/usr/bin/env bash
# The Debian package CPack builds from the install rules: its name, dependencies, files under
# /usr, and a pkg-config file that names /usr.
# Arguments: BUILD-DIR
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if ! "$@"; then echo "FAIL: $what"; fail=1; fi
}

cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(ls "$out"/*.deb)
check "package file name $(basename "$deb")" grep -q '^zolta-drivers-orviks_[0-9.]*_[a-z0-9]*\.deb$' <<<"$(basename "$deb")"
check "package name" test "$(dpkg-deb -f "$deb" Package)" = zolta-drivers-orviks
depends=$(dpkg-deb -f "$deb" Depends)
check "depends on protobuf's runtime: $depends" grep -q 'libprotobuf[0-9]' <<<"$depends"
check "has a maintainer" test -n "$(dpkg-deb -f "$deb" Maintainer)"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in bin/zolta-host bin/zolta-smbusctl bin/kvIpmi sbin/zolta-smbusd include/zl_api.h \
            share/zolta/boards/orviks/board.json share/man/man1/zolta-host.1.gz share/man/man8/zolta-smbusd.8.gz \
            share/bash-completion/completions/zolta-host; do
  check "the package holds /usr/$file" grep -qx "\./usr/$file" <<<"$files"
done
check "the package holds the library under its SONAME" grep -q '^\./usr/lib/.*libZoltaDriversOrvikS\.so\.0$' <<<"$files"

mkdir "$out/root"
dpkg-deb -x "$deb" "$out/root"
pc=$(find "$out/root" -name zolta-drivers-orviks.pc)
check "the pkg-config file names /usr" grep -qx 'prefix=/usr' "$pc"

if [ "$fail" -eq 0 ]; then echo "Debian package: ok"; fi
exit "$fail"
