// Entry points that drive the event-format library with arbitrary bytes, for
// coverage-guided fuzzing and for replaying inputs that once failed. Each
// entry returns 0 when the input was handled (accepted or refused with a
// status) and never crashes, reads outside its input or leaks, whatever the
// bytes are.
#ifndef ZORV_FUZZ_H
#define ZORV_FUZZ_H

#include <cstddef>
#include <cstdint>

#include "zorv_export.h"

extern "C" {

// Payload conversion and the payload queries for every block type.
// Input: byte 0 the block type, byte 1 the layout selector (mod 3), byte 2 the
// member to cut out, then the big-endian payload.
ZORV_EXPORT int zorv_fuzz_payload(const uint8_t* data, size_t size);

// The XML channel description loader (from the table and from the text) and
// the description printer; the input is the XML text.
ZORV_EXPORT int zorv_fuzz_chan_descr(const uint8_t* data, size_t size);

// The run catalogue. Input: byte 0 chooses the query (mod 4: by run, by
// period, run times, data directory), the rest is one run file's XML, queried
// as run 1234 of experiment "linac".
ZORV_EXPORT int zorv_fuzz_run_catalog(const uint8_t* data, size_t size);

// The index-table parsers of both layouts, one after the other on the input
// as a whole file (reference table from its tail, event index, dictionary,
// event-channel pointers in full and by channel list, environment
// dictionary, XML description), each reached whenever the reference table is.
ZORV_EXPORT int zorv_fuzz_tables(const uint8_t* data, size_t size);

// File-name times and ordering; the input is newline-separated file names.
ZORV_EXPORT int zorv_fuzz_file_names(const uint8_t* data, size_t size);
}

#endif
