# Flash work on the board: the modelled board time and the flash operations of an install in
# five situations, kru beside flashcp and flashcp -p on the same payloads and partitions.
# Sourced by run.sh after the image and the payload layouts exist (it uses run.sh's img,
# work, bin, top, build, emu, provision, reset_device, part and the *_dev / layout files);
# writes the report's section to $work/flash.md.
#
# Every program runs under the emulator with its NOR timing table (tools/flashsim/README.md):
# nothing sleeps, each erase, program and read adds what the board's flash would take. The
# figures are summed from the operation log by the same table, per device, and checked
# against the emulator's own per-process time lines.

flash_timing="erase=500000,page=512,program=340,read=40000"
flash_base=${KRU_BENCH_BASE:-7729a85}
export FLASHSIM_TIMING=$flash_timing FLASHSIM_TIME_LOG=1

# kru as it was before the write-out compared blocks ("today"), built once per base commit.
flash_build_base() {
  local dir=$build-base commit
  commit=$(git -C "$top" rev-parse "$flash_base") || fail "no commit $flash_base for kru today"
  if [ "$(cat "$dir/commit" 2> /dev/null)" != "$commit" ]; then
    say "building kru at $flash_base (Release) in $dir"
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$top" archive "$commit" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release > /dev/null
    cmake --build "$dir/build" -j"$(nproc)" --target kru > /dev/null || fail "building kru at $flash_base"
    echo "$commit" > "$dir/commit"
  fi
  base_kru=$dir/build/bin/kru
}

# "seconds blocks programmed read" of a flash log by the timing table: over every device
# (all), or over the payload partitions mtd10..mtd15 alone (payload), whose erase blocks have
# ES bytes (every other device 64 KiB).
flash_sum() {   # LOG ES all|payload
  awk -v es="$2" -v which="$3" -v t="$flash_timing" '
    function hex(s,   v, i) { v = 0; s = substr(s, 3); for (i = 1; i <= length(s); ++i) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
    BEGIN { n = split(t, kv, ","); for (i = 1; i <= n; ++i) { split(kv[i], p, "="); T[p[1]] = p[2] } }
    $3 ~ /^mtd[0-9]+$/ && ($2 == "erase" || $2 == "write" || $2 == "read") {
      dev = substr($3, 4) + 0; payload = dev >= 10 && dev <= 15
      if (which == "payload" && !payload) next
      off = hex($4); len = hex($5)
      if ($2 == "erase") { b = len / (payload ? es : 65536); blocks += b; us += b * T["erase"] }
      else if ($2 == "write" && len > 0) { prog += len; us += (int((off + len - 1) / T["page"]) - int(off / T["page"]) + 1) * T["program"] }
      else if ($2 == "read") { rd += len; us += len * T["read"] / 1e6 }
    }
    $2 == "time" { logged += hex($5) }
    END { printf "%.3f %d %d %d %.3f\n", us / 1e6, blocks, prog, rd, logged / 1e6 }' "$1"
}

# The partition states the five cases start from, each made once by kru (the new build):
# fresh (erased partitions), older (an older release installed), cut (an install cut at half
# of its payload bytes), installed, rebuilt (installed, both hostconfig copies erased, the
# default hostconfig file in place). Saved under $root/states.
flash_save() { rm -rf "$root/states/$1"; mkdir -p "$root/states/$1"; cp -a "$root/dev" "$root/mnt" "$root/states/$1/"; }
flash_restore() {
  rm -rf "$root/dev" "$root/mnt" "$root/tmp"
  cp -a "$root/states/$1/dev" "$root/states/$1/mnt" "$root/"
  mkdir -p "$root/tmp"
  : > "$root/flashsim.log"
}
flash_states() {   # ES
  root=$work/flash-$1
  provision "$root" "$1"
  reset_device "$root"
  flash_save fresh
  emu "$bin/kru" install "$work/older.nemf" 1 > /dev/null 2>&1 || fail "kru install of the older release"
  flash_save older
  flash_restore fresh
  emu "$bin/kru" install "$img" 1 > /dev/null 2>&1 || fail "kru install into the fresh partitions"
  local half
  half=$(awk '$2 == "write" && $3 ~ /^mtd1[0-5]$/ {n += ("0x" substr($5, 3)) + 0} END {print int(n / 2)}' "$root/flashsim.log")
  [ "$half" -gt 0 ] || half=$(( (kernel_len + rootfs_len + appl_len) / 2 ))
  flash_save installed
  mkdir -p "$root/mnt/appl"
  head -c 5120 "$root/dev.fresh/mtd5" > "$root/mnt/appl/hostcfg.default"
  for n in 5 2; do "$bin/flashsim-mkdev" "$root" $n 262144 65536; done
  flash_save rebuilt
  flash_restore fresh
  FLASHSIM_CUT_BYTES=$half emu "$bin/kru" install "$img" 1 > /dev/null 2>&1
  grep -q ' cut ' "$root/flashsim.log" || fail "the install was not cut at $half bytes"
  flash_save cut
}

# An older release: the same layouts and sizes, other random bytes.
release "$work/older.nemf" 2.0.0 .old

flash_build_base
flash_cases=("a|fresh|a fresh install into erased partitions"
             "b|older|an install into partitions that hold an older release"
             "c|cut|a retry after a cut at 50% of the write-out (half of the payload bytes programmed)"
             "d|installed|the same image again with -rewrite"
             "e|rebuilt|an install after a hostconfig rebuild (content present, hostconfig lost)")
flash_contenders=(today kru flashcp flashcp_p)
declare -A flash_t flash_p flash_ops
f_today() { emu "$base_kru" $opt install "$img" 1; }
f_kru() { emu "$bin/kru" $opt install "$img" 1; }
f_flashcp() {
  emu flashcp "$@" "$work/kernel.layout" "/dev/mtd$kernel_dev" &&
    emu flashcp "$@" "$work/rootfs.layout" "/dev/mtd$rootfs_dev" &&
    emu flashcp "$@" "$work/appl.layout" "/dev/mtd$appl_dev"
}
f_flashcp_p() { f_flashcp -p; }

for es in 65536 8192; do
  say "flash work with $((es / 1024)) KiB erase blocks on the payload partitions"
  flash_states "$es"
  for c in "${flash_cases[@]}"; do
    IFS='|' read -r id state what <<< "$c"
    opt=
    [ "$id" = d ] && opt=-rewrite
    for who in "${flash_contenders[@]}"; do
      flash_restore "$state"
      local_status=0
      "f_$who" > "$work/flash.out" 2>&1 || local_status=$?
      if [ "$local_status" -ne 0 ]; then
        flash_t[$es,$id,$who]=fails
        flash_ops[$es,$id,$who]="exit $local_status"
        continue
      fi
      read -r s blocks prog rd logged < <(flash_sum "$root/flashsim.log" "$es" all)
      awk -v a="$s" -v b="$logged" 'BEGIN {exit !(a - b < 0.01 && b - a < 0.01)}' ||
        fail "$who, case $id: the log sums to $s s, the emulator logged $logged s"
      flash_t[$es,$id,$who]=$s
      flash_ops[$es,$id,$who]="$blocks | $prog | $rd"
      flash_p[$es,$id,$who]=$(flash_sum "$root/flashsim.log" "$es" payload | awk '{print $1 " s, " $2 " blocks"}')
    done
  done
done

# ---- the section --------------------------------------------------------------------------
flash_name() { case $1 in today) echo "kru at $flash_base";; kru) echo kru;; flashcp) echo flashcp;; flashcp_p) echo "flashcp -p";; esac; }
flash_ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
flash_le() { awk -v a="$1" -v b="$2" -v k="$3" 'BEGIN {exit !(a <= k * b)}' && echo holds || echo "does NOT hold"; }
{
  echo "## Flash work on the board, modelled"
  echo
  echo "Written by \`bash bench/run.sh\` or \`bash bench/run.sh flash\` on $(date -u '+%Y-%m-%d %H:%M UTC'), kru at commit"
  echo "$(git -C "$top" rev-parse --short HEAD 2> /dev/null || echo unknown)$(git -C "$top" diff --quiet -- . ':!bench/RESULTS.md' 2> /dev/null || echo ' with local changes')."
  echo
  echo "Board time of the flash, as the emulator models it (tools/flashsim: nothing sleeps; each"
  echo "operation adds the time of a 3 V parallel NOR part of 128 Mbit to 1 Gbit by its datasheet:"
  echo "0.5 s per erase block, 340 us per 512-byte write-buffer page touched, 40 ns per byte read;"
  echo "\`FLASHSIM_TIMING=$flash_timing\`). The payloads are those above (kernel, rootfs, appl in"
  echo "the three layouts, $((kernel_len + rootfs_len + appl_len)) bytes on flash); every contender starts from the same partition"
  echo "state. kru's figures are the whole install: the payload partitions, the hostconfig copies"
  echo "it saves (both 256 KiB devices erased, 8 blocks of 64 KiB) and the checks it reads; the column \"payload only\" is"
  echo "its share on the payload partitions, the same partitions the flashcp runs write."
  echo "\"kru at $flash_base\" is the install before it compared blocks (every block erased,"
  echo "every byte programmed). flashcp (mtd-utils $(dpkg-query -W -f='${Version}' mtd-utils 2> /dev/null)) writes the three layouts, one"
  echo "command per partition: it erases the blocks the file needs, programs and reads back;"
  echo "with -p it reads each block and erases and programs only those that differ, without a read-back."
  echo "That -p reads a whole erase block into a buffer of 10 KiB: with larger blocks it stops"
  echo "(\"Short read count returned\") or crashes, so it runs only in the second table, whose"
  echo "payload partitions have 8 KiB blocks (the NOR timing per block unchanged)."
  for es in 65536 8192; do
    echo
    echo "### Payload partitions with $((es / 1024)) KiB erase blocks"
    echo
    echo "| case | contender | modelled board time | payload only | blocks erased | bytes programmed | bytes read |"
    echo "|---|---|---:|---:|---:|---:|---:|"
    for c in "${flash_cases[@]}"; do
      IFS='|' read -r id state what <<< "$c"
      for who in "${flash_contenders[@]}"; do
        t=${flash_t[$es,$id,$who]}
        if [ "$t" = fails ]; then
          echo "| ($id) | $(flash_name "$who") | fails: ${flash_ops[$es,$id,$who]} | | | | |"
        else
          echo "| ($id) | $(flash_name "$who") | $t s | ${flash_p[$es,$id,$who]} | ${flash_ops[$es,$id,$who]} |"
        fi
      done
    done
    echo
    a=${flash_t[$es,a,kru]}
    echo "Cases: $(for c in "${flash_cases[@]}"; do IFS='|' read -r id state what <<< "$c"; printf '(%s) %s; ' "$id" "$what"; done | sed 's/; $/./')"
    echo
    echo "- (c) / (a) = $(flash_ratio "${flash_t[$es,c,kru]}" "$a") (at most 0.55: $(flash_le "${flash_t[$es,c,kru]}" "$a" 0.55));" \
         "(d) / (a) = $(flash_ratio "${flash_t[$es,d,kru]}" "$a"), (e) / (a) = $(flash_ratio "${flash_t[$es,e,kru]}" "$a")" \
         "(at most 0.05: $(flash_le "${flash_t[$es,d,kru]}" "$a" 0.05), $(flash_le "${flash_t[$es,e,kru]}" "$a" 0.05))."
    echo "- Against kru at $flash_base: (a) $(flash_ratio "$a" "${flash_t[$es,a,today]}"), (b) $(flash_ratio "${flash_t[$es,b,kru]}" "${flash_t[$es,b,today]}")" \
         "(at most 1.01: $(flash_le "$a" "${flash_t[$es,a,today]}" 1.01), $(flash_le "${flash_t[$es,b,kru]}" "${flash_t[$es,b,today]}" 1.01))."
    verdicts=
    for c in "${flash_cases[@]}"; do
      IFS='|' read -r id state what <<< "$c"
      p=${flash_t[$es,$id,flashcp_p]}
      [ "$p" = fails ] || verdicts+=" ($id) $(flash_le "${flash_t[$es,$id,kru]}" "$p" 1),"
    done
    line="- Against flashcp -p${verdicts:+ (kru no slower:${verdicts%,})}:"
    for c in "${flash_cases[@]}"; do
      IFS='|' read -r id state what <<< "$c"
      p=${flash_t[$es,$id,flashcp_p]}
      if [ "$p" = fails ]; then
        line+=" ($id) flashcp -p fails;"
      else
        line+=" ($id) whole install $(flash_ratio "${flash_t[$es,$id,kru]}" "$p"), payload only $(flash_ratio "${flash_p[$es,$id,kru]%% *}" "$p");"
      fi
    done
    echo "${line%;}."
  done
  echo
  echo "On the payload partitions kru erases and programs what flashcp -p does, block for block,"
  echo "in every case. Beyond that it reads more: a short chunk of each block that differs, every"
  echo "byte of the blocks it keeps, and the read-back of every partition it writes (flashcp -p"
  echo "reads each block once and checks nothing after writing); with -rewrite also the check of"
  echo "the installed content that precedes it. And it saves the hostconfig: both 256 KiB copies"
  echo "erased, 4 s of the 5 to 6 s of cases (d) and (e). In (a) to (c) that keeps kru within 1 %"
  echo "of flashcp -p; in (d) and (e), where neither erases a payload block, kru takes seconds"
  echo "where flashcp -p takes 0.7 s: slower, for the read-back and the record it keeps."
} > "$work/flash.md"
