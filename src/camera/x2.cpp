// X2: the two-camera device, its 51 members in their fixed order.
#include "camera/camera_common.h"

namespace pytuvo {

void bind_X2(py::module_& m) {
    using TUVO::X2;
    using O = X2::CaptureOptions;
    const O default_opts = default_options<O>();
    const TUVO::ROI zero_roi{0, 0, 0, 0};
    py::class_<X2>(m, "X2")
        .def(py::init<>(), release_gil())
        .def_static("Create", [](const TUVO::Device& device) { return X2::Create(device); }, py::arg("device"),
                    release_gil())
        .def_static("Destroy", cam::destroy<X2>(), release_gil())
        .def("Open", self_ref(&X2::Open), release_gil())
        .def("IsOpen", self_ref(&X2::IsOpen), release_gil())
        .def("Close", self_ref(&X2::Close), release_gil())
        .def("IsValid", self_ref(&X2::IsValid), release_gil())
        .def("IsPhysicallyConnected", self_ref(&X2::IsPhysicallyConnected), release_gil())
        .def("Capture", cam::capture_with<X2>(), release_gil())
        .def("Capture", cam::capture_without<X2>(), release_gil())
        .def("StartFixedLineScan", [](X2& c, const O& opts) { return c.StartFixedLineScan(opts); }, release_gil())
        .def("StartFixedLineScan", [](X2& c) { return c.StartFixedLineScan(); }, release_gil())
        .def("GetFixedLineScanPointMap", [](X2& c) { return c.GetFixedLineScanPointMap(); }, release_gil())
        .def("GetFixedLineScanPointMap", [](X2& c, TUVO::PointMap& pm) { return c.GetFixedLineScanPointMap(pm); },
             release_gil())
        .def("StopFixedLineScan", self_ref(&X2::StopFixedLineScan), release_gil())
        .def("Capture2D", [](X2& c, TUVO::CameraID cid, const O& opts) { return c.Capture2D(cid, opts); },
             py::arg("cid"), py::arg("opts") = default_opts, release_gil())
        .def("Capture2D", [](X2& c, TUVO::CameraID cid) { return c.Capture2D(cid); }, py::arg("cid"), release_gil())
        .def("SetBandwidth", self_ref(&X2::SetBandwidth), release_gil())
        .def("SetCustomTransformation", self_ref(&X2::SetCustomTransformation), release_gil())
        .def("GetCustomTransformation", cam::get_custom_transformation<X2, X2::CustomTransformOptions>(), release_gil())
        .def("GetCameraResolution", cam::out_ref<X2, TUVO::Size>(&X2::GetCameraResolution, TUVO::Size{0, 0}),
             release_gil())
        .def("GetProjectorTemperature", cam::out_ref<X2, float>(&X2::GetProjectorTemperature, 0.0f), release_gil())
        .def("GetImage", self_ref(&X2::GetImage), release_gil())
        .def("GetPointMap", self_ref(&X2::GetPointMap), release_gil())
        .def("GetConfidenceMap", self_ref(&X2::GetConfidenceMap), release_gil())
        .def("GetCorrespondMap", self_ref(&X2::GetCorrespondMap), release_gil())
        .def("SaveEncodedImagesData", self_ref(&X2::SaveEncodedImagesData), release_gil())
        .def("GetDepthMap", self_ref(&X2::GetDepthMap), release_gil())
        .def("AutoWhiteBalance", self_ref(&X2::AutoWhiteBalance), release_gil())
        .def("GetExtrinsicMatrix", [](X2& c, TUVO::CameraID cid) {
            float matrix[16] = {};
            bool ok = c.GetExtrinsicMatrix(cid, matrix);
            return std::make_tuple(ok, float_list(matrix));
        }, release_gil())
        .def("GetIntrinsicParameters", [](X2& c, TUVO::CameraID cid) {
            float intrinsic[9] = {}, distortion[5] = {};
            bool ok = c.GetIntrinsicParameters(cid, intrinsic, distortion);
            return std::make_tuple(ok, float_list(intrinsic), float_list(distortion));
        }, release_gil())
        .def("GetExposureTimeRange", cam::out_pair<X2, int>(&X2::GetExposureTimeRange), release_gil())
        .def("GetGainRange", cam::out_pair<X2, float>(&X2::GetGainRange), release_gil())
        .def("GetGammaRange", cam::out_pair<X2, float>(&X2::GetGammaRange), release_gil())
        .def("GetCameraTemperature", [](X2& c, TUVO::CameraID cid, TUVO::CameraTempSelector selector) {
            float celsius = 0.0f;
            bool ok = c.GetCameraTemperature(cid, selector, celsius);
            return std::make_tuple(ok, celsius);
        }, release_gil())
        .def("SaveCaptureOptionParameters", self_ref(&X2::SaveCaptureOptionParameters), release_gil())
        .def("LoadCaptureOptionParameters", cam::out_options<X2, O>(&X2::LoadCaptureOptionParameters), release_gil())
        .def("GetAutoCaptureSetting", cam::auto_setting<X2, O>(&X2::GetAutoCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoHdrCaptureSetting", cam::auto_setting<X2, O>(&X2::GetAutoHdrCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoNoiseRemovalSetting", cam::auto_noise_removal<X2, O>(&X2::GetAutoNoiseRemovalSetting),
             release_gil())
        .def("LoadSettingFromFile", self_ref(&X2::LoadSettingFromFile), release_gil())
        .def("SaveSettingToFile", self_ref(&X2::SaveSettingToFile), release_gil())
        .def("CheckRoi", self_ref(&X2::CheckRoi), release_gil())
        .def("AutoAdjustRoi", self_ref(&X2::AutoAdjustRoi), release_gil())
        .def("GetRoiRange", cam::get_roi_range<X2>(), release_gil())
        .def("OpenProtectiveCover", self_ref(&X2::OpenProtectiveCover), release_gil())
        .def("CloseProtectiveCover", self_ref(&X2::CloseProtectiveCover), release_gil())
        .def("ResetProtectiveCover", self_ref(&X2::ResetProtectiveCover), release_gil())
        .def("OpenProtectiveCoverAsync", self_ref(&X2::OpenProtectiveCoverAsync), release_gil())
        .def("CloseProtectiveCoverAsync", self_ref(&X2::CloseProtectiveCoverAsync), release_gil())
        .def("GetProtectiveCoverStatus", cam::get_cover_status<X2>(), release_gil());
}

}  // namespace pytuvo
