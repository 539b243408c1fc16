// Names and payload kinds of the block types, member names, the reader class
// of each layout, and the directories a run catalogue names for a request:
// helpers shared by the command-line program and the Python module (an
// internal static library, not installed).
#ifndef ZORV_BLOCK_TYPES_H
#define ZORV_BLOCK_TYPES_H

#include <string>
#include <type_traits>
#include <vector>

#include "event_util.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"
#include "zorv_layout.h"

namespace zorv_common {

// The reader class of a layout.
template <class L>
struct reader_for {
    using type = std::conditional_t<L::legacy, zorv_daq_reader, zorv_daq_reader_2010>;
};

// "BLOCK_BPM_2010", "BLOCK_IMAGE", ... by the low 16 bits of the block type; null for
// unknown codes.
const char* block_type_name(int dtype);
// "update", "env", "env_dict", "spectrum", "roi", "image", "name_value" or
// "equipment" by the low 16 bits of the block type; null for unknown codes.
const char* block_type_kind(int dtype);

// Name of member m of an n-member spectrum block of type `dtype` (the device
// type in its high 16 bits). A member the reader cut out of a device block
// (n is 1, subchan >= 0) is named by its place in the device: the event
// decoder, seeing a one-member block, would name it as the device's first
// member. Otherwise `decoder_name` (the decoder's name of member m) serves,
// and "CH<m+1>" when there is none.
std::string member_name(int dtype, int n, int m, int subchan, const char* decoder_name);

// Directories of the files the run catalogue lists for the request's runs
// (or, without runs, for its period), in the order it lists them.
std::vector<std::string> catalogue_dirs(const zorv_daq_request& req);

}  // namespace zorv_common

#endif
