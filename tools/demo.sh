#!/usr/bin/env bash
# Installs what is missing, builds kru and runs the life cycle of a terminal on the emulated
# device: provisioning, two signed releases, an install on trial, its boot and validation,
# a verify, an upgrade that arrives as a delta image and is left for activation, and a trial
# that never gets validated.
# Exits non-zero when a step does not do what it should, so it doubles as an end-to-end test.
#
# With KRU_BUILD_DIR naming a build that already holds bin/kru, the demo runs those binaries
# as they are: no package check, no build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BUILD_DIR:-$top/build-release}

if [ -z "${KRU_BUILD_DIR:-}" ] || [ ! -x "$build/bin/kru" ]; then
  bash "$top/tools/install-deps.sh" >&2
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKRU_BUILD_TESTS=OFF > /dev/null
  cmake --build "$build" -j"$(nproc)" --target kru nemftool flashsim flashsim-mkdev > /dev/null
fi

kru=$build/bin/kru
nemftool=$build/bin/nemftool
root=$(mktemp -d /tmp/kru-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/dev" "$root/proc" "$root/mnt" "$root/tmp" "$root/work"
export FLASHSIM_ROOT=$root
emu() { LD_PRELOAD=$build/lib/libflashsim.so "$@"; }

step() { printf '\n== %s\n' "$*"; }
say() { printf '   %s\n' "$*"; }
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

# k ARGS...: runs kru on the device, shows the command, keeps its output in $out and $err
# and its exit status in $status. The output is shown only by the steps that want it.
k() {
  printf '$ kru %s\n' "$*"
  set +e
  emu "$kru" "$@" > "$root/out" 2> "$root/err"
  status=$?
  set -e
  out=$(cat "$root/out")
  err=$(cat "$root/err")
}
show() { [ -z "$out" ] || printf '%s\n' "$out"; }
ok() { k "$@"; [ "$status" -eq 0 ] || fail "kru $* exited $status: $err"; }
has() { grep -qF -- "$2" <<< "$1" || fail "expected \"$2\" in: $1"; }
hasnt() { ! grep -qF -- "$2" <<< "$1" || fail "did not expect \"$2\" in: $1"; }
# The upgrade states of sets 1 and 2 and the active set, as the tool reports them.
states() {
  k info
  grep '^KRU Data Upgrade' <<< "$out"
  active=$(sed -n 's/^  \([0-2]\) .*ACTIVE SET$/\1/p' <<< "$out")
  say "active set: $active"
}
# What the board's boot loader does, outside kru: start a set, and mark a set that is on
# trial (flag word TEST) as booted. Flag words are stored complemented: 0xFC reads BOOT.
boot() {
  echo "console=ttyS0,115200 KRUSET=$1" > "$root/proc/cmdline"
  say "kernel command line: $(cat "$root/proc/cmdline")"
}
mark_booted() {
  printf '\374' | emu dd of=/dev/mtd5 bs=1 seek=$((131069 + $1)) conv=notrunc status=none
  say "boot loader: set $1 is on trial, marked BOOT"
}

step "Provision the flash layout"
say "hostconfig on /dev/mtd5 (backup /dev/mtd2); the safe set on mtd7-9; kernel, rootfs"
say "and application pools of two partitions each, one for set 1 and one for set 2."
for n in 5 2; do "$build/bin/flashsim-mkdev" "$root" $n 262144 65536; done
for n in 7 8 9 10 11 12 13 14 15; do "$build/bin/flashsim-mkdev" "$root" $n 16384 4096; done
ok initialize
ok partinfo 7 KNL-SAFE 0x4000 -meta=1.0.0
ok partinfo 8 ROOT-SAFE 0x4000 -mount=/ -fstype=squashfs -meta=1.0.0
ok partinfo 9 APPL-SAFE 0x4000 -mount=/mnt/appl -fstype=jffs2 -meta=1.0.0
for n in 10 11; do ok partinfo $n KERNEL 0x4000; done
for n in 12 13; do ok partinfo $n ROOTFS 0x4000 -mount=/ -fstype=squashfs; done
for n in 14 15; do ok partinfo $n APPL 0x4000 -mount=/mnt/appl -fstype=jffs2; done
ok partset 0 SAFESET -refs=7,8,9 -meta=1.0.0
ok partset 1 SET1
ok partset 2 SET2
certs=$root/mnt/misc/pki/tls/certs
mkdir -p "$certs"
cp "$top/tests/pki/ca.cert.pem" "$certs/ca.cert.pem"
cp "$top/tests/pki/ca.crl.pem" "$certs/crl.cert.pem"
say "trust anchor and revocation list in /mnt/misc/pki/tls/certs"
states
[ "$active" = 0 ] || fail "the safe set should be active"

step "Build two signed releases with nemftool"
release() {   # VERSION
  local v=$1 w=$root/work
  head -c 3000 < <(yes "kernel $v") > "$w/kernel-$v"
  head -c 5000 < <(yes "rootfs $v") > "$w/rootfs-$v"
  head -c 2000 < <(yes "appl $v") > "$w/appl-$v"
  "$nemftool" create -o "$w/release-$v.nemf" \
    --release "$v" --date 1599000000 --build-id "R$v" --products MODELA \
    --sign-cert "$top/tests/pki/signer.cert.pem" --sign-key "$top/tests/pki/signer.key.pem" \
    --krum-line "@kernel,KERNEL,0,-,-,-,$v,3" \
    --krum-line "@rootfs,ROOTFS,0,/,squashfs,-,$v,2" \
    --krum-line "@appl,APPL,0,/mnt/appl,jffs2,-,$v,1" \
    --sw "kernel:$v:k-$v:$w/kernel-$v" --sw "rootfs:$v:r-$v:$w/rootfs-$v" --sw "appl:$v:a-$v:$w/appl-$v"
  say "release-$v.nemf: $(stat -c %s "$w/release-$v.nemf") bytes, kernel, rootfs and appl, signed"
}
release 1.0.0
release 2.0.0
"$nemftool" delta --from "$root/work/release-1.0.0.nemf" --to "$root/work/release-2.0.0.nemf" \
  -o "$root/work/delta-2.0.0.nemf" > /dev/null
full_size=$(stat -c %s "$root/work/release-2.0.0.nemf")
delta_size=$(stat -c %s "$root/work/delta-2.0.0.nemf")
say "delta-2.0.0.nemf: $delta_size bytes instead of $full_size: release 2 made from release 1,"
say "under release 2's own signature; it needs release 1 installed on the terminal"
[ "$delta_size" -lt "$full_size" ] || fail "the delta image should be smaller than the full one"

step "Install release 1 into set 1, on trial (-test)"
ok install "$root/work/release-1.0.0.nemf" 1 -test
show
states
[ "$active" = 1 ] || fail "set 1 should be active after the install"
has "$out" "KRU Data Upgrade set 1: TEST(1)"

step "Boot set 1"
boot SET1
mark_booted 1
states
has "$out" "KRU Data Upgrade set 1: BOOT(2)"

step "The new software runs: kru upgrade test, then kru upgrade validate"
ok upgrade test
states
has "$out" "KRU Data Upgrade set 1: TEST(1)"
ok upgrade validate
states
has "$out" "KRU Data Upgrade set 1: VALID(0)"

step "Check every partition against what the hostconfig records"
ok verify
show
has "$out" "CRC32 content check: OK (wts=2)"
[ "$(grep -c 'CRC32 content check: OK$' <<< "$out")" -eq 2 ] || fail "kernel and appl should check out"
hasnt "$out" "DISPARITY"
say "the kernel and appl start at the partition's first byte, rootfs behind its header (wts=2)"

step "Install release 2 from its delta image, set chosen by the tool (-1), not activated (-noactivate)"
ok nemfinfo "$root/work/delta-2.0.0.nemf" -all
grep -E '^(verifying|not checked|Content Part|delta_)' <<< "$out"
has "$out" "delta_source............: rootfs 1.0-0"
ok install "$root/work/delta-2.0.0.nemf" -1 -noactivate
has "$err" "into autodetected set idx = 2"
say "the delta parts were expanded against release 1 in set 1 before the signature's hashes"
say "were checked; set 2 received the bytes of the full release 2"
say "the tool chose set 2; /tmp/kru.activeset holds: $(cat "$root/tmp/kru.activeset")"
[ "$(cat "$root/tmp/kru.activeset")" = 2 ] || fail "the activeset file should name set 2"
ok getrh 2
show
has "$out" "2.0,0,R2.0.0"
states
[ "$active" = 1 ] || fail "set 1 should still be active"

step "From set 1, activate set 2 on trial: kru upgrade activate -test"
ok upgrade activate -test
states
[ "$active" = 2 ] || fail "set 2 should be active"
has "$out" "KRU Data Upgrade set 2: TEST(1)"

step "A trial that is never validated"
boot SET2
mark_booted 2
say "set 2 starts but never gets as far as kru upgrade validate; the watchdog resets"
say "the board, and the boot loader, finding set 2 still in BOOT, falls back to set 1."
boot SET1
states
has "$out" "KRU Data Upgrade set 2: BOOT(2)"
ok upgrade validate
show
[ "$out" = "Already validated" ] || fail "validate from set 1 should find set 1 validated"
say "validate acts on the running set 1 only: set 2 stays on trial"
states
has "$out" "KRU Data Upgrade set 2: BOOT(2)"

step "Where the device stands"
ok info
show
ok getpartset active
show
has "$out" "# Selected Partition Set: 2"

step "What kru told the system log about the trial (critical regions left out)"
sed -n '/into autodetected set/,$p' "$root/syslog" | grep -v 'critical part'

echo
echo "demo: all steps did what they should"
