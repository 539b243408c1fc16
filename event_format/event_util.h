// Table, basket, request and channel records of the DAQ raw files, the status
// code sets shared by every layer, and the operations of the event-format
// library: table parsers, payload conversion, payload queries, time and
// file-name helpers, the run catalogue and diagnostic printers.
//
// Every multi-byte number on file is big-endian; every record declared here
// is in host order. Table records returned by the parsers are one malloc'd
// block each, released with free().
#ifndef ZORV_EVENT_UTIL_H
#define ZORV_EVENT_UTIL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "event.h"
#include "parse_chan_descr.h"
#include "zorv_export.h"

// ---------------------------------------------------------------------------
// Status codes, request types and synchronisation modes.
// ---------------------------------------------------------------------------

enum zorv_daq_read_chan_data_status {
    ZORV_DAQ_READ_CHAN_INV_PARAM = -7,
    ZORV_DAQ_READ_CHAN_INTERN_ERROR = -6,
    ZORV_DAQ_READ_CHAN_NOT_FOUND = -5,
    ZORV_DAQ_READ_CHAN_NOT_INIT = -4,
    ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW = -3,
    ZORV_DAQ_READ_CHAN_NOT_READY = -2,
    ZORV_DAQ_READ_CHAN_NO_DATA = -1,
    ZORV_DAQ_READ_CHAN_OK = 0
};

enum zorv_daq_read_chan_request_type {
    ZORV_DAQ_READ_CHAN_EVENT_FIRST = -2,
    ZORV_DAQ_READ_CHAN_EVENT_PREV = -1,
    ZORV_DAQ_READ_CHAN_EVENT_CUR = 0,
    ZORV_DAQ_READ_CHAN_EVENT_NEXT = 1,
    ZORV_DAQ_READ_CHAN_EVENT_LAST = 2
};

enum zorv_daq_slicer_synch_mode {
    ZORV_DAQ_SLICER_SYNCH_MODE_EVID = 0,
    ZORV_DAQ_SLICER_SYNCH_MODE_TIME = 1
};

enum zorv_daq_slicer_status {
    ZORV_DAQ_SLICER_NOT_ALLOWED = -8,
    ZORV_DAQ_SLICER_INV_PARAM = -7,
    ZORV_DAQ_SLICER_INTERN_ERROR = -6,
    ZORV_DAQ_SLICER_NOT_FOUND = -5,
    ZORV_DAQ_SLICER_NOT_INIT = -4,
    ZORV_DAQ_SLICER_OUT_OF_WINDOW = -3,
    ZORV_DAQ_SLICER_NOT_READY = -2,
    ZORV_DAQ_SLICER_NO_DATA = -1,
    ZORV_DAQ_SLICER_OK = 0
};

enum zorv_daq_reader_status {
    ZORV_DAQ_READER_FILES_NOT_FOUND = -10,
    ZORV_DAQ_READER_BAD_FILE_FORMAT = -9,
    ZORV_DAQ_READER_NOT_ALLOWED = -8,
    ZORV_DAQ_READER_INV_PARAM = -7,
    ZORV_DAQ_READER_INTERN_ERROR = -6,
    ZORV_DAQ_READER_NOT_FOUND = -5,
    ZORV_DAQ_READER_NOT_INIT = -4,
    ZORV_DAQ_READER_OUT_OF_WINDOW = -3,
    ZORV_DAQ_READER_NOT_READY = -2,
    ZORV_DAQ_READER_NO_DATA = -1,
    ZORV_DAQ_READER_OK = 0
};

// ---------------------------------------------------------------------------
// Result records.
// ---------------------------------------------------------------------------

// Addresses of one entry's host-order header copies and decoded data.
struct zorv_event_chan_ptr_long_entry {
    uint64_t evhd;  // zorv_eventheader copy
    uint64_t sbhd;  // server-block header copy
    uint64_t chhd;  // sub-header immediately followed by the decoded data; 0 on failure
    uint64_t data;  // chhd + sub-header size; 0 when chhd is 0
};

// One channel's data for one event. Only sbchdata[0] is used.
// event_id.event_number == 0xFFFFFFFF marks an entry not yet filled.
struct zorv_channel_entry_long {
    zorv_time_id event_id;
    zorv_event_chan_ptr_long_entry sbchdata[8];
};

// Numeric parameters a caller may attach to a channel; carried, not used.
struct zorv_chan_prms {
    int32_t start;
    int32_t inc;
    int32_t length;
    int32_t func;
    float tstart;
    float tinc;
    float tlength;
};
static_assert(sizeof(zorv_chan_prms) == 28, "zorv_chan_prms layout");

// A channel as a caller asks for it: "name[:sub][;nick]" and parameters.
struct daq_channel_entry {
    char* name;
    zorv_chan_prms prms;
};

// A channel as the reader hands it to the slicer; the layouts differ only in
// the width of the names. Each record twin below lists its fields once and
// each layout's record is a plain struct of them, so that callers initialise
// the records member by member (nested braces and designators included) as
// with any aggregate.
#define ZORV_CHAN_PARAM_FIELDS(NAME_LEN) \
    char name[NAME_LEN];                 \
    char nname[NAME_LEN];                \
    int32_t subchan; /* -1: whole record */ \
    zorv_chan_prms prms;
struct zorv_daq_chan_param_2010 { ZORV_CHAN_PARAM_FIELDS(256) };
struct zorv_daq_chan_param { ZORV_CHAN_PARAM_FIELDS(80) };
#undef ZORV_CHAN_PARAM_FIELDS
static_assert(sizeof(zorv_daq_chan_param_2010) == 544, "channel parameters (current)");
static_assert(sizeof(zorv_daq_chan_param) == 192, "channel parameters (legacy)");

// What a caller asks the reader for.
struct zorv_daq_request {
    zorv_time_id start_time;
    zorv_time_id stop_time;
    int32_t run_first;
    int32_t run_last;
    char exp_name[32];
    char stream_name[32];
    char cdir[1024];
    char ddir[1024];
    time_stamp time_diff;
    zorv_time_id period;
    int32_t synch_mode;
};

// One answer record of the run-catalogue file queries. Strings are allocated
// with new[]; the receiver deletes them and the record.
struct zorv_root_xml_files {
    std::vector<char*> rfiles;
    char* xmlfile = nullptr;
};

// ---------------------------------------------------------------------------
// On-file headers (host order in memory).
// ---------------------------------------------------------------------------

// Server-block header and channel sub-header; the layouts differ only in the
// width of the server and channel names.
#define ZORV_SERV_BLOCK_HEAD_FIELDS(SERVER_LEN) \
    time_stamp time;                            \
    int32_t ltotal;                             \
    int32_t mpulse;                             \
    char server[SERVER_LEN];                    \
    int32_t tmask;                              \
    int32_t status;                             \
    int32_t nchan;
#define ZORV_SERV_BLOCK_SUBHEAD_FIELDS(NAME_LEN)                                                 \
    char chname[NAME_LEN];                                                                       \
    int32_t dtype; /* low 16 bits: ZORV_SUBBLOCK_TYPE; high 16 bits: device type after a cut */ \
    int32_t error; /* ZORV_SBLOCK_ERROR bits */                                                  \
    int32_t ldata;

struct zorv_serv_block_head_2010 { ZORV_SERV_BLOCK_HEAD_FIELDS(256) };
static_assert(sizeof(zorv_serv_block_head_2010) == 284, "server-block header (current)");
static_assert(offsetof(zorv_serv_block_head_2010, tmask) == 272 &&
              offsetof(zorv_serv_block_head_2010, nchan) == 280,
              "field offsets on file");

struct zorv_serv_block_head { ZORV_SERV_BLOCK_HEAD_FIELDS(48) };
static_assert(sizeof(zorv_serv_block_head) == 76, "server-block header (legacy)");
static_assert(offsetof(zorv_serv_block_head, tmask) == 64 &&
              offsetof(zorv_serv_block_head, nchan) == 72,
              "field offsets on file");

struct zorv_serv_block_subhead_2010 { ZORV_SERV_BLOCK_SUBHEAD_FIELDS(256) };
static_assert(sizeof(zorv_serv_block_subhead_2010) == 268, "channel sub-header (current)");
static_assert(offsetof(zorv_serv_block_subhead_2010, dtype) == 256 &&
              offsetof(zorv_serv_block_subhead_2010, ldata) == 264,
              "field offsets on file");

struct zorv_serv_block_subhead { ZORV_SERV_BLOCK_SUBHEAD_FIELDS(32) };
static_assert(sizeof(zorv_serv_block_subhead) == 44, "channel sub-header (legacy)");
static_assert(offsetof(zorv_serv_block_subhead, dtype) == 32 &&
              offsetof(zorv_serv_block_subhead, ldata) == 40,
              "field offsets on file");
#undef ZORV_SERV_BLOCK_HEAD_FIELDS
#undef ZORV_SERV_BLOCK_SUBHEAD_FIELDS

// Zip header in front of compressed block data.
struct zorv_zip_header {
    uint32_t zip_flags;  // 1 zlib, 2 LZO1X
    uint32_t orig_length;
    uint32_t zipp_length;
};
static_assert(sizeof(zorv_zip_header) == 12, "zip header");

// Baskets, declared with one entry (the size the readers map first).
struct zorv_event_header_basket_2010 {
    uint32_t pattern;
    int32_t length;
    zorv_eventheader evhead_entry[1];
};
static_assert(sizeof(zorv_event_header_basket_2010) == 44, "event-header basket");

typedef zorv_event_header_basket_2010 zorv_event_header_basket;

// The server-block and channel baskets of both layouts: a head, then the
// layout's headers.
#define ZORV_HEADER_BASKET_FIELDS(HEAD) \
    uint32_t pattern;                   \
    int32_t length;                     \
    HEAD sbhead_entry[1];
struct zorv_server_block_basket_2010 { ZORV_HEADER_BASKET_FIELDS(zorv_serv_block_head_2010) };
struct zorv_channel_basket_2010 { ZORV_HEADER_BASKET_FIELDS(zorv_serv_block_subhead_2010) };
struct zorv_server_block_basket { ZORV_HEADER_BASKET_FIELDS(zorv_serv_block_head) };
struct zorv_channel_basket { ZORV_HEADER_BASKET_FIELDS(zorv_serv_block_subhead) };
#undef ZORV_HEADER_BASKET_FIELDS
static_assert(sizeof(zorv_server_block_basket_2010) == 292, "server-block basket (current)");
static_assert(sizeof(zorv_channel_basket_2010) == 276, "channel basket (current)");
static_assert(sizeof(zorv_server_block_basket) == 84, "server-block basket (legacy)");
static_assert(sizeof(zorv_channel_basket) == 52, "channel basket (legacy)");

// ---------------------------------------------------------------------------
// Index tables (host order; each one malloc'd block).
// ---------------------------------------------------------------------------

struct zorv_file_reference_table_2010 {
    uint32_t pattern;
    int32_t length;
    uint32_t eit_pos_ref;
    uint32_t eite_pos_ref[32];
    uint32_t cdt_ref;
    uint32_t ecp_ref;
    uint32_t eidt_ref;
    uint32_t xcd_ref;
    uint32_t evhdb_ref;
    uint32_t srvbb_ref;
    uint32_t chanb_ref;
};
static_assert(sizeof(zorv_file_reference_table_2010) == 168, "file reference table");
static_assert(offsetof(zorv_file_reference_table_2010, cdt_ref) == 140 &&
              offsetof(zorv_file_reference_table_2010, chanb_ref) == 164,
              "field offsets on file");
typedef zorv_file_reference_table_2010 zorv_file_reference_table;

struct zorv_event_info {
    time_stamp time;
    uint32_t event_number;
    uint32_t offset;  // position of the event's header in the event-header basket
};
static_assert(sizeof(zorv_event_info) == 16, "event info");

// One event type's entry of the EIT: a 32-byte head and n event_info records;
// `length` is the byte length of the entry (32 + 16 n). Walk entries by it.
struct zorv_event_index_entry {
    int32_t event_type;
    time_stamp event_time_first;
    time_stamp event_time_last;
    uint32_t event_number_first;
    uint32_t event_number_last;
    int32_t length;
    zorv_event_info event_info[1];
};
static_assert(offsetof(zorv_event_index_entry, event_info) == 32, "EIT entry head");

struct zorv_event_index_table_2010 {
    uint32_t pattern;
    int32_t nevent_types;
    zorv_event_index_entry entry[1];  // variable-length entries, see above
};
typedef zorv_event_index_table_2010 zorv_event_index_table;

// Channel dictionary: the layouts differ only in the width of the channel
// name. Entry count is (length - 8) / sizeof(entry).
#define ZORV_CHAN_DICTIONARY_ENTRY_FIELDS(NAME_LEN) \
    uint32_t key;                                   \
    char chan_name[NAME_LEN];                       \
    uint32_t ev_mask;                               \
    uint32_t dtype_mask;                            \
    int32_t count;
#define ZORV_CHAN_DICTIONARY_TABLE_FIELDS(ENTRY) \
    uint32_t pattern;                            \
    int32_t length;                              \
    ENTRY entry[1];
struct zorv_chan_dictionary_entry_2010 { ZORV_CHAN_DICTIONARY_ENTRY_FIELDS(256) };
struct zorv_chan_dictionary_entry { ZORV_CHAN_DICTIONARY_ENTRY_FIELDS(80) };
struct zorv_chan_dictionary_table_2010 { ZORV_CHAN_DICTIONARY_TABLE_FIELDS(zorv_chan_dictionary_entry_2010) };
struct zorv_chan_dictionary_table { ZORV_CHAN_DICTIONARY_TABLE_FIELDS(zorv_chan_dictionary_entry) };
#undef ZORV_CHAN_DICTIONARY_ENTRY_FIELDS
#undef ZORV_CHAN_DICTIONARY_TABLE_FIELDS
static_assert(sizeof(zorv_chan_dictionary_entry_2010) == 272, "CDT entry (current)");
static_assert(sizeof(zorv_chan_dictionary_entry) == 96, "CDT entry (legacy)");
static_assert(offsetof(zorv_chan_dictionary_table_2010, entry) == 8, "field offsets on file");

// File positions of one entry of a channel.
struct zorv_event_chan_ptr_entry {
    uint32_t evhd;
    uint32_t sbhd;
    uint32_t chhd;
    uint32_t data;
};
static_assert(sizeof(zorv_event_chan_ptr_entry) == 16, "ECPT entry");

// ECPT in memory: column-major, entry i of column c is chptr[c * maxev + i];
// slots past a column's count are zero.
struct zorv_event_chan_pointers_table {
    uint32_t pattern;
    int32_t length;  // bytes of this in-memory record
    int32_t maxev;
    zorv_event_chan_ptr_entry chptr[1];
};
static_assert(offsetof(zorv_event_chan_pointers_table, chptr) == 12, "field offsets on file");
typedef zorv_event_chan_pointers_table zorv_event_chan_pointers_table_2010;

struct zorv_env_dictionary_entry {
    uint32_t key;
    int32_t index;
};

struct zorv_env_dictionary_table_2010 {
    uint32_t pattern;
    int32_t length;
    zorv_env_dictionary_entry entry[1];
};
typedef zorv_env_dictionary_table_2010 zorv_env_dictionary_table;

// XML channel description; `xml` is always NUL-terminated in memory.
struct zorv_xml_chan_descr_header_2010 {
    uint32_t pattern;
    int32_t length;
    char xml[1];
};
typedef zorv_xml_chan_descr_header_2010 zorv_xml_chan_descr_header;

// ---------------------------------------------------------------------------
// Table parsers. Each returns 0 and a malloc'd host-order table through its
// out pointer, or non-zero (and leaves *out null) when the table cannot be
// read: wrong pattern, a position, length or count outside the file, or an
// I/O error. `tail`/`tail_len` is a mapping of the end of the file that holds
// the trailer; `file_len` is the file's length; `fd` is open for reading.
// ---------------------------------------------------------------------------

ZORV_EXPORT int get_zorv_file_reference_table_m_2010(const unsigned char* tail, size_t tail_len,
                                                     off_t file_len, int fd,
                                                     zorv_file_reference_table_2010** out);
ZORV_EXPORT int zorv_get_event_index_table_m_2010(off_t file_len,
                                                  const zorv_file_reference_table_2010* ref, int fd,
                                                  zorv_event_index_table_2010** out);
ZORV_EXPORT int zorv_get_channel_dictionary_table_m_2010(off_t file_len,
                                                         const zorv_file_reference_table_2010* ref,
                                                         int fd,
                                                         zorv_chan_dictionary_table_2010** out);
ZORV_EXPORT int zorv_get_event_chan_pointers_table_m_2010(off_t file_len,
                                                          const zorv_file_reference_table_2010* ref,
                                                          int fd,
                                                          zorv_event_chan_pointers_table** out);
// ECPT restricted to `chans` (columns in list order); -5 when no listed name
// is in `cdt`.
ZORV_EXPORT int zorv_get_event_chan_pointers_table_by_list_m_2010(
    off_t file_len, const zorv_file_reference_table_2010* ref, int fd,
    const std::vector<char*>* chans, const zorv_chan_dictionary_table_2010* cdt,
    zorv_event_chan_pointers_table** out);
ZORV_EXPORT int zorv_get_env_index_dictionary_table_m_2010(
    off_t file_len, const zorv_file_reference_table_2010* ref, int fd,
    zorv_env_dictionary_table_2010** out);
ZORV_EXPORT int zorv_get_chan_descr_table_m_2010(off_t file_len,
                                                 const zorv_file_reference_table_2010* ref, int fd,
                                                 zorv_xml_chan_descr_header_2010** out);

ZORV_EXPORT int get_zorv_file_reference_table_m(const unsigned char* tail, size_t tail_len,
                                                off_t file_len, int fd,
                                                zorv_file_reference_table** out);
ZORV_EXPORT int zorv_get_event_index_table_m(off_t file_len, const zorv_file_reference_table* ref,
                                             int fd, zorv_event_index_table** out);
ZORV_EXPORT int zorv_get_channel_dictionary_table_m(off_t file_len,
                                                    const zorv_file_reference_table* ref, int fd,
                                                    zorv_chan_dictionary_table** out);
ZORV_EXPORT int zorv_get_event_chan_pointers_table_m(off_t file_len,
                                                     const zorv_file_reference_table* ref, int fd,
                                                     zorv_event_chan_pointers_table** out);
ZORV_EXPORT int zorv_get_event_chan_pointers_table_by_list_m(
    off_t file_len, const zorv_file_reference_table* ref, int fd, const std::vector<char*>* chans,
    const zorv_chan_dictionary_table* cdt, zorv_event_chan_pointers_table** out);
ZORV_EXPORT int zorv_get_env_index_dictionary_table_m(off_t file_len,
                                                      const zorv_file_reference_table* ref, int fd,
                                                      zorv_env_dictionary_table** out);
ZORV_EXPORT int zorv_get_chan_descr_table_m(off_t file_len, const zorv_file_reference_table* ref,
                                            int fd, zorv_xml_chan_descr_header** out);

// Number of entries of a channel dictionary (0 for null or a short table).
ZORV_EXPORT int zorv_cdt_entry_count(const zorv_chan_dictionary_table_2010* cdt);
ZORV_EXPORT int zorv_cdt_entry_count(const zorv_chan_dictionary_table* cdt);

// Index (>= 0) of the entry named `name` and the entry through `entry`;
// negative when not found.
ZORV_EXPORT int zorv_find_channel_by_name_2010(const zorv_chan_dictionary_table_2010* cdt,
                                               const char* name,
                                               zorv_chan_dictionary_entry_2010** entry);
ZORV_EXPORT int zorv_find_channel_by_name(const zorv_chan_dictionary_table* cdt, const char* name,
                                          zorv_chan_dictionary_entry** entry);

// The multiple of the system page size at or below `position`; the
// difference position - offset is stored through `delta`.
ZORV_EXPORT off_t zorv_get_page_offset(off_t file_len, off_t position, off_t* delta);

// ---------------------------------------------------------------------------
// Words, payload conversion and payload queries.
// ---------------------------------------------------------------------------

// Copies n 32-bit words from src to dst swapping the bytes of each word
// (in place when src == dst).
ZORV_EXPORT void zorv_swap4(const void* src, void* dst, int n);

// Layout selector for payload operations whose block types exist in both
// layouts (24..28). AUTO: codes >= 33 are current, codes 1..31 legacy; for
// the shared codes a header that fits either layout exactly is accepted.
enum zorv_layout_sel { ZORV_LAYOUT_AUTO = 0, ZORV_LAYOUT_CURRENT = 1, ZORV_LAYOUT_LEGACY = 2 };

// Converts `len` bytes of big-endian payload of block type `dtype` (low 16
// bits used) from src to dst (may be the same) into host order. Returns 0 on
// success, non-zero for an unknown type or a length that does not match the
// payload's own counts.
ZORV_EXPORT int zorv_convert_data(const void* src, void* dst, int dtype, int len,
                                  int layout = ZORV_LAYOUT_AUTO);

// Members in one device record of block type `type`; with a sub-header
// (followed by its host-order payload) of a spectrum or roi block, the
// block's own nmemb. 1 for unknown types.
ZORV_EXPORT int get_channel_number(int type, const void* hdr, int layout = ZORV_LAYOUT_AUTO);
// Member name i of block type `type`, null outside 0 .. n-1.
ZORV_EXPORT const char* get_chan_name(int type, int i);

// Cut member `sub` out of a device block (sub-header + host-order payload):
// *one receives a new malloc'd block holding the sub-header (chname
// "<name>:<sub>", ldata adjusted) and that member alone. False on success.
ZORV_EXPORT bool device_to_one_channel_2010(const void* block, int sub, int, int, void** one);
ZORV_EXPORT bool device_to_one_channel_2009(const void* block, int sub, int, int, void** one);
ZORV_EXPORT bool device_to_one_channel(const void* block, int sub, int, int, void** one);

// Address of member m's samples; null for a non-spectrum type or m out of range.
ZORV_EXPORT float* get_pointer_to_data_2010(const zorv_serv_block_subhead_2010* hdr, int m);
ZORV_EXPORT float* get_pointer_to_data_2009(const zorv_serv_block_subhead* hdr, int m);

// Spectrum parameters of member ch; false on success. Output pointers may be null.
ZORV_EXPORT bool get_spect_params_for_data_type_2010(const zorv_serv_block_subhead_2010* hdr,
                                                     float* start, float* inc, float** mean,
                                                     int* ndata, int* groups, float* groups_inc,
                                                     zorv_spect_statistics_2010** stat, int ch);
ZORV_EXPORT bool get_spect_params_for_data_type_2009(const zorv_serv_block_subhead* hdr,
                                                     float* start, float* inc, float** mean,
                                                     int* ndata, int ch);
ZORV_EXPORT int get_spect_code_description_2010(const zorv_serv_block_subhead_2010* hdr);

// Update-kind blocks (sub-header of either layout by block type): number of
// update records, and record k's fields. get_update_params returns false on
// success. `layout` names the sub-header's layout; AUTO guesses it from the
// header bytes.
ZORV_EXPORT int get_number_of_upd_channels(const void* hdr, int layout = ZORV_LAYOUT_AUTO);
ZORV_EXPORT bool get_update_params(const void* hdr, int k, char** name, int* status,
                                   time_stamp* time, float* value,
                                   int layout = ZORV_LAYOUT_AUTO);

// Image frame heads (pointer to the head); `text` receives at most 255
// characters. False on success.
ZORV_EXPORT bool get_image_params(const zorv_image_frame_head* head, int* x, int* y, int* bpp,
                                  uint32_t* evnum, char* text);
ZORV_EXPORT bool get_image_ext_params(const zorv_image_ext_frame_head* head,
                                      zorv_image_ext_frame_head* out, uint32_t* evnum, char* text);

// ---------------------------------------------------------------------------
// Events and time.
// ---------------------------------------------------------------------------

ZORV_EXPORT bool is_slow_event(int event_type);
ZORV_EXPORT int get_event_struct_type(int event_type);
ZORV_EXPORT const char* event_name_itoa(int event_type);

// True when |a - b| <= tol microseconds; *cmp receives 0 within the
// tolerance, -1 when a is earlier, +1 when later; *dist (may be null) the
// signed difference a - b in microseconds.
ZORV_EXPORT bool zorv_time_stamp_eq(const time_stamp* a, const time_stamp* b, double tol, int* cmp,
                                    double* dist);
ZORV_EXPORT bool zorv_time_stamp_eq(const time_stamp* a, const time_stamp* b);
ZORV_EXPORT uint32_t zorv_get_event_id(const time_stamp* ts);

// ---------------------------------------------------------------------------
// File names and the run catalogue.
// ---------------------------------------------------------------------------

// Start time (UTC seconds) from "<...>_<YYYYMMDD>T<HHMMSS>.raw"; false on success.
ZORV_EXPORT bool get_time_from_file_name(const char* name, time_t* seconds);
// Orders by file-name time, then sequence number, then name; names without a
// time last. Sorts pointers in place.
ZORV_EXPORT void sort_files(std::vector<char*>* files);

ZORV_EXPORT int get_files_for_runs(std::vector<int*>* runs, std::vector<zorv_root_xml_files*>* out,
                                   std::string* desc, std::string* exp, const char* cdir, int mode);
ZORV_EXPORT int get_files_for_period(time_t start, time_t stop,
                                     std::vector<zorv_root_xml_files*>* out, std::string* desc,
                                     std::string* exp, const char* cdir, int mode);
ZORV_EXPORT int get_time_for_run(int run, time_t* t1, time_t* t2, const char* exp,
                                 const char* cdir);
ZORV_EXPORT int get_pnfs_dir(const char* exp, const char* file, char* buf, int* size, int mode);
// Appends the run numbers from first to last that the catalogue holds, in
// ascending order; 0 on success (also when there are none).
ZORV_EXPORT int get_runs_in_range(int first, int last, std::vector<int>* out,
                                  const std::string* exp, const char* cdir);

// ---------------------------------------------------------------------------
// Diagnostic printers (standard output).
// ---------------------------------------------------------------------------

ZORV_EXPORT void print_zorv_zip_header(const zorv_zip_header* h);
ZORV_EXPORT void print_zorv_channel_dictionary_table(const zorv_chan_dictionary_table_2010* cdt);
ZORV_EXPORT void print_zorv_channel_dictionary_table(const zorv_chan_dictionary_table* cdt);
ZORV_EXPORT void print_zorv_event_index_table(const zorv_event_index_table_2010* eit);
ZORV_EXPORT void dump_event_header_(const zorv_eventheader* h);
ZORV_EXPORT void dump_event_subheader_2010(const zorv_serv_block_head_2010* h);
ZORV_EXPORT void dump_event_subheader(const zorv_serv_block_head* h);
ZORV_EXPORT void dump_event_chanhead_2010(const zorv_serv_block_subhead_2010* h);
ZORV_EXPORT void dump_event_chanhead(const zorv_serv_block_subhead* h);
ZORV_EXPORT void print_data_type_2010(const zorv_serv_block_subhead_2010* h);
ZORV_EXPORT void print_data_type(const zorv_serv_block_subhead* h);

#endif
