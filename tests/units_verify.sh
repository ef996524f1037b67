#!/usr/bin/env bash
# The boot units under dist/systemd pass systemd-analyze verify. The check wants every command
# a unit runs to exist, so /usr/sbin/kru is pointed at this build's kru in a copy of the units.
# Exit 77 (skipped) when systemd-analyze is not installed.
#   units_verify.sh SOURCE_DIR KRU_BINARY
set -uo pipefail
src=$1
kru=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for unit in "$src"/dist/systemd/*; do
  sed "s|/usr/sbin/kru|$kru|g" "$unit" >"$dir/${unit##*/}"
done
# Documentation= is not looked up: the manual page has a test of its own.
out=$(systemd-analyze verify --man=no "$dir"/* 2>&1)
status=$?
echo "$out"
# Complaints about other units of this machine are not ours; any line about ours fails.
if [ $status -ne 0 ] || grep -q 'kru-' <<<"$out"; then
  echo "FAIL: systemd-analyze verify (status $status)"
  exit 1
fi
echo "systemd-analyze verify: $(ls "$dir" | tr '\n' ' ')passed"
