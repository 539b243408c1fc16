// Channel descriptions loaded from a file's XML channel description table.
#ifndef ZORV_PARSE_CHAN_DESCR_H
#define ZORV_PARSE_CHAN_DESCR_H

#include <cstdint>
#include <vector>

#include "zorv_export.h"

struct bit_descr {
    int32_t bit;
    char bit_name[64];
    char bit_desc[80];
};

struct stat_descr {
    int32_t stat;
    char stat_name[64];
    char stat_desc[80];
    char units[16];
};

struct dim_descr {
    int32_t dim;
    char dim_name[64];
    char dim_desc[80];
    char units[16];
    int32_t nstats;
    std::vector<stat_descr*> stats;
};

// One channel's description. Bit, dimension and statistics records are
// separate malloc'd blocks owned by whoever owns the description; the
// vectors themselves are released by deleting the description.
struct chan_descr_2010 {
    int32_t stream;
    uint32_t ev_type;
    int32_t count;
    uint32_t dtype;
    int32_t db_key;
    char prop_name[256];
    char daq_name[256];
    char prop_desc[256];
    char units[16];
    int32_t max_size;
    int32_t nbits;
    std::vector<bit_descr*> bits;
    int32_t ndims;
    std::vector<dim_descr*> dims;
    char sb_name[256];
    int32_t set_point;
    char subsystem[64];
};

struct zorv_xml_chan_descr_header_2010;

// Parses the XML text of `xcd` and appends one heap-allocated description per
// <channel> element to `list` (allocated with new; bits/dims/stats with
// malloc'd records). Returns 0 on success, non-zero when the text is not
// well-formed XML of the expected schema; on failure nothing is appended.
ZORV_EXPORT int zorv_load_chan_descr(const zorv_xml_chan_descr_header_2010* xcd,
                                     std::vector<chan_descr_2010*>* list);
// Same, from a NUL-terminated XML text.
ZORV_EXPORT int zorv_load_chan_descr_text(const char* xml, std::vector<chan_descr_2010*>* list);

// Releases one description with its bit, dimension and statistics records.
ZORV_EXPORT void zorv_free_chan_descr(chan_descr_2010* d);

// Deep copy of a description (bits, dims and stats copied as new blocks).
// Returns null when out of memory.
ZORV_EXPORT chan_descr_2010* zorv_copy_chan_descr(const chan_descr_2010* d);

// Human-readable dump on standard output.
ZORV_EXPORT void print_zorv_chan_descr(const chan_descr_2010* d);
ZORV_EXPORT void print_zorv_chan_descr(const std::vector<chan_descr_2010*>* list);

#endif
