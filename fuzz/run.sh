#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and UBSan) in their own
# build directory and runs them.
#
#   fuzz/run.sh TARGET|all SECONDS [libFuzzer options...]
#
# Each target runs single-threaded for SECONDS on a scratch copy of its committed corpus
# (fuzz/corpus/TARGET plus new inputs found, kept in $KRU_FUZZ_WORK/TARGET); a crash, leak or
# sanitizer report stops it and leaves the input in $KRU_FUZZ_WORK/artifacts. Exit status 0
# when every target ran its time without a finding.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_FUZZ_BUILD_DIR:-$top/build-fuzz}
work=${KRU_FUZZ_WORK:-$build/work}
targets=(stream_parser hostconfig krum manifest csv cmdline delta)

if [ $# -lt 2 ]; then
    echo "usage: fuzz/run.sh TARGET|all SECONDS [libFuzzer options...]" >&2
    echo "targets: ${targets[*]}" >&2
    exit 2
fi
which=$1 seconds=$2
shift 2
if [ "$which" = all ]; then
    run=("${targets[@]}")
else
    run=("$which")
fi

san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $san" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san" \
    -DKRU_BUILD_TESTS=OFF -DKRU_FUZZ=ON >/dev/null
cmake --build "$build" -j1 --target $(printf 'fuzz_%s ' "${run[@]}")

mkdir -p "$work/artifacts"
status=0
for t in "${run[@]}"; do
    mkdir -p "$work/$t"
    echo "== fuzz_$t for ${seconds}s"
    # stdout and stderr of the tool's own messages are closed; reports still reach stderr.
    if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/bin/fuzz_$t" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/$t-" "$@" "$work/$t" "$top/fuzz/corpus/$t"; then
        echo "== fuzz_$t FOUND A PROBLEM (see $work/artifacts)"
        status=1
    fi
done
exit $status
