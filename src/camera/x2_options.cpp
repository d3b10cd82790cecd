// X2_CaptureOptions and X2_CustomTransformOptions.
#include "camera/camera_common.h"

namespace pytuvo {

void bind_X2_CaptureOptions(py::module_& m) {
    using O = TUVO::X2::CaptureOptions;
    py::class_<O> c(m, "X2_CaptureOptions");
    c.def(py::init([]() { return default_options<O>(); }), release_gil())
        .def_readwrite("transform_to_camera", &O::transform_to_camera)
        .def_readwrite("projector_brightness", &O::projector_brightness)
        .def_readwrite("calc_normal", &O::calc_normal)
        .def_readwrite("calc_normal_radius", &O::calc_normal_radius)
        .def_readwrite("light_contrast_threshold", &O::light_contrast_threshold)
        .def_readwrite("edge_noise_reduction_threshold", &O::edge_noise_reduction_threshold)
        .def_readwrite("use_auto_noise_removal", &O::use_auto_noise_removal)
        .def_readwrite("noise_removal_distance", &O::noise_removal_distance)
        .def_readwrite("noise_removal_point_number", &O::noise_removal_point_number)
        .def_readwrite("exposure_time_2d", &O::exposure_time_2d)
        .def_readwrite("exposure_time_3d", &O::exposure_time_3d)
        .def_readwrite("gain_2d", &O::gain_2d)
        .def_readwrite("gain_3d", &O::gain_3d)
        .def_readwrite("hdr_exposure_times", &O::hdr_exposure_times)
        .def_readwrite("use_projector_capturing_2d_image", &O::use_projector_capturing_2d_image)
        .def_readwrite("correspond2d", &O::correspond2d)
        .def_readwrite("smoothness", &O::smoothness)
        .def_readwrite("downsample_distance", &O::downsample_distance)
        .def_readwrite("scan_times", &O::scan_times)
        .def_readwrite("use_auto_bilateral_filter", &O::use_auto_bilateral_filter)
        .def_readwrite("bilateral_filter_kernal_size", &O::bilateral_filter_kernal_size)
        .def_readwrite("bilateral_filter_depth_sigma", &O::bilateral_filter_depth_sigma)
        .def_readwrite("bilateral_filter_space_sigma", &O::bilateral_filter_space_sigma)
        .def_readwrite("line_scanner_scan_time_ms", &O::line_scanner_scan_time_ms)
        .def_readwrite("line_scanner_exposure_time_us", &O::line_scanner_exposure_time_us)
        .def_readwrite("line_scanner_min_distance", &O::line_scanner_min_distance)
        .def_readwrite("line_scanner_max_distance", &O::line_scanner_max_distance)
        .def_readwrite("line_scanner_laser_position", &O::line_scanner_laser_position)
        .def_readwrite("line_scanner_brightness_threshold", &O::line_scanner_brightness_threshold)
        .def_readwrite("reflection_filter_threshold", &O::reflection_filter_threshold)
        .def_readwrite("smooth_sigma", &O::smooth_sigma)
        .def_readwrite("roi", &O::roi)
        .def_readwrite("enable_2d_in_capture", &O::enable_2d_in_capture)
        .def_readwrite("pointcloud_completion", &O::pointcloud_completion);
    def_hdr_get(c, "GetHDRExposureTimeContent", &O::hdr_exposure_time_content, -1);
    def_hdr_set(c, "SetHDRExposureTimeContent", &O::hdr_exposure_time_content, 3, 100);
    def_hdr_get(c, "GetHDRGainContent", &O::hdr_gain_content, -1.0f);
    def_hdr_set(c, "SetHDRGainContent", &O::hdr_gain_content, 0.0f, 20.0f);
    def_hdr_get(c, "GetHDRProjectorBrightnessContent", &O::hdr_projector_brightness_content, -1);
    def_hdr_set(c, "SetHDRProjectorBrightnessContent", &O::hdr_projector_brightness_content, 1, 240);
    // The scan-times accessors of this record keep the interpreter lock.
    c.def("SetHDRScanTimesContent", [](O& o, int index, int value) {
        return hdr_set(o.hdr_scan_times_content, index, value, 1, 8);
    });
    c.def("GetHDRScanTimesContent", [](const O& o, int index) { return hdr_get(o.hdr_scan_times_content, index, -1); });
    c.def_readwrite("gamma_2d", &O::gamma_2d)
        .def_readwrite("gamma_3d", &O::gamma_3d)
        .def_readwrite("projector_color", &O::projector_color)
        .def_readwrite("capture_mode", &O::capture_mode)
        .def_readwrite("confidence_threshold", &O::confidence_threshold);
}

void bind_X2_CustomTransformOptions(py::module_& m) {
    bind_custom_transform<TUVO::X2::CustomTransformOptions>(m, "X2_CustomTransformOptions");
}

}  // namespace pytuvo
