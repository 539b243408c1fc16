// Internal parts of the event decoder shared by its units: where it keeps
// the headers of each layout, the selected channel's block, and small helpers.
#ifndef ZORV_HL_DECODER_ACCESS_H
#define ZORV_HL_DECODER_ACCESS_H

#include <cstddef>
#include <cstring>
#include <iostream>
#include <tuple>

#include "hl/records.h"
#include "zorv_daq_data.h"

namespace zorv {
namespace hl {

// Where the decoder keeps the headers of layout L: the member of the
// decoder's type (each layout's headers have a type of their own).
template <class L>
typename L::subhead*& chan_slot(zorv_daq_getdata& g) {
    return std::get<typename L::subhead*&>(std::tie(g.ChanHeader, g.ChanHeader_2010));
}
template <class L>
typename L::sbhead*& srvb_slot(zorv_daq_getdata& g) {
    return std::get<typename L::sbhead*&>(std::tie(g.SrvbHeader, g.SrvbHeader_2010));
}

// The payload library's spectrum queries, chosen by the sub-header's type.
inline float* member_samples(const zorv_serv_block_subhead* h, int m) {
    return get_pointer_to_data_2009(h, m);
}
inline float* member_samples(const zorv_serv_block_subhead_2010* h, int m) {
    return get_pointer_to_data_2010(h, m);
}
inline bool spect_params(const zorv_serv_block_subhead* h, float* start, float* inc, float** mean,
                         int* ndata, int*, float*, zorv_spect_statistics_2010**, int ch) {
    return get_spect_params_for_data_type_2009(h, start, inc, mean, ndata, ch);
}
inline bool spect_params(const zorv_serv_block_subhead_2010* h, float* start, float* inc,
                         float** mean, int* ndata, int* groups, float* groups_inc,
                         zorv_spect_statistics_2010** stat, int ch) {
    return get_spect_params_for_data_type_2010(h, start, inc, mean, ndata, groups, groups_inc,
                                               stat, ch);
}

// Runs f with the layout tag of the selected channel.
template <class F>
decltype(auto) in_layout(const zorv_daq_getdata& g, F&& f) {
    if (g.data_2010) return f(layout_current{});
    return f(layout_legacy{});
}

template <class L>
zorv::block_view<L> selected_block(zorv_daq_getdata& g) {
    return zorv::block_view<L>(chan_slot<L>(g));
}

template <class L>
zorv::block_view<L> entry_block(const zorv_channel_entry_long* e) {
    return zorv::block_view<L>(at_address<void>(e->sbchdata[0].chhd));
}

// Payload kind of block type b in layout L.
template <class L>
int prop_type_of(int b) {
    if (b == ZORV_BLOCK_IMAGE || b == ZORV_BLOCK_IMAGE_EXT) return 4;
    if (b == ZORV_BLOCK_EQDATA) return 5;
    if (b <= ZORV_EOR_BLOCK || b == ZORV_BLOCK_NAME_VALUE) return 2;
    if (!L::legacy && b >= ZORV_UPD_BLOCK_2010 && b <= ZORV_EOR_BLOCK_2010) return 2;
    return 3;
}

// Member number a cut block's name ends in ("BPM3:1" gives 1); -1 when the
// name carries none (it may have been cut to the field).
inline int cut_member_index(const char* chname, size_t size) {
    const size_t len = strnlen(chname, size);
    const char* colon = static_cast<const char*>(std::memchr(chname, ':', len));
    if (!colon || colon + 1 == chname + len || chname + len - colon > 7) return -1;
    int v = 0;
    for (const char* c = colon + 1; c < chname + len; ++c) {
        if (*c < '0' || *c > '9') return -1;
        v = v * 10 + (*c - '0');
    }
    return v;
}

template <class T>
void put(T* dst, T v) {
    if (dst) *dst = v;
}

inline void print_select_refusal(const zorv_daq_getdata& g, const char* prefix) {
    std::cerr << prefix << g.Status << " Res= " << static_cast<const void*>(g.Res)
              << " Nchan= " << g.Nchan << std::endl;
}

}  // namespace hl
}  // namespace zorv

#endif
