// The module body: every Python name registered in its fixed order (the order is part of the API).
#include "module/bindings.h"

namespace pytuvo {

void copy_transform(const TransformArray& array, double (&out)[16]) {
    if (array.size() < 16)
        throw std::invalid_argument("SetTransform: expected 16 values (a 4x4 matrix), got " +
                                    std::to_string(array.size()));
    // Walk the elements in logical row-major order, whatever the strides.
    const py::ssize_t ndim = array.ndim();
    std::vector<py::ssize_t> index(static_cast<std::size_t>(ndim), 0);
    const char* base = reinterpret_cast<const char*>(array.data());
    for (int k = 0; k < 16; ++k) {
        py::ssize_t offset = 0;
        for (py::ssize_t d = 0; d < ndim; ++d) offset += index[d] * array.strides(d);
        std::memcpy(&out[k], base + offset, sizeof(double));
        for (py::ssize_t d = ndim - 1; d >= 0; --d) {
            if (++index[d] < array.shape(d)) break;
            index[d] = 0;
        }
    }
}

}  // namespace pytuvo

PYBIND11_MODULE(PyTUVO, m) {
    using namespace pytuvo;
    // Load numpy's C API now, while importing is single-threaded: initialised lazily, the first
    // array argument met by two threads at once could deadlock (one waits for the static's
    // initialisation while holding the interpreter lock the other needs to finish it).
    (void)py::dtype::of<std::uint8_t>();
    g_exiting_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    py::module_::import("atexit").attr("register")(py::cpp_function([] { g_exiting_thread = PyThread_get_thread_ident(); }));
    bind_error_functions(m);
    bind_Size(m);
    bind_ROI(m);
    bind_ROIRange(m);
    bind_CameraID(m);
    bind_PortType(m);
    bind_CameraTempSelector(m);
    bind_ProjectorColor(m);
    bind_BalanceSelector(m);
    bind_NetworkType(m);
    bind_NetworkDevice(m);
    bind_X1CustomTransformCoordinate(m);
    bind_X2CustomTransformCoordinate(m);
    bind_DeviceInfo(m);
    bind_Device(m);
    bind_SystemListDeviceTypeEnum(m);
    bind_PointMapUnitEnum(m);
    bind_discovery_functions(m);
    bind_ImageTypeEnum(m);
    bind_ProtectiveCoverStatus(m);
    bind_image_functions(m);
    bind_Image(m);
    bind_DepthMap(m);
    bind_ConfidenceMap(m);
    bind_CorrespondMap(m);
    bind_PointMapTypeEnum(m);
    bind_pointmap_functions(m);
    bind_PointMap(m);
    bind_NormalData(m);
    bind_system_functions(m);
    bind_SystemFindDevice(m);
    bind_X1_CaptureOptions(m);
    bind_X1_CustomTransformOptions(m);
    bind_SmoothnessLevel(m);
    bind_CaptureMode(m);
    bind_X1(m);
    bind_X2_CaptureOptions(m);
    bind_X2_CustomTransformOptions(m);
    bind_X2(m);
    bind_Compensator_FixedMarkers(m);
    bind_external_camera_functions(m);
    bind_CodedCircleMarkerType(m);
    bind_CodedCircleMarker(m);
    bind_DetectCodedCircleMarker(m);
    bind_GetTwoCameraTransformByCodedCircleMarker(m);
    bind_TransformPointCloud(m);
    bind_TestAccuracy(m);
}
