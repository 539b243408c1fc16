// Internal helpers of the writer library: big-endian byte sinks and the
// per-layout record sizes, shared by the payload builders, the file writer
// and the synthetic-run generator.
#ifndef ZORV_WRITER_BE_SINK_H
#define ZORV_WRITER_BE_SINK_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "be_reader.h"
#include "zorv_daq_writer.h"
#include "zorv_layout.h"

namespace zorv {

// Appends big-endian words and NUL-padded character fields to a byte vector.
class be_sink {
public:
    explicit be_sink(std::vector<unsigned char>& out) : out_(out) {}

    void u32(uint32_t v) {
        const size_t n = out_.size();
        out_.resize(n + 4);
        store_be32(out_.data() + n, v);
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void f32(float f) {
        uint32_t w;
        std::memcpy(&w, &f, sizeof w);
        u32(w);
    }
    void time(const time_stamp& t) {
        u32(t.timeup);
        u32(t.timelow);
    }
    // `s` into a field of `field` bytes, NUL-padded; the caller has checked
    // that it fits (longer text is cut).
    void chars(const std::string& s, size_t field) {
        size_t n = s.size() < field ? s.size() : field;
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
        out_.insert(out_.end(), field - n, 0);
    }
    void bytes(const unsigned char* p, size_t n) { out_.insert(out_.end(), p, p + n); }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    void pad4() { zeros((4 - out_.size() % 4) % 4); }
    size_t size() const { return out_.size(); }

private:
    std::vector<unsigned char>& out_;
};

// Record sizes and patterns of one layout, taken from the layout traits.
struct layout_info {
    bool legacy;
    uint32_t pattern_ref, pattern_eit, pattern_cdt, pattern_ecpt, pattern_eidt, pattern_xcd;
    uint32_t pattern_evh_basket, pattern_sbh_basket, pattern_chan_basket, pattern_event;
    size_t cdt_entry_size, cdt_name_len, subhead_size, subhead_name_len;
    size_t sbhead_size, server_name_len;
};

template <class L>
constexpr layout_info make_layout_info() {
    return layout_info{L::legacy,
                       L::pattern_ref,
                       L::pattern_eit,
                       L::pattern_cdt,
                       L::pattern_ecpt,
                       L::pattern_eidt,
                       L::pattern_xcd,
                       L::pattern_evh_basket,
                       L::pattern_sbh_basket,
                       L::pattern_chan_basket,
                       L::pattern_event,
                       sizeof(typename L::cdt_entry),
                       sizeof(L::cdt_entry::chan_name),
                       sizeof(typename L::subhead),
                       sizeof(L::subhead::chname),
                       sizeof(typename L::sbhead),
                       sizeof(L::sbhead::server)};
}

inline const layout_info& info_of(file_layout l) {
    static constexpr layout_info current = make_layout_info<layout_current>();
    static constexpr layout_info legacy = make_layout_info<layout_legacy>();
    return l == file_layout::legacy ? legacy : current;
}

// `s` with the XML special characters replaced by entities.
inline std::string xml_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

// Number of members of one device record of spectrum type `dtype`: 0 when the
// count comes from the block (generic spectra, roi), -1 when `dtype` is not a
// spectrum or roi type.
int spectrum_members(int dtype);

}  // namespace zorv

#endif
