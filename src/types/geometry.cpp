// Size, ROI and ROIRange: plain records with read-write integer fields.
#include "module/bindings.h"

namespace pytuvo {

void bind_Size(py::module_& m) {
    py::class_<TUVO::Size>(m, "Size")
        .def(py::init([]() { return TUVO::Size{0, 0}; }), release_gil())
        .def(py::init([](int width, int height) { return TUVO::Size{width, height}; }), release_gil())
        .def_readwrite("width", &TUVO::Size::width)
        .def_readwrite("height", &TUVO::Size::height)
        .def_readwrite("cols", &TUVO::Size::width)
        .def_readwrite("rows", &TUVO::Size::height);
}

void bind_ROI(py::module_& m) {
    py::class_<TUVO::ROI>(m, "ROI")
        .def(py::init([]() { return TUVO::ROI{0, 0, 0, 0}; }), release_gil())
        .def(py::init([](int x, int y, int width, int height) { return TUVO::ROI{x, y, width, height}; }),
             release_gil())
        .def_readwrite("x", &TUVO::ROI::x)
        .def_readwrite("y", &TUVO::ROI::y)
        .def_readwrite("width", &TUVO::ROI::width)
        .def_readwrite("height", &TUVO::ROI::height);
}

void bind_ROIRange(py::module_& m) {
    py::class_<TUVO::ROIRange>(m, "ROIRange")
        .def(py::init([]() { return TUVO::ROIRange{0, 0, 0, 0, 0, 0, 0, 0}; }), release_gil())
        .def_readwrite("x_step", &TUVO::ROIRange::x_step)
        .def_readwrite("y_step", &TUVO::ROIRange::y_step)
        .def_readwrite("width_step", &TUVO::ROIRange::width_step)
        .def_readwrite("height_step", &TUVO::ROIRange::height_step)
        .def_readwrite("width_min", &TUVO::ROIRange::width_min)
        .def_readwrite("height_min", &TUVO::ROIRange::height_min)
        .def_readwrite("width_max", &TUVO::ROIRange::width_max)
        .def_readwrite("height_max", &TUVO::ROIRange::height_max);
}

}  // namespace pytuvo
