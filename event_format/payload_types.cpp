// The block-type table (payload_types.h), built at compile time, and the
// names and kinds it gives the printers, the program and the Python module.
#include "payload_types.h"

#include <array>

#include "block_type_names.h"
#include "event_util.h"

namespace zorv {
namespace payload_types {
namespace {

constexpr const char* names_value[] = {"VALUE"};
constexpr const char* names_bpm[] = {"X", "Y", "CHARGE"};
constexpr const char* names_ch[] = {"CH1", "CH2", "CH3", "CH4", "CH5", "CH6", "CH7", "CH8"};
constexpr const char* names_charge[] = {"CHARGE"};
constexpr const char* names_rf[] = {"AMPL", "PHASE"};
constexpr const char* names_energy[] = {"ENERGY"};
constexpr const char* names_ws[] = {"POS", "SIG1", "SIG2", "SIG3"};
constexpr const char* names_roi[] = {"ROI"};
constexpr const char* names_image[] = {"IMAGE"};


constexpr type_info records(const char* label, const char* word, uint16_t size,
                            uint16_t text_off, uint16_t text_len, uint8_t min_records, bool update) {
    type_info t;
    t.label = label;
    t.word = word;
    t.k = kind::records;
    t.names = names_value;
    t.rec_size = size;
    t.text_off = text_off;
    t.text_len = text_len;
    t.min_records = min_records;
    t.is_update = update;
    return t;
}

constexpr type_info spectrum(head_fmt fmt, uint8_t n, const char* const* names) {
    type_info t;
    t.label = "spectrum";
    t.word = "spectrum";
    t.k = kind::spectrum;
    t.fmt = fmt;
    t.nmemb = n;
    t.names = names;
    return t;
}

constexpr type_info simple(const char* label, const char* word, kind k, const char* const* names) {
    type_info t;
    t.label = label;
    t.word = word;
    t.k = k;
    t.names = names;
    return t;
}

// Assigns a code's properties and names it after its enumerator (without
// the "ZORV_" prefix).
#define ZORV_TYPE(code, props) \
    t[code] = props;           \
    t[code].name = &(#code)[5]

// The codes both layouts have under the same name, the current one with the
// suffix "_2010": the update-kind and environment records (of the layout's
// update record `upd`) and the device spectra (of the layout's head `F`).
#define ZORV_TYPES_OF_BOTH_LAYOUTS(S, upd, F)                      \
    ZORV_TYPE(ZORV_UPD_BLOCK##S, upd);                             \
    ZORV_TYPE(ZORV_ENV_DICT_BLOCK##S, dict);                       \
    ZORV_TYPE(ZORV_ENV_BLOCK##S, env);                             \
    ZORV_TYPE(ZORV_BOR_BLOCK##S, upd);                             \
    ZORV_TYPE(ZORV_EOR_BLOCK##S, upd);                             \
    ZORV_TYPE(ZORV_BLOCK_BPM##S, spectrum(F, 3, names_bpm));       \
    ZORV_TYPE(ZORV_BLOCK_BPM_Z##S, spectrum(F, 3, names_bpm));     \
    ZORV_TYPE(ZORV_BLOCK_BPM_S##S, spectrum(F, 3, names_bpm));     \
    ZORV_TYPE(ZORV_BLOCK_TOROID##S, spectrum(F, 1, names_charge)); \
    ZORV_TYPE(ZORV_BLOCK_RF_250K##S, spectrum(F, 2, names_rf));    \
    ZORV_TYPE(ZORV_BLOCK_ENERGY##S, spectrum(F, 1, names_energy)); \
    ZORV_TYPE(ZORV_BLOCK_CPLINTL##S, spectrum(F, 8, names_ch));    \
    ZORV_TYPE(ZORV_BLOCK_GUNINTL##S, spectrum(F, 8, names_ch));    \
    ZORV_TYPE(ZORV_BLOCK_MCP##S, spectrum(F, 4, names_ch));        \
    ZORV_TYPE(ZORV_BLOCK_PHM##S, spectrum(F, 2, names_ch))

constexpr std::array<type_info, type_count> make_type_table() {
    std::array<type_info, type_count> t{};
    const auto upd_l = records("update", "update", 96, 0, 80, 1, true);
    const auto upd_c = records("update", "update", 272, 0, 256, 1, true);
    const auto dict = records("environment dictionary", "env_dict", 64, 4, 60, 0, false);
    const auto env = records("environment value", "env", 20, 0, 0, 1, false);
    const auto L = head_fmt::legacy;
    const auto C = head_fmt::current;
    const auto S = head_fmt::shared;
    auto roi = spectrum(S, 1, names_roi);
    roi.word = "roi";

    ZORV_TYPES_OF_BOTH_LAYOUTS(, upd_l, L);
    ZORV_TYPE(ZORV_BLOCK_SINGLE, spectrum(L, 1, names_ch));
    ZORV_TYPE(ZORV_BLOCK_IMAGE, simple("image", "image", kind::image, names_image));
    ZORV_TYPE(ZORV_BLOCK_WS_FAST, spectrum(L, 4, names_ws));
    ZORV_TYPE(ZORV_BLOCK_WS_SLOW, spectrum(L, 4, names_ws));
    ZORV_TYPE(ZORV_BLOCK_WSS_RAW, spectrum(L, 4, names_ch));
    ZORV_TYPE(ZORV_BLOCK_WSS_COR, spectrum(L, 4, names_ch));
    ZORV_TYPE(ZORV_BLOCK_NAME_VALUE, simple("name/value", "name_value", kind::name_value, names_value));
    ZORV_TYPE(ZORV_BLOCK_EQDATA, records("equipment words", "equipment", 4, 0, 0, 0, false));
    ZORV_TYPE(ZORV_BLOCK_IMG_ROI1, roi);
    ZORV_TYPE(ZORV_BLOCK_IMG_ROI2, roi);
    ZORV_TYPE(ZORV_BLOCK_IMG_ROI3, roi);
    ZORV_TYPE(ZORV_BLOCK_IMAGE_EXT, simple("extended image", "image", kind::image_ext, names_image));
    ZORV_TYPE(ZORV_BLOCK_GENERIC_SPECT, spectrum(S, 1, names_ch));
    t[ZORV_BLOCK_GENERIC_SPECT].from_block = true;

    ZORV_TYPES_OF_BOTH_LAYOUTS(_2010, upd_c, C);
    ZORV_TYPE(ZORV_BLOCK_1CHAN_2010, spectrum(C, 1, names_ch));
    ZORV_TYPE(ZORV_BLOCK_2CHAN_2010, spectrum(C, 2, names_ch));
    ZORV_TYPE(ZORV_BLOCK_WS_2010, spectrum(C, 4, names_ws));
    ZORV_TYPE(ZORV_BLOCK_4CHAN_2010, spectrum(C, 4, names_ch));
    ZORV_TYPE(ZORV_BLOCK_6CHAN_2010, spectrum(C, 6, names_ch));
    ZORV_TYPE(ZORV_BLOCK_8CHAN_2010, spectrum(C, 8, names_ch));
    ZORV_TYPE(ZORV_BLOCK_3CHAN_2010, spectrum(C, 3, names_ch));
    ZORV_TYPE(ZORV_BLOCK_5CHAN_2010, spectrum(C, 5, names_ch));
    ZORV_TYPE(ZORV_BLOCK_7CHAN_2010, spectrum(C, 7, names_ch));
    return t;
}
#undef ZORV_TYPES_OF_BOTH_LAYOUTS
#undef ZORV_TYPE

constexpr std::array<type_info, type_count> type_table = make_type_table();

}  // namespace

const type_info& info_of(int type) {
    static const type_info unknown{};
    const int code = type & 0xFFFF;
    return code < type_count ? type_table[code] : unknown;
}

}  // namespace payload_types

const char* block_type_name(int type) { return payload_types::info_of(type).name; }

const char* block_kind_name(int type) { return payload_types::info_of(type).label; }

const char* block_kind_word(int type) { return payload_types::info_of(type).word; }

}  // namespace zorv
