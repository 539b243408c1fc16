// Names and payload kinds of the block types, and the directories a run
// catalogue names for a request: helpers shared by the command-line program
// and the Python module (an internal static library, not installed).
#ifndef ZORV_BLOCK_TYPES_H
#define ZORV_BLOCK_TYPES_H

#include <string>
#include <vector>

#include "event_util.h"

namespace zorv_common {

// "BPM_2010", "IMAGE", ... by the low 16 bits of the block type; null for
// unknown codes.
const char* block_type_name(int dtype);
// "update", "env", "env_dict", "spectrum", "roi", "image", "name_value" or
// "equipment" by the low 16 bits of the block type; null for unknown codes.
const char* block_type_kind(int dtype);

// Directories of the files the run catalogue lists for the request's runs
// (or, without runs, for its period), in the order it lists them.
std::vector<std::string> catalogue_dirs(const zorv_daq_request& req);

}  // namespace zorv_common

#endif
