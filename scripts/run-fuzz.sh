#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), writes their seed corpora with the file writer
# and runs every target for a while. Inputs that fail are written to
# build-fuzz/artifacts/; copy them (small) to tests/fuzz_corpus/<target>/ so
# that the ordinary test suite replays them.
# Usage: scripts/run-fuzz.sh [seconds per target] [target]...
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
secs=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"table_set read_channels reader payload chan_descr run_catalog file_names"}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZORV_BUILD_FUZZ=ON -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
"$dir/fuzz/fuzz_make_seeds" "$dir/seeds" >/dev/null
mkdir -p "$dir/artifacts"
for t in $targets; do
    mkdir -p "$dir/corpus/$t"
    kept=tests/fuzz_corpus/$t
    [ -d "$kept" ] || kept=
    echo "== $t"
    # The library prints a line for every refused block; keep only libFuzzer's.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/fuzz/fuzz_$t" -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$dir/artifacts/$t-" \
        "$dir/corpus/$t" "$dir/seeds/$t" $kept 2>&1 |
        grep -E '^(==|SUMMARY|stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)|ERROR|runtime error' || true
done
ls "$dir/artifacts"
