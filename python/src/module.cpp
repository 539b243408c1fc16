// zorvdaq._core: the readers of both layouts as one Python class each, with
// the event loop and the bulk read done in C++. The interpreter lock is
// released while the reader reads and decodes, so that runs read from
// several Python threads proceed at once; Python objects are made only for
// what is handed to the caller.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>
#include <string>

#include "block_types.h"
#include "decode_value.h"
#include "parse_chan_descr.h"
#include "session.h"

namespace py = pybind11;
using namespace zorvpy;

namespace {

template <class L>
void bind_session(py::module_& m, const char* name) {
    using S = session<L>;
    py::class_<S>(m, name)
        .def(py::init<>())
        .def_static("legacy", &S::legacy)
        .def("init_files", &S::init_files)
        .def("init_request", &S::init_request)
        .def("files", &S::files)
        .def("window", &S::window)
        .def("inspect", &S::inspect)
        .def("select", &S::select)
        .def("configure", &S::configure)
        .def("keys", &S::keys)
        .def("start", &S::start)
        .def("next_event", &S::next_event)
        .def("next_values", &S::next_values)
        .def("read_arrays", &S::read_arrays)
        .def("report", &S::report)
        .def("close", &S::close);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "Compiled core of zorvdaq: the readers of both file layouts.";
    static py::exception<reader_error> error(m, "Error");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const missing_file_error& e) {
            PyErr_SetString(PyExc_FileNotFoundError, e.what());
        } catch (const reader_error& e) {
            error(e.what());
        }
    });
    bind_session<zorv::layout_current>(m, "CurrentReader");
    bind_session<zorv::layout_legacy>(m, "LegacyReader");
    m.def("type_name", [](int dtype) {
        const char* n = zorv_common::block_type_name(dtype);
        return n ? std::string(n) : std::to_string(dtype & 0xFFFF);
    });
    m.def("type_kind", [](int dtype) { return std::string(kind_word(kind_of_type(dtype))); });
    m.def("member_name", [](int dtype, int i) -> py::object {
        const char* n = get_chan_name(dtype, i);
        return n ? py::object(py::str(n)) : py::object(py::none());
    });
}
