#!/usr/bin/env bash
# The two Debian packages CPack builds from the install rules: the runtime package (library
# under its SONAME, programs, board files, man pages, completion) and the -dev package
# (headers, .so link, a pkg-config file that names /usr); names, dependencies, which files
# each holds.
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
runtime=$(ls "$out"/zolta-drivers-orviks_*.deb)
dev=$(ls "$out"/zolta-drivers-orviks-dev_*.deb)
version=$(dpkg-deb -f "$runtime" Version)
check "runtime package name" test "$(dpkg-deb -f "$runtime" Package)" = zolta-drivers-orviks
check "-dev package name" test "$(dpkg-deb -f "$dev" Package)" = zolta-drivers-orviks-dev
depends=$(dpkg-deb -f "$runtime" Depends)
check "runtime depends on protobuf's runtime: $depends" grep -q 'libprotobuf[0-9]' <<<"$depends"
check "-dev depends on the same runtime version" \
  test "$(dpkg-deb -f "$dev" Depends)" = "zolta-drivers-orviks (= $version)"
for deb in "$runtime" "$dev"; do
  check "$(basename "$deb") has a maintainer and a one-line summary" \
    test -n "$(dpkg-deb -f "$deb" Maintainer)" -a "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 1
done

holds() {  # holds DEB FILE...: each file under /usr is in the package
  local deb=$1; shift
  local files; files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for file in "$@"; do
    check "$(basename "$deb") holds /usr/$file" grep -qx "\./usr/$file" <<<"$files"
  done
}
holds "$runtime" bin/zolta-host bin/zolta-smbusctl bin/kvIpmi sbin/zolta-smbusd \
  share/zolta/boards/orviks/board.json share/man/man1/zolta-host.1.gz share/man/man8/zolta-smbusd.8.gz \
  share/bash-completion/completions/zolta-host
holds "$dev" include/zl_api.h include/zl_catalogue.h
check "the runtime package holds the library under its SONAME and no .so link or header" \
  test "$(dpkg-deb -c "$runtime" | awk '{print $6}' | grep -cE 'libZoltaDriversOrvikS\.so\.0$|\.so$|include/')" = 1
check "the -dev package holds the .so link" grep -q 'libZoltaDriversOrvikS\.so -> ' <<<"$(dpkg-deb -c "$dev")"

mkdir "$out/root"
dpkg-deb -x "$dev" "$out/root"
pc=$(find "$out/root" -name zolta-drivers-orviks.pc)
check "the pkg-config file names /usr" grep -qx 'prefix=/usr' "$pc"

if [ "$fail" -eq 0 ]; then echo "Debian packages: ok"; fi
exit "$fail"
