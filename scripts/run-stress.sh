#!/bin/sh
# The long version of the data-server checks: many readers at once for 30
# rounds each, and one reader over a run of 1000 small files with its
# descriptors, threads and resident memory printed at the start, middle and
# end (also with 64 descriptors). Runs in the ordinary build, or in the
# sanitizer builds of scripts/run-sanitizers.sh when named.
# Usage: scripts/run-stress.sh [scale (default 10)] [build dir]...   e.g.  10 build build-asan build-tsan
set -eu
cd "$(dirname "$0")/.."
scale=${1:-10}
[ $# -gt 0 ] && shift
dirs=${*:-build}
for dir in $dirs; do
    [ -d "$dir" ] || cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target test_server_load >/dev/null
    echo "== $dir, scale $scale"
    ZORV_STRESS_SCALE=$scale ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1 \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1 \
        "$dir/tests/test_server_load" | grep -E '^(fds|\[  (PASSED|FAILED)|.*Failure)' 
done
