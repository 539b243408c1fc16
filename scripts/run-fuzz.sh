#!/bin/bash
# Fuzzing campaign: builds the libFuzzer targets with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer), writes their seed corpora with the file
# writer and runs every target within a time budget, as many targets at once
# as there are jobs. Prints per target the executions, the speed, the inputs
# that added coverage, the coverage reached and the crashes.
#
# The working corpora grow in build-fuzz/corpus/<target> from one campaign to
# the next. With -k the kept corpora in tests/fuzz_corpus/<target> (replayed
# by the test suite) are re-minimised over the working corpus (-merge=1), so
# they only grow by inputs that add coverage; of the minimised set the
# smallest inputs are kept up to ZORV_FUZZ_KEEP_KB kilobytes per target
# (default 40), so that the repository stays small (the seeds, written afresh
# by the tests, stand for the whole files). Failing inputs are written to
# build-fuzz/artifacts/; a fixed one belongs in tests/fuzz_corpus/<target>/.
#
# Usage: scripts/run-fuzz.sh [-j jobs] [-n max executions] [-k] [seconds per target] [target]...
#   -j  targets run at once (default: every processor)
#   -n  stop a target after this many executions even within its time
#   -k  merge what was found into the kept corpora
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
runs=-1
keep=0
while getopts "j:n:k" opt; do
    case $opt in
    j) jobs=$OPTARG ;;
    n) runs=$OPTARG ;;
    k) keep=1 ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
secs=${1:-60}
[ $# -gt 0 ] && shift
all="table_set read_channels reader tables payload chan_descr run_catalog file_names"
targets=${*:-$all}
dir=build-fuzz

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZORV_BUILD_FUZZ=ON -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$jobs" >/dev/null
"$dir/fuzz/fuzz_make_seeds" "$dir/seeds" >/dev/null
mkdir -p "$dir/artifacts" "$dir/logs"

# One target's run; its libFuzzer log goes to build-fuzz/logs/<target>.log.
# Whole files need room; names, catalogue and description texts do not, and
# shorter inputs keep those targets fast.
run_target() {
    local t=$1 kept=tests/fuzz_corpus/$1 max_len=65536
    case $t in file_names | run_catalog | chan_descr) max_len=4096 ;; esac
    mkdir -p "$dir/corpus/$t" "$kept"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/fuzz/fuzz_$t" -max_total_time="$secs" -runs="$runs" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -close_fd_mask=1 \
        -artifact_prefix="$dir/artifacts/$t-" "$dir/corpus/$t" "$dir/seeds/$t" "$kept" \
        >"$dir/logs/$t.log" 2>&1 || true
}
export -f run_target
export dir secs runs
# The reader and catalogue targets write each input to a scratch file.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

before=$(ls "$dir/artifacts" | wc -l)
start=$(date +%s)
printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'run_target {}'

# The figures of each target's final statistics.
stat() { sed -n "s/^stat::$2: *//p" "$dir/logs/$1.log" | tail -1; }
printf '%-14s %12s %10s %8s %8s %8s %8s\n' target executions exec/s new_units cov ft crashes
for t in $targets; do
    execs=$(stat "$t" number_of_executed_units)
    speed=$(stat "$t" average_exec_per_sec)
    added=$(stat "$t" new_units_added)
    last=$(grep -E '^#[0-9]+[[:space:]]' "$dir/logs/$t.log" | tail -1)
    cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    crashes=$(ls "$dir/artifacts" | grep -c "^$t-" || true)
    printf '%-14s %12s %10s %8s %8s %8s %8s\n' "$t" "${execs:-?}" "${speed:-?}" "${added:-?}" \
        "${cov:-?}" "${ft:-?}" "$crashes"
    grep -E 'ERROR|runtime error|SUMMARY' "$dir/logs/$t.log" | head -3 || true
done
echo "campaign: $(($(date +%s) - start)) s, new artifacts: $(($(ls "$dir/artifacts" | wc -l) - before))"

if [ "$keep" = 1 ]; then
    for t in $targets; do
        kept=tests/fuzz_corpus/$t
        # Minimise: a fresh directory takes only the inputs that add coverage,
        # the kept ones first so that those already replayed stay.
        rm -rf "$dir/merged/$t" && mkdir -p "$dir/merged/$t"
        "$dir/fuzz/fuzz_$t" -merge=1 -close_fd_mask=1 -max_len=65536 -timeout=10 \
            "$dir/merged/$t" "$kept" "$dir/corpus/$t" >/dev/null 2>&1 || true
        if [ -n "$(ls -A "$dir/merged/$t")" ]; then
            # The merge names inputs by their hash; inputs kept under a
            # name (a fixed fault) stay whatever their coverage.
            find "$kept" -type f -regextype egrep -regex '.*/[0-9a-f]{40}' -delete
            budget=$((${ZORV_FUZZ_KEEP_KB:-40} * 1024))
            find "$dir/merged/$t" -type f -printf '%s %p\n' | sort -n | while read -r size f; do
                [ "$size" -le "$budget" ] || break
                budget=$((budget - size))
                cp -n "$f" "$kept"/
            done
        fi
        echo "kept $t: $(ls "$kept" | wc -l) inputs, $(du -sk "$kept" | cut -f1) KB"
    done
fi
