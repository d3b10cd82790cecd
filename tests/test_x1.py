"""The single-camera device X1: members, lifecycle, capture, queries and a believable scene."""
import threading
import time

import numpy as np
import pytest

import optics
import PyTUVO as T
import tuvo_sim

X1_MEMBERS = [
    "__init__", "Create", "Destroy", "Open", "IsOpen", "Close", "IsValid", "IsPhysicallyConnected", "Capture",
    "Capture2D", "SetBandwidth", "SetCustomTransformation", "GetCustomTransformation", "GetCameraResolution",
    "GetProjectorTemperature", "GetImage", "GetExposureTimeRange", "GetGainRange", "GetGammaRange",
    "GetCameraTemperature", "GetDepthMap", "GetPointMap", "GetConfidenceMap", "SaveEncodedImagesData",
    "SetBalanceRatio", "GetBalanceRatio", "GetBalanceRange", "AutoWhiteBalance", "GetExtrinsicMatrix",
    "GetIntrinsicParameters", "SaveCaptureOptionParameters", "LoadCaptureOptionParameters", "GetAutoCaptureSetting",
    "GetAutoHdrCaptureSetting", "GetAutoNoiseRemovalSetting", "LoadSettingFromFile", "SaveSettingToFile", "CheckRoi",
    "AutoAdjustRoi", "GetRoiRange", "OpenProtectiveCover", "CloseProtectiveCover", "ResetProtectiveCover",
    "OpenProtectiveCoverAsync", "CloseProtectiveCoverAsync", "GetProtectiveCoverStatus",
]


def test_member_order_and_overloads():
    names = [n for n in T.X1.__dict__ if n in X1_MEMBERS]
    assert names == X1_MEMBERS  # 46 names, 48 members with the two overloaded pairs
    assert T.X1.Capture.__doc__.count("Capture(*args, **kwargs)") == 1
    doc = T.X1.Capture2D.__doc__
    assert "1. Capture2D(self: PyTUVO.X1, opts: PyTUVO.X1_CaptureOptions = " in doc
    assert "2. Capture2D(self: PyTUVO.X1) -> bool" in doc
    assert "Create(device: PyTUVO.Device, camid: PyTUVO.CameraID = <CameraID.CameraID_0: 1>) -> PyTUVO.X1" in \
        T.X1.Create.__doc__


# ---- lifecycle ----

def test_create_defaults_and_keywords(usb_device):
    cam = T.X1.Create(usb_device)
    assert cam.IsValid() and tuvo_sim.last_args("X1.Create")["camid"] == 1
    other = T.X1.Create(device=usb_device, camid=T.CameraID_Extra)
    assert other.IsValid() and tuvo_sim.last_args("X1.Create")["camid"] == 4
    for c in (cam, other):
        T.X1.Destroy(c)


def test_create_failures(gige_device, usb_device):
    cam = T.X1.Create(gige_device, T.CameraID_Right)
    assert isinstance(cam, T.X1) and not cam.IsValid()
    assert T.GetLastErrorMessage() == "X1.Create: the device has no camera 2"
    assert not T.X1.Create(usb_device, T.CameraID_Both).IsValid()
    calls = tuvo_sim.calls("X1.Create")
    with pytest.raises(TypeError):
        T.X1.Create(None)
    with pytest.raises(TypeError):
        T.X1.Create(usb_device, 1)
    assert tuvo_sim.calls("X1.Create") == calls


def test_lifecycle(usb_device):
    cam = T.X1.Create(usb_device)
    assert not cam.IsOpen()
    assert not cam.Capture()
    assert T.GetLastErrorMessage() == "X1.Capture(): the camera is not open"
    assert cam.Open() and cam.IsOpen() and cam.IsPhysicallyConnected()
    assert cam.Close() is None and not cam.IsOpen()
    assert T.X1.Destroy(cam) is None
    assert not cam.IsValid() and not cam.Open()
    assert "invalid or destroyed camera" in T.GetLastErrorMessage()
    T.X1.Destroy(cam)  # harmless
    assert not T.X1().IsValid()


def test_dropping_the_object_neither_closes_nor_destroys(usb_device):
    cam = T.X1.Create(usb_device)
    assert cam.Open()
    del cam
    again = T.X1.Create(usb_device)
    assert not again.Open()
    assert T.GetLastErrorMessage() == "X1.Open: the left camera is already open by another handle"


def test_capture_overloads(x1):
    with pytest.raises(TypeError):
        x1.Capture(None)
    assert tuvo_sim.calls("X1.Capture") == 0
    assert x1.Capture()
    assert tuvo_sim.calls("X1.Capture()") == 1
    assert x1.Capture2D()
    assert tuvo_sim.calls("X1.Capture2D") == 1 and tuvo_sim.calls("X1.Capture2D()") == 0
    assert tuvo_sim.last_args("X1.Capture2D") == {"exposure_time_2d": 11}


def test_results_before_any_capture(x1):
    pm, img, depth = x1.GetPointMap(), x1.GetImage(), x1.GetDepthMap()
    assert isinstance(pm, T.PointMap) and not pm.IsValid()
    assert not img.IsValid() and not depth.IsValid() and not x1.GetConfidenceMap().IsValid()


@pytest.mark.smoke
def test_capture_results(captured):
    pm, img = captured.GetPointMap(), captured.GetImage()
    pts, pix = np.asarray(pm), np.asarray(img)
    assert pts.shape == (1024, 1280, 3) and pix.shape == (1024, 1280)
    valid = np.isfinite(pts[..., 2])
    assert 0.8 < valid.mean() < 1.0
    assert not pm.GetNormalDataPtr().IsValid()
    np.testing.assert_array_equal(np.asarray(captured.GetDepthMap())[valid], pts[..., 2][valid])
    # The script owns what it fetched: the same handle until the next capture.
    assert np.shares_memory(np.asarray(captured.GetPointMap()), pts)
    T.PointMap.Destroy(pm)
    T.Image.Destroy(img)


def test_capture_2d_gives_only_the_image(x1):
    assert x1.Capture2D(T.X1_CaptureOptions())
    assert x1.GetImage().IsValid() and not x1.GetPointMap().IsValid()


def test_capture_failures(x1, usb_device):
    o = T.X1_CaptureOptions()
    o.capture_mode = T.CaptureMode_LineArrayShift
    assert not x1.Capture(o) and "not supported by this device" in T.GetLastErrorMessage()
    o = T.X1_CaptureOptions()
    o.exposure_time_3d = 500
    assert not x1.Capture(o) and T.GetLastError() == tuvo_sim.ERROR_INVALID_ARGUMENT
    tuvo_sim.set("device.VS3-000101.connected", 0)
    assert not x1.IsPhysicallyConnected() and not x1.Capture()
    assert T.GetLastErrorMessage() == "X1.Capture(): the device is not connected"
    tuvo_sim.unset("device.VS3-000101.connected")
    tuvo_sim.fail("X1.Capture", -11, "X1.Capture: projector fault")
    assert x1.Capture(T.X1_CaptureOptions()) is False and T.GetLastErrorMessage() == "X1.Capture: projector fault"


def test_capture_releases_the_lock(x1):
    done = []
    with tuvo_sim.blocked("X1.Capture()"):
        worker = threading.Thread(target=lambda: done.append(x1.Capture()))
        worker.start()
        assert tuvo_sim.wait_entered("X1.Capture()") == 1
        assert tuvo_sim.inside("X1.Capture()") == 1  # this thread runs while the capture waits
    worker.join(30)
    assert done == [True]


# ---- the rendered scene ----

def intrinsics(cam):
    ok, k, d = cam.GetIntrinsicParameters()
    assert ok and len(k) == 9 and len(d) == 5
    return np.array(k).reshape(3, 3)


def test_points_project_onto_their_pixels(captured):
    k, d, _ = optics.calibration(captured)
    assert d[0] < 0 and 0.003 < np.abs(d[:2]).max() < 0.2  # a mild barrel distortion, reported
    pts = np.asarray(captured.GetPointMap())
    v, u = np.nonzero(np.isfinite(pts[..., 2]))
    proj = optics.project(k, d, pts[v, u])
    np.testing.assert_allclose(proj[:, 0], u, atol=0.02)
    np.testing.assert_allclose(proj[:, 1], v, atol=0.02)
    # Without the distortion the corners are pixels off.
    plain = optics.project(k, [0] * 5, pts[v, u])
    assert np.abs(plain - np.stack([u, v], 1)).max() > 2


def plane_residual(points):
    p = points[np.isfinite(points[:, 2])]
    centre = p.mean(axis=0)
    normal = np.linalg.svd(p - centre)[2][2]
    return (p - centre) @ normal


def test_table_is_flat_within_the_noise(x1):
    o = T.X1_CaptureOptions()
    assert x1.Capture(o)
    pts = np.asarray(x1.GetPointMap())
    patch = pts[980:1020, 20:200].reshape(-1, 3)  # bare table at the bottom left
    noisy = plane_residual(patch).std()
    assert 0.005 < noisy < 0.2
    o.scan_times = 4
    o.smoothness = T.SmoothnessLevel_Strong
    assert x1.Capture(o)
    smooth = plane_residual(np.asarray(x1.GetPointMap())[980:1020, 20:200].reshape(-1, 3)).std()
    assert smooth < noisy / 2


def test_noise_is_reproducible():
    def one_capture():
        T.SystemInit()
        cam = T.X1.Create(T.SystemFindDevice("VS3-000101"))
        cam.Open()
        cam.Capture()
        data = np.array(cam.GetPointMap())
        tuvo_sim.reset()
        return data
    a, b = one_capture(), one_capture()
    np.testing.assert_array_equal(a, b)
    tuvo_sim.set("noise.seed", 7)
    c = one_capture()
    assert not np.array_equal(np.nan_to_num(a), np.nan_to_num(c))


def test_normals(x1):
    o = T.X1_CaptureOptions()
    o.calc_normal = True
    x1.Capture(o)
    pm = x1.GetPointMap()
    n, p = np.asarray(pm.GetNormalDataPtr()), np.asarray(pm)
    valid = np.isfinite(p[..., 2])
    np.testing.assert_allclose(np.linalg.norm(n[valid], axis=1), 1.0, atol=1e-9)
    assert (np.einsum("ij,ij->i", n[valid], p[valid]) < 0).all()  # facing the camera


def brightness(cam, **fields):
    o = T.X1_CaptureOptions()
    for k, v in fields.items():
        setattr(o, k, v)
    assert cam.Capture2D(o)
    return np.asarray(cam.GetImage()).astype(float)


def test_exposure_gain_and_gamma_change_brightness(x1):
    base = brightness(x1)
    assert brightness(x1, exposure_time_2d=22).mean() > base.mean() * 1.3
    assert brightness(x1, gain_2d=6.0).mean() > base.mean() * 1.3
    assert brightness(x1, gamma_2d=2.0).mean() > base.mean() * 1.1
    saturated = brightness(x1, exposure_time_2d=60)
    assert (saturated == 255).mean() > 0.3 > (base == 255).mean()


def valid_count(cam, seed=None, **fields):
    if seed is not None:  # the same seed again gives the same noise
        tuvo_sim.set("noise.seed", seed)
    o = T.X1_CaptureOptions()
    for k, v in fields.items():
        setattr(o, k, v)
    assert cam.Capture(o), T.GetLastErrorMessage()
    return np.asarray(cam.GetPointMap())


def test_roi_truncation_and_confidence_limit_valid_points(x1):
    full = np.isfinite(valid_count(x1)[..., 2])
    pts = valid_count(x1, roi=T.ROI(64, 100, 320, 200))
    inside = np.isfinite(pts[..., 2])
    assert inside[100:300, 64:384].mean() > 0.8 and not inside[:100].any() and not inside[:, 384:].any()
    z = valid_count(x1, truncate_z_min=800.0, truncate_z_max=900.0)[..., 2]
    zz = z[np.isfinite(z)]
    assert zz.size > 1000 and zz.min() >= 800.0 and zz.max() <= 900.0
    strict = np.isfinite(valid_count(x1, confidence_threshold=0.9)[..., 2])
    assert strict.sum() < full.sum() * 0.95
    conf = np.asarray(x1.GetConfidenceMap())
    assert conf[strict].min() >= 0.9


@pytest.mark.parametrize("normals", [False, True])
def test_a_capture_reusing_an_untaken_map_leaves_nothing_behind(x1, normals):
    # A capture whose predecessor's point map was never taken reuses that memory unfilled; every
    # pixel outside the ROI must still read as nothing measured, not as the earlier points.
    full = T.X1_CaptureOptions()
    full.calc_normal = normals
    assert x1.Capture(full) and x1.Capture(full)
    o = T.X1_CaptureOptions()
    o.calc_normal = normals
    o.roi = T.ROI(64, 100, 320, 200)
    assert x1.Capture(o), T.GetLastErrorMessage()
    pm = x1.GetPointMap()
    maps = [np.asarray(pm)] + ([np.asarray(pm.GetNormalDataPtr())] if normals else [])
    for m in maps:
        outside = np.ones(m.shape[:2], bool)
        outside[100:300, 64:384] = False
        assert np.isnan(m[outside]).all() and np.isfinite(m[~outside]).mean() > 0.8


@pytest.mark.parametrize("kind", ["x1", "x2"])
def test_a_first_capture_with_an_roi_shows_nothing_outside_it(usb_device, kind):
    # A camera's first results are made unfilled and written whole by the measurement: outside the
    # ROI every map must read as nothing measured (NaN, confidence 0), not as fresh memory.
    cam = T.X2.Create(usb_device) if kind == "x2" else T.X1.Create(usb_device, T.CameraID_Left)
    assert cam.Open(), T.GetLastErrorMessage()
    o = T.X2_CaptureOptions() if kind == "x2" else T.X1_CaptureOptions()
    o.calc_normal = True
    o.roi = T.ROI(64, 100, 320, 200)
    assert cam.Capture(o), T.GetLastErrorMessage()
    pm = cam.GetPointMap()
    nothing = [np.asarray(pm), np.asarray(pm.GetNormalDataPtr()), np.asarray(cam.GetDepthMap())]
    if kind == "x2":
        nothing.append(np.asarray(cam.GetCorrespondMap()))
    outside = np.ones(nothing[0].shape[:2], bool)
    outside[100:300, 64:384] = False
    for m in nothing:
        assert np.isnan(m[outside]).all() and np.isfinite(m[~outside]).mean() > 0.5
    assert (np.asarray(cam.GetConfidenceMap())[outside] == 0).all()
    (T.X2 if kind == "x2" else T.X1).Destroy(cam)


def test_custom_transformation_moves_the_points(x1):
    ref = valid_count(x1, seed=5)
    t = T.X1_CustomTransformOptions()
    t.coordinate_select = T.X1CustomTransformCoordinate.CoordinateSelect_Camera
    m = np.eye(4)
    m[:3, :3] = [[0, -1, 0], [1, 0, 0], [0, 0, 1]]
    m[:3, 3] = [10, 20, -30]
    t.SetTransform(m)
    assert x1.SetCustomTransformation(t)
    ok, back = x1.GetCustomTransformation()
    assert ok and back.coordinate_select == T.X1CustomTransformCoordinate.CoordinateSelect_Camera
    moved = valid_count(x1, seed=5)
    valid = np.isfinite(ref[..., 2])
    np.testing.assert_array_equal(np.isfinite(moved[..., 2]), valid)
    expected = ref[valid] @ m[:3, :3].T + m[:3, 3]
    np.testing.assert_allclose(moved[valid], expected, atol=1e-6)


@pytest.mark.parametrize("array", [
    np.arange(16.0).reshape(4, 4),
    [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9, 10, 11], [12, 13, 14, 15]],
    np.arange(16, dtype=np.int32),
    np.ascontiguousarray(np.arange(16.0).reshape(4, 4).T).T,  # column-major memory, read row by row
    np.arange(32.0).reshape(4, 8)[:, ::2] / 2 * 2 - np.arange(32.0).reshape(4, 8)[:, ::2] + np.arange(16.0).reshape(4, 4),
])
def test_set_transform_reads_row_major_order(x1, array):
    t = T.X1_CustomTransformOptions()
    t.SetTransform(array)
    x1.SetCustomTransformation(t)
    args = tuvo_sim.last_args("X1.SetCustomTransformation")
    assert [args["t%d" % k] for k in range(16)] == [float(k) for k in range(16)]


def test_right_camera_in_device_frame(usb_device):
    right = T.X1.Create(usb_device, T.CameraID_Right)
    assert right.Open()
    ok, ext = right.GetExtrinsicMatrix()
    pose = np.array(ext).reshape(4, 4)
    assert ok and pose[0, 3] == pytest.approx(120, abs=1)
    o = T.X1_CaptureOptions()
    tuvo_sim.set("noise.seed", 3)
    assert right.Capture(o)
    cam_frame = np.array(right.GetPointMap())
    o.transform_to_camera = False
    tuvo_sim.set("noise.seed", 3)  # the same noise again: only the frame differs
    assert right.Capture(o)
    dev_frame = np.array(right.GetPointMap())
    valid = np.isfinite(cam_frame[..., 2])
    np.testing.assert_array_equal(np.isfinite(dev_frame[..., 2]), valid)
    expected = cam_frame[valid] @ pose[:3, :3].T + pose[:3, 3]
    np.testing.assert_allclose(dev_frame[valid], expected, atol=1e-3)  # the pose comes as float32
    T.X1.Destroy(right)


# ---- queries ----

def test_calibration_and_resolution(x1):
    ok, ext = x1.GetExtrinsicMatrix()
    assert ok and ext == [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
    ok, size = x1.GetCameraResolution()
    assert ok and (size.width, size.height) == (1280, 1024)
    k = intrinsics(x1)
    assert k[2, 2] == 1 and 1500 < k[0, 0] < 1700 and abs(k[0, 2] - 640) < 10


def test_out_storage_after_failed_calls(x1):
    for op in ["X1.GetExtrinsicMatrix", "X1.GetIntrinsicParameters", "X1.GetCameraResolution",
               "X1.GetProtectiveCoverStatus", "X1.GetGainRange", "X1.GetCameraTemperature"]:
        tuvo_sim.fail(op, -11, "down")
    assert x1.GetExtrinsicMatrix() == (False, [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0])
    assert x1.GetIntrinsicParameters() == (False, [0.0] * 9, [0.0] * 5)
    ok, size = x1.GetCameraResolution()
    assert not ok and (size.width, size.height) == (0, 0)
    ok, status = x1.GetProtectiveCoverStatus()
    assert not ok and status == T.ProtectiveCoverStatus.ProtectiveCoverStatus_Unknown
    assert x1.GetGainRange() == (False, 0.0, 0.0)
    assert x1.GetCameraTemperature(T.CameraTempSelector_Sensor) == (False, 0.0)


def test_ranges_and_temperatures(x1):
    assert x1.GetExposureTimeRange() == (True, 3, 100)
    assert x1.GetGainRange() == (True, 0.0, 20.0)
    assert x1.GetGammaRange() == (True, 0.5, 3.0)
    ok, first = x1.GetProjectorTemperature()
    assert ok and 20 < first < 80
    temps = [x1.GetCameraTemperature(getattr(T, s))[1] for s in (
        "CameraTempSelector_Camera", "CameraTempSelector_CoreBoard", "CameraTempSelector_FpgaCore",
        "CameraTempSelector_Framegrabberboard", "CameraTempSelector_Sensor", "CameraTempSelector_SensorBoard")]
    assert all(20 < t < 80 for t in temps) and len(set(temps)) == 6
    assert abs(x1.GetProjectorTemperature()[1] - first) < 0.5
    assert not x1.GetCameraTemperature(T.CameraTempSelector(9))[0]


def test_white_balance(usb_device, x1):
    assert not x1.SetBalanceRatio(T.BalanceSelector_Red, 1.5)
    assert T.GetLastErrorMessage() == "X1.SetBalanceRatio: the left camera is monochrome"
    colour = T.X1.Create(usb_device, T.CameraID_Extra)
    assert colour.Open()
    assert colour.GetBalanceRange(T.BalanceSelector_Blue) == (True, 0.5, 4.0)
    assert colour.SetBalanceRatio(T.BalanceSelector_Red, 1.5)
    assert colour.GetBalanceRatio(T.BalanceSelector_Red) == (True, 1.5)
    assert not colour.SetBalanceRatio(T.BalanceSelector_Red, 9.0)
    assert not colour.SetBalanceRatio(T.BalanceSelector_None, 1.0)
    assert colour.AutoWhiteBalance(2, T.X1_CaptureOptions(), T.ROI())
    assert tuvo_sim.last_args("X1.AutoWhiteBalance") == {"iterations": 2}
    assert colour.Capture2D()
    rgb = np.asarray(colour.GetImage()).reshape(-1, 3).astype(float)
    rgb = rgb[(rgb < 250).all(axis=1)]
    means = rgb.mean(axis=0)
    assert abs(means[0] / means[1] - 1) < 0.03 and abs(means[2] / means[1] - 1) < 0.03
    assert not colour.AutoWhiteBalance(0, T.X1_CaptureOptions(), T.ROI())
    T.X1.Destroy(colour)


def test_stored_capture_options(x1, usb_device):
    assert not x1.LoadCaptureOptionParameters()[0]
    assert T.GetLastErrorMessage() == "X1.LoadCaptureOptionParameters: no capture options have been saved for this camera"
    o = T.X1_CaptureOptions()
    o.exposure_time_3d = 33
    o.gain_2d = 1.25
    o.roi = T.ROI(16, 2, 640, 480)
    o.SetHDRExposureTimeContent(2, 77)
    o.capture_mode = T.CaptureMode_Robust
    assert x1.SaveCaptureOptionParameters(o)
    ok, back = x1.LoadCaptureOptionParameters()
    assert ok and back is not o
    assert (back.exposure_time_3d, back.gain_2d, back.GetHDRExposureTimeContent(2)) == (33, 1.25, 77)
    assert (back.roi.x, back.roi.width, back.capture_mode) == (16, 640, T.CaptureMode_Robust)
    assert x1.Capture()  # the stored options apply to the capture without options
    assert np.isfinite(np.asarray(x1.GetPointMap())[..., 2])[:2].sum() == 0


def test_auto_settings_work_on_copies(x1):
    o = T.X1_CaptureOptions()
    o.exposure_time_3d = 90
    ok, tuned = x1.GetAutoCaptureSetting(o)
    assert ok and tuned is not o and o.exposure_time_3d == 90
    assert 3 <= tuned.exposure_time_3d < 90
    ok, again = x1.GetAutoCaptureSetting()
    assert ok and again.exposure_time_3d == tuned.exposure_time_3d
    ok, hdr = x1.GetAutoHdrCaptureSetting(roi=T.ROI(0, 0, 640, 512))
    steps = [hdr.GetHDRExposureTimeContent(i) for i in range(3)]
    assert hdr.hdr_exposure_times == 3 and steps == sorted(steps)
    ok, nr = x1.GetAutoNoiseRemovalSetting(o)
    assert ok and nr.noise_removal_distance > 0 and o.noise_removal_distance == 0.0
    assert x1.Capture(tuned) and np.isfinite(np.asarray(x1.GetPointMap())[..., 2]).mean() > 0.8
    assert not x1.GetAutoCaptureSetting(roi=T.ROI(1, 1, 10, 10))[0]


def test_settings_file_round_trip(x1, usb_device, tmp_path):
    colour = T.X1.Create(usb_device, T.CameraID_Extra)
    colour.Open()
    colour.SetBalanceRatio(T.BalanceSelector_Blue, 2.5)
    colour.SetBandwidth(0.5)
    path = str(tmp_path / "settings.txt")
    assert colour.SaveSettingToFile(path)
    text = open(path).read()
    assert "[camera]" in text and "bandwidth = 0.5" in text
    colour.SetBalanceRatio(T.BalanceSelector_Blue, 1.0)
    assert colour.LoadSettingFromFile(path)
    assert colour.GetBalanceRatio(T.BalanceSelector_Blue) == (True, 2.5)
    bad = tmp_path / "bad.txt"
    bad.write_text("[camera]\nbalance = 1, 2\n")
    assert not colour.LoadSettingFromFile(str(bad))
    assert "line 2" in T.GetLastErrorMessage()
    assert not colour.LoadSettingFromFile(str(tmp_path / "missing.txt"))
    assert colour.GetBalanceRatio(T.BalanceSelector_Blue) == (True, 2.5)
    T.X1.Destroy(colour)


@pytest.mark.parametrize("text, blue", [
    ("2.5", 2.5), (" +2.5 ", 2.5), ("25e-1", 2.5), ("0x1.4p1", 2.5), ("0X1.4P+1", 2.5), ("3.", 3.0),
    ("2,5", None), ("2.5x", None), ("+-2.5", None), ("--2.5", None), ("0x", None), ("1e999", None), ("nan", None),
    ("", None)])
def test_settings_file_numbers(usb_device, tmp_path, text, blue):
    colour = T.X1.Create(usb_device, T.CameraID_Extra)
    assert colour.Open()
    before = colour.GetBalanceRatio(T.BalanceSelector_Blue)
    path = tmp_path / "settings.txt"
    path.write_text("[camera]\nbalance = 1, 1, %s\n" % text)
    assert colour.LoadSettingFromFile(str(path)) == (blue is not None)
    assert colour.GetBalanceRatio(T.BalanceSelector_Blue) == (before if blue is None else (True, blue))
    T.X1.Destroy(colour)


@pytest.mark.parametrize("text, loads", [("1e-300", False), ("1e-40", True), ("1", True), ("1.0000001", False)])
def test_a_saved_bandwidth_loads_back(x1, tmp_path, text, loads):
    # A bandwidth that is 0 as a float is refused, so what the camera saves always loads back.
    path, saved = tmp_path / "in.txt", str(tmp_path / "out.txt")
    path.write_text("[camera]\nbandwidth = %s\n" % text)
    assert x1.LoadSettingFromFile(str(path)) == loads
    assert x1.SaveSettingToFile(saved) and x1.LoadSettingFromFile(saved), T.GetLastErrorMessage()


@pytest.mark.parametrize("end", ["\n", "\r\n"])
def test_settings_file_lines_end_either_way(x1, tmp_path, end):
    path, saved = tmp_path / "in.txt", tmp_path / "out.txt"
    path.write_bytes(end.join(["# written elsewhere", " [camera]", "bandwidth\t= 0.5 ", ""]).encode())
    assert x1.LoadSettingFromFile(str(path)), T.GetLastErrorMessage()
    assert x1.SaveSettingToFile(str(saved)) and "bandwidth = 0.5\n" in saved.read_text()


def test_roi_queries(x1):
    ok, r = x1.GetRoiRange()
    assert ok and (r.x_step, r.y_step, r.width_step, r.height_step) == (16, 2, 16, 2)
    assert (r.width_min, r.height_min, r.width_max, r.height_max) == (64, 64, 1280, 1024)
    assert x1.CheckRoi(T.ROI(16, 2, 640, 480)) and x1.CheckRoi(T.ROI())
    assert not x1.CheckRoi(T.ROI(15, 2, 640, 480)) and not x1.CheckRoi(T.ROI(1280 - 48, 0, 64, 64))
    given = T.ROI(21, 3, 100, 61)
    fixed = x1.AutoAdjustRoi(given)
    assert fixed is not given and (given.x, given.width) == (21, 100)
    assert (fixed.x, fixed.y, fixed.width, fixed.height) == (16, 2, 112, 64) and x1.CheckRoi(fixed)
    huge = x1.AutoAdjustRoi(T.ROI(-50, -50, 99999, 99999))
    assert (huge.x, huge.y, huge.width, huge.height) == (0, 0, 1280, 1024)


def test_protective_cover(x1):
    def status():
        ok, s = x1.GetProtectiveCoverStatus()
        assert ok
        return s
    S = T.ProtectiveCoverStatus
    tuvo_sim.set("cover.travel_ms", 300)
    assert status() == S.ProtectiveCoverStatus_Open
    assert x1.CloseProtectiveCoverAsync()
    assert status() == S.ProtectiveCoverStatus_Closing
    assert not x1.Capture() and "protective cover is not open" in T.GetLastErrorMessage()
    time.sleep(0.35)
    assert status() == S.ProtectiveCoverStatus_Closed
    assert x1.OpenProtectiveCoverAsync() and status() == S.ProtectiveCoverStatus_Opening
    time.sleep(0.35)
    assert status() == S.ProtectiveCoverStatus_Open
    start = time.perf_counter()
    assert x1.CloseProtectiveCover() and status() == S.ProtectiveCoverStatus_Closed
    assert time.perf_counter() - start >= 0.28
    assert x1.ResetProtectiveCover() and status() == S.ProtectiveCoverStatus_Closed
    assert x1.OpenProtectiveCover() and x1.Capture()


@pytest.mark.smoke
def test_device_without_cover(gige_device):
    cam = T.X1.Create(gige_device)
    assert cam.Open()
    assert not cam.OpenProtectiveCover() and "no protective cover" in T.GetLastErrorMessage()
    assert cam.GetProtectiveCoverStatus()[0] is False
    assert cam.Capture() and np.asarray(cam.GetImage()).shape == (1200, 1600, 3)
    T.X1.Destroy(cam)


def test_encoded_images(x1, tmp_path):
    path = str(tmp_path / "enc.png")
    assert not x1.SaveEncodedImagesData(path) and "no 3-D capture" in T.GetLastErrorMessage()
    assert x1.Capture() and x1.SaveEncodedImagesData(path)
    assert tuvo_sim.last_args("X1.SaveEncodedImagesData") == {"filename": path}


def test_bandwidth(x1):
    assert x1.SetBandwidth(0.25) and not x1.SetBandwidth(0.0) and not x1.SetBandwidth(1.5)
