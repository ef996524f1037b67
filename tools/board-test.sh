#!/usr/bin/env bash
# End-to-end trial of kru on an emulated ARM board: QEMU's "virt" machine with a 64 MiB CFI NOR
# flash, partitioned by mtdparts= into /dev/mtd0..mtd19 and driven by the kernel's real MTD
# stack. Builds (once, then cached) a small kernel, packs an initramfs with busybox, the armhf
# kru and signed test images, boots it, runs tools/board/steps.sh in the guest, and checks after
# each boot what the guest left in the flash image.
#
#   bash tools/board-test.sh           # everything; exit status 0 when every step passed
#   bash tools/board-test.sh kernel    # only build (or find) the cached kernel
#   bash tools/board-test.sh memory IMAGE   # peak memory of `kru install IMAGE 1` on the board
#                                      # (IMAGE: payloads kernel <= 4, rootfs <= 10, appl <= 2 MiB)
#   bash tools/board-test.sh memory IMAGE OLD DELTA   # and of `kru -rewrite install DELTA 1`,
#                                      # DELTA made from OLD to IMAGE, with OLD installed in set 2
#
# KRU_BOARD_CACHE (default /var/cache/kru-board) keeps the kernel, keyed by the kernel source
# version and tools/board/kernel.config, and busybox; the armhf programs are a release build in
# build-board (KRU_BOARD_BUILD_DIR); KRU_BOARD_KERNEL names a zImage to boot instead; KRU_BOARD_KEEP=1 keeps the work directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
board=$top/tools/board
cache=${KRU_BOARD_CACHE:-/var/cache/kru-board}

say() { echo "board-test: $*" >&2; }

install_packages() {
  bash "$top/tools/armhf-test.sh" --install-only   # the cross compiler and armhf libraries
  local want=(qemu-system-arm linux-source-6.1 cpio gzip make gcc flex bison bc openssl libssl-dev
              g++ cmake)
  local missing=() p
  for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The kernel: allnoconfig plus tools/board/kernel.config, built once per source version and
# fragment. Prints the path of the zImage.
kernel_image() {
  local ver key dir src
  ver=$(dpkg-query -W -f='${Version}' linux-source-6.1)
  key=$( (echo "$ver"; cat "$board/kernel.config") | sha256sum | cut -c1-16)
  dir=$cache/kernel-$key
  if [ -f "$dir/zImage" ]; then
    echo "$dir/zImage"
    return
  fi
  say "building the board kernel (linux-source $ver, several minutes; cached in $dir)"
  # The source tree stays in the cache: a changed fragment rebuilds only what it touches.
  src=$cache/linux-source-$ver
  if [ ! -f "$src/Makefile" ]; then
    rm -rf "$src" "$src.tmp" && mkdir -p "$src.tmp"
    tar -C "$src.tmp" -xf /usr/src/linux-source-6.1.tar.xz
    mv "$src.tmp/linux-source-6.1" "$src" && rmdir "$src.tmp"
  fi
  local mk=(make -C "$src" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- -s)
  "${mk[@]}" allnoconfig >/dev/null
  (cd "$src" && ARCH=arm scripts/kconfig/merge_config.sh -m .config "$board/kernel.config" >/dev/null)
  "${mk[@]}" olddefconfig >/dev/null
  local opt missing=0
  while read -r opt; do
    grep -qx "$opt" "$src/.config" || { say "kernel option not taken: $opt"; missing=1; }
  done < <(grep '^CONFIG_' "$board/kernel.config")
  [ $missing -eq 0 ] || { say "kernel configuration incomplete"; exit 1; }
  # Other builds share the machine's cores: the kernel gets what they leave.
  nice -n 19 "${mk[@]}" -j"$(nproc)" zImage >"$cache/kernel-build.log" 2>&1 ||
    { tail -30 "$cache/kernel-build.log" >&2; exit 1; }
  mkdir -p "$dir.tmp"
  cp "$src/arch/arm/boot/zImage" "$src/.config" "$dir.tmp/"
  rm -rf "$dir" && mv "$dir.tmp" "$dir"
  echo "$dir/zImage"
}

# busybox for the board: the armhf package, unpacked into the cache (it cannot be installed
# beside the build machine's own).
busybox_armhf() {
  local dir=$cache/busybox-armhf
  if [ ! -x "$dir/bin/busybox" ]; then
    rm -rf "$dir" "$cache"/busybox-static_*_armhf.deb
    (cd "$cache" && apt-get download -qq busybox-static:armhf >/dev/null 2>&1) ||
      { apt-get update -qq || true; (cd "$cache" && apt-get download -qq busybox-static:armhf >/dev/null); }
    dpkg-deb -x "$cache"/busybox-static_*_armhf.deb "$dir"
  fi
  echo "$dir/bin/busybox"
}

install_packages
mkdir -p "$cache"
busybox=$(busybox_armhf)
if [ -n "${KRU_BOARD_KERNEL:-}" ]; then
  zimage=$KRU_BOARD_KERNEL
else
  # One build at a time; a second run waits for the first one's kernel.
  exec 9>"$cache/kernel.lock"
  flock 9
  zimage=$(kernel_image)
  exec 9>&-
fi
[ "${1:-}" = kernel ] && { echo "$zimage"; exit 0; }
mode=${1:-test}
if [ "$mode" = memory ]; then
  [ -f "${2:-}" ] || { say "memory: no image ${2:-}"; exit 1; }
  image=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  old=${3:-} delta=${4:-}
  [ -z "$old" ] || [ -f "$delta" ] || { say "memory: no delta image ${4:-}"; exit 1; }
fi

# The armhf programs for the board: a release build of this tree (the build directory belongs
# to the source tree it was configured from, so it is not kept in the shared cache).
armhf=${KRU_BOARD_BUILD_DIR:-$top/build-board}
cmake -S "$top" -B "$armhf" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKRU_BUILD_TESTS=OFF >/dev/null
cmake --build "$armhf" -j"$(nproc)" --target kru nemftool flashsim >/dev/null
emu=(qemu-arm -L /)

work=$(mktemp -d /tmp/kru-board.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -n "${KRU_BOARD_KEEP:-}" ] && trap 'echo "board-test: kept $work" >&2' EXIT

# The flash: 64 MiB of erased NOR, blocks of 256 KiB; partition n has the size sizes[n] KiB.
sizes=(256 256 256 256 256 256 256 2048 4096 256 2048 2048 4096 4096 1024 1024 256 256 256 1024)
[ "$mode" = memory ] &&   # pools sized for a 16 MiB image
  sizes=(256 256 256 256 256 256 256 256 256 256 4096 4096 10240 10240 2048 2048 256 256 256 256)
parts=() offsets=() off=0
for n in "${!sizes[@]}"; do
  at=; if [ "$n" -eq 0 ]; then at=@64M; fi   # the file-backed second flash
  parts+=("${sizes[$n]}k$at(p$n)")
  offsets+=($((off * 1024)))
  off=$((off + sizes[n]))
done
mtdparts="mtdparts=0.flash:$(IFS=,; echo "${parts[*]}")"
flash=$work/flash.img
head -c 64M /dev/zero | tr '\0' '\377' >"$flash"

# Two signed releases with a kernel (body, then its header as trailer), a root file system
# (2.1.0: header, then body; 2.2.0: as the kernel) and an application partition (body only).
pki=$top/tests/pki
payload() {   # FILE KEY SIZE: reproducible bytes without runs
  (set +o pipefail
   openssl enc -aes-128-ctr -K "$(printf %032x "$2")" -iv 0 -nosalt </dev/zero 2>/dev/null | head -c "$3" >"$work/$1")
}
release() {   # NAME VERSION KEY ROOTFS-WTS [BASE: the payloads of release BASE, a few bytes changed]
  local v=$2 p f
  for p in kernel:700000 rootfs:1300000 appl:300000; do
    f=$work/$1-${p%%:*}.bin
    if [ -n "${5:-}" ]; then
      cp "$work/$5-${p%%:*}.bin" "$f"
      printf 'release %s' "$v" | dd of="$f" bs=1 seek=$((${p##*:} / 3)) conv=notrunc status=none
    else
      payload "$1-${p%%:*}.bin" "$3" "${p##*:}"
    fi
  done
  "${emu[@]}" "$armhf/bin/nemftool" create -o "$work/root/board/images/$1.nemf" \
    --release "$v" --date 1599000000 --build-id "R$v" --products MODELA,MODELB \
    --sign-cert "$pki/signer.cert.pem" --sign-key "$pki/signer.key.pem" \
    --krum-line "@kernel,KERNEL,0,-,-,-,$v,3" \
    --krum-line "@rootfs,ROOTFS,0,/,squashfs,-,$v,$4" \
    --krum-line "@appl,APPL,0,/mnt/appl,jffs2,-,$v,1" \
    --sw "kernel:$v:k-$v:$work/$1-kernel.bin" \
    --sw "rootfs:$v:r-$v:$work/$1-rootfs.bin" \
    --sw "appl:$v:a-$v:$work/$1-appl.bin"
}

# The initramfs: busybox, kru and the libraries it needs, the trust material, the images.
root=$work/root
mkdir -p "$root/bin" "$root/usr/bin" "$root/board/images" "$root/mnt/misc/pki/tls/certs"
cp "$busybox" "$root/bin/busybox"
cp "$board/init" "$root/init" && chmod +x "$root/init"
cp "$board/steps.sh" "$root/board/steps.sh"
cp "$top/dist/systemd/kru-validate.service" "$root/board/"
arm-linux-gnueabihf-strip -o "$root/usr/bin/kru" "$armhf/bin/kru"
mkdir -p "$root/usr/sbin" && ln -s ../bin/kru "$root/usr/sbin/kru"   # where the units look for it
[ "$mode" = memory ] && arm-linux-gnueabihf-gcc -O2 -Wall -o "$root/usr/bin/maxrss" "$board/maxrss.c"
cp "$pki/ca.cert.pem" "$root/mnt/misc/pki/tls/certs/ca.cert.pem"
cp "$pki/ca.crl.pem" "$root/mnt/misc/pki/tls/certs/crl.cert.pem"
needed() { arm-linux-gnueabihf-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
libs=() queue=("$root/usr/bin/kru")
while [ ${#queue[@]} -gt 0 ]; do
  f=${queue[0]} queue=("${queue[@]:1}")
  for lib in $(needed "$f"); do
    case " ${libs[*]} " in *" $lib "*) continue ;; esac
    path=$(ls /lib/arm-linux-gnueabihf/"$lib" /usr/lib/arm-linux-gnueabihf/"$lib" 2>/dev/null | head -1)
    [ -n "$path" ] || { say "no armhf library $lib"; exit 1; }
    libs+=("$lib") queue+=("$path")
    mkdir -p "$root/lib/arm-linux-gnueabihf"
    cp -L "$path" "$root/lib/arm-linux-gnueabihf/$lib"
  done
done
ln -sf arm-linux-gnueabihf/ld-linux-armhf.so.3 "$root/lib/ld-linux-armhf.so.3"
if [ "$mode" = memory ]; then
  cp "$image" "$root/board/images/bench.nemf"
  if [ -n "$old" ]; then
    cp "$old" "$root/board/images/old.nemf"
    cp "$delta" "$root/board/images/delta.nemf"
  fi
else
  release rel1 2.1.0 01 2
  release rel2 2.2.0 02 3
  # Release 2.3.0 reaches the board only as a delta image, made from 2.2.0.
  release rel3 2.3.0 03 3 rel2
  "${emu[@]}" "$armhf/bin/nemftool" delta --from "$root/board/images/rel2.nemf" \
    --to "$root/board/images/rel3.nemf" -o "$root/board/images/delta3.nemf" >/dev/null
  say "release 2.3.0: delta image $(stat -c %s "$root/board/images/delta3.nemf") bytes," \
    "full image $(stat -c %s "$root/board/images/rel3.nemf") bytes"
  rm "$root/board/images/rel3.nemf"
fi
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"
say "kru for armhf: $(stat -c %s "$root/usr/bin/kru") bytes stripped; needs ${libs[*]}"

# Boots the board once with the kernel command-line words given; the console goes to
# $work/boot-N.log.
boot() {   # N WORD...
  local n=$1
  shift
  timeout 300 qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nographic -no-reboot -nic none ${qemu_clock[@]+"${qemu_clock[@]}"} \
    -drive if=pflash,unit=1,format=raw,file="$flash" \
    -kernel "$zimage" -initrd "$work/initrd.gz" \
    -append "console=ttyAMA0 quiet panic=-1 $mtdparts kruboard=$n $*" </dev/null | tr -d '\r' >"$work/boot-$n.log" || true
}

pass=0 fail=0
report() {   # NAME OK
  if [ "$2" = 0 ]; then pass=$((pass + 1)); echo "PASS $1"; else fail=$((fail + 1)); echo "FAIL $1"; fi
}
guest() {   # N [END]: the guest's own results of boot N, which ends with the line BOARD: END
  local line
  grep -q "^BOARD: ${2:-END}" "$work/boot-$1.log" || { report "boot $1 reached its end" 1; tail -20 "$work/boot-$1.log"; }
  while IFS= read -r line; do
    case $line in
      "BOARD: PASS "*) report "boot $1: ${line#BOARD: PASS }" 0 ;;
      "BOARD: FAIL "*) report "boot $1: ${line#BOARD: FAIL }" 1 ;;
      "  out: "* | "  err: "*) echo "$line" ;;
    esac
  done <"$work/boot-$1.log"
}
# Bytes of the flash image: partition n from byte offset `at`, `count` bytes.
# The file is the second flash, which the partitions begin at.
flash_bytes() { dd if="$flash" bs=1M iflag=skip_bytes,count_bytes skip=$((offsets[$1] + $2)) count="$3" 2>/dev/null; }
hex() { od -An -tx1 | tr -d ' \n'; }
host_checks() {   # SET1-RELEASE SET2-RELEASE ACTSET FLAGS
  cmp -s <(flash_bytes 5 0 5120) <(flash_bytes 2 0 5120); report "flash: hostconfig backup equals primary" $?
  [ "$(flash_bytes 5 131070 2 | hex)" = "$4" ]; report "flash: flag bytes $4" $?
  # "KRU data" is the hostconfig's only part: the record starts after 24 + 32 header bytes.
  [ "$(flash_bytes 5 56 1 | hex)" = "0$3" ]; report "flash: active set $3 in the record" $?
  local set rel pn
  for set in 1 2; do
    rel=$([ "$set" = 1 ] && echo "$1" || echo "$2")
    [ -n "$rel" ] || continue
    # A body is a 32-byte version block, then the file; the 2.1.0 root file system starts
    # with its 32-byte part header.
    pn=$((9 + set)); cmp -s <(flash_bytes $pn 32 700000) "$work/$rel-kernel.bin"; report "flash: $rel kernel in mtd$pn" $?
    pn=$((11 + set)); cmp -s <(flash_bytes $pn "$([ "$rel" = rel1 ] && echo 64 || echo 32)" 1300000) "$work/$rel-rootfs.bin"
    report "flash: $rel rootfs in mtd$pn" $?
    pn=$((13 + set)); cmp -s <(flash_bytes $pn 32 300000) "$work/$rel-appl.bin"; report "flash: $rel appl in mtd$pn" $?
  done
}

# The flash image's partitions as devices of the emulator (tools/flashsim), and kru's report
# of them there: the same as on the board, if the emulator reads flash as the kernel does.
emulated_info() {
  local sb=$work/sandbox n
  rm -rf "$sb" && mkdir -p "$sb/dev" "$sb/tmp"
  for n in "${!sizes[@]}"; do
    flash_bytes "$n" 0 $((sizes[n] * 1024)) >"$sb/dev/mtd$n"
    echo 262144 >"$sb/dev/mtd$n.erasesize"
  done
  FLASHSIM_ROOT=$sb "${emu[@]}" -E LD_PRELOAD="$armhf/lib/libflashsim.so" "$armhf/bin/kru" info
}

# Power cuts on the kernel's MTD stack, from the state boot 2 left (set 2 active, set 1 holding
# release 2.1.0): install -test of that release into set 1 again (-rewrite), upgrade activate
# -test of set 1, and partset of set 1, each cut at 8 points spread over the action's time as
# measured on the board, by a reset without sync (tools/board/steps.sh, case cut). The boot
# after each cut checks with kru what it left; the host decodes the flash image in between.
# A failed check counts; a cut that leaves no record of before or after, the set active
# before broken, set 1 active without its trial, or the board and the host disagreeing, is
# unsafe.
cut_actions=(install activate partset)
declare -A cut_label=([install]="install -test" [activate]="upgrade activate -test" [partset]="partset")
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
crc32() { tail -c +$(($2 + 1)) "$1" | head -c "$3" | gzip -c | tail -c 8 | od -An -tu4 -N4 | tr -d ' '; }
# True if the hostconfig copy on partition n passes the checks of a load: its header and body CRCs.
copy_loads() {
  local img=$work/copy.bin hlen blen
  flash_bytes "$1" 0 5120 >"$img"
  hlen=$(od -An -tu2 -j 14 -N2 "$img" | tr -d ' ')
  blen=$(u32 "$img" 16)
  [ "$hlen" -ge 16 ] && [ $((8 + hlen + blen)) -le 5120 ] &&
    [ "$(crc32 "$img" 12 $((hlen - 4)))" = "$(u32 "$img" 8)" ] &&
    [ "$(crc32 "$img" $((8 + hlen)) "$blen")" = "$(u32 "$img" 20)" ]
}
# What the flash image holds after a cut in ACTION, decoded on the host: the copy that loads,
# whether its record is the old or the new one, and the upgrade state of set 1.
cut_decode() {   # ACTION
  local pn copy record=other word
  if copy_loads 5; then pn=5 copy=primary; elif copy_loads 2; then pn=2 copy=backup; else echo "none other -"; return; fi
  # The record is "KRU data", the only part: it starts 56 bytes in; set 1's name at 38 in it.
  case $1 in
    partset) case $(flash_bytes $pn 94 15 | tr -d '\0') in SET1NEW) record=new ;; SET1) record=old ;; esac ;;
    *) case $(flash_bytes $pn 56 1 | hex) in 01) record=new ;; 02) record=old ;; esac ;;
  esac
  word=$((~0x$(flash_bytes 5 131070 1 | hex) & 3))
  echo "$copy $record $(case $word in 1) echo TEST ;; 3) echo BOOT ;; *) echo VALID ;; esac)"
}
power_cuts() {
  local a i line end plan=() prev= host= unsafe=0 k
  # The board's clock counts the instructions it runs, whatever the load of the build machine:
  # a cut comes at the same point of the action every time it is asked for.
  local qemu_clock=(-icount shift=4,align=off,sleep=off)
  boot cut0 KRUSET=SET2 krutime=1
  guest cut0
  for a in "${cut_actions[@]}"; do
    line=$(grep "^BOARD: TIME $a " "$work/boot-cut0.log") || { report "power cuts: $a timed" 1; return; }
    read -r _ _ _ end <<<"$line"
    # Over the action from kru's start to its end, two of them close to the end, where an
    # install saves the hostconfig after writing its partitions (per mille of the time).
    for i in 125 250 375 500 625 750 950 985; do plan+=("$a:$((end * i / 1000))"); done
  done
  for ((k = 0; k <= ${#plan[@]}; k++)); do
    local words=(KRUSET=SET2)
    [ -n "$prev" ] && words+=("krucheck=$prev")
    [ $k -lt ${#plan[@]} ] && words+=("krucut=${plan[k]}")
    boot cut$((k + 1)) "${words[@]}"
    guest cut$((k + 1)) "$([ $k -lt ${#plan[@]} ] && echo 'CUT ARMED' || echo END)"
    if [ -n "$prev" ]; then
      # One line per cut: the host's decoding of the flash, then what kru on the board saw.
      a=${prev%%:*}
      local copy record state g_record g_state verdict=safe
      read -r copy record state <<<"$host"
      line=$(grep "^BOARD: CUTCHECK $prev " "$work/boot-cut$((k + 1)).log")
      g_record=$(sed -n 's/.* record=\([a-z]*\).*/\1/p' <<<"$line")
      g_state=$(sed -n 's/.* set1=\([A-Z]*\).*/\1/p' <<<"$line")
      [ "$copy" != none ] && [ "$record" != other ] || verdict="UNSAFE: no record of before or after"
      [ "$a" = partset ] || [ "$record" != new ] || [ "$state" = TEST ] || verdict="UNSAFE: set 1 active without its trial"
      [[ $line == *" verify2=0" ]] || verdict="UNSAFE: set 2 no longer verifies"
      [ "$g_record/$g_state" = "$record/$state" ] || verdict="UNSAFE: the board loaded $g_record/$g_state"
      [ "$verdict" = safe ] || unsafe=$((unsafe + 1))
      printf 'power cut %2d | %-22s | delay %7d us | record %-5s (%-7s) | set 1 %-5s | %s\n' "$k" \
        "${cut_label[$a]}" "${prev#*:}" "$record" "$copy" "$state" "$verdict"
    fi
    [ $k -lt ${#plan[@]} ] && host=$(cut_decode "${plan[k]%%:*}")
    prev=${plan[k]:-}
  done
  [ $unsafe -eq 0 ]; report "power cuts: ${#plan[@]} on the kernel's MTD stack, $unsafe unsafe" $?
}

set +e   # from here on a failed check is counted, not fatal
start=$(date +%s)
if [ "$mode" = memory ]; then
  boot memory
  guest memory
  # "MEM help KiB", "MEM install KiB" (and "MEM delta KiB") for the caller.
  sed -n 's/^BOARD: MEM /MEM /p' "$work/boot-memory.log"
  [ "$fail" -eq 0 ] &&
    [ "$(grep -c '^BOARD: MEM [a-z]* [0-9][0-9]*$' "$work/boot-memory.log")" = "$([ -n "$old" ] && echo 3 || echo 2)" ]
  exit
fi
boot 1
guest 1
host_checks rel1 "" 1 feff
# The boot loader starts set 1 for its trial and marks it booted: TEST (stored 0xFE) becomes
# BOOT (0xFC), a NOR write that only clears a bit.
printf '\374' | dd of="$flash" bs=1 seek=$((offsets[5] + 131070)) conv=notrunc 2>/dev/null
boot 2 KRUSET=SET1
guest 2
host_checks rel1 rel2 2 ffff
grep -q '^  info: ' "$work/boot-2.log" && cmp -s <(sed -n 's/^  info: //p' "$work/boot-2.log") <(emulated_info 2>/dev/null)
report "flash: the emulator reports the image as the board did" $?
boot delta KRUSET=SET2
guest delta
host_checks rel3 rel2 1 ffff
power_cuts
echo "board-test: $pass passed, $fail failed, $(( $(date +%s) - start )) s for all boots"
[ "$fail" -eq 0 ]
