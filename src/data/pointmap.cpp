// PointMap, NormalData and the point-map functions, with views over SDK point and normal memory.
#include <type_traits>

#include "data/normal_data.h"
#include "module/bindings.h"

namespace pytuvo {

using TUVO::PointMap;

// Views of format "d": three 8-byte numbers a pixel, for the points and the normals alike.
static_assert(std::is_same<decltype(std::declval<PointMap&>().GetPointDataPtr()), double*>::value &&
                  std::is_same<decltype(std::declval<PointMap&>().GetNormalDataPtr()), double*>::value &&
                  sizeof(double) == 8,
              "point and normal data are 64-bit floating-point numbers");
namespace PointMapType = TUVO::PointMapType;
namespace PointMapUnit = TUVO::PointMapUnit;

// Whether the point map a normals record was made from still lives and still holds the record's
// memory: the same pointer, and at least as many pixels.
static bool holds(const NormalData& nd) {
    PointMap pm = nd.source;
    if (nd.data == nullptr || !pm.IsValid() || pm.GetNormalDataPtr() != nd.data) return false;
    const TUVO::Size now = pm.GetSize();
    return static_cast<long long>(now.width) * now.height >= static_cast<long long>(nd.size.width) * nd.size.height;
}

void bind_pointmap_functions(py::module_& m) {
    m.def("PointMapTypeToString", &PointMapType::ToString, release_gil());
    m.def("PointMapCreate", [](PointMapType::Enum type, const TUVO::Size& size) {
        return PointMap::Create(type, size, nullptr, true);
    }, release_gil());
    m.def("PointMapDestroy", [](const PointMap& pm) { PointMap::Destroy(pm, true); }, release_gil());
}

void bind_PointMap(py::module_& m) {
    py::class_<PointMap>(m, "PointMap", guarded_buffer_protocol())
        .def(py::init<>(), release_gil())
        .def_static("CreateFromFile", [](const CText& filename, const TUVO::Size& size, PointMapUnit::Enum unit) {
            return PointMap::CreateFromFile(filename, size, unit);
        }, release_gil())
        .def_static("Destroy", [](const PointMap& pm) { PointMap::Destroy(pm, true); }, release_gil())
        .def("IsValid", self_ref(&PointMap::IsValid), release_gil())
        .def("GetSize", self_ref(&PointMap::GetSize), release_gil())
        .def("Clone", self_ref(&PointMap::Clone), release_gil())
        .def("GetNormalDataPtr", [](PointMap& pm) {
            NormalData nd;
            nd.valid = pm.GetNormalDataPtr() != nullptr;
            nd.size = pm.GetSize();
            nd.data = pm.GetNormalDataPtr();
            nd.source = pm;
            return nd;
        }, release_gil())
        .def("Save", [](PointMap& pm, const CText& filename, PointMapUnit::Enum unit, bool isBinary) {
            return pm.Save(filename, unit, isBinary, TUVO::Image());
        }, py::arg("filename"), py::arg("unit") = PointMapUnit::Millimeter, py::arg("isBinary") = true, release_gil())
        .def("SaveWithImage", [](PointMap& pm, const CText& filename, const TUVO::Image& image,
                                 PointMapUnit::Enum unit, bool isBinary) {
            return pm.Save(filename, unit, isBinary, image);
        }, py::arg("filename"), py::arg("image"), py::arg("unit") = PointMapUnit::Millimeter,
           py::arg("isBinary") = true, release_gil())
        .def_buffer([](PointMap& pm) -> py::buffer_info {
            const TUVO::Size size = pm.GetSize();
            return dense_view(pm.GetPointDataPtr(), {size.height, size.width, 3});
        });
}

void bind_NormalData(py::module_& m) {
    py::class_<NormalData>(m, "NormalData", guarded_buffer_protocol())
        .def(py::init<>(), release_gil())
        .def("IsValid", [](const NormalData& nd) { return nd.valid && holds(nd); }, release_gil())
        .def("GetSize", [](const NormalData& nd) { return nd.size; }, release_gil())
        .def_buffer([](NormalData& nd) -> py::buffer_info {
            // A destroyed or refilled point map leaves the record no memory to show.
            return dense_view(holds(nd) ? nd.data : nullptr, {nd.size.height, nd.size.width, 3});
        });
}

}  // namespace pytuvo
