// The two file layouts as the tests take them: the library's traits of the
// layout and, beside them, the reader class, the writer's name for the
// layout, two device block types the writer offers in it and the samples of
// a decoded block. Typed tests run over `current_case` and `legacy_case`.
#ifndef ZORV_TEST_LAYOUT_CASES_H
#define ZORV_TEST_LAYOUT_CASES_H

#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"
#include "zorv_daq_writer.h"
#include "zorv_layout.h"

namespace zorv_test {

template <class L, class Reader, zorv::file_layout File, int Bpm, int Toroid,
          float* (*Samples)(const typename L::subhead*, int)>
struct layout_case : L {
    using layout_traits = L;  // the library's own traits, for the library's templates
    using reader_t = Reader;
    static constexpr zorv::file_layout layout = File;
    static constexpr int bpm = Bpm, toroid = Toroid;
    static float* samples(const void* block, int member) {
        return Samples(static_cast<const typename L::subhead*>(block), member);
    }
};

using current_case = layout_case<zorv::layout_current, zorv_daq_reader_2010, zorv::file_layout::current,
                                 ZORV_BLOCK_BPM_2010, ZORV_BLOCK_TOROID_2010, &get_pointer_to_data_2010>;
using legacy_case = layout_case<zorv::layout_legacy, zorv_daq_reader, zorv::file_layout::legacy, ZORV_BLOCK_BPM,
                                ZORV_BLOCK_TOROID, &get_pointer_to_data_2009>;

// Result record of the channel that `res` (one of a reader's results) belongs to.
template <class R>
const typename R::result_entry* record_of(const R& r, const zorv_channel_entry_long* res) {
    for (const auto* rec : r.results)
        if (&rec->res == res) return rec;
    return nullptr;
}

}  // namespace zorv_test

#endif
