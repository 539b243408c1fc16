// Legacy-layout table set and channel reader, and the block decompressors
// make_zlib and make_lzo shared by both layouts.
#ifndef ZORV_DAQ_READ_CHAN_H
#define ZORV_DAQ_READ_CHAN_H

#include <cstdint>

#include "event_util.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_table_set.h"

// ===== block decompression =====

// Decompresses one complete zlib stream from start[0 .. slen) into dest.
// *dlen gives the capacity of dest on entry and receives the decompressed
// length on success. Returns 0 on success, 1 on failure (one message on
// standard output); output that does not fit the capacity is a failure.
ZORV_EXPORT int make_zlib(unsigned char* start, int slen, unsigned char* dest, int* dlen);

// The same for LZO1X data. The decoder never writes past the capacity given
// in *dlen. `prm` is the caller's scratch buffer; the LZO1X decoder needs no
// work memory, so it may be null.
ZORV_EXPORT int make_lzo(unsigned char* start, int slen, unsigned char* dest, int* dlen,
                         unsigned char* prm);

namespace zorv {

// Compressor named by the flags word of a zip header. Bit 0 (zlib) is tested
// before bit 1 (LZO1X), so a header with both bits is zlib; other bits are
// not interpreted.
enum class zip_method { unknown, zlib, lzo };

constexpr zip_method zip_method_of(uint32_t zip_flags) {
    return (zip_flags & 1u) ? zip_method::zlib
           : (zip_flags & 2u) ? zip_method::lzo
                              : zip_method::unknown;
}

}  // namespace zorv

// ===== end of block decompression =====

// ===== table set (legacy layout) =====

// Table set of one open legacy-layout DAQ file.
class ZORV_EXPORT zorv_file_get_tables : public zorv::table_set<zorv::layout_legacy> {
public:
    using table_set::table_set;
};

// ===== end of table set =====

// ===== channel reader and decompression workers (legacy layout) =====

#include "zorv_read_chan_core.h"

class ZORV_EXPORT zorv_daq_read_chan : public zorv::read_chan<zorv::layout_legacy> {
public:
    using read_chan::read_chan;
};

// Entry function of a decompression worker; `prm` is the channel reader.
extern "C" ZORV_EXPORT void* unzip_thread(void* prm);

// ===== end of channel reader =====

#endif
