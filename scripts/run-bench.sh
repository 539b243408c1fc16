#!/bin/sh
# Builds the benchmarks in Release and runs them: the block codecs, then the
# reader figures on the standard run and on the long run (written to a
# temporary directory under ${TMPDIR:-/tmp} and removed afterwards; at most
# about 3.6 GB at a time, while the long run is measured in both layouts).
# Arguments are passed to the figures harness (zorv-bench-figures --help);
# `--mix standard` or `--mix long` runs one of them.
# About five minutes on a quiet two-core machine; see below for BEFORE=<ref>.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-bench}
JOBS=${JOBS:-2}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_BENCH=ON \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target zorv-bench-codecs zorv-bench-figures

# BEFORE=<git ref>: builds that ref's library as well, with this tree's
# benchmarks (in $BUILD-before/), runs the figures of both in turns, ROUNDS
# times (default 3; before, after, before, ...), so that both see the same
# load, writes every run's output to $OUT (default $BUILD/compare.txt) and
# prints each figure's medians. The runs are written once and kept for all
# rounds (--keep --reuse), in a temporary directory removed at the end.
if [ -n "${BEFORE:-}" ]; then
    SRC="$BUILD-before/src"
    rm -rf "$SRC"
    mkdir -p "$SRC"
    git archive "$BEFORE" | tar -x -C "$SRC"
    rm -rf "$SRC/bench"
    cp -r bench "$SRC/bench"
    cmake -S "$SRC" -B "$BUILD-before/build" -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_BENCH=ON \
          -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$BUILD-before/build" -j"$JOBS" --target zorv-bench-figures
    RUNS=$(mktemp -d "${TMPDIR:-/tmp}/zorv-bench-runs-XXXXXX")
    trap 'rm -rf "$RUNS"' EXIT
    OUT=${OUT:-$BUILD/compare.txt}
    ROUNDS=${ROUNDS:-3}
    for round in $(seq "$ROUNDS"); do
        for variant in before after; do
            bin="$BUILD/bench/zorv-bench-figures"
            [ "$variant" = before ] && bin="$BUILD-before/build/bench/zorv-bench-figures"
            echo "#### $variant round $round $(date -u +%H:%M:%S) load $(cut -d' ' -f1-3 /proc/loadavg)"
            "$bin" --mix all --keep --reuse --dir "$RUNS" "$@" || true
        done
    done >"$OUT" 2>&1
    echo "== medians over $ROUNDS rounds (every run in $OUT)"
    python3 bench/figure_medians.py "$OUT"
    exit 0
fi
echo "== block codecs, one thread"
"$BUILD"/bench/zorv-bench-codecs --benchmark_min_time=0.5
echo
echo "== reader figures"
"$BUILD"/bench/zorv-bench-figures --mix all "$@"
