#!/usr/bin/env bash
# kru-mount.service's command, as systemd runs it ("$$" is a "$"), on the emulated device: it
# mounts the set that the kernel command line names, and set 0 when the line names none.
#   unit_mount.sh SOURCE_DIR KRU_BINARY FLASHSIM_LIBRARY FLASHSIM_MKDEV
set -uo pipefail
src=$1 kru=$2 lib=$3 mkdev=$4
sb=$(mktemp -d)
trap 'rm -rf "$sb"' EXIT
mkdir -p "$sb/dev" "$sb/proc"
"$mkdev" "$sb" 5 262144 65536
for n in 7 9 11; do "$mkdev" "$sb" $n 65536 65536; done
export FLASHSIM_ROOT=$sb LD_PRELOAD=$lib
provision=(
  "initialize"
  "partinfo 7 APPL-SAFE 0x10000 -fstype=jffs2 -mount=/mnt/appl0"
  "partinfo 9 APPL 0x10000 -fstype=jffs2 -mount=/mnt/appl1"
  "partinfo 11 APPL 0x10000 -fstype=jffs2 -mount=/mnt/appl2"
  "partset 0 SAFESET -refs=7"
  "partset 1 SET1 -refs=9"
  "partset 2 SET2 -refs=11"
)
for step in "${provision[@]}"; do
  $kru $step >/dev/null 2>&1 || { echo "FAIL: kru $step"; exit 1; }
done

# systemd replaces ${NAME} by the variable (none is set: empty) and "$$" by "$".
command=$(sed -n 's/^ExecStart=//p' "$src/dist/systemd/kru-mount.service" |
  sed 's/\$\$/\x01/g; s/\${[^}]*}//g; s/\x01/$/g')
command=${command//\/usr\/sbin\/kru/$kru}

status=0
while IFS='|' read -r cmdline device mountpoint; do
  echo "$cmdline" >"$sb/proc/cmdline"
  out=$(eval "$command" 2>&1)
  if [ "$out" != "KRU: Mounting /dev/mtd$device on $mountpoint as jffs2... OK" ]; then
    echo "FAIL: command line \"$cmdline\": $out"
    status=1
  fi
done <<'CASES'
console=ttyAMA0 KRUSET=SET2 quiet|11|/mnt/appl2
KRUSET=SET1|9|/mnt/appl1
KRUSET=SAFESET KRUSET=SET2|7|/mnt/appl0
root=/dev/mtdblock8 ro|7|/mnt/appl0
CASES
[ $status -eq 0 ] && echo "kru-mount.service mounts the booted set: passed"
exit $status
