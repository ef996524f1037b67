#!/usr/bin/env bash
# Installs the Debian packages that building and testing kru need, only those missing.
#   bash tools/install-deps.sh            # build and test suite
#   bash tools/install-deps.sh --checks   # also the tools of the packaging and unit checks
set -euo pipefail

packages=(
  cmake g++ make pkg-config       # build
  libssl-dev openssl              # libcrypto, and the openssl command for test fixtures and cross-checks
  libzstd-dev                     # the delta parts' compression
  libdivsufsort-dev               # nemftool's suffix arrays for making deltas
  libgtest-dev zlib1g-dev         # tests, and the reference CRC they compare with
  mtd-utils                       # flashcp, a program the device emulator is proven against
)
if [ "${1:-}" = --checks ]; then
  packages+=(
    dpkg-dev                      # dpkg-shlibdeps, dpkg-buildflags and dpkg-architecture for tools/package.sh
    lintian                       # the packages' check
    systemd                       # systemd-analyze verify on the boot units (nothing is started)
    groff-base                    # the manual pages render without warnings
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
