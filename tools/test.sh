#!/usr/bin/env bash
# Installs what is missing, then builds and runs every check: kru on an emulated ARM board over
# the kernel's own MTD stack (tools/board-test.sh), the whole suite cross-built for armhf under
# qemu-user (tools/armhf-test.sh), the whole suite with AddressSanitizer and
# UndefinedBehaviorSanitizer (memory errors and leaks in any test, and in the kru processes the
# tests start), and last the normal build, then the power-cut sweep's table and that build's
# ctest summary, the last thing printed. The exit status is non-zero if any of them fails.
# KRU_TEST_QUICK=1 runs only the normal suite (for a quick local check, never in CI).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KRU_BUILD_DIR:-$top/build}
asan_build=${KRU_ASAN_BUILD_DIR:-$top/build-asan-ci}
jobs=$(nproc)

bash "$top/tools/install-deps.sh" --checks || exit 1

target_status=0
if [ "${KRU_TEST_QUICK:-0}" != 1 ]; then
    echo "==== emulated ARM board: tools/board-test.sh"
    bash "$top/tools/board-test.sh" || { target_status=1; echo "==== board test FAILED"; }
    echo "==== armhf suite under qemu-user: tools/armhf-test.sh"
    bash "$top/tools/armhf-test.sh" || { target_status=1; echo "==== armhf suite FAILED"; }
fi

asan_status=0
if [ "${KRU_TEST_QUICK:-0}" != 1 ]; then
    echo "==== sanitizer build (ASan, UBSan): $asan_build"
    if cmake -S "$top" -B "$asan_build" -DCMAKE_BUILD_TYPE=Debug -DKRU_BUILD_TESTS=ON -DKRU_SANITIZE=ON &&
        cmake --build "$asan_build" -j"$jobs"; then
        # Leaks are checked in every test and in every kru the tests start (tests/support/kru_run.cc
        # passes the options on); a sanitizer report fails its test.
        (cd "$asan_build" && ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1 \
            UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs") || asan_status=1
    else
        asan_status=1
    fi
    [ $asan_status -eq 0 ] || echo "==== sanitizer suite FAILED"
fi

echo "==== normal build: $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKRU_BUILD_TESTS=ON || exit 1
cmake --build "$build" -j"$jobs" || exit 1
cd "$build"
ctest --output-on-failure -j"$jobs" 2>&1 | tee "$build/ctest.out"
status=${PIPESTATUS[0]}
# ctest shows a passing test's output only in its log: the power-cut sweep's table is printed
# from there, and the summary once more so that it stays the last thing printed.
echo "==== power-cut sweep of this run: action, start, erase block (unsafe = no hostconfig loads, lost trial, broken active set)"
grep -h '^power-cut sweep' Testing/Temporary/LastTest.log | LC_ALL=C sort -t'|' -k2,3 -k4,4n || echo "(no sweep ran)"
echo "==== normal build: ctest summary"
sed -n '/tests passed, /,$p' "$build/ctest.out"
[ $asan_status -eq 0 ] && [ $target_status -eq 0 ] || exit 1
exit $status
