#!/usr/bin/env bash
# Cross-builds kru and its tests for the board's 32-bit ARM (armhf) and runs the whole suite
# under qemu-user: the test programs, kru, the probes, nemftool and the device emulator
# (libflashsim.so, preloaded into the emulated programs) are all armhf binaries.
#
#   bash tools/armhf-test.sh                  # installs what is missing, builds, runs ctest
#   bash tools/armhf-test.sh --install-only   # only the packages
#
# KRU_ARMHF_BUILD_DIR: the build directory (default build-armhf).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_ARMHF_BUILD_DIR:-$top/build-armhf}

say() { echo "armhf-test: $*" >&2; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
installed_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }
# Versions apt offers for one architecture, best first.
offered() { apt-cache madison "$1" | awk -F' *[|] *' -v a="$2" '$3 ~ (" " a " ") {print $2}'; }

# Multi-Arch "same" libraries must have one version on both architectures. When the two
# indexes differ (a security update published for one architecture first, a mirror in sync),
# a plain install fails with "held broken packages"; this picks the best version both offer.
common_version() {
  local v
  for v in $(offered "$1" amd64); do
    if offered "$1:armhf" armhf | grep -qxF -- "$v"; then
      echo "$v"
      return
    fi
  done
}

install_packages() {
  local tools=(cmake make pkg-config g++-arm-linux-gnueabihf qemu-user openssl mtd-utils)
  local libs=(libstdc++6 libssl3 libssl-dev libgtest-dev zlib1g zlib1g-dev libzstd1 libzstd-dev
    libdivsufsort3 libdivsufsort-dev linux-libc-dev libc6-dev)
  local need=() p v
  for p in "${tools[@]}"; do installed "$p" || need+=("$p"); done
  for p in "${libs[@]}"; do installed "$p:armhf" || need+=("$p:armhf"); done
  [ ${#need[@]} -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || { say "run as root to install ${need[*]}"; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq || say "apt-get update reported errors; going on with the indexes it got"
  local pins=()
  for p in "${libs[@]}"; do
    v=$(common_version "$p")
    [ -n "$v" ] || { say "no version of $p offered for both amd64 and armhf"; exit 1; }
    pins+=("$p:armhf=$v")
    if installed "$p" && [ "$(installed_version "$p:amd64")" != "$v" ]; then
      pins+=("$p:amd64=$v")
    fi
  done
  say "installing ${tools[*]} ${pins[*]}"
  apt-get install -y -qq --no-install-recommends --allow-downgrades "${tools[@]}" "${pins[@]}" >/dev/null
}

install_packages
[ "${1:-}" = --install-only ] && exit 0
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf.cmake" \
  -DCMAKE_BUILD_TYPE=Debug -DKRU_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
exec ctest --output-on-failure -j"$(nproc)"
