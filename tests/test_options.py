"""Capture-option and custom-transform records of X1 and X2."""
import math

import numpy as np
import pytest

import PyTUVO as T

X1_DEFAULTS = {
    "calc_normal": False, "calc_normal_radius": 5, "light_contrast_threshold": 3, "transform_to_camera": True,
    "filter_range": 0, "use_auto_noise_removal": True, "noise_removal_distance": 0.0, "noise_removal_point_number": 40,
    "phase_filter_range": 0, "projector_brightness": 240, "exposure_time_2d": 11, "exposure_time_3d": 11,
    "gain_2d": 0.0, "gain_3d": 0.0, "gamma_2d": 1.0, "gamma_3d": 1.0, "hdr_exposure_times": 0,
    "use_projector_capturing_2d_image": True, "downsample_distance": 0.0, "scan_times": 1, "truncate_z_min": -9999.0,
    "truncate_z_max": 9999.0, "use_auto_bilateral_filter": True, "bilateral_filter_kernal_size": 0,
    "bilateral_filter_depth_sigma": 0.0, "bilateral_filter_space_sigma": 0.0, "reflection_filter_threshold": 0,
    "smooth_sigma": 1.75, "enable_2d_in_capture": True, "confidence_threshold": 0.0,
}
X2_DEFAULTS = {
    "projector_brightness": 240, "calc_normal": False, "calc_normal_radius": 5, "light_contrast_threshold": 3,
    "edge_noise_reduction_threshold": 2, "use_auto_noise_removal": True, "noise_removal_distance": 0.0,
    "noise_removal_point_number": 40, "exposure_time_2d": 11, "exposure_time_3d": 11, "gain_2d": 0.0, "gain_3d": 0.0,
    "hdr_exposure_times": 0, "use_projector_capturing_2d_image": True, "correspond2d": False,
    "downsample_distance": 0.0, "scan_times": 1, "use_auto_bilateral_filter": True, "bilateral_filter_kernal_size": 0,
    "bilateral_filter_depth_sigma": 0.0, "bilateral_filter_space_sigma": 0.0, "line_scanner_scan_time_ms": 1000,
    "line_scanner_exposure_time_us": 300, "line_scanner_min_distance": 0, "line_scanner_max_distance": 0,
    "line_scanner_laser_position": 32768, "line_scanner_brightness_threshold": 5, "reflection_filter_threshold": 0,
    "smooth_sigma": 1.75, "enable_2d_in_capture": True, "pointcloud_completion": False, "gamma_2d": 1.0,
    "gamma_3d": 1.0, "confidence_threshold": 0.0,
}


def members(cls):
    return [n for n in cls.__dict__ if not n.startswith("_")]


def test_x1_registration_order():
    assert members(T.X1_CaptureOptions) == [
        "calc_normal", "calc_normal_radius", "light_contrast_threshold", "transform_to_camera", "filter_range",
        "use_auto_noise_removal", "noise_removal_distance", "noise_removal_point_number", "phase_filter_range",
        "projector_brightness", "exposure_time_2d", "exposure_time_3d", "gain_2d", "gain_3d", "gamma_2d", "gamma_3d",
        "hdr_exposure_times", "use_projector_capturing_2d_image", "smoothness", "downsample_distance", "scan_times",
        "truncate_z_min", "truncate_z_max", "use_auto_bilateral_filter", "bilateral_filter_kernal_size",
        "bilateral_filter_depth_sigma", "bilateral_filter_space_sigma", "reflection_filter_threshold", "smooth_sigma",
        "enable_2d_in_capture", "GetHDRExposureTimeContent", "SetHDRExposureTimeContent", "GetHDRGainContent",
        "SetHDRGainContent", "GetHDRScanTimesContent", "SetHDRScanTimesContent", "GetHDRProjectorBrightnessContent",
        "SetHDRProjectorBrightnessContent", "capture_mode", "confidence_threshold", "roi"]


def test_x2_registration_order():
    names = members(T.X2_CaptureOptions)
    assert names[:4] == ["transform_to_camera", "projector_brightness", "calc_normal", "calc_normal_radius"]
    assert names[34:42] == ["GetHDRExposureTimeContent", "SetHDRExposureTimeContent", "GetHDRGainContent",
                            "SetHDRGainContent", "GetHDRProjectorBrightnessContent", "SetHDRProjectorBrightnessContent",
                            "SetHDRScanTimesContent", "GetHDRScanTimesContent"]
    assert names[42:] == ["gamma_2d", "gamma_3d", "projector_color", "capture_mode", "confidence_threshold"]
    assert len(names) == 47


@pytest.mark.parametrize("cls, defaults", [(T.X1_CaptureOptions, X1_DEFAULTS), (T.X2_CaptureOptions, X2_DEFAULTS)])
def test_defaults(cls, defaults):
    o = cls()
    assert {k: getattr(o, k) for k in defaults} == defaults
    assert o.capture_mode == T.CaptureMode_Normal and o.smoothness == T.SmoothnessLevel_Off
    assert (o.roi.x, o.roi.y, o.roi.width, o.roi.height) == (0, 0, 0, 0)


def test_x2_only_defaults_and_missing_fields():
    o = T.X2_CaptureOptions()
    assert o.transform_to_camera == T.CameraID_Left and type(o.transform_to_camera) is T.CameraID
    assert o.projector_color == T.ProjectorColor_Blue
    for name in ["filter_range", "phase_filter_range", "truncate_z_min", "truncate_z_max"]:
        assert not hasattr(o, name)


@pytest.mark.parametrize("cls, scan_range", [(T.X1_CaptureOptions, (2, 4)), (T.X2_CaptureOptions, (1, 8))])
def test_hdr_accessors(cls, scan_range):
    o = cls()
    assert [o.GetHDRExposureTimeContent(i) for i in (0, 1, 2, 3, -1)] == [11, 20, 50, -1, -1]
    assert o.GetHDRGainContent(5) == -1.0 and o.GetHDRGainContent(0) == 0.0
    assert [o.GetHDRScanTimesContent(i) for i in (0, 3)] == [1, -1]
    assert [o.GetHDRProjectorBrightnessContent(i) for i in (0, 1, 2)] == [240, 240, 240]
    assert [o.SetHDRExposureTimeContent(1, v) for v in (3, 100, 2, 101)] == [True, True, False, False]
    assert [o.SetHDRProjectorBrightnessContent(2, v) for v in (240, 0, 241)] == [True, False, False]
    assert o.SetHDRProjectorBrightnessContent(3, 100) is False
    assert [o.SetHDRGainContent(0, v) for v in (20.0, 0.0, 20.5, -0.5, math.nan)] == [True, True, False, False, False]
    lo, hi = scan_range
    assert [o.SetHDRScanTimesContent(0, v) for v in (lo - 1, lo, hi, hi + 1)] == [False, True, True, False]
    assert o.GetHDRScanTimesContent(0) == hi
    assert o.SetHDRExposureTimeContent(-1, 50) is False and o.GetHDRExposureTimeContent(1) == 100
    with pytest.raises(TypeError):
        o.SetHDRExposureTimeContent(index=0, value=5)


def test_x1_scan_times_one_is_refused_even_though_it_is_the_default():
    assert T.X1_CaptureOptions().SetHDRScanTimesContent(0, 1) is False


def test_field_widths():
    o = T.X1_CaptureOptions()
    o.gain_2d = 0.1
    assert o.gain_2d == 0.10000000149011612
    o.calc_normal_radius = 4294967295
    assert o.calc_normal_radius == 4294967295
    for bad in (-1, 4294967296, 5.0):
        with pytest.raises(TypeError):
            o.calc_normal_radius = bad
    assert o.calc_normal_radius == 4294967295
    with pytest.raises(TypeError):
        o.exposure_time_3d = 2 ** 31
    x2 = T.X2_CaptureOptions()
    x2.line_scanner_laser_position = 65535
    assert x2.line_scanner_laser_position == 65535
    for bad in (65536, -1):
        with pytest.raises(TypeError):
            x2.line_scanner_laser_position = bad


def test_record_and_enum_fields_refer_into_the_record():
    o = T.X1_CaptureOptions()
    roi = o.roi
    roi.width = 100
    assert o.roi.width == 100
    del o
    assert roi.width == 100  # the view keeps its record alive
    o = T.X1_CaptureOptions()
    for field in ("roi", "smoothness", "capture_mode"):
        with pytest.raises(TypeError):
            setattr(o, field, None)
    o.capture_mode = T.CaptureMode_Ultra
    assert o.capture_mode == T.CaptureMode_Ultra
    with pytest.raises(TypeError):
        o.capture_mode = 4


@pytest.mark.parametrize("cls, coord", [(T.X1_CustomTransformOptions, T.X1CustomTransformCoordinate),
                                        (T.X2_CustomTransformOptions, T.X2CustomTransformCoordinate)])
def test_custom_transform_record(cls, coord):
    t = cls()
    assert t.coordinate_select == coord.CoordinateSelect_Disabled and type(t.coordinate_select) is coord
    assert not hasattr(t, "transform")
    assert t.SetTransform(np.arange(16.0).reshape(4, 4)) is None
    with pytest.raises(TypeError):
        t.coordinate_select = None
    with pytest.raises(TypeError):
        t.SetTransform("not numbers")


@pytest.mark.parametrize("bad", [np.zeros(15), [[1, 2, 3]], np.zeros((3, 3))])
def test_set_transform_refuses_fewer_than_16_values(bad):
    with pytest.raises(ValueError, match="expected 16 values"):
        T.X1_CustomTransformOptions().SetTransform(bad)
