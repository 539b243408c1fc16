// Fuzz entry points: each drives one part of the libraries with arbitrary
// bytes, for coverage-guided fuzzing, for replaying inputs that once failed
// and for corrupt-file sweeps. Each entry returns a status (0 when the input
// was handled: accepted or refused) and never crashes, reads outside a
// buffer, hangs or leaks, whatever the bytes are. Built as a static library
// for the fuzz targets and the tests only; not part of the shipped libraries.
#ifndef ZORV_FUZZ_H
#define ZORV_FUZZ_H

#include <cstddef>
#include <cstdint>

extern "C" {

// ----- the event-format library -----
// Payload conversion and the payload queries for every block type.
// Input: byte 0 the block type, byte 1 the layout selector (mod 3), byte 2 the
// member to cut out, then the big-endian payload.
int zorv_fuzz_payload(const uint8_t* data, size_t size);

// The XML channel description loader (from the table and from the text) and
// the description printer; the input is the XML text.
int zorv_fuzz_chan_descr(const uint8_t* data, size_t size);

// The run catalogue. Input: byte 0 chooses the query (mod 4: by run, by
// period, run times, data directory), the rest is one run file's XML, queried
// as run 1234 of experiment "linac".
int zorv_fuzz_run_catalog(const uint8_t* data, size_t size);

// The index-table parsers of both layouts, one after the other on the input
// as a whole file (reference table from its tail, event index, dictionary,
// event-channel pointers in full and by channel list, environment
// dictionary, XML description), each reached whenever the reference table is.
int zorv_fuzz_tables(const uint8_t* data, size_t size);

// File-name times and ordering; the input is newline-separated file names.
int zorv_fuzz_file_names(const uint8_t* data, size_t size);

// ----- the table sets, channel readers and readers -----
// The bytes are given to the reader as an in-memory file.
// Loads the file's table set in both layouts, for all channels, by a channel
// list and with the XML descriptions. Returns 0 when one layout loaded,
// otherwise the last table set status.
int zorv_fuzz_table_set(const uint8_t* data, size_t size);

// Loads the file's table set (the layout the file has) and reads every
// channel of it through a channel reader: every entry decoded, then every
// event visited by event number and by time. A spectrum channel is also read
// as its members. Returns 0 when the tables loaded and every channel reader
// started, otherwise the first failing status.
int zorv_fuzz_read_channels(const uint8_t* data, size_t size);

// Reads the file through the reader of its layout: every channel (and one
// channel's member) requested, every event asked for in turn, then
// clean_up. Returns the reader's status of start or of the event that ended
// the loop when it was not "out of window" or "no data"; 0 otherwise.
// ZORV_FUZZ_ENDLESS means the reader kept answering past every entry of the
// file. Sets ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME (the file is brand new).
int zorv_fuzz_reader(const uint8_t* data, size_t size);
}

constexpr int ZORV_FUZZ_ENDLESS = -1000;

#endif
