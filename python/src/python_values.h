// The Python objects made of decoded values: numpy arrays that own their
// storage, and one event's value of a channel as a dict of its natural shape.
#ifndef ZORVDAQ_PY_PYTHON_VALUES_H
#define ZORVDAQ_PY_PYTHON_VALUES_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "columns.h"
#include "decode_value.h"

namespace zorvpy {

namespace py = pybind11;

// A numpy array that owns a moved-in vector's storage (no copy).
template <class T>
py::array owned_array(std::vector<T>&& v, const py::dtype& dt, std::vector<py::ssize_t> shape) {
    auto* heap = new std::vector<T>(std::move(v));
    py::capsule owner(heap, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array(dt, std::move(shape), {}, heap->data(), owner);
}

// The same for a column's page buffer.
py::array owned_array(page_buffer&& b, const py::dtype& dt, std::vector<py::ssize_t> shape);

// Member names and spectrum parameters as a dict of tuples.
py::dict member_params(const std::vector<member_view>& members);

// A channel's member parameters as Python objects, made again only when they
// change (they rarely do), so that an event's spectrum costs little more
// than its samples. The tuples are shared by the values handed out.
class member_cache {
public:
    py::dict get(const std::vector<member_view>& members);

private:
    std::vector<member_view> last_;
    py::dict params_{py::reinterpret_steal<py::dict>(py::handle())};
};

// A kind's word ("spectrum", ...) as an interned Python string.
py::handle kind_key(kind k);

// The Python value of a decoded block: a dict with "kind", "dtype",
// "status" and the values in their natural shape, or "error".
py::dict value_object(const value_view& v, member_cache& cache);

}  // namespace zorvpy

#endif
