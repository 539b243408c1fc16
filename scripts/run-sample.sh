#!/bin/sh
# Installs what the build needs, builds the library and the zorv-daq program,
# writes the built-in sample run and reads it back event by event.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zorv-daq
SAMPLE="$BUILD/sample"
rm -rf "$SAMPLE"
"$BUILD/bin/zorv-daq" gen --sample -o "$SAMPLE"
ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1 "$BUILD/bin/zorv-daq" read "$SAMPLE"/*.raw "$@"
