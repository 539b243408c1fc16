#include "columns.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "zorv_daq_delivery.h"

namespace zorvpy {
namespace {

struct elem_row {
    elem e;
    const char* dtype;
    size_t size;
};
constexpr elem_row elem_rows[] = {
    {elem::none, "f8", 8}, {elem::f8, "f8", 8},       {elem::f4, "f4", 4}, {elem::u1, "u1", 1},
    {elem::be_u2, ">u2", 2}, {elem::be_u4, ">u4", 4}, {elem::u4, "u4", 4},
};

const elem_row& row_of(elem e) {
    for (const auto& r : elem_rows)
        if (r.e == e) return r;
    return elem_rows[0];
}

// Element type of each kind's values (images: by their bytes per pixel).
struct kind_elem {
    kind k;
    elem e;
};
constexpr kind_elem kind_elems[] = {
    {kind::update, elem::f8}, {kind::env, elem::f8},        {kind::spectrum, elem::f4},
    {kind::roi, elem::f4},    {kind::name_value, elem::f4}, {kind::equipment, elem::u4},
};

elem elem_of(kind k, int bytes_per_pixel) {
    if (k == kind::image) return bytes_per_pixel == 1 ? elem::u1 : bytes_per_pixel == 2 ? elem::be_u2 : elem::be_u4;
    for (const auto& r : kind_elems)
        if (r.k == k) return r.e;
    return elem::none;
}

}  // namespace

#ifdef MADV_POPULATE_WRITE
constexpr int populate_write = MADV_POPULATE_WRITE;
#else
constexpr int populate_write = 23;
#endif

page_buffer::~page_buffer() {
    settle();
    if (p_) munmap(p_, cap_);
}

void page_buffer::settle() {
    if (prefault_.joinable()) prefault_.join();
}

void page_buffer::swap(page_buffer& o) noexcept {
    settle();
    o.settle();
    std::swap(p_, o.p_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
}

void page_buffer::reserve(size_t bytes) {
    if (bytes <= cap_) return;
    settle();
    const size_t page = 4096;
    const size_t cap = (bytes + page - 1) / page * page;
    void* q = p_ ? mremap(p_, cap_, cap, MREMAP_MAYMOVE)
                 : mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (q == MAP_FAILED) throw std::bad_alloc();
    p_ = static_cast<unsigned char*>(q);
    unsigned char* fresh = p_ + cap_;
    const size_t len = cap - cap_;
    cap_ = cap;
    // Plain pages, no MADV_HUGEPAGE: on a virtual machine a huge page tends
    // to come from guest memory the host has not backed yet, and faulting
    // that in cost more than clearing recycled small pages (the arrays of a
    // bulk read took 1.5 to 2 times the processor time of the read with huge
    // pages, 1.15 to 1.4 times without, on the benchmark machine).
    // The kernel faults the pages in without changing what the reading
    // thread may already have written there. Where it cannot (before Linux
    // 5.14) or no thread can be started, the reading thread takes the faults.
    try {
        prefault_ = std::thread([fresh, len] { madvise(fresh, len, populate_write); });
    } catch (const std::system_error&) {
    }
}

void page_buffer::resize(size_t bytes) {
    if (bytes > cap_) reserve(std::max(bytes, cap_ * 2));
    size_ = bytes;  // a fresh mapping is zero; the column never shrinks
}

const char* elem_dtype(elem e) { return row_of(e).dtype; }
const char* pixel_dtype(int bytes_per_pixel) { return elem_dtype(elem_of(kind::image, bytes_per_pixel)); }
size_t elem_size(elem e) { return row_of(e).size; }

size_t column::row_elems() const {
    size_t n = 1;
    for (size_t d : dims_) n *= d;
    return n;
}

// Marks fresh buffer space as missing values: NaN for floats; integer
// elements are missing as zero, which fresh space already holds.
void column::fill_missing(unsigned char* p, size_t elems) const {
    if (elem_ == elem::f8) std::fill_n(reinterpret_cast<double*>(p), elems, std::numeric_limits<double>::quiet_NaN());
    else if (elem_ == elem::f4) std::fill_n(reinterpret_cast<float*>(p), elems, std::numeric_limits<float>::quiet_NaN());
}

void column::mark_damaged(const std::string& why) {
    ++damaged_;
    if (first_error_.empty()) first_error_ = why;
}

// The first decoded value fixes the column's kind and element type; a value
// of another kind or pixel size later is counted as damaged.
bool column::take_kind(const value_view& v) {
    if (!typed_) {
        typed_ = true;
        kind_ = v.k;
        bytes_per_pixel_ = v.bytes_per_pixel;
        elem_ = elem_of(v.k, v.bytes_per_pixel);
        if (elem_ == elem::f8) time_us_.assign(rows_, 0);
        if (elem_ != elem::none) {
            data_.resize(rows_ * elem_size(elem_));
            fill_missing(data_.data(), rows_);
        }
        return true;
    }
    return v.k == kind_ && (kind_ != kind::image || v.bytes_per_pixel == bytes_per_pixel_);
}

// Per kind: the row shape a value needs, and how it is written into a row
// of the column's (possibly larger) shape.
std::vector<size_t> column::scalar_shape(column&, const value_view&) { return {}; }
std::vector<size_t> column::members_shape(column& c, const value_view& v) {
    // Members past those of the values so far (a generic spectrum that
    // grew) are named by the first value that has them.
    for (size_t m = c.members_.size(); m < v.members.size(); ++m) {
        c.members_.push_back(v.members[m]);
        c.members_.back().samples = nullptr;
        c.names_.push_back(v.members[m].name);
    }
    size_t samples = 0;
    for (const auto& m : v.members) samples = std::max(samples, m.count);
    return {v.members.size(), samples};
}
std::vector<size_t> column::image_shape(column&, const value_view& v) { return {size_t(v.height), size_t(v.width)}; }
std::vector<size_t> column::pairs_shape(column& c, const value_view& v) {
    for (const auto& p : v.pairs)
        if (std::find(c.names_.begin(), c.names_.end(), p.name) == c.names_.end()) c.names_.push_back(p.name);
    return {c.names_.size()};
}
std::vector<size_t> column::words_shape(column&, const value_view& v) { return {v.length / 4}; }

void column::write_scalar(column& c, const value_view& v, unsigned char* row) {
    std::memcpy(row, &v.value, sizeof v.value);
    c.time_us_.back() = int64_t(v.sec) * 1000000 + v.usec;
}
void column::write_members(column& c, const value_view& v, unsigned char* row) {
    for (size_t m = 0; m < v.members.size(); ++m)
        std::memcpy(row + m * c.dims_[1] * sizeof(float), v.members[m].samples, v.members[m].count * sizeof(float));
}
void column::write_image(column& c, const value_view& v, unsigned char* row) {
    const size_t es = elem_size(c.elem_), width = size_t(v.width);
    for (size_t y = 0; y < size_t(v.height); ++y)
        std::memcpy(row + y * c.dims_[1] * es, v.pixels + y * width * es, width * es);
}
void column::write_pairs(column& c, const value_view& v, unsigned char* row) {
    for (const auto& p : v.pairs) {
        const size_t at = size_t(std::find(c.names_.begin(), c.names_.end(), p.name) - c.names_.begin());
        std::memcpy(row + at * sizeof(float), &p.value, sizeof(float));
    }
}
void column::write_words(column&, const value_view& v, unsigned char* row) {
    std::memcpy(row, v.payload, (v.length / 4) * 4);
}

// Whether a value sets every element of a row of the column's shape.
bool column::covers_all(const column&, const value_view&) { return true; }
bool column::covers_none(const column&, const value_view&) { return false; }
bool column::members_cover(const column& c, const value_view& v) {
    if (c.dims_.size() != 2 || v.members.size() != c.dims_[0]) return false;
    for (const auto& m : v.members)
        if (m.count != c.dims_[1]) return false;
    return true;
}
bool column::image_covers(const column& c, const value_view& v) {
    return c.dims_.size() == 2 && size_t(v.height) == c.dims_[0] && size_t(v.width) == c.dims_[1];
}
bool column::words_cover(const column& c, const value_view& v) {
    return c.dims_.size() == 1 && v.length / 4 == c.dims_[0];
}

const column::row_form* column::form_of(kind k) {
    static constexpr row_form forms[] = {
        {kind::update, scalar_shape, write_scalar, covers_all},
        {kind::env, scalar_shape, write_scalar, covers_all},
        {kind::spectrum, members_shape, write_members, members_cover},
        {kind::roi, members_shape, write_members, members_cover},
        {kind::image, image_shape, write_image, image_covers},
        {kind::name_value, pairs_shape, write_pairs, covers_none},
        {kind::equipment, words_shape, write_words, words_cover},
    };
    for (const auto& f : forms)
        if (f.k == k) return &f;
    return nullptr;
}

// Makes every row at least `dims` large, keeping each row's values at the
// same indices and padding the rest.
void column::widen(const std::vector<size_t>& dims) {
    std::vector<size_t> nd = dims_.size() == dims.size() ? dims_ : std::vector<size_t>(dims.size(), 0);
    bool grow = dims_.size() != dims.size();
    for (size_t i = 0; i < dims.size(); ++i)
        if (dims[i] > nd[i]) nd[i] = dims[i], grow = true;
    if (!grow) return;
    const size_t es = elem_size(elem_);
    const size_t old_elems = dims_.size() == nd.size() ? row_elems() : 0;
    const size_t inner_old = dims_.size() == 2 ? dims_[1] : old_elems;
    const size_t outer_old = dims_.size() == 2 ? dims_[0] : 1;
    dims_ = nd;
    const size_t new_elems = row_elems();
    const size_t inner_new = nd.size() == 2 ? nd[1] : new_elems;
    page_buffer grown;
    grown.resize(rows_ * new_elems * es);
    if (!grown.empty()) fill_missing(grown.data(), rows_ * new_elems);
    if (old_elems)
        for (size_t r = 0; r < rows_; ++r)
            for (size_t o = 0; o < outer_old; ++o)
                std::memcpy(grown.data() + (r * new_elems + o * inner_new) * es,
                            data_.data() + (r * old_elems + o * inner_old) * es, inner_old * es);
    data_.swap(grown);
    reserve_rows();
}

void column::reserve_rows() {
    if (expected_ > rows_) data_.reserve(expected_ * row_elems() * elem_size(elem_));
}

// A new last row, marked missing unless the value written next covers every
// element of it (each element is then written once, not filled first and
// overwritten).
void column::append_row(bool covered) {
    const size_t elems = row_elems();
    const size_t at = data_.size();
    data_.resize(at + elems * elem_size(elem_));
    if (!covered) fill_missing(data_.data() + at, elems);
    if (elem_ == elem::f8) time_us_.push_back(0);
}

void column::push(const value_view* v, int state) {
    if (v && !v->error.empty()) {
        mark_damaged(v->error);
        v = nullptr;
        state = ZORV_DAQ_CHAN_DAMAGED;
    } else if (v && !take_kind(*v)) {
        mark_damaged(std::string("block of another kind (") + kind_word(v->k) + ") than the channel's first");
        v = nullptr;
        state = ZORV_DAQ_CHAN_DAMAGED;
    }
    const row_form* form = elem_ != elem::none ? form_of(kind_) : nullptr;
    if (v && form) widen(form->shape(*this, *v));
    if (form) append_row(v && form->covers(*this, *v));
    ++rows_;
    state_.push_back(int8_t(state));
    if (v && form) form->write(*this, *v, data_.data() + data_.size() - row_elems() * elem_size(elem_));
}

}  // namespace zorvpy
