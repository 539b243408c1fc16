// Event-level records of the DAQ raw files: time stamps, event identities,
// the event header, payload records (update, environment, name/value, images,
// spectrum statistics) and the facility's enumerations.
//
// All records are plain, host-order in memory, and have the byte layout of
// their on-file counterparts (every field a 32-bit word or a character array).
#ifndef ZORV_EVENT_H
#define ZORV_EVENT_H

#include <cstddef>
#include <cstdint>

#include "zorv_export.h"

typedef uint32_t u_int32;

// Seconds since the epoch and microseconds within the second (< 1000000).
// A time stamp with timeup == 0 means "not set".
struct time_stamp {
    uint32_t timeup;
    uint32_t timelow;
};
static_assert(sizeof(time_stamp) == 8, "time_stamp is 8 bytes on file");

// Identity of one event. event_number 0 means "compare by time". The same
// record serves as a step (number of events, or a time step).
struct zorv_time_id {
    uint32_t event_number;
    time_stamp time;
};
static_assert(sizeof(zorv_time_id) == 12, "zorv_time_id layout");

// Event header, the same in both layouts.
struct zorv_eventheader {
    uint32_t pattern;
    uint32_t event_length;
    uint32_t event_number;
    int32_t event_type;  // ZORV_EVTYPE
    time_stamp event_time;
    int32_t tmask;
    int32_t status;
    int32_t num_svr_block;
};
static_assert(sizeof(zorv_eventheader) == 36, "event header is 36 bytes");
static_assert(offsetof(zorv_eventheader, event_time) == 16 &&
              offsetof(zorv_eventheader, num_svr_block) == 32,
              "field offsets on file");

enum ZORV_EVTYPE {
    ZORV_EV_HB = 0,
    ZORV_EV_NORMAL = 1,
    ZORV_EV_BOR = 2,
    ZORV_EV_EOR = 3,
    ZORV_EV_ENV = 4,
    ZORV_EV_UPD = 5,
    ZORV_EV_IMAGE = 6,
    ZORV_EV_WS = 7,
    ZORV_EV_MCP = 8,
    ZORV_EV_WSS = 9,
    ZORV_EV_BL1 = 10,
    ZORV_EV_BL2 = 11,
    ZORV_EV_BL3 = 12,
    ZORV_EV_PG0 = 13,
    ZORV_EV_PG1 = 14,
    ZORV_EV_PG2 = 15,
    ZORV_EV_GMD = 16,
    ZORV_EV_PHOTEN = 17,
    ZORV_EV_PHOTWL = 18,
    ZORV_EV_BEAM_ENERGY = 19,
    ZORV_EV_LLRF_ML = 20,
    ZORV_EV_BEAM_ENERGY_BYPASS = 21,
    ZORV_EV_SPECTR_1 = 22,
    ZORV_EV_SPECTR_2 = 23,
    ZORV_EV_SPECTR_3 = 24,
    ZORV_EV_SPECTR_4 = 25,
    ZORV_EV_SPECTR_5 = 26,
    ZORV_EV_TOROID_ML = 27,
    ZORV_EV_28 = 28,
    ZORV_EV_29 = 29,
    ZORV_EV_30 = 30,
    ZORV_EV_31 = 31,
    ZORV_EV_EVMAX = 32
};

enum ZORV_SUBBLOCK_TYPE {
    ZORV_UPD_BLOCK = 1,
    ZORV_ENV_DICT_BLOCK = 2,
    ZORV_ENV_BLOCK = 3,
    ZORV_BOR_BLOCK = 4,
    ZORV_EOR_BLOCK = 5,
    ZORV_BLOCK_BPM = 6,
    ZORV_BLOCK_BPM_Z = 7,
    ZORV_BLOCK_BPM_S = 8,
    ZORV_BLOCK_SINGLE = 9,
    ZORV_BLOCK_TOROID = 10,
    ZORV_BLOCK_RF_250K = 11,
    ZORV_BLOCK_ENERGY = 12,
    ZORV_BLOCK_IMAGE = 13,
    ZORV_BLOCK_WS_FAST = 14,
    ZORV_BLOCK_WS_SLOW = 15,
    ZORV_BLOCK_CPLINTL = 16,
    ZORV_BLOCK_GUNINTL = 17,
    ZORV_BLOCK_MCP = 18,
    ZORV_BLOCK_PHM = 19,
    ZORV_BLOCK_WSS_RAW = 20,
    ZORV_BLOCK_WSS_COR = 21,
    ZORV_BLOCK_NAME_VALUE = 22,
    ZORV_BLOCK_EQDATA = 23,
    ZORV_BLOCK_IMG_ROI1 = 24,
    ZORV_BLOCK_IMG_ROI2 = 25,
    ZORV_BLOCK_IMG_ROI3 = 26,
    ZORV_BLOCK_IMAGE_EXT = 27,
    ZORV_BLOCK_GENERIC_SPECT = 28,
    ZORV_UPD_BLOCK_DONT_USE_31 = 31,
    ZORV_UPD_BLOCK_2010 = 33,
    ZORV_ENV_DICT_BLOCK_2010 = 34,
    ZORV_ENV_BLOCK_2010 = 35,
    ZORV_BOR_BLOCK_2010 = 36,
    ZORV_EOR_BLOCK_2010 = 37,
    ZORV_BLOCK_BPM_2010 = 38,
    ZORV_BLOCK_BPM_Z_2010 = 39,
    ZORV_BLOCK_BPM_S_2010 = 40,
    ZORV_BLOCK_1CHAN_2010 = 41,
    ZORV_BLOCK_TOROID_2010 = 42,
    ZORV_BLOCK_RF_250K_2010 = 43,
    ZORV_BLOCK_ENERGY_2010 = 44,
    ZORV_BLOCK_2CHAN_2010 = 45,
    ZORV_BLOCK_WS_2010 = 46,
    ZORV_BLOCK_4CHAN_2010 = 47,
    ZORV_BLOCK_CPLINTL_2010 = 48,
    ZORV_BLOCK_GUNINTL_2010 = 49,
    ZORV_BLOCK_MCP_2010 = 50,
    ZORV_BLOCK_PHM_2010 = 51,
    ZORV_BLOCK_6CHAN_2010 = 52,
    ZORV_BLOCK_8CHAN_2010 = 53,
    ZORV_BLOCK_3CHAN_2010 = 60,
    ZORV_BLOCK_5CHAN_2010 = 61,
    ZORV_BLOCK_7CHAN_2010 = 62,
    ZORV_BLOCK_MAX_2010 = 63
};

// Bits of a sub-header's error word and of status words.
enum ZORV_SBLOCK_ERROR : uint32_t {
    ZORV_SB_ERR_OK = 0,
    ZORV_SB_ERR_NOT_COLLECTED = 0x1,
    ZORV_SB_ERR_OUT_MEMORY_SRV = 0x2,
    ZORV_SB_ERR_OUT_MEMORY_COL = 0x4,
    ZORV_SB_ERR_NO_DMA = 0x8,
    ZORV_SB_ERR_NO_SERVER = 0x10,
    ZORV_SB_ERR_OLD_DATA = 0x20,
    ZORV_SB_ERR_NO_FIRST = 0x40,
    ZORV_SB_ERR_NOT_ASSM = 0x80,
    ZORV_CH_ERR_EVB_DATA = 0x100,
    ZORV_EP_ERR_EVB_SBLK = 0x200,
    ZORV_SB_ERR_ML_SKIPPED = 0x400,
    ZORV_SB_ERR_ML_NOOUT = 0x800,
    ZORV_FE_ADC_OVERLOAD = 0x1000,
    ZORV_FE_OUTSIDE_SL = 0x2000,
    ZORV_FE_OUTSIDE_LR = 0x4000,
    ZORV_FE_CONF = 0x8000,
    ZORV_FE_INT_ERR = 0x10000,
    ZORV_FE_TIME_INV = 0x20000,
    ZORV_FE_EVID_INV = 0x40000,
    ZORV_FE_DTYPE_INV = 0x80000,
    ZORV_FE_MODE_NOTSUP = 0x100000,
    ZORV_FE_SPECT_PARAM_INCONSIST = 0x200000,
    ZORV_FE_NO_DATA = 0x400000,
    ZORV_FE_DAQ_PARAM_INV = 0x800000,
    ZORV_FE_DAQ_DISABLED = 0x1000000,
    ZORV_FE_DAQ_BUF_SKIPPED = 0x2000000,
    ZORV_SD_ERR_NOT_ASSM = 0x4000000,
    ZORV_CHAN_ZIP_FLAG = 0x40000000
};

enum ZORV_EV_STRUCT_TYPE {
    ZORV_EV_STRUCT_UNKNOWN = 0,
    ZORV_EV_STRUCT_LOCAL = 1,
    ZORV_EV_STRUCT_GLOBAL = 2,
    ZORV_EV_STRUCT_ML = 3,
    ZORV_EV_STRUCT_UNDEF = 4
};

// ---------------------------------------------------------------------------
// Payload records (host order once converted).
// ---------------------------------------------------------------------------

// Slow (update) value; the layouts differ only in the width of the property
// name. The fields are listed once and each layout's record is a plain
// struct of them, so that callers initialise the records member by member
// (nested braces and designators included) as with any aggregate.
#define ZORV_UPD_DATA_FIELDS(PROP_LEN) \
    char upd_prop[PROP_LEN];           \
    int32_t upd_ch_status;             \
    time_stamp upd_ch_time;            \
    float upd_ch_data;
struct zorv_upd_data_block_2010 { ZORV_UPD_DATA_FIELDS(256) };  // current layout
struct zorv_upd_data_block { ZORV_UPD_DATA_FIELDS(80) };        // legacy layout
#undef ZORV_UPD_DATA_FIELDS
static_assert(sizeof(zorv_upd_data_block_2010) == 272, "update record (current)");
static_assert(offsetof(zorv_upd_data_block_2010, upd_ch_time) == 260, "field offsets on file");
static_assert(sizeof(zorv_upd_data_block) == 96, "update record (legacy)");
static_assert(offsetof(zorv_upd_data_block, upd_ch_status) == 80 &&
              offsetof(zorv_upd_data_block, upd_ch_data) == 92,
              "field offsets on file");

// Environment value (block types 3 and 35).
struct zorv_env_data_block {
    int32_t env_ch_idx;
    int32_t env_ch_status;
    time_stamp env_ch_time;
    float env_ch_data;
};
static_assert(sizeof(zorv_env_data_block) == 20, "environment value record");

// Environment dictionary record (block types 2 and 34).
struct zorv_env_dict_entry {
    uint32_t key;
    char name[60];
};
static_assert(sizeof(zorv_env_dict_entry) == 64, "environment dictionary record");

// Name/value block (block type 22): a head followed by ndata pairs.
struct zorv_name_value_channel {
    char name[80];
    float value;
};
static_assert(sizeof(zorv_name_value_channel) == 84, "name/value pair");

struct zorv_name_value_block {
    int32_t id;
    char comment[80];
    int32_t ndata;
    zorv_name_value_channel data[1];
};
static_assert(sizeof(zorv_name_value_block) == 88 + 84, "name/value head");
static_assert(offsetof(zorv_name_value_block, data) == 88, "field offsets on file");

// Statistics of one spectrum member (current layout).
struct zorv_spect_statistics_2010 {
    uint32_t mask;
    float val[32];
};
static_assert(sizeof(zorv_spect_statistics_2010) == 132, "spectrum statistics");

// Spectrum / region-of-interest head, current layout; followed by nmemb
// statistics records and then the samples, member-major.
struct zorv_spect_head_2010 {
    float start;
    float inc;
    int32_t ndata;   // samples per group
    int32_t groups;  // >= 1
    float groups_inc;
    int32_t nmemb;
    int32_t descr;
};
static_assert(sizeof(zorv_spect_head_2010) == 28, "spectrum head (current)");

// Spectrum / region-of-interest head, legacy layout; followed by
// nmemb x ndata samples, member-major.
struct zorv_spect_head {
    float start;
    float inc;
    int32_t ndata;
    int32_t nmemb;
};
static_assert(sizeof(zorv_spect_head) == 16, "spectrum head (legacy)");

// Legacy image frame head (block type 13), followed by `length` pixel bytes.
struct zorv_image_frame_head {
    int32_t w;      // low 16 bits: width; high 16 bits: x start
    int32_t h;      // low 16 bits: height; high 16 bits: y start
    int32_t bpp;    // bits 0-3 bytes per pixel (0 = 1), 4-17 y binning, 18-31 x binning
    int32_t compr;
    uint32_t frame;
    uint32_t event_nm;
    int32_t length;
};
static_assert(sizeof(zorv_image_frame_head) == 28, "image frame head");

struct zorv_image_block {
    zorv_image_frame_head head;
    unsigned char data[1];
};

// Extended image frame head (block type 27), followed by `length` pixel bytes.
struct zorv_image_ext_frame_head {
    int32_t width;
    int32_t height;
    int32_t aoi_width;
    int32_t aoi_height;
    int32_t x_start;
    int32_t y_start;
    int32_t bpp;
    int32_t ebitpp;
    int32_t hbin;
    int32_t vbin;
    int32_t source_format;
    int32_t image_format;
    uint32_t frame;
    uint32_t event;
    float scale_x;
    float scale_y;
    float image_rotation;
    float fspare2;
    float fspare3;
    float fspare4;
    int32_t image_flags;
    int32_t ispare2;
    int32_t ispare3;
    int32_t ispare4;
    int32_t length;
};
static_assert(sizeof(zorv_image_ext_frame_head) == 100, "image_ext frame head");
static_assert(offsetof(zorv_image_ext_frame_head, length) == 96, "field offsets on file");

struct zorv_image_ext_block {
    zorv_image_ext_frame_head head;
    unsigned char data[1];
};

#endif
