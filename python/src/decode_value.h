// One channel's block in a reader's result entry, decoded into a view of its
// values: the library's event decoder reads slow values, name/value blocks,
// spectra, regions of interest and images; environment values, dictionaries
// and equipment words are read from the block's bounded payload. Every
// pointer in a view lies inside the block, so a view stays valid until the
// reader's next get_data.
#ifndef ZORVDAQ_PY_DECODE_VALUE_H
#define ZORVDAQ_PY_DECODE_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "event_util.h"

namespace zorvpy {

enum class kind : int { update, env, env_dict, spectrum, roi, image, name_value, equipment, unknown };

// "update", "env", ... as the kinds are named to Python.
const char* kind_word(kind k);
// The kind of a block type (low 16 bits), unknown for codes not in the table.
kind kind_of_type(int dtype);

struct member_view {
    std::string name;
    float start = 0, inc = 0, groups_inc = 0;
    int ndata = 0, groups = 1;
    const float* samples = nullptr;  // ndata * groups floats
    size_t count = 0;
};

struct pair_view {
    std::string name;
    float value;
};

struct value_view {
    kind k = kind::unknown;
    int dtype = 0;
    int status = 0;        // the block's error word without the compression flag
    std::string error;     // non-empty: the block could not be decoded
    // update, env
    double value = 0;
    uint32_t sec = 0, usec = 0;
    std::string prop;      // update: the property name
    int index = 0;         // env: the environment index; name/value: the block id
    // spectrum, roi
    std::vector<member_view> members;
    // image: rows top to bottom, most significant byte of a pixel first
    int width = 0, height = 0, bytes_per_pixel = 0;
    const unsigned char* pixels = nullptr;
    // name/value (comment in `prop`), env dictionary (name per key)
    std::vector<pair_view> pairs;
    // equipment words and unknown blocks: the raw payload
    const unsigned char* payload = nullptr;
    size_t length = 0;
};

// Decodes the block of `e` read with layout `legacy`; `subchan` is the member
// cut out of a device block (-1 for the whole block). Never throws; a block
// that cannot be decoded gets `error` set.
void decode_value(const zorv_channel_entry_long& e, bool legacy, int subchan, value_view* out);

}  // namespace zorvpy

#endif
