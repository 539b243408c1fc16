// The two file layouts as traits: record types, widths, patterns and type
// codes, the library calls of each layout, the classes of the reader stack
// built on it, and (in `text`, defined with the reader stack) the messages
// and names that stack prints. Code that serves both layouts is written once
// as a template over one of these structs; only what the layouts really
// differ in lives here, so that this is the one place that describes a
// layout.
#ifndef ZORV_LAYOUT_H
#define ZORV_LAYOUT_H

#include <cstdint>

#include "event_util.h"

// The names of a layout's records, library calls and reader classes differ
// only by a suffix: "_2010" for the current layout, none for the legacy one.
// These two macros spell them once for both.
#define ZORV_LAYOUT_DECLARE_STACK(S)                    \
    class zorv_file_get_tables##S;                      \
    class zorv_daq_read_chan##S;                        \
    class zorv_daq_slicer##S;                           \
    struct zorv_daq_reader_result_entry##S;             \
    /* Entry function of the channel reader's worker */ \
    extern "C" ZORV_EXPORT void* unzip_thread##S(void* prm);

ZORV_LAYOUT_DECLARE_STACK(_2010)
ZORV_LAYOUT_DECLARE_STACK()

#define ZORV_LAYOUT_NAMED_MEMBERS(S)                                                                   \
    using ref_table = zorv_file_reference_table##S;                                                    \
    using eit = zorv_event_index_table##S;                                                             \
    using cdt = zorv_chan_dictionary_table##S;                                                         \
    using cdt_entry = zorv_chan_dictionary_entry##S;                                                   \
    using ecpt = zorv_event_chan_pointers_table; /* one layout */                                      \
    using eidt = zorv_env_dictionary_table##S;                                                         \
    using xcd = zorv_xml_chan_descr_header##S;                                                         \
    using evh_basket = zorv_event_header_basket##S;                                                    \
    using sbh_basket = zorv_server_block_basket##S;                                                    \
    using chan_basket = zorv_channel_basket##S;                                                        \
    using sbhead = zorv_serv_block_head##S;                                                            \
    using subhead = zorv_serv_block_subhead##S;                                                        \
    using upd_block = zorv_upd_data_block##S;                                                          \
    using chan_param = zorv_daq_chan_param##S;                                                         \
                                                                                                       \
    /* Record sizes and name widths, as the records declare them. */                                   \
    static constexpr int cdt_entry_size = sizeof(cdt_entry);                                           \
    static constexpr int chan_name_len = sizeof(cdt_entry::chan_name);                                 \
    static constexpr int sbhead_size = sizeof(sbhead);                                                 \
    static constexpr int server_name_len = sizeof(sbhead::server);                                     \
    static constexpr int subhead_size = sizeof(subhead);                                               \
    static constexpr int upd_size = sizeof(upd_block);                                                 \
    static constexpr int upd_prop_len = sizeof(upd_block::upd_prop);                                   \
    static constexpr int chan_param_name_len = sizeof(chan_param::name);                               \
                                                                                                       \
    /* Block type of a slow value once decoded, and the update block types. */                         \
    static constexpr int upd_type = ZORV_UPD_BLOCK##S;                                                 \
    static constexpr bool is_update_type(int t) {                                                      \
        return t == ZORV_UPD_BLOCK##S || t == ZORV_BOR_BLOCK##S || t == ZORV_EOR_BLOCK##S;             \
    }                                                                                                  \
                                                                                                       \
    /* Table parsers of this layout, for code templated over the layout. */                            \
    static constexpr auto get_ref_table = &get_zorv_file_reference_table_m##S;                         \
    static constexpr auto get_eit_table = &zorv_get_event_index_table_m##S;                            \
    static constexpr auto get_cdt_table = &zorv_get_channel_dictionary_table_m##S;                     \
    static constexpr auto get_ecp_table = &zorv_get_event_chan_pointers_table_m##S;                    \
    static constexpr auto get_ecp_table_by_list = &zorv_get_event_chan_pointers_table_by_list_m##S;    \
    static constexpr auto get_eidt_table = &zorv_get_env_index_dictionary_table_m##S;                  \
    static constexpr auto get_xcd_table = &zorv_get_chan_descr_table_m##S;                             \
    static constexpr auto find_channel_by_name = &zorv_find_channel_by_name##S;                        \
                                                                                                       \
    /* Cutting one member out of a block stored plain; printing the records of an entry. */            \
    static constexpr auto cut_plain = &device_to_one_channel##S;                                       \
    static constexpr auto dump_sbhead = &dump_event_subheader##S;                                      \
    static constexpr auto dump_chanhead = &dump_event_chanhead##S;                                     \
    static constexpr auto print_data = &print_data_type##S;                                            \
                                                                                                       \
    /* The reader stack of this layout. */                                                             \
    using table_set_type = ::zorv_file_get_tables##S;                                                  \
    using channel_reader = ::zorv_daq_read_chan##S;                                                    \
    using slicer_type = ::zorv_daq_slicer##S;                                                          \
    using result_entry = ::zorv_daq_reader_result_entry##S;                                            \
    static constexpr void* (*worker_entry)(void*) = &unzip_thread##S;                                  \
    /* Messages and names of the reader stack. */                                                      \
    struct text;

namespace zorv {

// The block patterns of both layouts share their first three bytes; the
// last byte names the layout.
template <uint32_t Tag>
struct layout_patterns {
    static constexpr uint32_t pattern_ref = 0xFECAFE00u | Tag;
    static constexpr uint32_t pattern_eit = 0xEDAEDA00u | Tag;
    static constexpr uint32_t pattern_cdt = 0xDCADCA00u | Tag;
    static constexpr uint32_t pattern_ecpt = 0xECDCEC00u | Tag;
    static constexpr uint32_t pattern_eidt = 0xE1D1E100u | Tag;
    static constexpr uint32_t pattern_xcd = 0xACDCAC00u | Tag;
    static constexpr uint32_t pattern_evh_basket = 0xBA5E0E00u | Tag;
    static constexpr uint32_t pattern_sbh_basket = 0xBA5E5B00u | Tag;
    static constexpr uint32_t pattern_chan_basket = 0xBA5ECA00u | Tag;
};

struct ZORV_EXPORT layout_current : layout_patterns<0xF3u> {
    static constexpr bool legacy = false;
    static constexpr const char* name = "current";
    static constexpr uint32_t pattern_event = 0xFFEE2010u;
    ZORV_LAYOUT_NAMED_MEMBERS(_2010)

    // The reader, slicer and channel readers of this layout have the
    // by-time fix, switched by set_by_time_fix().
    static constexpr bool has_time_fix = true;
    // Cutting one member out of a device block after decompression, and
    // whether a channel reader cuts sub-channel `sub` out of a block of type
    // t with n members. It does so whether or not the block was compressed,
    // member 0 of a single-member block included: the record is keyed
    // "<name>:<sub>", and a block left whole would name no selected channel.
    static constexpr auto cut_unzipped = &device_to_one_channel_2010;
    static constexpr bool cuts_member(int t, int n, int sub) {
        return sub >= 0 && (t == ZORV_BLOCK_GENERIC_SPECT || n > 1 || (n == 1 && sub == 0));
    }
    // Baskets of a table set may be copied to the heap (else they stay
    // mapped), and a channel reader copies its channel basket.
    static constexpr bool copies_baskets = true;
    // The payload conversion's selector for block types both layouts use.
    static constexpr int payload_selector = ZORV_LAYOUT_CURRENT;
};

struct ZORV_EXPORT layout_legacy : layout_patterns<0xF2u> {
    static constexpr bool legacy = true;
    static constexpr const char* name = "legacy";
    static constexpr uint32_t pattern_event = 0xFFEEFFEEu;
    ZORV_LAYOUT_NAMED_MEMBERS()

    static constexpr bool has_time_fix = false;
    static constexpr auto cut_unzipped = &device_to_one_channel_2009;
    static constexpr bool cuts_member(int, int n, int sub) { return (n >= 2 && sub >= 0) || (n == 1 && sub == 0); }
    // As in the current layout: a basket kept mapped would end the process
    // with SIGBUS when the file is cut short while its blocks are decoded.
    static constexpr bool copies_baskets = true;
    static constexpr int payload_selector = ZORV_LAYOUT_LEGACY;
};

#undef ZORV_LAYOUT_NAMED_MEMBERS
#undef ZORV_LAYOUT_DECLARE_STACK

// The legacy sub-header's channel name is narrower than its CDT name.
static_assert(layout_legacy::chan_name_len == 80 && sizeof(zorv_serv_block_subhead::chname) == 32, "traits");
static_assert(layout_current::pattern_ref == 0xFECAFEF3u && layout_legacy::pattern_chan_basket == 0xBA5ECAF2u,
              "patterns");

}  // namespace zorv

#endif
