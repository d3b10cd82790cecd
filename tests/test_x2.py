"""The two-camera device X2: stereo capture, correspondences and the fixed line scan."""
import threading
import time

import numpy as np
import pytest

import optics
import PyTUVO as T
import tuvo_sim

X2_MEMBERS = [
    "__init__", "Create", "Destroy", "Open", "IsOpen", "Close", "IsValid", "IsPhysicallyConnected", "Capture",
    "StartFixedLineScan", "GetFixedLineScanPointMap", "StopFixedLineScan", "Capture2D", "SetBandwidth",
    "SetCustomTransformation", "GetCustomTransformation", "GetCameraResolution", "GetProjectorTemperature",
    "GetImage", "GetPointMap", "GetConfidenceMap", "GetCorrespondMap", "SaveEncodedImagesData", "GetDepthMap",
    "AutoWhiteBalance", "GetExtrinsicMatrix", "GetIntrinsicParameters", "GetExposureTimeRange", "GetGainRange",
    "GetGammaRange", "GetCameraTemperature", "SaveCaptureOptionParameters", "LoadCaptureOptionParameters",
    "GetAutoCaptureSetting", "GetAutoHdrCaptureSetting", "GetAutoNoiseRemovalSetting", "LoadSettingFromFile",
    "SaveSettingToFile", "CheckRoi", "AutoAdjustRoi", "GetRoiRange", "OpenProtectiveCover", "CloseProtectiveCover",
    "ResetProtectiveCover", "OpenProtectiveCoverAsync", "CloseProtectiveCoverAsync", "GetProtectiveCoverStatus",
]


@pytest.fixture
def stereo(x2):
    o = T.X2_CaptureOptions()
    assert x2.Capture(o), T.GetLastErrorMessage()
    return x2


def test_member_order_and_signatures(x2):
    assert [n for n in T.X2.__dict__ if n in X2_MEMBERS] == X2_MEMBERS
    for name in ("SetBalanceRatio", "GetBalanceRatio", "GetBalanceRange"):
        with pytest.raises(AttributeError):
            getattr(x2, name)
    doc = T.X2.Capture2D.__doc__
    assert "1. Capture2D(self: PyTUVO.X2, cid: PyTUVO.CameraID, opts: PyTUVO.X2_CaptureOptions = " in doc
    assert "2. Capture2D(self: PyTUVO.X2, cid: PyTUVO.CameraID) -> bool" in doc


def test_argument_rules(usb_device, x2):
    with pytest.raises(TypeError):
        T.X2.Create(usb_device, T.CameraID_Left)
    assert T.X2.Create(device=usb_device).IsValid()
    with pytest.raises(TypeError):
        x2.GetImage()
    with pytest.raises(TypeError):
        x2.GetExtrinsicMatrix()
    with pytest.raises(TypeError):
        x2.GetCameraTemperature(T.CameraTempSelector_Sensor, T.CameraID_Left)
    with pytest.raises(TypeError):
        x2.GetFixedLineScanPointMap(None)
    assert x2.Capture2D(cid=T.CameraID_Left)
    assert tuvo_sim.calls("X2.Capture2D") == 1 and tuvo_sim.calls("X2.Capture2D(cid)") == 0


def test_x2_needs_a_stereo_device(gige_device):
    cam = T.X2.Create(gige_device)
    assert not cam.IsValid() and T.GetLastErrorMessage() == "X2.Create: the device cannot be used as X2"


def test_x2_and_x1_share_the_device(usb_device, x2):
    left = T.X1.Create(usb_device, T.CameraID_Left)
    assert not left.Open() and "already open" in T.GetLastErrorMessage()
    x2.Close()
    assert left.Open()
    T.X1.Destroy(left)


def test_per_camera_calibration(x2):
    ok, left = x2.GetExtrinsicMatrix(T.CameraID_Left)
    assert ok and np.allclose(np.array(left).reshape(4, 4), np.eye(4))
    ok, right = x2.GetExtrinsicMatrix(T.CameraID_Right)
    pose = np.array(right).reshape(4, 4)
    assert ok and pose[0, 3] == pytest.approx(120, abs=1)
    np.testing.assert_allclose(pose[:3, :3] @ pose[:3, :3].T, np.eye(3), atol=1e-6)
    assert x2.GetIntrinsicParameters(T.CameraID_Extra)[0]
    tuvo_sim.fail("X2.GetExtrinsicMatrix", -11, "down")
    assert x2.GetExtrinsicMatrix(T.CameraID_Left) == (False, [0.0] * 16)
    tuvo_sim.fail("X2.GetIntrinsicParameters", -11, "down")
    assert x2.GetIntrinsicParameters(T.CameraID_Right) == (False, [0.0] * 9, [0.0] * 5)
    tuvo_sim.clear("X2.GetExtrinsicMatrix")
    assert not x2.GetExtrinsicMatrix(T.CameraID_Both)[0]
    assert "no camera 3" in T.GetLastErrorMessage()


def project(cam, cid, points):
    return optics.project_device(cam, points, cid)


@pytest.mark.smoke
def test_stereo_consistency(stereo):
    pts = np.asarray(stereo.GetPointMap())
    corr = np.asarray(stereo.GetCorrespondMap())
    assert corr.shape == (1024, 1280, 2) and corr.strides == (20480, 16, 8)
    v, u = np.nonzero(np.isfinite(pts[..., 2]))
    p = pts[v, u]
    np.testing.assert_allclose(project(stereo, T.CameraID_Left, p), np.stack([u, v], 1), atol=0.05)
    right = project(stereo, T.CameraID_Right, p)
    assert np.abs(right - corr[v, u]).max() < 1.0
    # Every valid point has a correspondence, and the images of both cameras exist.
    assert np.isfinite(corr[v, u]).all()
    assert stereo.GetImage(T.CameraID_Left).IsValid() and stereo.GetImage(T.CameraID_Right).IsValid()
    assert np.asarray(stereo.GetDepthMap()).shape == (1024, 1280)
    assert stereo.GetConfidenceMap().IsValid()


def test_completion_and_2d_correspondence(x2):
    o = T.X2_CaptureOptions()
    x2.Capture(o)
    base_pts = np.isfinite(np.asarray(x2.GetPointMap())[..., 2]).sum()
    base_corr = np.isfinite(np.asarray(x2.GetCorrespondMap())[..., 0]).sum()
    o.pointcloud_completion = True
    x2.Capture(o)
    assert np.isfinite(np.asarray(x2.GetPointMap())[..., 2]).sum() > base_pts
    o.pointcloud_completion = False
    o.correspond2d = True
    x2.Capture(o)
    assert np.isfinite(np.asarray(x2.GetCorrespondMap())[..., 0]).sum() > base_corr


def test_points_in_the_right_camera_frame(x2):
    o = T.X2_CaptureOptions()
    tuvo_sim.set("noise.seed", 4)
    x2.Capture(o)
    left = np.array(x2.GetPointMap())
    o.transform_to_camera = T.CameraID_Right
    tuvo_sim.set("noise.seed", 4)  # the same noise again: only the frame differs
    x2.Capture(o)
    right = np.array(x2.GetPointMap())
    pose = np.array(x2.GetExtrinsicMatrix(T.CameraID_Right)[1]).reshape(4, 4)
    valid = np.isfinite(left[..., 2])
    np.testing.assert_array_equal(np.isfinite(right[..., 2]), valid)
    expected = (left[valid] - pose[:3, 3]) @ pose[:3, :3]
    np.testing.assert_allclose(right[valid], expected, atol=1e-3)  # the pose comes as float32
    o.transform_to_camera = T.CameraID_3
    assert not x2.Capture(o)


def test_per_camera_2d_images(x2):
    assert not x2.GetImage(T.CameraID_Extra).IsValid()
    assert x2.Capture2D(T.CameraID_Extra)
    img = x2.GetImage(T.CameraID_Extra)
    assert img.GetType() == T.RGB8 and np.asarray(img).shape == (1024, 1280, 3)
    assert not x2.Capture2D(T.CameraID_NONE)
    assert isinstance(x2.GetImage(T.CameraID_Both), T.Image) and not x2.GetImage(T.CameraID_Both).IsValid()


def test_temperatures_and_white_balance(x2):
    ok, left = x2.GetCameraTemperature(T.CameraID_Left, T.CameraTempSelector_Sensor)
    ok2, right = x2.GetCameraTemperature(T.CameraID_Right, T.CameraTempSelector_Sensor)
    assert ok and ok2 and 20 < left < right < 80
    assert x2.AutoWhiteBalance(1, T.X2_CaptureOptions(), T.ROI())


def test_stored_options(x2):
    o = T.X2_CaptureOptions()
    o.line_scanner_laser_position = 1234
    o.projector_color = T.ProjectorColor_White
    o.SetHDRScanTimesContent(2, 8)
    assert x2.SaveCaptureOptionParameters(o)
    ok, back = x2.LoadCaptureOptionParameters()
    assert ok and back.line_scanner_laser_position == 1234 and back.projector_color == T.ProjectorColor_White
    assert back.GetHDRScanTimesContent(2) == 8
    ok, auto = x2.GetAutoCaptureSetting(opts=o)
    assert ok and auto is not o and auto.line_scanner_laser_position == 1234


# ---- fixed line scan ----

def scan_options(period_ms=150):
    o = T.X2_CaptureOptions()
    o.line_scanner_scan_time_ms = period_ms
    return o


def test_line_scan_out_of_order(x2):
    assert not x2.GetFixedLineScanPointMap().IsValid()
    assert T.GetLastErrorMessage() == "X2.GetFixedLineScanPointMap(pm): no fixed line scan is running"
    assert not x2.StopFixedLineScan()
    assert x2.StartFixedLineScan(scan_options())
    assert not x2.StartFixedLineScan() and "already running" in T.GetLastErrorMessage()
    assert not x2.Capture() and "line scan is running" in T.GetLastErrorMessage()
    assert x2.StopFixedLineScan()
    o = scan_options()
    o.line_scanner_scan_time_ms = 1
    assert not x2.StartFixedLineScan(o)


def test_line_scan_delivers_newest_maps(x2):
    assert x2.StartFixedLineScan(scan_options())
    first = x2.GetFixedLineScanPointMap()
    pts = np.asarray(first)
    assert first.IsValid() and pts.shape == (1024, 1280, 3) and np.isfinite(pts[..., 2]).mean() > 0.5
    mine = T.PointMapCreate(T.PointsOnly, T.Size(1280, 1024))
    address = np.asarray(mine).__array_interface__["data"][0]
    assert x2.GetFixedLineScanPointMap(mine) is True
    filled = np.asarray(mine)
    assert filled.__array_interface__["data"][0] == address  # filled in place
    assert np.isfinite(filled[..., 2]).mean() > 0.5
    assert x2.StopFixedLineScan()
    T.PointMap.Destroy(first)
    T.PointMap.Destroy(mine)


def test_line_scan_rate_follows_the_options(x2):
    assert x2.StartFixedLineScan(scan_options(1000))
    x2.GetFixedLineScanPointMap()
    start = time.perf_counter()
    x2.StopFixedLineScan()
    assert time.perf_counter() - start < 0.9  # stopping does not wait for the next sweep


def test_line_scan_cycles_under_threads(x2):
    errors = []

    def reader():
        for _ in range(3):
            pm = x2.GetFixedLineScanPointMap()
            if pm.IsValid():
                T.PointMap.Destroy(pm)

    for _ in range(3):
        assert x2.StartFixedLineScan(scan_options(50))
        threads = [threading.Thread(target=reader) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
            errors.append(t.is_alive())
        assert x2.StopFixedLineScan()
    assert not any(errors)
    assert tuvo_sim.live("pointmap") == 0  # the producer leaks nothing


def test_destroy_while_scanning(usb_device):
    cam = T.X2.Create(usb_device)
    assert cam.Open() and cam.StartFixedLineScan(scan_options(50))
    time.sleep(0.1)
    T.X2.Destroy(cam)
    assert not cam.IsValid()
    again = T.X2.Create(usb_device)
    assert again.Open()  # the destroyed camera let its cameras go
    T.X2.Destroy(again)
