// What the printers, the command-line program and the Python module need to
// know about a block type, taken from the payload unit's type table. Exported
// for the project's own program and module; not installed.
#ifndef ZORV_BLOCK_TYPE_NAMES_H
#define ZORV_BLOCK_TYPE_NAMES_H

#include "zorv_export.h"

namespace zorv {

// Enumerator name of a block type without its "ZORV_" prefix; null when the
// low 16 bits of `type` are not a known code.
ZORV_EXPORT const char* block_type_name(int type);
// Kind of payload for people: "update", "spectrum", "extended image", ...;
// "unknown" for unknown codes.
ZORV_EXPORT const char* block_kind_name(int type);
// Kind of payload for programs: "update", "env", "env_dict", "spectrum",
// "roi", "image", "name_value" or "equipment"; null for unknown codes.
ZORV_EXPORT const char* block_kind_word(int type);

}  // namespace zorv

#endif
