#!/usr/bin/env bash
# Builds kru (Release) with the benchmarks, runs them, and times whole kru commands beside the
# tools a user would pick instead: the same files, the same emulated device, the same run,
# the contenders taking turns round after round, medians of every series. Writes
# bench/RESULTS.md.
#
#   bash bench/run.sh
#   bash bench/run.sh delta   (only the delta image section: bench/delta.sh)
#
# KRU_BENCH_RUNS: rounds of the command timings (default 31).
# KRU_BENCH_BUILD_DIR: the build directory (default build-bench).
# KRU_BENCH_RESULTS: where the report goes (default bench/RESULTS.md).
# KRU_BENCH_KEEP: when set, the image, the sandboxes and the timing series are kept.
# KRU_BENCH_BOARD=0: no peak-memory run on the emulated ARM board (tools/board-test.sh memory;
#   its first run builds the board's kernel, several minutes, then cached).
set -euo pipefail
export LC_ALL=C
# `bash bench/run.sh delta` runs only the delta image benchmarks (bench/delta.sh).
if [ "${1:-}" = delta ]; then exec bash "$(dirname "$0")/delta.sh"; fi
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BENCH_BUILD_DIR:-$top/build-bench}
runs=${KRU_BENCH_RUNS:-31}
results=${KRU_BENCH_RESULTS:-$top/bench/RESULTS.md}

say() { echo "bench: $*" >&2; }
fail() { echo "bench: FAILED: $*" >&2; exit 1; }

# ---- what the benchmarks need, installed only when missing --------------------------------
packages=(cmake g++ make pkg-config libssl-dev openssl zlib1g-dev libbenchmark-dev mtd-utils time)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || fail "run as root to install ${missing[*]}"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi

say "building (Release) in $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKRU_BUILD_BENCH=ON > /dev/null
cmake --build "$build" -j"$(nproc)" \
  --target kru nemftool flashsim flashsim-mkdev bench_crc32 bench_nemf bench_zcrc > /dev/null
bin=$build/bin
lib=$build/lib/libflashsim.so

# On tmpfs when there is one: flashcp opens devices with O_SYNC, which the emulator would turn
# into a disk flush per write, while a real MTD device writes synchronously anyway.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d /dev/shm/kru-bench.XXXXXX); else work=$(mktemp -d /tmp/kru-bench.XXXXXX); fi
if [ -n "${KRU_BENCH_KEEP:-}" ]; then say "keeping $work"; else trap 'rm -rf "$work"' EXIT; fi
started_load=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- the signed 16 MiB release image -------------------------------------------------------
# Three payloads, one per layout (body then header trailer, header then body, body only), of
# random bytes, filling the image to just under the tool's 16 MiB limit.
kernel_bytes=$((4 * 1048576 - 4096))
rootfs_bytes=$((10 * 1048576 - 4096))
appl_bytes=$((2 * 1048576 - 8192))
head -c "$kernel_bytes" /dev/urandom > "$work/kernel"
head -c "$rootfs_bytes" /dev/urandom > "$work/rootfs"
head -c "$appl_bytes" /dev/urandom > "$work/appl"
img=$work/release.nemf
"$bin/nemftool" create -o "$img" \
  --release 3.0.0 --date 1599000000 --build-id R3.0.0 --products MODELA \
  --sign-cert "$top/tests/pki/signer.cert.pem" --sign-key "$top/tests/pki/signer.key.pem" \
  --krum-line "@kernel,KERNEL,0,-,-,-,3.0.0,3" \
  --krum-line "@rootfs,ROOTFS,0,/,squashfs,-,3.0.0,2" \
  --krum-line "@appl,APPL,0,/mnt/appl,jffs2,-,3.0.0,1" \
  --sw "kernel:3.0.0:k-3.0.0:$work/kernel" --sw "rootfs:3.0.0:r-3.0.0:$work/rootfs" \
  --sw "appl:3.0.0:a-3.0.0:$work/appl" > /dev/null
img_size=$(stat -c %s "$img")
[ "$img_size" -le 16777216 ] || fail "the image is larger than 16 MiB"

# Content parts of the image, walked by their lengths: "index offset hdr_length body_length".
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
parts=()
off=24
while [ $((off + 32)) -le "$img_size" ]; do
  h=$(u16 "$img" $((off + 6))) b=$(u32 "$img" $((off + 8)))
  parts+=("$off $h $b")
  off=$((off + h + (b + 3) / 4 * 4))
done
[ ${#parts[@]} -eq 6 ] || fail "expected 6 content parts, found ${#parts[@]}"
part() { echo "${parts[$1]}" | cut -d' ' -f"$2"; }   # INDEX FIELD(1 offset, 2 hdr, 3 body)
bytes() { dd if="$1" bs=64K iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }   # FILE OFFSET LENGTH

# The signature part's S/MIME text, and the trust material as the openssl command wants it.
bytes "$img" $(($(part 1 1) + $(part 1 2))) "$(part 1 3)" | tr -d '\0' > "$work/signature.smime"
cat "$top/tests/pki/ca.cert.pem" "$top/tests/pki/ca.crl.pem" > "$work/trust.pem"

# ---- the emulated device -------------------------------------------------------------------
# hostconfig on mtd5 and mtd2; pools of two partitions each, sized for the payloads, with
# 64 KiB erase blocks, erased; the safe set on small partitions.
emu() { FLASHSIM_ROOT=$root LD_PRELOAD=$lib "$@"; }
provision() {   # ROOT
  root=$1
  mkdir -p "$root/dev" "$root/proc" "$root/mnt" "$root/tmp"
  local n
  for n in 5 2; do "$bin/flashsim-mkdev" "$root" $n 262144 65536; done
  for n in 7 8 19; do "$bin/flashsim-mkdev" "$root" $n 65536 65536; done
  for n in 10 11; do "$bin/flashsim-mkdev" "$root" $n 4194304 65536; done
  for n in 12 13; do "$bin/flashsim-mkdev" "$root" $n 10485760 65536; done
  for n in 14 15; do "$bin/flashsim-mkdev" "$root" $n 2097152 65536; done
  k() { emu "$bin/kru" "$@" > /dev/null || fail "kru $* during provisioning"; }
  k initialize
  k partinfo 7 KNL-SAFE 0x10000
  k partinfo 8 ROOT-SAFE 0x10000 -mount=/ -fstype=squashfs
  k partinfo 19 APPL-SAFE 0x10000 -mount=/mnt/appl -fstype=jffs2
  for n in 10 11; do k partinfo $n KERNEL 0x400000; done
  for n in 12 13; do k partinfo $n ROOTFS 0xa00000 -mount=/ -fstype=squashfs; done
  for n in 14 15; do k partinfo $n APPL 0x200000 -mount=/mnt/appl -fstype=jffs2; done
  k partset 0 SAFESET -refs=7,8,19
  k partset 1 SET1
  k partset 2 SET2
  mkdir -p "$root/mnt/misc/pki/tls/certs"
  cp "$top/tests/pki/ca.cert.pem" "$root/mnt/misc/pki/tls/certs/ca.cert.pem"
  cp "$top/tests/pki/ca.crl.pem" "$root/mnt/misc/pki/tls/certs/crl.cert.pem"
  cp -a "$root/dev" "$root/dev.fresh"
}
# The provisioned device again, with no trace of an earlier run.
reset_device() {   # ROOT
  rm -rf "$1/dev" "$1/tmp"
  cp -a "$1/dev.fresh" "$1/dev"
  mkdir -p "$1/tmp"
  : > "$1/flashsim.log"
  : > "$1/syslog"
}

say "provisioning the emulated devices"
inst=$work/install     # install and flashcp, reset before every run
provision "$inst"
reset_device "$inst"
root=$inst
emu "$bin/kru" install "$img" 1 > /dev/null 2>&1 || fail "kru install of the 16 MiB image"

# The partition each payload went to, and the bytes kru wrote there in the payload's layout:
# flashcp gets exactly these bytes for exactly these partitions.
written() {   # POOL-DEVICES...: the first that is no longer erased
  local n
  for n in "$@"; do
    if [ "$(od -An -tx1 -N1 "$inst/dev/mtd$n" | tr -d ' ')" != ff ]; then echo "$n"; return; fi
  done
  fail "none of mtd$* was written"
}
kernel_dev=$(written 10 11) rootfs_dev=$(written 12 13) appl_dev=$(written 14 15)
kernel_len=$(( ($(part 3 3) + 3) / 4 * 4 + $(part 3 2) ))   # body, gap, header trailer
rootfs_len=$(( $(part 4 2) + $(part 4 3) ))                  # header, body
appl_len=$(part 5 3)                                         # body
bytes "$inst/dev/mtd$kernel_dev" 0 "$kernel_len" > "$work/kernel.layout"
bytes "$inst/dev/mtd$rootfs_dev" 0 "$rootfs_len" > "$work/rootfs.layout"
bytes "$inst/dev/mtd$appl_dev" 0 "$appl_len" > "$work/appl.layout"
# The body-only layout must be the image's own bytes.
bytes "$img" $(($(part 5 1) + $(part 5 2))) "$appl_len" | cmp -s - "$work/appl.layout" ||
  fail "the appl partition does not hold the image's body"

# The installed device stays as it is for the verify timings.
ver=$work/verify
cp -a "$inst" "$ver"
root=$ver
emu "$bin/kru" verify > "$work/verify.out" 2>&1 || fail "kru verify after the install"
[ "$(grep -c 'CRC32 content check: OK' "$work/verify.out")" -eq 3 ] || fail "kru verify: $(cat "$work/verify.out")"

# ---- the timed commands -------------------------------------------------------------------
# Each contender is a function; time_one runs it once and adds the wall time in microseconds
# to its series. A failing run ends the benchmark.
c_nemfinfo() { root=$inst emu "$bin/kru" nemfinfo "$img" -all; }
c_dgst() { openssl dgst -sha256 "$img"; }
c_cms_sha256sum() {
  openssl cms -verify -in "$work/signature.smime" -CAfile "$work/trust.pem" -crl_check_all \
    -attime 1599479985 -out /dev/null && sha256sum "$img"
}
c_install() { root=$inst emu "$bin/kru" install "$img" 1; }
c_flashcp() {
  root=$inst
  emu flashcp "$work/kernel.layout" "/dev/mtd$kernel_dev" &&
    emu flashcp "$work/rootfs.layout" "/dev/mtd$rootfs_dev" &&
    emu flashcp "$work/appl.layout" "/dev/mtd$appl_dev"
}
c_verify() { root=$ver emu "$bin/kru" verify; }
c_cksum() { root=$ver emu cksum -a crc "/dev/mtd$kernel_dev" "/dev/mtd$rootfs_dev" "/dev/mtd$appl_dev"; }
c_zcrc() {
  root=$ver emu "$bin/bench_zcrc" "/dev/mtd$kernel_dev:$(part 3 3)" "/dev/mtd$rootfs_dev:$rootfs_len" \
    "/dev/mtd$appl_dev:$appl_len"
}

series=$work/series
mkdir -p "$series"
time_one() {   # NAME
  local t0 t1
  t0=$EPOCHREALTIME
  "c_$1" > /dev/null 2> "$work/last.err" || fail "$1: $(cat "$work/last.err")"
  t1=$EPOCHREALTIME
  echo $(( 10#${t1/./} - 10#${t0/./} )) >> "$series/$1"
}
median_us() { sort -n "$series/$1" | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
ms() { awk -v u="$1" 'BEGIN {printf "%.1f", u / 1000}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

say "timing whole commands: $runs rounds"
# One round unrecorded first, so that every file is in the page cache for every contender.
for c in nemfinfo dgst cms_sha256sum verify cksum zcrc; do "c_$c" > /dev/null 2>&1; done
rm -f "$series"/*
for ((r = 0; r < runs; ++r)); do
  # The order within a round rotates, so no contender always runs first.
  group=(nemfinfo dgst cms_sha256sum)
  for ((i = 0; i < 3; ++i)); do time_one "${group[(i + r) % 3]}"; done
  group=(verify cksum zcrc)
  for ((i = 0; i < 3; ++i)); do time_one "${group[(i + r) % 3]}"; done
  group=(install flashcp)
  for ((i = 0; i < 2; ++i)); do
    reset_device "$inst"
    time_one "${group[(i + r) % 2]}"
  done
done

# Peak memory (maximum resident set) of the worker that does the install, and of flashcp.
reset_device "$inst"
root=$inst
/usr/bin/time -f %M -o "$work/install.rss" env FLASHSIM_ROOT="$inst" LD_PRELOAD="$lib" \
  "$bin/kru" install "$img" 1 > /dev/null 2>&1 || fail "kru install under /usr/bin/time"
reset_device "$inst"
/usr/bin/time -f %M -o "$work/flashcp.rss" env FLASHSIM_ROOT="$inst" LD_PRELOAD="$lib" \
  flashcp "$work/rootfs.layout" "/dev/mtd$rootfs_dev" > /dev/null 2>&1 || fail "flashcp under /usr/bin/time"
# Where that memory is, at the install's peak: stopped (FLASHSIM_STALL) before the first erase
# of a payload partition, with the whole image loaded and checked.
reset_device "$inst"
rm -f "$inst"/stall.*
FLASHSIM_ROOT=$inst FLASHSIM_STALL="erase:mtd$kernel_dev:1" LD_PRELOAD=$lib "$bin/kru" install "$img" 1 > /dev/null 2>&1 &
for ((i = 0; i < 600; ++i)); do
  ls "$inst"/stall.* > /dev/null 2>&1 && break
  sleep 0.05
done
stalled=$(cat "$inst"/stall.* 2> /dev/null | head -n 1)
[ -n "$stalled" ] || fail "the install did not reach its first erase"
anon_kib=$(awk '/^Anonymous:/ {print $2}' "/proc/$stalled/smaps_rollup")
files_kib=$(awk '/^[0-9a-f]+-[0-9a-f]+ / {name = $6} /^Rss:/ && name ~ /\.so/ {sum += $2} END {print sum}' "/proc/$stalled/smaps")
kru_kib=$(awk -v kru="$bin/kru" '/^[0-9a-f]+-[0-9a-f]+ / {name = $6} /^Rss:/ && name == kru {sum += $2} END {print sum + 0}' "/proc/$stalled/smaps")
rm -f "$inst"/stall.*
wait
/usr/bin/time -f %M -o "$work/cms.rss" openssl cms -verify -in "$work/signature.smime" -CAfile "$work/trust.pem" \
  -crl_check_all -attime 1599479985 -out /dev/null 2> /dev/null || fail "openssl cms -verify under /usr/bin/time"
cms_kib=$(tail -n 1 "$work/cms.rss")
install_kib=$(tail -n 1 "$work/install.rss")
flashcp_kib=$(tail -n 1 "$work/flashcp.rss")
limit_kib=$(( (img_size + 4 * 1048576) / 1024 ))

# The same install on the emulated ARM board, the target: the armhf release build of kru on the
# kernel's own MTD stack, its peak memory taken by wait4 in the guest.
board_install_kib= board_help_kib=
if [ "${KRU_BENCH_BOARD:-1}" != 0 ]; then
  say "the install's peak memory on the emulated ARM board"
  bash "$top/tools/board-test.sh" memory "$img" > "$work/board.out" 2> "$work/board.err" ||
    fail "board memory run: $(tail -n 5 "$work/board.out" "$work/board.err")"
  board_install_kib=$(awk '$1 == "MEM" && $2 == "install" {print $3}' "$work/board.out")
  board_help_kib=$(awk '$1 == "MEM" && $2 == "help" {print $3}' "$work/board.out")
fi

# ---- the micro-benchmarks -------------------------------------------------------------------
say "running bench_crc32 and bench_nemf"
gbench=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=csv)
"$bin/bench_crc32" "${gbench[@]}" --benchmark_min_time=0.1 2> /dev/null > "$work/crc.csv"
"$bin/bench_nemf" "${gbench[@]}" 2> /dev/null > "$work/nemf.csv"
# "name" -> "real_time unit bytes_per_second" of the median rows.
gb_median() { awk -F, -v n="\"$2_median\"" '$1 == n {print $3, $5, $6}' "$1"; }
gbps() { awk -v b="$1" 'BEGIN {printf "%.2f", b / 1e9}'; }

ended_load=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- the report -----------------------------------------------------------------------------
m() { median_us "$1"; }
install_base=$(( $(m flashcp) + $(m dgst) ))
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bash bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'); regenerate with the same command."
  echo
  echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores,"
  echo "$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory, Linux $(uname -r), $(. /etc/os-release && echo "$PRETTY_NAME");"
  echo "load average $started_load at the start, $ended_load at the end."
  echo "kru: Release build (\`-O3\` as CMake's Release gives it), commit $(git -C "$top" rev-parse --short HEAD 2> /dev/null || echo unknown)$(git -C "$top" diff --quiet -- . ':!bench/RESULTS.md' 2> /dev/null || echo ' with local changes')."
  echo
  echo "## Whole commands on a signed 16 MiB image"
  echo
  echo "The image: $img_size bytes, release header, CMS signature over a SHA-256 manifest, release"
  echo "metadata, and three payloads of random bytes (kernel $kernel_bytes, rootfs $rootfs_bytes,"
  echo "appl $appl_bytes bytes) in the three layouts. Flash is the emulated device (\`tools/flashsim\`,"
  echo "preloaded into kru, flashcp, cksum and bench_zcrc alike; it logs every flash operation)."
  echo "Wall time of each command, median of $runs runs; the contenders of a row group take turns"
  echo "within every round, on the same files."
  echo
  echo "| command | median | baseline | ratio | goal |"
  echo "|---|---:|---|---:|---|"
  echo "| \`kru nemfinfo IMAGE -all\` | $(ms "$(m nemfinfo)") ms | \`openssl dgst -sha256 IMAGE\`: $(ms "$(m dgst)") ms | $(ratio "$(m nemfinfo)" "$(m dgst)") | at most 1.3 |"
  echo "| | | \`openssl cms -verify\` of the signature part + \`sha256sum IMAGE\`: $(ms "$(m cms_sha256sum)") ms | $(ratio "$(m nemfinfo)" "$(m cms_sha256sum)") | |"
  echo "| \`kru install IMAGE 1\` | $(ms "$(m install)") ms | \`flashcp\` of the three layouts to the same partitions: $(ms "$(m flashcp)") ms, + \`openssl dgst -sha256 IMAGE\`: $(ms "$install_base") ms | $(ratio "$(m install)" "$install_base") | at most 1.1 |"
  echo "| \`kru verify\` | $(ms "$(m verify)") ms | \`cksum -a crc\` of the three partitions: $(ms "$(m cksum)") ms | $(ratio "$(m verify)" "$(m cksum)") | |"
  echo "| | | \`bench_zcrc\` (zlib \`crc32\` over the recorded lengths): $(ms "$(m zcrc)") ms | $(ratio "$(m verify)" "$(m zcrc)") | |"
  echo
  echo "Peak memory (maximum resident set, \`/usr/bin/time -f %M\`) of \`kru install IMAGE 1\`:"
  echo "$install_kib KiB; the image is $((img_size / 1024)) KiB, the goal at most image + 4 MiB = $limit_kib KiB"
  echo "($( [ "$install_kib" -le "$limit_kib" ] && echo met || echo 'NOT met on this x86-64 machine; the board below is the target')). At the install's peak (image loaded and checked,"
  echo "before the first erase): $anon_kib KiB of anonymous memory (the image buffer, heap, stacks, relocated"
  echo "tables), image + $((anon_kib - img_size / 1024)) KiB; $kru_kib KiB of the kru program's own pages (libcrypto, libstdc++ and"
  echo "libgcc are linked in from their static archives; nearly all of libcrypto's code is visited by"
  echo "the signature check); $files_kib KiB of shared-library pages (libc, the loader, and the emulator's"
  echo "library with the libstdc++ it needs). For scale: \`openssl cms -verify\` of the signature part"
  echo "alone peaks at $cms_kib KiB; flashcp of the rootfs layout at $flashcp_kib KiB."
  echo
  if [ -n "$board_install_kib" ]; then
    echo "On the emulated ARM board (\`tools/board-test.sh memory\`: QEMU's virt machine, Cortex-A15,"
    echo "CFI NOR flash through the kernel's MTD stack; the armhf release build of kru; maximum resident"
    echo "set from wait4 in the guest), \`kru install IMAGE 1\` of the same image peaks at $board_install_kib KiB,"
    echo "image + $((board_install_kib - img_size / 1024)) KiB: the goal of at most $limit_kib KiB is"
    echo "$( [ "$board_install_kib" -le "$limit_kib" ] && echo met || echo 'NOT met') on the target. \`kru help\` there: $board_help_kib KiB."
  else
    echo "The run on the emulated ARM board was skipped (KRU_BENCH_BOARD=0)."
  fi
  echo
  echo "## CRC-32: \`crc32_calc\` against zlib's \`crc32\` (bench_crc32)"
  echo
  echo "Same buffers, same run; median of 5 repetitions; rates per CPU second of the benchmark thread."
  echo "\`crc32_calc\` takes the carry-less multiply path on this processor for 64 bytes and more;"
  echo "\`crc32_calc_tables\` is the table path (five interleaved word streams) that processors without"
  echo "it, the board's among them, run."
  echo
  echo "| bytes | crc32_calc | zlib crc32 | crc32_calc / zlib | crc32_calc_tables | tables / zlib |"
  echo "|---:|---:|---:|---:|---:|---:|"
  for n in 64 256 1024 4096 16384 65536 262144 1048576 4194304 16777216; do
    ours=$(gb_median "$work/crc.csv" "BM_crc32_calc/$n" | cut -d' ' -f3)
    zlib=$(gb_median "$work/crc.csv" "BM_zlib_crc32/$n" | cut -d' ' -f3)
    tables=$(gb_median "$work/crc.csv" "BM_crc32_calc_tables/$n" | cut -d' ' -f3)
    echo "| $n | $(gbps "$ours") GB/s | $(gbps "$zlib") GB/s | $(ratio "$ours" "$zlib") | $(gbps "$tables") GB/s | $(ratio "$tables" "$zlib") |"
  done
  echo
  echo "## Container code over a 16 MiB image (bench_nemf)"
  echo
  echo "| benchmark | median | throughput |"
  echo "|---|---:|---:|"
  for b in BM_stream_parser/16777216 BM_stream_parser/65536 BM_crc_of_image BM_manifest_hash_check/1 \
           BM_digest_of_image/1 BM_manifest_hash_check/2 BM_digest_of_image/2; do
    read -r t unit bps < <(gb_median "$work/nemf.csv" "$b")
    echo "| $b | $(awk -v t="$t" 'BEGIN {printf "%.2f", t}') $unit | $(gbps "$bps") GB/s |"
  done
  echo
  echo "BM_stream_parser/N: the parser over the image delivered in pieces of N bytes (content headers"
  echo "and body CRCs); BM_crc_of_image: its lower bound, one CRC over every byte."
  echo "BM_manifest_hash_check/1 and /2: the manifest check of the three payloads with SHA-256 and"
  echo "SHA-512; BM_digest_of_image: its lower bound, one digest over the whole image."
} > "$results"
say "wrote $results"
cat "$results"
# The delta image section, written by its own script behind the rest.
bash "$top/bench/delta.sh" > /dev/null
