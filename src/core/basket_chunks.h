// How a channel reader brings in a large basket of the current layout: read
// in chunks on the caller's thread while its workers decode the entries
// whose bytes are in. Internal to the library; not installed.
#ifndef ZORV_CORE_BASKET_CHUNKS_H
#define ZORV_CORE_BASKET_CHUNKS_H

#include <cstddef>

#include "zorv_export.h"

namespace zorv {

struct basket_chunks {
    // Baskets of at least `from` bytes whose entries take at least
    // `per_entry` bytes on average are read in chunks of `chunk` bytes;
    // smaller ones in one piece. Each block's head is read ahead of the
    // chunks (the entries' memory is sized from them), one read per entry,
    // which only pays when entries are large.
    size_t from = size_t(8) << 20;
    size_t per_entry = size_t(32) << 10;
    size_t chunk = size_t(2) << 20;
};

// The sizes in force, read at each reader's start. The setter lets the tests
// stream small files; a chunk of 0 bytes is taken as 1.
ZORV_EXPORT basket_chunks basket_chunking();
ZORV_EXPORT void set_basket_chunking(const basket_chunks& c);

}  // namespace zorv

#endif
