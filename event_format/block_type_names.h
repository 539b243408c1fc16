// Internal to the event-format library: what the printers need to know about
// a block type, taken from the payload unit's type table.
#ifndef ZORV_BLOCK_TYPE_NAMES_H
#define ZORV_BLOCK_TYPE_NAMES_H

namespace zorv {

// Enumerator name of a block type without its "ZORV_" prefix; null when the
// low 16 bits of `type` are not a known code.
const char* block_type_name(int type);
// Kind of payload: "update", "spectrum", "image", ...; "unknown" for unknown codes.
const char* block_kind_name(int type);

}  // namespace zorv

#endif
