#!/bin/sh
# Line coverage of the libraries by the kept fuzz corpora: builds the replay
# test with clang's source-based coverage, replays every kept input (and the
# seeds) and reports per source file, the event-format parsers first.
# Usage: scripts/run-coverage.sh [-html]   (the HTML report goes to build-cov/html)
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=build-cov
profdata=$(command -v llvm-profdata || command -v llvm-profdata-14)
cov=$(command -v llvm-cov || command -v llvm-cov-14)
flags="-fprofile-instr-generate -fcoverage-mapping"
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DZORV_BUILD_TOOLS=OFF \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
      -DCMAKE_SHARED_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target test_fuzz_regress >/dev/null
rm -f "$dir"/*.profraw
LLVM_PROFILE_FILE="$PWD/$dir/replay-%p.profraw" ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1 \
    "$dir/tests/test_fuzz_regress" >/dev/null
"$profdata" merge -sparse "$dir"/*.profraw -o "$dir/replay.profdata"
objects="$dir/libzorvevutl.so -object $dir/libzorvdaq.so"
echo "== event-format parsers"
# shellcheck disable=SC2086
"$cov" report $objects -instr-profile="$dir/replay.profdata" \
    -ignore-filename-regex='(/src/|/tests/|/fuzz/|printers|be_reader|zorv_layout)' 
echo "== reader stack"
# shellcheck disable=SC2086
"$cov" report $objects -instr-profile="$dir/replay.profdata" \
    -ignore-filename-regex='(/event_format/|/tests/|/fuzz/)' 
if [ "${1:-}" = "-html" ]; then
    # shellcheck disable=SC2086
    "$cov" show $objects -instr-profile="$dir/replay.profdata" -format=html \
        -output-dir="$dir/html" -ignore-filename-regex='(/tests/|/fuzz/)' 
    echo "HTML report: $dir/html/index.html"
fi
