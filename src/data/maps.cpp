// DepthMap, ConfidenceMap and CorrespondMap with their views; the last two keep the lock.
#include <type_traits>

#include "module/bindings.h"

namespace pytuvo {

static_assert(std::is_same<decltype(std::declval<TUVO::DepthMap&>().GetDataPtr()), double*>::value &&
                  std::is_same<decltype(std::declval<TUVO::ConfidenceMap&>().GetDataPtr()), double*>::value &&
                  std::is_same<decltype(std::declval<TUVO::CorrespondMap&>().GetDataPtr()), double*>::value,
              "map data are 64-bit floating-point numbers");

namespace {

// The shape of one map's view: (height, width) plus the components of a pixel, if more than one.
template <class Map>
py::buffer_info map_view(Map& map, py::ssize_t components) {
    const TUVO::Size size = map.GetSize();
    std::vector<py::ssize_t> shape{size.height, size.width};
    if (components > 1) shape.push_back(components);
    return dense_view(map.GetDataPtr(), std::move(shape));
}

// ConfidenceMap and CorrespondMap hold the interpreter lock in every member.
template <class Map>
void bind_locked_map(py::module_& m, const char* name, py::ssize_t components) {
    py::class_<Map>(m, name, guarded_buffer_protocol())
        .def(py::init<>())
        .def("IsValid", self_ref(&Map::IsValid))
        .def("GetSize", self_ref(&Map::GetSize))
        .def_buffer([components](Map& map) { return map_view(map, components); });
}

}  // namespace

void bind_DepthMap(py::module_& m) {
    py::class_<TUVO::DepthMap>(m, "DepthMap", guarded_buffer_protocol())
        .def(py::init<>(), release_gil())
        .def("IsValid", self_ref(&TUVO::DepthMap::IsValid), release_gil())
        .def("GetSize", self_ref(&TUVO::DepthMap::GetSize), release_gil())
        .def("SaveDepthMap", self_ref(&TUVO::DepthMap::SaveDepthMap), release_gil())
        .def_buffer([](TUVO::DepthMap& map) { return map_view(map, 1); });
}

void bind_ConfidenceMap(py::module_& m) { bind_locked_map<TUVO::ConfidenceMap>(m, "ConfidenceMap", 1); }

void bind_CorrespondMap(py::module_& m) { bind_locked_map<TUVO::CorrespondMap>(m, "CorrespondMap", 2); }

}  // namespace pytuvo
