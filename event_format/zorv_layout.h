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

// The public classes of each layout's reader stack, named by the traits.
class zorv_file_get_tables_2010;
class zorv_daq_read_chan_2010;
class zorv_daq_slicer_2010;
struct zorv_daq_reader_result_entry_2010;
class zorv_file_get_tables;
class zorv_daq_read_chan;
class zorv_daq_slicer;
struct zorv_daq_reader_result_entry;
// Entry functions of the channel readers' decoding workers.
extern "C" ZORV_EXPORT void* unzip_thread_2010(void* prm);
extern "C" ZORV_EXPORT void* unzip_thread(void* prm);

namespace zorv {

struct ZORV_EXPORT layout_current {
    static constexpr bool legacy = false;
    static constexpr const char* name = "current";

    using ref_table = zorv_file_reference_table_2010;
    using eit = zorv_event_index_table_2010;
    using cdt = zorv_chan_dictionary_table_2010;
    using cdt_entry = zorv_chan_dictionary_entry_2010;
    using ecpt = zorv_event_chan_pointers_table;
    using eidt = zorv_env_dictionary_table_2010;
    using xcd = zorv_xml_chan_descr_header_2010;
    using evh_basket = zorv_event_header_basket_2010;
    using sbh_basket = zorv_server_block_basket_2010;
    using chan_basket = zorv_channel_basket_2010;
    using sbhead = zorv_serv_block_head_2010;
    using subhead = zorv_serv_block_subhead_2010;
    using upd_block = zorv_upd_data_block_2010;
    using chan_param = zorv_daq_chan_param_2010;

    static constexpr uint32_t pattern_ref = 0xFECAFEF3u;
    static constexpr uint32_t pattern_eit = 0xEDAEDAF3u;
    static constexpr uint32_t pattern_cdt = 0xDCADCAF3u;
    static constexpr uint32_t pattern_ecpt = 0xECDCECF3u;
    static constexpr uint32_t pattern_eidt = 0xE1D1E1F3u;
    static constexpr uint32_t pattern_xcd = 0xACDCACF3u;
    static constexpr uint32_t pattern_evh_basket = 0xBA5E0EF3u;
    static constexpr uint32_t pattern_sbh_basket = 0xBA5E5BF3u;
    static constexpr uint32_t pattern_chan_basket = 0xBA5ECAF3u;
    static constexpr uint32_t pattern_event = 0xFFEE2010u;

    static constexpr int cdt_entry_size = 272;
    static constexpr int chan_name_len = 256;  // CDT name and sub-header chname
    static constexpr int sbhead_size = 284;
    static constexpr int server_name_len = 256;
    static constexpr int subhead_size = 268;
    static constexpr int upd_size = 272;
    static constexpr int upd_prop_len = 256;
    static constexpr int chan_param_name_len = 256;

    // Block type of a slow value once decoded, and the update block types.
    static constexpr int upd_type = ZORV_UPD_BLOCK_2010;
    static constexpr bool is_update_type(int t) {
        return t == ZORV_UPD_BLOCK_2010 || t == ZORV_BOR_BLOCK_2010 || t == ZORV_EOR_BLOCK_2010;
    }

    // Table parsers of this layout, for code templated over the layout.
    static constexpr auto get_ref_table = &get_zorv_file_reference_table_m_2010;
    static constexpr auto get_eit_table = &zorv_get_event_index_table_m_2010;
    static constexpr auto get_cdt_table = &zorv_get_channel_dictionary_table_m_2010;
    static constexpr auto get_ecp_table = &zorv_get_event_chan_pointers_table_m_2010;
    static constexpr auto get_ecp_table_by_list = &zorv_get_event_chan_pointers_table_by_list_m_2010;
    static constexpr auto get_eidt_table = &zorv_get_env_index_dictionary_table_m_2010;
    static constexpr auto get_xcd_table = &zorv_get_chan_descr_table_m_2010;
    static constexpr auto find_channel_by_name = &zorv_find_channel_by_name_2010;

    // Cutting one member out of a device block, after decompression and for
    // a block stored plain; printing the records of an entry.
    static constexpr auto cut_unzipped = &device_to_one_channel_2010;
    static constexpr auto cut_plain = &device_to_one_channel_2010;
    static constexpr auto dump_sbhead = &dump_event_subheader_2010;
    static constexpr auto dump_chanhead = &dump_event_chanhead_2010;
    static constexpr auto print_data = &print_data_type_2010;
    // Whether a channel reader cuts sub-channel `sub` out of a block of type
    // t with n members, after decompression or stored plain.
    static constexpr bool cut_after_unzip(int t, int n, int sub) {
        return sub >= 0 && (t == ZORV_BLOCK_GENERIC_SPECT || n > 1 || (n == 1 && sub == 0));
    }
    static constexpr bool cut_after_plain(int t, int n, int sub) {
        return sub >= 0 && (t == ZORV_BLOCK_GENERIC_SPECT || n > 1);
    }

    // The reader stack of this layout.
    using table_set_type = ::zorv_file_get_tables_2010;
    using channel_reader = ::zorv_daq_read_chan_2010;
    using slicer_type = ::zorv_daq_slicer_2010;
    using result_entry = ::zorv_daq_reader_result_entry_2010;
    static constexpr void* (*worker_entry)(void*) = &unzip_thread_2010;
    // Baskets of a table set may be copied to the heap (else they stay
    // mapped), and a channel reader copies its channel basket.
    static constexpr bool copies_baskets = true;
    // The payload conversion's selector for block types both layouts use.
    static constexpr int payload_selector = ZORV_LAYOUT_CURRENT;
    // Messages and names of the reader stack.
    struct text;
};

struct ZORV_EXPORT layout_legacy {
    static constexpr bool legacy = true;
    static constexpr const char* name = "legacy";

    using ref_table = zorv_file_reference_table;
    using eit = zorv_event_index_table;
    using cdt = zorv_chan_dictionary_table;
    using cdt_entry = zorv_chan_dictionary_entry;
    using ecpt = zorv_event_chan_pointers_table;
    using eidt = zorv_env_dictionary_table;
    using xcd = zorv_xml_chan_descr_header;
    using evh_basket = zorv_event_header_basket;
    using sbh_basket = zorv_server_block_basket;
    using chan_basket = zorv_channel_basket;
    using sbhead = zorv_serv_block_head;
    using subhead = zorv_serv_block_subhead;
    using upd_block = zorv_upd_data_block;
    using chan_param = zorv_daq_chan_param;

    static constexpr uint32_t pattern_ref = 0xFECAFEF2u;
    static constexpr uint32_t pattern_eit = 0xEDAEDAF2u;
    static constexpr uint32_t pattern_cdt = 0xDCADCAF2u;
    static constexpr uint32_t pattern_ecpt = 0xECDCECF2u;
    static constexpr uint32_t pattern_eidt = 0xE1D1E1F2u;
    static constexpr uint32_t pattern_xcd = 0xACDCACF2u;
    static constexpr uint32_t pattern_evh_basket = 0xBA5E0EF2u;
    static constexpr uint32_t pattern_sbh_basket = 0xBA5E5BF2u;
    static constexpr uint32_t pattern_chan_basket = 0xBA5ECAF2u;
    static constexpr uint32_t pattern_event = 0xFFEEFFEEu;

    static constexpr int cdt_entry_size = 96;
    static constexpr int chan_name_len = 80;  // CDT name; the sub-header chname is 32
    static constexpr int sbhead_size = 76;
    static constexpr int server_name_len = 48;
    static constexpr int subhead_size = 44;
    static constexpr int upd_size = 96;
    static constexpr int upd_prop_len = 80;
    static constexpr int chan_param_name_len = 80;

    static constexpr int upd_type = ZORV_UPD_BLOCK;
    static constexpr bool is_update_type(int t) {
        return t == ZORV_UPD_BLOCK || t == ZORV_BOR_BLOCK || t == ZORV_EOR_BLOCK;
    }

    static constexpr auto get_ref_table = &get_zorv_file_reference_table_m;
    static constexpr auto get_eit_table = &zorv_get_event_index_table_m;
    static constexpr auto get_cdt_table = &zorv_get_channel_dictionary_table_m;
    static constexpr auto get_ecp_table = &zorv_get_event_chan_pointers_table_m;
    static constexpr auto get_ecp_table_by_list = &zorv_get_event_chan_pointers_table_by_list_m;
    static constexpr auto get_eidt_table = &zorv_get_env_index_dictionary_table_m;
    static constexpr auto get_xcd_table = &zorv_get_chan_descr_table_m;
    static constexpr auto find_channel_by_name = &zorv_find_channel_by_name;

    static constexpr auto cut_unzipped = &device_to_one_channel_2009;
    static constexpr auto cut_plain = &device_to_one_channel;
    static constexpr auto dump_sbhead = &dump_event_subheader;
    static constexpr auto dump_chanhead = &dump_event_chanhead;
    static constexpr auto print_data = &print_data_type;
    static constexpr bool cut_after_unzip(int, int n, int sub) {
        return (n >= 2 && sub >= 0) || (n == 1 && sub == 0);
    }
    static constexpr bool cut_after_plain(int, int n, int sub) { return n > 1 && sub >= 0; }

    using table_set_type = ::zorv_file_get_tables;
    using channel_reader = ::zorv_daq_read_chan;
    using slicer_type = ::zorv_daq_slicer;
    using result_entry = ::zorv_daq_reader_result_entry;
    static constexpr void* (*worker_entry)(void*) = &unzip_thread;
    static constexpr bool copies_baskets = false;
    static constexpr int payload_selector = ZORV_LAYOUT_LEGACY;
    struct text;
};

static_assert(sizeof(layout_current::cdt_entry) == layout_current::cdt_entry_size, "traits");
static_assert(sizeof(layout_legacy::cdt_entry) == layout_legacy::cdt_entry_size, "traits");
static_assert(sizeof(layout_current::subhead) == layout_current::subhead_size, "traits");
static_assert(sizeof(layout_legacy::subhead) == layout_legacy::subhead_size, "traits");
static_assert(sizeof(layout_current::sbhead) == layout_current::sbhead_size, "traits");
static_assert(sizeof(layout_legacy::sbhead) == layout_legacy::sbhead_size, "traits");
static_assert(sizeof(layout_current::upd_block) == layout_current::upd_size, "traits");
static_assert(sizeof(layout_legacy::upd_block) == layout_legacy::upd_size, "traits");

}  // namespace zorv

#endif
