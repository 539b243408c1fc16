// Entry points that drive the table sets and the channel readers with
// arbitrary file contents, for coverage-guided fuzzing, for replaying inputs
// that once failed and for corrupt-file sweeps. The bytes are given to the
// reader as an in-memory file. Each entry returns a status and never crashes,
// reads outside a buffer, hangs or leaks, whatever the bytes are.
#ifndef ZORV_DAQ_FUZZ_H
#define ZORV_DAQ_FUZZ_H

#include <cstddef>
#include <cstdint>

#include "zorv_export.h"

extern "C" {

// Loads the file's table set in both layouts, for all channels, by a channel
// list and with the XML descriptions. Returns 0 when one layout loaded,
// otherwise the last table set status.
ZORV_EXPORT int zorv_fuzz_table_set(const uint8_t* data, size_t size);

// Loads the file's table set (the layout the file has) and reads every
// channel of it through a channel reader: every entry decoded, then every
// event visited by event number and by time. A spectrum channel is also read
// as its members. Returns 0 when the tables loaded and every channel reader
// started, otherwise the first failing status.
ZORV_EXPORT int zorv_fuzz_read_channels(const uint8_t* data, size_t size);

// Reads the file through the reader of its layout: every channel (and one
// channel's member) requested, every event asked for in turn, then
// clean_up. Returns the reader's status of start or of the event that ended
// the loop when it was not "out of window" or "no data"; 0 otherwise.
// ZORV_FUZZ_ENDLESS means the reader kept answering past every entry of the
// file. Sets ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME (the file is brand new).
ZORV_EXPORT int zorv_fuzz_reader(const uint8_t* data, size_t size);
}

constexpr int ZORV_FUZZ_ENDLESS = -1000;

#endif
