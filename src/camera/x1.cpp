// X1: the single-camera device, its 48 members in their fixed order.
#include "camera/camera_common.h"

namespace pytuvo {

void bind_X1(py::module_& m) {
    using TUVO::X1;
    using O = X1::CaptureOptions;
    const O default_opts = default_options<O>();
    const TUVO::ROI zero_roi{0, 0, 0, 0};
    py::class_<X1>(m, "X1")
        .def(py::init<>(), release_gil())
        .def_static("Create", [](const TUVO::Device& device, TUVO::CameraID camid) { return X1::Create(device, camid); },
                    py::arg("device"), py::arg("camid") = TUVO::CameraID_0, release_gil())
        .def_static("Destroy", cam::destroy<X1>(), release_gil())
        .def("Open", self_ref(&X1::Open), release_gil())
        .def("IsOpen", self_ref(&X1::IsOpen), release_gil())
        .def("Close", self_ref(&X1::Close), release_gil())
        .def("IsValid", self_ref(&X1::IsValid), release_gil())
        .def("IsPhysicallyConnected", self_ref(&X1::IsPhysicallyConnected), release_gil())
        .def("Capture", cam::capture_with<X1>(), release_gil())
        .def("Capture", cam::capture_without<X1>(), release_gil())
        .def("Capture2D", [](X1& c, const O& opts) { return c.Capture2D(opts); }, py::arg("opts") = default_opts,
             release_gil())
        .def("Capture2D", [](X1& c) { return c.Capture2D(); }, release_gil())
        .def("SetBandwidth", self_ref(&X1::SetBandwidth), release_gil())
        .def("SetCustomTransformation", self_ref(&X1::SetCustomTransformation), release_gil())
        .def("GetCustomTransformation", cam::get_custom_transformation<X1, X1::CustomTransformOptions>(), release_gil())
        .def("GetCameraResolution", cam::out_ref<X1, TUVO::Size>(&X1::GetCameraResolution, TUVO::Size{0, 0}),
             release_gil())
        .def("GetProjectorTemperature", cam::out_ref<X1, float>(&X1::GetProjectorTemperature, 0.0f), release_gil())
        .def("GetImage", self_ref(&X1::GetImage), release_gil())
        .def("GetExposureTimeRange", cam::out_pair<X1, int>(&X1::GetExposureTimeRange), release_gil())
        .def("GetGainRange", cam::out_pair<X1, float>(&X1::GetGainRange), release_gil())
        .def("GetGammaRange", cam::out_pair<X1, float>(&X1::GetGammaRange), release_gil())
        .def("GetCameraTemperature", [](X1& c, TUVO::CameraTempSelector selector) {
            float celsius = 0.0f;
            bool ok = c.GetCameraTemperature(selector, celsius);
            return std::make_tuple(ok, celsius);
        }, release_gil())
        .def("GetDepthMap", self_ref(&X1::GetDepthMap), release_gil())
        .def("GetPointMap", self_ref(&X1::GetPointMap), release_gil())
        .def("GetConfidenceMap", self_ref(&X1::GetConfidenceMap), release_gil())
        .def("SaveEncodedImagesData", self_ref(&X1::SaveEncodedImagesData), release_gil())
        .def("SetBalanceRatio", self_ref(&X1::SetBalanceRatio), release_gil())
        .def("GetBalanceRatio", [](X1& c, TUVO::BalanceSelector selector) {
            float ratio = 0.0f;
            bool ok = c.GetBalanceRatio(selector, &ratio);
            return std::make_tuple(ok, ratio);
        }, release_gil())
        .def("GetBalanceRange", [](X1& c, TUVO::BalanceSelector selector) {
            float lo = 0.0f, hi = 0.0f;
            bool ok = c.GetBalanceRange(selector, &lo, &hi);
            return std::make_tuple(ok, lo, hi);
        }, release_gil())
        .def("AutoWhiteBalance", self_ref(&X1::AutoWhiteBalance), release_gil())
        .def("GetExtrinsicMatrix", [](X1& c) {
            float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            bool ok = c.GetExtrinsicMatrix(matrix);
            return std::make_tuple(ok, float_list(matrix));
        }, release_gil())
        .def("GetIntrinsicParameters", [](X1& c) {
            float intrinsic[9] = {}, distortion[5] = {};
            bool ok = c.GetIntrinsicParameters(intrinsic, distortion);
            return std::make_tuple(ok, float_list(intrinsic), float_list(distortion));
        }, release_gil())
        .def("SaveCaptureOptionParameters", self_ref(&X1::SaveCaptureOptionParameters), release_gil())
        .def("LoadCaptureOptionParameters", cam::out_options<X1, O>(&X1::LoadCaptureOptionParameters), release_gil())
        .def("GetAutoCaptureSetting", cam::auto_setting<X1, O>(&X1::GetAutoCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoHdrCaptureSetting", cam::auto_setting<X1, O>(&X1::GetAutoHdrCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoNoiseRemovalSetting", cam::auto_noise_removal<X1, O>(&X1::GetAutoNoiseRemovalSetting),
             release_gil())
        .def("LoadSettingFromFile", self_ref(&X1::LoadSettingFromFile), release_gil())
        .def("SaveSettingToFile", self_ref(&X1::SaveSettingToFile), release_gil())
        .def("CheckRoi", self_ref(&X1::CheckRoi), release_gil())
        .def("AutoAdjustRoi", self_ref(&X1::AutoAdjustRoi), release_gil())
        .def("GetRoiRange", cam::get_roi_range<X1>(), release_gil())
        .def("OpenProtectiveCover", self_ref(&X1::OpenProtectiveCover), release_gil())
        .def("CloseProtectiveCover", self_ref(&X1::CloseProtectiveCover), release_gil())
        .def("ResetProtectiveCover", self_ref(&X1::ResetProtectiveCover), release_gil())
        .def("OpenProtectiveCoverAsync", self_ref(&X1::OpenProtectiveCoverAsync), release_gil())
        .def("CloseProtectiveCoverAsync", self_ref(&X1::CloseProtectiveCoverAsync), release_gil())
        .def("GetProtectiveCoverStatus", cam::get_cover_status<X1>(), release_gil());
}

}  // namespace pytuvo
