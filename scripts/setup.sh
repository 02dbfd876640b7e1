#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project; does nothing
# when everything is there.
set -euo pipefail

packages=(cmake make g++ rapidjson-dev libprotobuf-dev protobuf-compiler
          libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev)
# The tools' command lines; the OpenMetrics test's parser; the install test (pkg-config, man
# pages) and the Debian package.
packages+=(libcli11-dev python3-prometheus-client pkg-config groff-base dpkg-dev)
# scripts/bench.sh also counts system calls and instructions and draws its plot.
if [ "${ZL_SETUP_BENCH:-0}" = 1 ]; then
  packages+=(strace valgrind gnuplot-nox time)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
