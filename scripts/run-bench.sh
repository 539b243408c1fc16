#!/bin/sh
# Builds the benchmarks in Release and runs them: the block codecs, then the
# reader figures on the standard run and on the long "p2" run (written to a
# temporary directory under ${TMPDIR:-/tmp} and removed afterwards; at most
# about 3.6 GB at a time, while the long run is measured in both layouts).
# Arguments are passed to the figures harness (zorv-bench-figures --help);
# `--mix standard` or `--mix p2` runs one of them.
# About five minutes on a quiet two-core machine.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-bench}
JOBS=${JOBS:-2}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_BENCH=ON \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target zorv-bench-codecs zorv-bench-figures
echo "== block codecs, one thread"
"$BUILD"/bench/zorv-bench-codecs --benchmark_min_time=0.5
echo
echo "== reader figures"
"$BUILD"/bench/zorv-bench-figures --mix all "$@"
