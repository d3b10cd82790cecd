// Wrappers shared by X1 and X2: out-value tuples, option-record helpers and HDR accessors.
#pragma once
#include "module/bindings.h"

namespace pytuvo {

// Option records as the module hands them out: the SDK's defaults, with filter_range, which the
// SDK's constructor may leave unset, given a defined value.
inline TUVO::X1::CaptureOptions default_options(const TUVO::X1::CaptureOptions*) {
    TUVO::X1::CaptureOptions o;
    o.filter_range = 0;
    return o;
}
inline TUVO::X2::CaptureOptions default_options(const TUVO::X2::CaptureOptions*) { return {}; }
template <class Opts>
Opts default_options() {
    return default_options(static_cast<const Opts*>(nullptr));
}

namespace cam {

// (ok, value) for a member that fills one reference out-value starting from `init`.
template <class Cam, class T>
auto out_ref(bool (Cam::*f)(T&), T init) {
    return [f, init](Cam& c) {
        T v = init;
        bool ok = (c.*f)(v);
        return std::make_tuple(ok, v);
    };
}

// (ok, low, high) for a member that fills two pointer out-values, zeroed first.
template <class Cam, class T>
auto out_pair(bool (Cam::*f)(T*, T*)) {
    return [f](Cam& c) {
        T a{}, b{};
        bool ok = (c.*f)(&a, &b);
        return std::make_tuple(ok, a, b);
    };
}

// (ok, record) for the members that fill a default-initialised options record.
template <class Cam, class Opts>
auto out_options(bool (Cam::*f)(Opts&)) {
    return [f](Cam& c) {
        Opts o = default_options<Opts>();
        bool ok = (c.*f)(o);
        return std::make_tuple(ok, o);
    };
}

// (ok, record) for the automatic settings: they work on a copy of the caller's options.
template <class Cam, class Opts>
auto auto_setting(bool (Cam::*f)(Opts&, const TUVO::ROI&)) {
    return [f](Cam& c, Opts opts, const TUVO::ROI& roi) {
        bool ok = (c.*f)(opts, roi);
        return std::make_tuple(ok, opts);
    };
}

template <class Cam, class Opts>
auto auto_noise_removal(bool (Cam::*f)(Opts&)) {
    return [f](Cam& c, Opts opts) {
        bool ok = (c.*f)(opts);
        return std::make_tuple(ok, opts);
    };
}

template <class Cam, class Transform>
auto get_custom_transformation() {
    return [](Cam& c) {
        Transform t;
        bool ok = c.GetCustomTransformation(t);
        return std::make_tuple(ok, t);
    };
}

template <class Cam>
auto get_roi_range() {
    return [](Cam& c) {
        TUVO::ROIRange r{0, 0, 0, 0, 0, 0, 0, 0};
        bool ok = c.GetRoiRange(r);
        return std::make_tuple(ok, r);
    };
}

template <class Cam>
auto get_cover_status() {
    return out_ref<Cam, TUVO::ProtectiveCoverStatus>(&Cam::GetProtectiveCoverStatus,
                                                    TUVO::ProtectiveCoverStatus_Unknown);
}

template <class Cam>
auto capture_with() {
    return [](Cam& c, const typename Cam::CaptureOptions& o) { return c.Capture(o); };
}

template <class Cam>
auto capture_without() {
    return [](Cam& c) { return c.Capture(); };
}

template <class Cam>
auto destroy() {
    return [](Cam& c) { Cam::Destroy(c); };
}

}  // namespace cam

// HDR tables: entries 0 to 2, reached only through these accessors.
template <class T>
T hdr_get(const T (&table)[3], int index, T bad) {
    return static_cast<unsigned>(index) > 2u ? bad : table[index];
}

template <class T>
bool hdr_set(T (&table)[3], int index, T value, T lo, T hi) {
    if (static_cast<unsigned>(index) > 2u || !(value >= lo && value <= hi)) return false;
    table[index] = value;
    return true;
}

template <class Opts, class T>
void def_hdr_get(py::class_<Opts>& c, const char* name, T (Opts::*table)[3], T bad) {
    c.def(name, [table, bad](const Opts& o, int index) { return hdr_get(o.*table, index, bad); }, release_gil());
}

template <class Opts, class T>
void def_hdr_set(py::class_<Opts>& c, const char* name, T (Opts::*table)[3], T lo, T hi) {
    c.def(name, [table, lo, hi](Opts& o, int index, T value) { return hdr_set(o.*table, index, value, lo, hi); },
          release_gil());
}

// The custom-transform records: the coordinate choice and SetTransform.
template <class Transform>
void bind_custom_transform(py::module_& m, const char* name) {
    py::class_<Transform>(m, name)
        .def(py::init<>(), release_gil())
        .def_readwrite("coordinate_select", &Transform::coordinate_select)
        .def("SetTransform", [](Transform& t, const TransformArray& array) { copy_transform(array, t.transform); },
             release_gil());
}

}  // namespace pytuvo
