// Instances made without __init__ (cls.__new__(cls)) are refused wherever an argument of a bound type is read.
#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <tuple>
#include <type_traits>

#include "data/normal_data.h"
#include "sdk/TUVO.h"

namespace pytuvo {

// Every C++ type the module binds, classes and enumerations alike.
using BoundTypes = std::tuple<
    TUVO::Size, TUVO::ROI, TUVO::ROIRange, TUVO::DeviceInfo, TUVO::Device, TUVO::Image, TUVO::DepthMap,
    TUVO::ConfidenceMap, TUVO::CorrespondMap, TUVO::PointMap, ::NormalData, TUVO::X1::CaptureOptions,
    TUVO::X1::CustomTransformOptions, TUVO::X1, TUVO::X2::CaptureOptions, TUVO::X2::CustomTransformOptions, TUVO::X2,
    TUVO::Compensator_FixedMarkers, TUVO::CodedCircleMarkerType, TUVO::CodedCircleMarker,
    TUVO::CameraID, TUVO::PortType, TUVO::CameraTempSelector, TUVO::ProjectorColor, TUVO::BalanceSelector,
    TUVO::NetworkType, TUVO::NetworkDevice, TUVO::X1::CustomTransformOptions::CoordinateSelect,
    TUVO::X2::CustomTransformOptions::CoordinateSelect, TUVO::SystemListDeviceType::Enum, TUVO::PointMapUnit::Enum,
    TUVO::ImageType::Enum, TUVO::ProtectiveCoverStatus, TUVO::PointMapType::Enum, TUVO::SmoothnessLevel,
    TUVO::CaptureMode>;

template <class T, class List>
struct one_of;
template <class T, class... Ts>
struct one_of<T, std::tuple<Ts...>> : std::integral_constant<bool, (std::is_same<T, Ts>::value || ...)> {};
template <class T>
constexpr bool is_bound = one_of<T, BoundTypes>::value;

// pybind11's caster for a bound type, which first makes sure the instance was constructed. An
// instance made by __new__ alone holds no C++ object, and pybind11 would hand over fresh,
// uninitialised memory in its place. Refused with TypeError when conversions are allowed (so the
// message says why); otherwise only not matched, as in the buffer protocol, where nothing may be
// thrown.
template <class T>
struct constructed_caster : pybind11::detail::type_caster_base<T> {
    bool load(pybind11::handle src, bool convert) {
        namespace d = pybind11::detail;
        if (src && d::isinstance_generic(src, typeid(T))) {
            auto* inst = reinterpret_cast<d::instance*>(src.ptr());
            const d::value_and_holder vh = inst->get_value_and_holder(d::get_type_info(typeid(T)), false);
            if (vh.inst != nullptr && vh.value_ptr() == nullptr) {  // type found, no C++ object
                if (!convert) return false;
                throw pybind11::type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                                           " object was never initialised: __init__ was not called");
            }
        }
        return pybind11::detail::type_caster_base<T>::load(src, convert);
    }
};

// Views of an instance never initialised are refused with BufferError. The buffer protocol asks
// pybind11's caster with conversions off and cannot take a refusal from it (pybind11 2.11 reads
// the null answer), so the check comes first, in place of pybind11's buffer entry point.
extern "C" inline int constructed_getbuffer(PyObject* obj, Py_buffer* view, int flags) {
    auto* inst = reinterpret_cast<pybind11::detail::instance*>(obj);
    if (inst->get_value_and_holder().value_ptr() == nullptr) {
        if (view) view->obj = nullptr;
        PyErr_Format(PyExc_BufferError, "%s object was never initialised: __init__ was not called",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    return pybind11::detail::pybind11_getbuffer(obj, view, flags);
}

// The buffer protocol of the module's classes, in place of py::buffer_protocol(): pybind11's, with
// the check above in front. It is set before the class is readied, because from CPython 3.12 on
// readying builds the class's __buffer__ from the entry point it finds then; one changed later would
// be bypassed by every call of __buffer__.
struct guarded_buffer_protocol {};

}  // namespace pytuvo

namespace pybind11 {
namespace detail {
template <class T>
class type_caster<T, enable_if_t<pytuvo::is_bound<T>>> : public pytuvo::constructed_caster<T> {};

template <>
struct process_attribute<pytuvo::guarded_buffer_protocol> : process_attribute_default<pytuvo::guarded_buffer_protocol> {
    static void init(const pytuvo::guarded_buffer_protocol&, type_record* r) {
        r->buffer_protocol = true;
        r->custom_type_setup_callback = [](PyHeapTypeObject* type) {
            type->as_buffer.bf_getbuffer = pytuvo::constructed_getbuffer;
        };
    }
};
}  // namespace detail
}  // namespace pybind11
