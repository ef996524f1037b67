#!/usr/bin/env bash
# Installs what is missing, builds kru and runs a scripted session of it on the emulated
# device. Exits non-zero when a step does not do what it should.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BUILD_DIR:-$top/build-release}

bash "$top/tools/install-deps.sh" >&2
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKRU_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j"$(nproc)" > /dev/null

kru=$build/bin/kru
root=$(mktemp -d /tmp/kru-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/dev" "$root/proc" "$root/mnt" "$root/tmp"
export FLASHSIM_ROOT=$root
emu() { LD_PRELOAD=$build/lib/libflashsim.so "$@"; }

step() { printf '\n== %s\n' "$*"; }
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

step "kru help: the usage text"
emu "$kru" help | head -n 5
echo "   ..."

step "A second kru while the first holds the lock"
FLASHSIM_STALL='flock:*:1' emu "$kru" help > /dev/null &
first=$!
for _ in $(seq 500); do
  ls "$root"/stall.* > /dev/null 2>&1 && break
  sleep 0.01
done
stall=$(ls "$root"/stall.* 2> /dev/null) || fail "the first kru never took the lock"
set +e
emu "$kru" help > /dev/null 2> "$root/second.err"
status=$?
set -e
echo "second kru: exit status $status, says: $(cat "$root/second.err")"
[ "$status" -eq 1 ] || fail "the second kru should have failed with 1"
rm -f "$stall"
wait "$first" || fail "the first kru should have succeeded"
echo "first kru: finished with exit status 0 once it went on"

step "What kru told the system log"
cat "$root/syslog"

echo
echo "demo: all steps did what they should"
