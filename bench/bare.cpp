// Benchmark-only module: the same call shapes bound with bare pybind11, as a yardstick for PyTUVO.
#include <pybind11/pybind11.h>

#include "sdk/TUVO.h"

namespace py = pybind11;

PYBIND11_MODULE(bench_bare, m) {
    m.def("SystemIsInited", &TUVO::SystemIsInited, py::call_guard<py::gil_scoped_release>());
    py::class_<TUVO::Size>(m, "Size", py::module_local())  // PyTUVO registers the same C++ type
        .def(py::init([](int w, int h) { return TUVO::Size{w, h}; }), py::call_guard<py::gil_scoped_release>())
        .def_readwrite("width", &TUVO::Size::width);
}
