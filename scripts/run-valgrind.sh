#!/bin/sh
# Reads the built-in sample run (both layouts, every channel of every file,
# every event) under Valgrind's memcheck: any invalid access, any use of
# uninitialised memory and any block leaked after the readers are cleaned up
# fails the run.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target test_corrupt_sweep
ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1 valgrind --tool=memcheck --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --quiet \
    "$BUILD/tests/test_corrupt_sweep" --gtest_filter='*sample_run_reads_clean*' >/dev/null
echo "valgrind: clean"
