#!/usr/bin/env bash
# Installs what is missing, builds kru with its tests and runs the whole suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BUILD_DIR:-$top/build}

bash "$top/tools/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKRU_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
exec ctest --output-on-failure -j"$(nproc)"
