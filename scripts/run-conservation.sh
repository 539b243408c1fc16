#!/bin/sh
# Long runs of the conservation test: many more seeded random runs than the
# ordinary suite reads. The seeds go in chunks, so that a failing chunk names
# its seeds; replay one with ZORV_CONSERVATION_SEED=n build/tests/test_conservation.
# Usage: scripts/run-conservation.sh [first seed] [number of seeds] [chunk]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
first=${1:-0}
count=${2:-10000}
chunk=${3:-500}
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target test_conservation
export ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1
failed=0
a=$first
end=$((first + count))
while [ "$a" -lt "$end" ]; do
    b=$((a + chunk))
    [ "$b" -gt "$end" ] && b=$end
    # The library's own lines go to standard output; keep the test's report.
    if ZORV_CONSERVATION_SEEDS="$a:$b" "$BUILD/tests/test_conservation" >"$BUILD/conservation-$a.log" 2>&1; then
        echo "seeds $a to $((b - 1)): ok"
    else
        failed=1
        grep -E '^(seed |    |[0-9]+ of [0-9]+ seeds fail)' "$BUILD/conservation-$a.log" || true
    fi
    a=$b
done
exit $failed
