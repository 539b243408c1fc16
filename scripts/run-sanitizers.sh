#!/bin/sh
# Builds and runs the whole test suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer.
# Usage: scripts/run-sanitizers.sh [asan|tsan]...   (default: both)
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
kinds=${*:-"asan tsan"}
for kind in $kinds; do
    case $kind in
        asan) san="address;undefined" ;;
        tsan) san="thread" ;;
        *) echo "unknown sanitizer set: $kind" >&2; exit 2 ;;
    esac
    dir=build-$kind
    # The program is built too: its tests run it.
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DZORV_SANITIZE="$san" \
          -DZORV_BUILD_TOOLS=ON >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 600
done
