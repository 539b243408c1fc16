#include "python_values.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

namespace zorvpy {
namespace {

bool same_params(const std::vector<member_view>& a, const std::vector<member_view>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].start != b[i].start || a[i].inc != b[i].inc || a[i].ndata != b[i].ndata ||
            a[i].groups != b[i].groups || a[i].groups_inc != b[i].groups_inc)
            return false;
    return true;
}

// The keys of the value dicts, interned once: every event's values use the
// same few.
enum class field { kind, dtype, status, error, value, time_us, name, index, samples, pixels, values, comment, words, bytes };
constexpr const char* field_texts[] = {"kind",   "dtype",  "status", "error",   "value", "time_us", "name",
                                       "index",  "samples", "pixels", "values", "comment", "words", "bytes"};

// Interned strings of N texts, made on first use; `Text` gives the i-th.
template <size_t N, const char* (*Text)(size_t)>
py::handle interned(size_t i) {
    static const std::array<PyObject*, N> made = [] {
        std::array<PyObject*, N> a{};
        for (size_t j = 0; j < N; ++j) a[j] = PyUnicode_InternFromString(Text(j));
        return a;
    }();
    return made[i];
}

const char* field_text(size_t i) { return field_texts[i]; }
const char* kind_text(size_t i) { return kind_word(kind(i)); }

py::handle key(field f) { return interned<std::size(field_texts), field_text>(size_t(f)); }

}  // namespace

// The same for a column's page buffer.
py::array owned_array(page_buffer&& b, const py::dtype& dt, std::vector<py::ssize_t> shape) {
    auto* heap = new page_buffer(std::move(b));
    py::capsule owner(heap, [](void* p) { delete static_cast<page_buffer*>(p); });
    return py::array(dt, std::move(shape), {}, heap->data(), owner);
}

// Member names and spectrum parameters as a dict of tuples.
py::dict member_params(const std::vector<member_view>& members) {
    const size_t n = members.size();
    py::tuple names(n), start(n), inc(n), ndata(n), groups(n), groups_inc(n);
    for (size_t i = 0; i < n; ++i) {
        const auto& m = members[i];
        names[i] = py::str(m.name);
        start[i] = py::float_(m.start);
        inc[i] = py::float_(m.inc);
        ndata[i] = py::int_(m.ndata);
        groups[i] = py::int_(m.groups);
        groups_inc[i] = py::float_(m.groups_inc);
    }
    py::dict d;
    d["members"] = names;
    d["start"] = start;
    d["inc"] = inc;
    d["ndata"] = ndata;
    d["groups"] = groups;
    d["groups_inc"] = groups_inc;
    return d;
}

py::dict member_cache::get(const std::vector<member_view>& members) {
    if (!params_ || !same_params(members, last_)) {
        params_ = member_params(members);
        last_ = members;
    }
    return params_;
}

// A kind's word ("spectrum", ...).
py::handle kind_key(kind k) { return interned<size_t(kind::unknown) + 1, kind_text>(size_t(k)); }

namespace {

// The Python values of each kind of decoded block, added to its dict (arrays
// are copies: the block is gone at the next event).
void put_slow(py::dict& d, const value_view& v, member_cache&) {
    d[key(field::value)] = v.value;
    d[key(field::time_us)] = int64_t(v.sec) * 1000000 + v.usec;
    d[key(field::name)] = v.prop;
    d[key(field::index)] = v.index;
}

void put_members(py::dict& d, const value_view& v, member_cache& cache) {
    size_t samples = 0;
    for (const auto& m : v.members) samples = std::max(samples, m.count);
    py::array_t<float> a({py::ssize_t(v.members.size()), py::ssize_t(samples)});
    float* out = a.mutable_data();
    for (size_t m = 0; m < v.members.size(); ++m) {
        float* row = out + m * samples;
        std::memcpy(row, v.members[m].samples, v.members[m].count * sizeof(float));
        std::fill(row + v.members[m].count, row + samples, std::numeric_limits<float>::quiet_NaN());
    }
    d[key(field::samples)] = a;
    if (PyDict_Update(d.ptr(), cache.get(v.members).ptr()) != 0) throw py::error_already_set();
}

void put_image(py::dict& d, const value_view& v, member_cache&) {
    py::array a(py::dtype(pixel_dtype(v.bytes_per_pixel)), {py::ssize_t(v.height), py::ssize_t(v.width)});
    std::memcpy(a.mutable_data(), v.pixels, v.length);
    d[key(field::pixels)] = a;
}

void put_pairs(py::dict& d, const value_view& v, member_cache&) {
    py::dict values;
    for (const auto& p : v.pairs) values[py::str(p.name)] = p.value;
    d[key(field::values)] = values;
    d[key(field::comment)] = v.prop;
    d[key(field::index)] = v.index;
}

void put_words(py::dict& d, const value_view& v, member_cache&) {
    py::array_t<uint32_t> a(py::ssize_t(v.length / 4));
    std::memcpy(a.mutable_data(), v.payload, (v.length / 4) * 4);
    d[key(field::words)] = a;
}

void put_bytes(py::dict& d, const value_view& v, member_cache&) {
    d[key(field::bytes)] = py::bytes(reinterpret_cast<const char*>(v.payload), v.length);
}

struct kind_putter {
    kind k;
    void (*put)(py::dict&, const value_view&, member_cache&);
};
constexpr kind_putter kind_putters[] = {
    {kind::update, put_slow},      {kind::env, put_slow},         {kind::spectrum, put_members},
    {kind::roi, put_members},      {kind::image, put_image},      {kind::name_value, put_pairs},
    {kind::env_dict, put_pairs},   {kind::equipment, put_words},  {kind::unknown, put_bytes},
};

}  // namespace

// The Python value of a decoded block: a dict with "kind", "dtype",
// "status" and the values in their natural shape, or "error".
py::dict value_object(const value_view& v, member_cache& cache) {
    py::dict d;
    d[key(field::kind)] = kind_key(v.k);
    d[key(field::dtype)] = v.dtype;
    d[key(field::status)] = v.status;
    if (!v.error.empty()) {
        d[key(field::error)] = v.error;
        return d;
    }
    for (const auto& p : kind_putters)
        if (p.k == v.k) p.put(d, v, cache);
    return d;
}

}  // namespace zorvpy
