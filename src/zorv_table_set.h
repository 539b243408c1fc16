// The table set of one open DAQ file: its index tables, obtained from the
// event-format library, and its event-header and server-block baskets held in
// memory. One template serves both layouts; zorv_file_get_tables_2010 and
// zorv_file_get_tables are its two instances.
#ifndef ZORV_TABLE_SET_H
#define ZORV_TABLE_SET_H

#include <pthread.h>
#include <sys/types.h>

#include <vector>

#include "event_util.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_layout_members.h"

namespace zorv {

// Result codes of table_set::get_all_tables for the steps that are not
// event-format library calls (those give the library's own codes).
namespace table_set_status {
enum : int {
    no_file = 1,
    open_failed = -2,
    tail_map_failed = -3,
    ref_failed = 2,
    index_failed = 3,  // event index table and channel dictionary alike
    eidt_failed = 5,
    xcd_failed = 6,
    descr_failed = 7,
    evh_head_failed = -4,
    evh_whole_failed = -5,
    sbh_head_failed = -6,
    sbh_whole_failed = -7,
};
}  // namespace table_set_status

// Why a file cannot be read, by a failed get_all_tables' code: a few words
// for the messages and the skipped-file reports.
ZORV_EXPORT const char* table_set_failure(int status);

// Loaded by get_all_tables, then read-only and shared without locks by every
// channel reader of the file until clean_up.
//
// A file position P inside a basket is found in memory at
//   evh_base + (P - evh_offset)   when the basket is mapped (basket_copy_mode 0),
//   evhb     + (P - evh_offset)   when it was copied        (basket_copy_mode 1);
// in both cases the region holds evh_base_size bytes from evh_offset on (the
// same for the server-block basket).
template <class L>
class ZORV_EXPORT table_set {
public:
    ZORV_LAYOUT_MEMBER_TYPES(L)

    std::vector<char*> chans;   // channel list given to get_all_tables (not owned)
    char* file_name = nullptr;  // path given to get_all_tables (not owned)
    int fd = -1;
    off_t len = 0;
    int clientsn = 0;

    unsigned char* evh_base = nullptr;
    u_long evh_offset = 0;
    u_long evh_base_size = 0;
    evh_basket_t* evhb = nullptr;

    unsigned char* sbh_base = nullptr;
    u_long sbh_offset = 0;
    u_long sbh_base_size = 0;
    sbh_basket_t* sbhb = nullptr;

    int basket_copy_mode = 0;

    ref_table_t* ref_tbl = nullptr;
    eit_t* eit_tab = nullptr;
    cdt_t* cdt_tab = nullptr;
    ecpt_t* ecp_tab = nullptr;
    eidt_t* eidt_tab = nullptr;
    xcd_t* xcd_tab = nullptr;

    ref_table_t* lref_tbl = nullptr;
    eit_t* leit_tab = nullptr;
    cdt_t* lcdt_tab = nullptr;
    ecpt_t* lecp_tab = nullptr;
    eidt_t* leidt_tab = nullptr;
    xcd_t* lxcd_tab = nullptr;

    std::vector<chan_descr_2010*> descr_list;
    int descr_mode = 0;
    pthread_mutex_t mx;  // guards clean_up
    int debug = 0;

    explicit table_set(int d_mode);
    ~table_set();
    table_set(const table_set&) = delete;
    table_set& operator=(const table_set&) = delete;

    // Opens `file` and loads its tables and baskets. `chs` (may be null or
    // empty) restricts the event-channel pointers table to those channels.
    // 0 on success; otherwise the object is left empty and the code tells
    // which step failed.
    int get_all_tables(char* file, int d_mode, std::vector<char*>* chs);
    // Releases everything; safe on an empty object and repeatedly.
    void clean_up();

    bool is_ecp_tab_full() const { return chans.empty(); }
    int get_ecp_tab_entry_index(const char* chan) const;

    evh_basket_t* get_evh_basket() const { return evhb; }
    sbh_basket_t* get_sbh_basket() const { return sbhb; }
    unsigned char* get_evh_base() const { return evh_base; }
    unsigned char* get_sbh_base() const { return sbh_base; }
    u_long get_evh_offset() const { return evh_offset; }
    u_long get_sbh_offset() const { return sbh_offset; }
    ref_table_t* get_ref_tbl() const { return ref_tbl; }
    eit_t* get_eit_table() const { return eit_tab; }
    cdt_t* get_cdt_table() const { return cdt_tab; }
    ecpt_t* get_ecp_table() const { return ecp_tab; }
    eidt_t* get_eidt_table() const { return eidt_tab; }
    xcd_t* get_xcd_table() const { return xcd_tab; }
    std::vector<chan_descr_2010*>* get_descr_list() { return &descr_list; }
    char* get_file_name() const { return file_name; }
    off_t get_file_len() const { return len; }
    int get_file_descr() const { return fd; }
    int get_client_counter() const { return clientsn; }
    void inc_client_counter() { ++clientsn; }

private:
    struct loading;
    int load(char* file, loading& ld);
    int load_tables(loading& ld);
    int choose_basket_mode(const loading& ld) const;
    void adopt(loading& ld);
    void release_all();
};

}  // namespace zorv

#endif
