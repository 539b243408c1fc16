// One selected channel's values over the events of a bulk read, stacked in a
// single growing buffer: a row per event of the channel's natural shape
// (scalar, members x samples, height x width, pairs, words). Rows of events
// without a value are filled with NaN (floats) or zero (integers) and marked
// in the per-event state. A later value larger than the rows so far widens
// every row, padding the earlier ones.
#ifndef ZORVDAQ_PY_COLUMNS_H
#define ZORVDAQ_PY_COLUMNS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "decode_value.h"

namespace zorvpy {

// A growable byte buffer in an anonymous mapping of its own. Memory a
// process touches for the first time costs the kernel a cleared page; the
// buffer's reserved room is faulted in on a helper thread while the read
// goes on, instead of one page at a time on the reading thread.
class page_buffer {
public:
    page_buffer() = default;
    ~page_buffer();
    page_buffer(const page_buffer&) = delete;
    page_buffer& operator=(const page_buffer&) = delete;
    page_buffer(page_buffer&& o) noexcept { swap(o); }
    page_buffer& operator=(page_buffer&& o) noexcept {
        swap(o);
        return *this;
    }

    unsigned char* data() { return p_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Room for `bytes` in all (contents kept); its new pages are faulted in
    // on the helper thread.
    void reserve(size_t bytes);
    // New bytes are zero.
    void resize(size_t bytes);
    void swap(page_buffer& o) noexcept;

private:
    void settle();  // waits for the helper thread

    unsigned char* p_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    std::thread prefault_;
};

// Element types of the stacked values, named as numpy names them.
enum class elem : int { none, f8, f4, u1, be_u2, be_u4, u4 };
const char* elem_dtype(elem e);
// numpy's name of an image pixel of 1, 2 or 4 bytes (most significant first).
const char* pixel_dtype(int bytes_per_pixel);
size_t elem_size(elem e);

class column {
public:
    // Rows the read expects (0: unknown), so that the buffer is allocated
    // once rather than copied as it grows.
    explicit column(size_t expected_rows = 0) : expected_(expected_rows) {}

    // Appends one event: `v` is the decoded value (null when the channel
    // has none at this event), `state` the reader's state for the channel.
    void push(const value_view* v, int state);

    kind value_kind() const { return kind_; }
    elem element() const { return elem_; }
    size_t rows() const { return rows_; }
    const std::vector<size_t>& row_shape() const { return dims_; }
    page_buffer& data() { return data_; }
    std::vector<int8_t>& states() { return state_; }
    std::vector<int64_t>& times_us() { return time_us_; }
    // Member names and their spectrum parameters (from the first value that
    // had them), or the names of name/value pairs in column order.
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<member_view>& members() const { return members_; }
    long damaged() const { return damaged_; }
    const std::string& first_error() const { return first_error_; }

private:
    struct row_form {
        kind k;
        std::vector<size_t> (*shape)(column&, const value_view&);
        void (*write)(column&, const value_view&, unsigned char*);
        bool (*covers)(const column&, const value_view&);
    };
    static const row_form* form_of(kind k);
    static std::vector<size_t> scalar_shape(column&, const value_view& v);
    static std::vector<size_t> members_shape(column&, const value_view& v);
    static std::vector<size_t> image_shape(column&, const value_view& v);
    static std::vector<size_t> pairs_shape(column& c, const value_view& v);
    static std::vector<size_t> words_shape(column&, const value_view& v);
    static void write_scalar(column& c, const value_view& v, unsigned char* row);
    static void write_members(column& c, const value_view& v, unsigned char* row);
    static void write_image(column& c, const value_view& v, unsigned char* row);
    static void write_pairs(column& c, const value_view& v, unsigned char* row);
    static void write_words(column&, const value_view& v, unsigned char* row);
    static bool covers_all(const column&, const value_view&);
    static bool covers_none(const column&, const value_view&);
    static bool members_cover(const column& c, const value_view& v);
    static bool image_covers(const column& c, const value_view& v);
    static bool words_cover(const column& c, const value_view& v);

    bool take_kind(const value_view& v);
    void widen(const std::vector<size_t>& dims);
    void append_row(bool covered);
    void fill_missing(unsigned char* p, size_t elems) const;
    size_t row_elems() const;
    void mark_damaged(const std::string& why);

    void reserve_rows();

    size_t expected_ = 0;
    kind kind_ = kind::unknown;
    bool typed_ = false;
    int bytes_per_pixel_ = 0;
    elem elem_ = elem::none;
    std::vector<size_t> dims_;
    page_buffer data_;
    size_t rows_ = 0;
    std::vector<int8_t> state_;
    std::vector<int64_t> time_us_;
    std::vector<std::string> names_;
    std::vector<member_view> members_;  // parameters only; samples not kept
    long damaged_ = 0;
    std::string first_error_;
};

}  // namespace zorvpy

#endif
