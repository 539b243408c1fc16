// Decoding of one decoded channel block (sub-header followed by its
// host-order payload, as the readers hand it out) into values for output,
// and the block-type names and kinds used by the listings.
#ifndef ZORV_CLI_DECODE_H
#define ZORV_CLI_DECODE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_common.h"

namespace zorv_cli {

// The double that prints as the float's shortest decimal form (768.04, not
// 768.0399780273438); converting it back gives the same float.
double tidy(float f);

// "BPM_2010", "IMAGE", ... or the number for unknown codes.
std::string type_name(int dtype);
// "update", "env", "env_dict", "spectrum", "roi", "image", "name_value",
// "equipment" or "unknown", by the low 16 bits of the block type.
std::string type_kind(int dtype);

// Block type codes recorded in a channel dictionary's data-type mask.
// Codes 32..63 are recorded as bit (code - 32); in a current-layout file a
// bit stands for the current code where one exists, except for the codes
// both layouts share, which `hint` (the description's type, 0 when none)
// settles.
std::vector<int> mask_types(uint32_t dtype_mask, file_layout l, int hint);

// The value of one channel's block in a result entry as the readers hand it
// out (event header, server-block header, and the sub-header of layout `l`
// followed by ldata - sub-header bytes of host-order payload). `subchan` is
// the member cut out of a device block (-1 for the whole block). Counts that
// do not fit the payload give {"error": ...} instead of a value.
json decode_entry(const zorv_channel_entry_long& e, file_layout l, int subchan);

// A camera image inside a result entry's block.
struct image_view {
    int width = 0;
    int height = 0;
    int bytes_per_pixel = 1;
    const unsigned char* pixels = nullptr;  // rows top to bottom, MSB of a pixel first
    size_t length = 0;                      // pixel bytes in the block
    int hbin = 0, vbin = 0;                 // binning of the camera's pixels
};
// False with the reason in `why` when the block is no image or its size
// does not hold width * height pixels.
bool image_of(const zorv_channel_entry_long& e, file_layout l, image_view* out, std::string* why);
// CRC-32 of the pixel bytes, as 8 hex digits.
std::string pixel_checksum(const image_view& img);

}  // namespace zorv_cli

#endif
