#!/usr/bin/env bash
# Delta images on real software: for each pair of payloads, the size of the delta part that
# nemftool delta makes beside xdelta3 and bsdiff, and the time to expand it (bench_delta, the
# install's expander) beside xdelta3 -d and bspatch. Writes its section of bench/RESULTS.md.
#
#   bash bench/run.sh delta        (or bash bench/delta.sh)
#
# The pairs:
#   rootfs   a squashfs root file system of armhf Debian packages before and after an upgrade
#            of openssl and libssl3 (the oldest and the newest version the archive offers),
#            every other package the same
#   kru-1    kru for armhf (release build, stripped) from two neighbouring commits
#   kru-27   the same from two commits a release apart
# KRU_BENCH_DELTA_RUNS: rounds of the expansion timings (default 11).
# KRU_BENCH_BUILD_DIR, KRU_BENCH_RESULTS: as for run.sh. Downloads and the older builds of kru
# are kept in BUILD_DIR/delta-cache.
set -euo pipefail
export LC_ALL=C
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BENCH_BUILD_DIR:-$top/build-bench}
runs=${KRU_BENCH_DELTA_RUNS:-11}
results=${KRU_BENCH_RESULTS:-$top/bench/RESULTS.md}
cache=$build/delta-cache
kru_pairs=("kru-1 125637e 6e33a4a" "kru-27 34ac5c4 6e33a4a")
base_debs=(busybox bash coreutils libc6 libzstd1 libxml2 curl libcurl4 libexpat1 openssh-client)

say() { echo "bench delta: $*" >&2; }
fail() { echo "bench delta: FAILED: $*" >&2; exit 1; }

# ---- what it needs, installed only when missing -------------------------------------------
packages=(cmake g++ make pkg-config libssl-dev libzstd-dev libdivsufsort-dev libbenchmark-dev zlib1g-dev
          xdelta3 bsdiff squashfs-tools)
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
command -v arm-linux-gnueabihf-g++ > /dev/null || bash "$top/tools/armhf-test.sh" --install-only

say "building (Release) in $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKRU_BUILD_BENCH=ON > /dev/null
cmake --build "$build" -j"$(nproc)" --target nemftool bench_delta > /dev/null
bin=$build/bin
mkdir -p "$cache"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d /dev/shm/kru-delta.XXXXXX); else work=$(mktemp -d /tmp/kru-delta.XXXXXX); fi
trap 'rm -rf "$work"' EXIT

# ---- the squashfs pair ----------------------------------------------------------------------
# Versions apt offers for an armhf package, newest first.
offered() { apt-cache madison "$1:armhf" | awk -F' *[|] *' '$3 ~ / armhf / {print $2}'; }
ssl_new=$(offered libssl3 | head -n 1) ssl_old=$(offered libssl3 | tail -n 1)
[ -n "$ssl_old" ] && [ "$ssl_old" != "$ssl_new" ] || fail "the archive offers only one version of libssl3:armhf"
debs=$cache/debs
mkdir -p "$debs"
fetch() {   # PACKAGE[=VERSION]: the .deb in the cache
  local name=${1%%=*} version=${1#*=}
  [ "$version" = "$1" ] && version=$(offered "$name" | head -n 1)
  local file
  file=$(ls "$debs/${name}_"*"_armhf.deb" 2>/dev/null | grep -F "_$(echo "$version" | sed 's/:/%3a/')_" || true)
  if [ -z "$file" ]; then
    (cd "$debs" && apt-get download -q "$name:armhf=$version" > /dev/null 2>&1) || fail "apt-get download $name:armhf=$version"
    file=$(ls "$debs/${name}_"*"_armhf.deb" | grep -F "_$(echo "$version" | sed 's/:/%3a/')_")
  fi
  echo "$file"
}
rootfs() {   # DIR SSL-VERSION: the tree and its squashfs image DIR.sqfs
  local d=$1 p
  rm -rf "$d"
  mkdir -p "$d"
  for p in "${base_debs[@]}" "libssl3=$2" "openssl=$2"; do dpkg-deb -x "$(fetch "$p")" "$d"; done
  rm -rf "$d/usr/share/doc" "$d/usr/share/man" "$d/usr/share/locale" "$d/usr/share/i18n" \
    "$d/usr/lib/arm-linux-gnueabihf/gconv"
  mksquashfs "$d" "$d.sqfs" -noappend -all-root -mkfs-time 1599000000 -all-time 1599000000 \
    -processors 1 -no-progress -quiet > /dev/null
}
say "root file systems with openssl $ssl_old and $ssl_new"
rootfs "$work/rootfs-old" "$ssl_old"
rootfs "$work/rootfs-new" "$ssl_new"
base_versions=$(for p in "${base_debs[@]}"; do echo -n "$p $(offered "$p" | head -n 1), "; done)

# ---- the kru pairs: older commits cross-built for armhf, release, stripped ------------------
kru_build() {   # COMMIT: $cache/kru-COMMIT
  local c=$1 src=$cache/src-$1
  [ -x "$cache/kru-$c" ] && return
  say "building kru $c for armhf"
  git -C "$top" worktree add -f --detach "$src" "$c" > /dev/null 2>&1 || fail "git worktree add $c"
  cmake -S "$src" -B "$src/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/armhf.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKRU_BUILD_TESTS=OFF > /dev/null
  cmake --build "$src/build" -j"$(nproc)" --target kru > /dev/null
  arm-linux-gnueabihf-strip -o "$cache/kru-$c" "$src/build/bin/kru"
  git -C "$top" worktree remove --force "$src"
}
pairs=("rootfs $work/rootfs-old.sqfs $work/rootfs-new.sqfs")
for p in "${kru_pairs[@]}"; do
  read -r name old new <<< "$p"
  kru_build "$old"
  kru_build "$new"
  pairs+=("$name $cache/kru-$old $cache/kru-$new")
done

# ---- sizes and times ------------------------------------------------------------------------
size() { stat -c %s "$1"; }
now() { date +%s%N; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
ms() { awk -v n="$1" 'BEGIN {printf "%.1f", n / 1e6}'; }
kb() { awk -v n="$1" 'BEGIN {printf "%.1f", n / 1024}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

rows=() times=() enc=()
for p in "${pairs[@]}"; do
  read -r name old new <<< "$p"
  d=$work/$name
  mkdir -p "$d"
  say "$name: $(size "$old") -> $(size "$new") bytes"
  "$bin/nemftool" create -o "$d/old.nemf" --raw "9:p:$old" > /dev/null
  "$bin/nemftool" create -o "$d/new.nemf" --raw "9:p:$new" > /dev/null
  t0=$(now); "$bin/nemftool" delta --from "$d/old.nemf" --to "$d/new.nemf" -o "$d/delta.nemf" > /dev/null; t_ours=$(( $(now) - t0 ))
  [ "$(u16 "$d/delta.nemf" 28)" = 12 ] || fail "$name: nemftool delta kept the part whole"
  hl=$(u16 "$d/delta.nemf" 30) bl=$(u32 "$d/delta.nemf" 32)
  part=$((hl + (bl + 3) / 4 * 4))   # the delta part as the image carries it
  tail -c +$((24 + hl + 1)) "$d/delta.nemf" | head -c "$bl" > "$d/body"
  "$bin/nemftool" expand --base "$d/old.nemf" "$d/delta.nemf" -o "$d/full.nemf"
  cmp -s "$d/full.nemf" "$d/new.nemf" || fail "$name: nemftool expand does not give the new image"
  full=$((32 + ($(size "$new") + 3) / 4 * 4))
  t0=$(now); xdelta3 -9 -S none -f -e -s "$old" "$new" "$d/xd0"; t_xd0=$(( $(now) - t0 ))
  t0=$(now); xdelta3 -9 -f -e -s "$old" "$new" "$d/xd"; t_xd=$(( $(now) - t0 ))
  t0=$(now); bsdiff "$old" "$new" "$d/bsd"; t_bsd=$(( $(now) - t0 ))
  best=$(printf '%s\n' "$(size "$d/xd0")" "$(size "$d/xd")" "$(size "$d/bsd")" | sort -n | head -n 1)
  rows+=("| $name | $(kb "$full") | $(kb "$part") | $(kb "$(size "$d/xd0")") | $(kb "$(size "$d/xd")") | $(kb "$(size "$d/bsd")") | $(ratio "$part" "$best") |")
  enc+=("| $name | $(ms "$t_ours") ms | $(ms "$t_xd0") / $(ms "$t_xd") ms | $(ms "$t_bsd") ms |")

  # Expansion, from files to a file on tmpfs; the three take turns in every round.
  : > "$d/t.ours"; : > "$d/t.xd"; : > "$d/t.bsd"
  for ((r = 0; r < runs; r++)); do
    for k in 0 1 2; do
      case $(( (k + r) % 3 )) in
        0) t0=$(now); "$bin/bench_delta" "$old" "$d/body" "$d/out.ours"; echo $(( $(now) - t0 )) >> "$d/t.ours" ;;
        1) t0=$(now); xdelta3 -d -f -s "$old" "$d/xd" "$d/out.xd"; echo $(( $(now) - t0 )) >> "$d/t.xd" ;;
        2) t0=$(now); bspatch "$old" "$d/out.bsd" "$d/bsd"; echo $(( $(now) - t0 )) >> "$d/t.bsd" ;;
      esac
    done
  done
  for o in ours xd bsd; do cmp -s "$d/out.$o" "$new" || fail "$name: $o does not expand to the new payload"; done
  m_ours=$(median < "$d/t.ours") m_xd=$(median < "$d/t.xd") m_bsd=$(median < "$d/t.bsd")
  times+=("| $name | $(ms "$m_ours") ms | $(ms "$m_xd") ms ($(ratio "$m_ours" "$m_xd")) | $(ms "$m_bsd") ms ($(ratio "$m_ours" "$m_bsd")) |")
done

# ---- the section of RESULTS.md ------------------------------------------------------------
section=$work/section.md
{
  echo "<!-- delta: written by bash bench/run.sh delta -->"
  echo "## Delta images on real software (bench/delta.sh)"
  echo
  echo "Written on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD); load average"
  echo "$(cut -d' ' -f1-3 /proc/loadavg) at the end."
  echo
  echo "- rootfs: a squashfs image (mksquashfs defaults: gzip, 128 KiB blocks; fixed times, every file"
  echo "  root's) of"
  echo "  armhf Debian packages, extracted: ${base_versions}with libssl3 and openssl"
  echo "  $ssl_old before and $ssl_new after (documentation, locales and gconv left out)."
  for p in "${kru_pairs[@]}"; do
    read -r name old new <<< "$p"
    echo "- $name: kru for armhf, release build, stripped, from commit $old before and $new after."
  done
  echo
  echo "Sizes in KiB. The delta part is what a delta image carries for the payload: its content"
  echo "header, the delta head, the target's content header and the frame. The ratio is the delta"
  echo "part over the smallest of the three others; the goal is at most 1.10."
  echo
  echo "| pair | full part | delta part | \`xdelta3 -9 -S none\` | \`xdelta3 -9\` | \`bsdiff\` | ratio |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Expansion from files to a file on tmpfs, wall time of the whole command, median of $runs runs,"
  echo "the three taking turns in every round: \`bench_delta OLD BODY OUT\` (the install's expander,"
  echo "nemf_delta_expand, with the CRC checks of source and result), \`xdelta3 -d\` of the \`-9\` patch,"
  echo "\`bspatch\`. In brackets: bench_delta's time over the other's; the goal is below 1."
  echo
  echo "| pair | bench_delta | \`xdelta3 -d\` | \`bspatch\` |"
  echo "|---|---:|---:|---:|"
  printf '%s\n' "${times[@]}"
  echo
  echo "Making the deltas, one run each: \`nemftool delta\` (whole images: validation, suffix array,"
  echo "diff, zstd level 19), \`xdelta3 -9 -S none\` / \`xdelta3 -9\`, \`bsdiff\`."
  echo
  echo "| pair | nemftool delta | xdelta3 | bsdiff |"
  echo "|---|---:|---:|---:|"
  printf '%s\n' "${enc[@]}"
  echo "<!-- /delta -->"
} > "$section"

# Replaces the section in RESULTS.md, or appends it.
if [ -f "$results" ] && grep -q '^<!-- delta:' "$results"; then
  awk -v f="$section" '/^<!-- delta:/ {while ((getline l < f) > 0) print l; skip = 1; next}
                       /^<!-- \/delta -->/ {skip = 0; next} !skip' "$results" > "$work/results"
else
  { [ -f "$results" ] && cat "$results" && echo; cat "$section"; } > "$work/results"
fi
cp "$work/results" "$results"
say "wrote its section of $results"
cat "$section"
