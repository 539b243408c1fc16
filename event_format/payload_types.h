// The block-type table of the event-format library: every property of a
// block type (its names, its kind of payload, the layout of its records or
// spectrum head, its members) in one row indexed by the type code. Internal
// to the library; the payload conversion and the printers read it.
#ifndef ZORV_PAYLOAD_TYPES_H
#define ZORV_PAYLOAD_TYPES_H

#include <cstdint>

namespace zorv {
namespace payload_types {

enum class kind : uint8_t {
    none,        // unknown code
    records,     // fixed-size records back to back (updates, environment, equipment words)
    spectrum,    // spectrum head, statistics (current) and samples
    image,       // 28-byte frame head and pixel bytes
    image_ext,   // 100-byte frame head and pixel bytes
    name_value,  // head, ndata name/value pairs
};

// Layout of a spectrum head: fixed by the code, or shared (24..28).
enum class head_fmt : uint8_t { none, legacy, current, shared };

struct type_info {
    const char* name = nullptr;  // enumerator without its prefix; null for unknown codes
    const char* label = "unknown";  // kind of payload, for people
    const char* word = nullptr;     // kind of payload, for programs ("update", "roi", ...)
    kind k = kind::none;
    head_fmt fmt = head_fmt::none;
    bool is_update = false;   // update record kind (get_update_params)
    bool from_block = false;  // member count read from the block (generic spectrum)
    uint8_t nmemb = 1;
    const char* const* names = nullptr;
    // records kind: record size, the character span inside a record that is
    // not swapped, and the least number of records a payload must hold.
    uint16_t rec_size = 0;
    uint16_t text_off = 0;
    uint16_t text_len = 0;
    uint8_t min_records = 0;
};

// Number of type codes (rows) and of member names offered for a generic
// spectrum, whose member count is in the block.
constexpr int type_count = 64;
constexpr int generic_name_max = 64;

// The row of a block type (the low 16 bits of `type`); an empty row, of kind
// none, for unknown codes.
const type_info& info_of(int type);

}  // namespace payload_types
}  // namespace zorv

#endif
