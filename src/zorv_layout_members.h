// The member type names of the reader stack's class templates: each of the
// table set, the slicer and the reader expands this one list, so that a
// layout's records and classes carry the same names in all of them.
#ifndef ZORV_LAYOUT_MEMBERS_H
#define ZORV_LAYOUT_MEMBERS_H

// L is the layout traits. The names ending in _t are the ones the table set
// and the slicer use; the others those of the reader.
#define ZORV_LAYOUT_MEMBER_TYPES(L)                    \
    using ref_table_t = typename L::ref_table;         \
    using eit_t = typename L::eit;                     \
    using cdt_t = typename L::cdt;                     \
    using ecpt_t = typename L::ecpt;                   \
    using eidt_t = typename L::eidt;                   \
    using xcd_t = typename L::xcd;                     \
    using evh_basket_t = typename L::evh_basket;       \
    using sbh_basket_t = typename L::sbh_basket;       \
    using sbhead = typename L::sbhead;                 \
    using subhead = typename L::subhead;               \
    using chan_param = typename L::chan_param;         \
    using chan_param_t = chan_param;                   \
    using table_set_type = typename L::table_set_type; \
    using tables_t = table_set_type;                   \
    using reader_t = typename L::channel_reader;       \
    using slicer_type = typename L::slicer_type;       \
    using result_entry = typename L::result_entry;

#endif
