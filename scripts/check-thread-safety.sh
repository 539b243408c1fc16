#!/bin/sh
# Builds the library with Clang and its thread-safety analysis, every finding
# an error: the lock requirements written into the code (ZORV_GUARDED_BY,
# ZORV_REQUIRES) are checked here. No tests run; GCC builds ignore the
# annotations.
set -eu
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build-thread-safety}
LAUNCHER=
if command -v ccache >/dev/null 2>&1; then LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"; fi
# shellcheck disable=SC2086
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" $LAUNCHER >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zorvdaq
