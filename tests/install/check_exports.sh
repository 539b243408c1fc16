#!/bin/sh
# The shared library exports the reader's per-channel dumps that programs
# built against earlier releases call: defining them in the header alone
# would leave those programs without the symbols at load time.
set -eu
lib=$1
missing=0
for f in print_channel_event_headers print_channel_server_block_headers \
         print_channel_channel_headers print_channel_channel; do
    if ! nm -DC --defined-only "$lib" | grep -qF "zorv::reader<zorv::layout_current>::$f(char const*, char const*)"; then
        echo "not exported: zorv::reader<zorv::layout_current>::$f" >&2
        missing=1
    fi
done
exit $missing
