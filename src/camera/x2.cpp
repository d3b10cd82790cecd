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
        .def("Open", &X2::Open, release_gil())
        .def("IsOpen", &X2::IsOpen, release_gil())
        .def("Close", &X2::Close, release_gil())
        .def("IsValid", &X2::IsValid, release_gil())
        .def("IsPhysicallyConnected", &X2::IsPhysicallyConnected, release_gil())
        .def("Capture", cam::capture_with<X2>(), release_gil())
        .def("Capture", cam::capture_without<X2>(), release_gil())
        .def("StartFixedLineScan", [](X2& c, const O& opts) { return c.StartFixedLineScan(opts); }, release_gil())
        .def("StartFixedLineScan", [](X2& c) { return c.StartFixedLineScan(); }, release_gil())
        .def("GetFixedLineScanPointMap", [](X2& c) { return c.GetFixedLineScanPointMap(); }, release_gil())
        .def("GetFixedLineScanPointMap", [](X2& c, TUVO::PointMap& pm) { return c.GetFixedLineScanPointMap(pm); },
             release_gil())
        .def("StopFixedLineScan", &X2::StopFixedLineScan, release_gil())
        .def("Capture2D", [](X2& c, TUVO::CameraID cid, const O& opts) { return c.Capture2D(cid, opts); },
             py::arg("cid"), py::arg("opts") = default_opts, release_gil())
        .def("Capture2D", [](X2& c, TUVO::CameraID cid) { return c.Capture2D(cid); }, py::arg("cid"), release_gil())
        .def("SetBandwidth", &X2::SetBandwidth, release_gil())
        .def("SetCustomTransformation", &X2::SetCustomTransformation, release_gil())
        .def("GetCustomTransformation", cam::get_custom_transformation<X2, X2::CustomTransformOptions>(), release_gil())
        .def("GetCameraResolution", cam::out_ref<X2, TUVO::Size>(&X2::GetCameraResolution, TUVO::Size{0, 0}),
             release_gil())
        .def("GetProjectorTemperature", cam::out_ref<X2, float>(&X2::GetProjectorTemperature, 0.0f), release_gil())
        .def("GetImage", &X2::GetImage, release_gil())
        .def("GetPointMap", &X2::GetPointMap, release_gil())
        .def("GetConfidenceMap", &X2::GetConfidenceMap, release_gil())
        .def("GetCorrespondMap", &X2::GetCorrespondMap, release_gil())
        .def("SaveEncodedImagesData", &X2::SaveEncodedImagesData, release_gil())
        .def("GetDepthMap", &X2::GetDepthMap, release_gil())
        .def("AutoWhiteBalance", &X2::AutoWhiteBalance, release_gil())
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
        .def("SaveCaptureOptionParameters", &X2::SaveCaptureOptionParameters, release_gil())
        .def("LoadCaptureOptionParameters", cam::out_options<X2, O>(&X2::LoadCaptureOptionParameters), release_gil())
        .def("GetAutoCaptureSetting", cam::auto_setting<X2, O>(&X2::GetAutoCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoHdrCaptureSetting", cam::auto_setting<X2, O>(&X2::GetAutoHdrCaptureSetting),
             py::arg("opts") = default_opts, py::arg("roi") = zero_roi, release_gil())
        .def("GetAutoNoiseRemovalSetting", cam::auto_noise_removal<X2, O>(&X2::GetAutoNoiseRemovalSetting),
             release_gil())
        .def("LoadSettingFromFile", &X2::LoadSettingFromFile, release_gil())
        .def("SaveSettingToFile", &X2::SaveSettingToFile, release_gil())
        .def("CheckRoi", &X2::CheckRoi, release_gil())
        .def("AutoAdjustRoi", &X2::AutoAdjustRoi, release_gil())
        .def("GetRoiRange", cam::get_roi_range<X2>(), release_gil())
        .def("OpenProtectiveCover", &X2::OpenProtectiveCover, release_gil())
        .def("CloseProtectiveCover", &X2::CloseProtectiveCover, release_gil())
        .def("ResetProtectiveCover", &X2::ResetProtectiveCover, release_gil())
        .def("OpenProtectiveCoverAsync", &X2::OpenProtectiveCoverAsync, release_gil())
        .def("CloseProtectiveCoverAsync", &X2::CloseProtectiveCoverAsync, release_gil())
        .def("GetProtectiveCoverStatus", cam::get_cover_status<X2>(), release_gil());
}

}  // namespace pytuvo
