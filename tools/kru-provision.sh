#!/usr/bin/env bash
# Provisions an emulated device in the sandbox ROOT for kru: the hostconfig devices, the
# partitions, and a partition table with the safe set, two upgrade sets and these pools:
#
#   partinfo/mtd  pool        mount point  fstype     set
#   7             KNL-SAFE                            0 (SAFESET)
#   8             ROOT-SAFE                           0
#   19            APPL-SAFE                           0
#   10 11         KERNEL
#   12 13         ROOTFS      /            squashfs
#   14 15         APPL        /mnt/appl    jffs2
#   16            BOOT        (a singleton pool)
#
# /dev/mtd5 and /dev/mtd2 are 256 KiB with 64 KiB erase blocks; every partition is 16 KiB
# with 4 KiB erase blocks and starts filled with 0x00, as old data would, so that a write
# over flash that was not erased shows in the emulator's log and in the bytes.
#
# usage: kru-provision.sh ROOT KRU FLASHSIM_LIB [KRU OPTION]...
#   the options (e.g. -cfg=/mnt/appl/hostcfg.default) are given to every kru call.
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 ROOT KRU FLASHSIM_LIB [KRU OPTION]..." >&2
  exit 2
fi
root=$1 kru=$2 lib=$3
shift 3

device() {   # N SIZE ERASESIZE FILL-BYTE-OCTAL
  head -c "$2" /dev/zero | tr '\0' "\\$4" > "$root/dev/mtd$1"
  echo "$3" > "$root/dev/mtd$1.erasesize"
}
mkdir -p "$root/dev" "$root/proc" "$root/mnt" "$root/tmp"
[ -e "$root/dev/mtd5" ] || device 5 262144 65536 377
[ -e "$root/dev/mtd2" ] || device 2 262144 65536 377
for n in 7 8 19 10 11 12 13 14 15 16; do
  [ -e "$root/dev/mtd$n" ] || device "$n" 16384 4096 000
done

# A cross build's tests start the target's programs through its emulator (KRU_TEST_EMULATOR).
if [ -n "${KRU_TEST_EMULATOR:-}" ]; then
  k() { FLASHSIM_ROOT=$root $KRU_TEST_EMULATOR -E "LD_PRELOAD=$lib" "$kru" "$@" > /dev/null; }
else
  k() { FLASHSIM_ROOT=$root LD_PRELOAD=$lib "$kru" "$@" > /dev/null; }
fi
k "$@" initialize
k "$@" partinfo 7 KNL-SAFE 0x4000
k "$@" partinfo 8 ROOT-SAFE 0x4000
k "$@" partinfo 19 APPL-SAFE 0x4000
for n in 10 11; do k "$@" partinfo $n KERNEL 0x4000; done
for n in 12 13; do k "$@" partinfo $n ROOTFS 0x4000 -mount=/ -fstype=squashfs; done
for n in 14 15; do k "$@" partinfo $n APPL 0x4000 -mount=/mnt/appl -fstype=jffs2; done
k "$@" partinfo 16 BOOT 0x4000
k "$@" partset 0 SAFESET -refs=7,8,19
k "$@" partset 1 SET1
k "$@" partset 2 SET2
