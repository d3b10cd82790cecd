"""Playback devices: a recording declared in the rig replays bit for bit through X1 and X2, with the
options a recording can honour applied, the others refused, and broken recordings refused clearly."""
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import zlib

import numpy as np
import pytest

import PyTUVO as T
import tuvo_sim
from tuvo_tools.recorder import Recorder
from tuvo_tools.recording import RecordingError, read_frame, read_manifest

SERIAL = "R-1"
ERROR_OUT_OF_MEMORY = -10
RIG = ("[device]\nname = Bench rig\nsn = R-1\ncameras = left, right, extra\nx2 = yes\ncover = yes\n"
       "capture_modes = fast, normal, fixedlinescan\nwidth = %d\nheight = %d\n")


def live_rig(width=320, height=256, extra=""):
    tuvo_sim.reset()
    tuvo_sim.set_rig(RIG % (width, height) + extra)
    assert T.SystemInit()
    return T.SystemFindDevice(SERIAL)


def open_cam(device, kind, camera="left"):
    cam = T.X2.Create(device) if kind == "x2" else T.X1.Create(device, getattr(T, "CameraID_" + camera.title()))
    assert cam.Open(), T.GetLastErrorMessage()
    return cam


def record(path, kind="x1", camera="left", options=None, frames=2, compress=True, **rig):
    """Records `frames` captures on the live virtual device; returns what the SDK gave for each."""
    device = live_rig(**rig)
    cam = open_cam(device, kind, camera)
    rec = Recorder(str(path), device, compress=compress)
    stream = rec.add_x2(cam, options) if kind == "x2" else rec.add_x1(cam, camera, options)
    captured = [rec.capture(stream) for _ in range(frames)]
    T.SystemShutdown()
    return captured


def play(path, loop=None, extra=""):
    text = "[device]\nplayback = %s\n" % path + ("" if loop is None else "loop = %s\n" % loop) + extra
    tuvo_sim.reset()
    tuvo_sim.set_rig(text)
    assert T.SystemInit(), T.GetLastErrorMessage()
    status, devices = T.SystemListDevices(T.All)
    assert status == 0 and len(devices) == 1
    return devices[0]


def results(cam, kind, camera="left"):
    pm = cam.GetPointMap()
    normals = pm.GetNormalDataPtr()
    out = {"points": np.array(pm), "normals": np.array(normals) if normals.IsValid() else None,
           "depth": np.array(cam.GetDepthMap()), "confidence": np.array(cam.GetConfidenceMap()),
           "correspond": np.array(cam.GetCorrespondMap()) if kind == "x2" else None}
    if kind == "x2":
        out["images"] = {n: np.array(cam.GetImage(getattr(T, "CameraID_" + n.title()))) for n in ("left", "right")}
    else:
        out["images"] = {camera: np.array(cam.GetImage())}
    return out


def same_bytes(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def assert_identical(got, want):
    for key in ("points", "normals", "depth", "confidence", "correspond"):
        assert same_bytes(got[key], want[key]), key
        if want[key] is not None:
            assert np.array_equal(got[key], want[key], equal_nan=True)
    assert set(want["images"]) <= set(got["images"])
    for name, pixels in want["images"].items():
        assert same_bytes(got["images"][name], pixels), name


@pytest.mark.smoke
@pytest.mark.parametrize("kind, camera, fields", [
    ("x1", "left", {}),
    ("x1", "left", {"compress": False}),  # format version 1: plain PLY and .npy files
    ("x1", "right", {"calc_normal": True, "exposure_time_3d": 17}),
    ("x1", "extra", {"roi": T.ROI(0, 0, 160, 128)}),  # a colour camera (RGB8 images)
    ("x2", "left", {"correspond2d": True}),
    ("x2", "left", {"transform_to_camera": T.CameraID_Right, "calc_normal": True}),
])
def test_round_trip_is_bit_identical(tmp_path, kind, camera, fields):
    options = T.X2_CaptureOptions() if kind == "x2" else T.X1_CaptureOptions()
    fields = dict(fields)
    compress = fields.pop("compress", True)
    for name, value in fields.items():
        setattr(options, name, value)
    captured = record(tmp_path / "rec", kind, camera, options, frames=2, compress=compress)
    assert np.isfinite(captured[0]["points"]).any() and np.isnan(captured[0]["points"]).any()
    cam = open_cam(play(tmp_path / "rec"), kind, camera)
    for frame in captured:
        assert cam.Capture(), T.GetLastErrorMessage()  # without options: the recording's own
        assert_identical(results(cam, kind, camera), frame)
    assert not cam.Capture()
    assert T.GetLastErrorMessage().endswith("end of recording: all 2 frames of %s have been played" % (
        "the X2" if kind == "x2" else "the X1 on the %s camera" % camera))
    assert T.GetLastError() == tuvo_sim.ERROR_FAILED


@pytest.mark.parametrize("compress", [False, True])
def test_vertices_with_normals_replay_whole_at_any_size(tmp_path, compress):
    """Points and normals are stored interleaved and read apart a block of vertices at a time: a
    frame whose vertices end part-way through a block replays bit for bit, with normals and
    without."""
    options = T.X1_CaptureOptions()
    options.calc_normal = True
    captured = record(tmp_path / "rec", options=options, frames=2, compress=compress, width=333, height=251)
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.Capture(), T.GetLastErrorMessage()
    assert_identical(results(cam, "x1"), captured[0])
    without = T.X1_CaptureOptions()
    without.calc_normal = False
    assert cam.Capture(without), T.GetLastErrorMessage()
    got = results(cam, "x1")
    assert got["normals"] is None and same_bytes(got["points"], captured[1]["points"])


def test_the_same_options_given_explicitly_replay_too(tmp_path):
    options = T.X1_CaptureOptions()
    options.exposure_time_3d = 23
    options.SetHDRGainContent(1, 2.5)
    captured = record(tmp_path / "rec", options=options, frames=1)
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.Capture(options), T.GetLastErrorMessage()
    assert_identical(results(cam, "x1"), captured[0])


def test_views_taken_before_a_capture_follow_the_playback(tmp_path):
    captured = record(tmp_path / "rec", frames=2)
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.Capture()
    depth = np.asarray(cam.GetDepthMap())
    assert cam.Capture()
    assert same_bytes(np.array(depth), captured[1]["depth"])



def test_a_frame_without_a_map_shows_none_of_an_earlier_frame(tmp_path):
    captured = record(tmp_path / "rec", "x2", frames=2)
    manifest = json.loads((tmp_path / "rec" / "manifest.json").read_text())
    for key in ("depth", "confidence", "correspond"):
        manifest["streams"]["x2"]["frames"][1][key] = None
    (tmp_path / "rec" / "manifest.json").write_text(json.dumps(manifest))
    cam = open_cam(play(tmp_path / "rec"), "x2")
    assert cam.Capture()
    depth = np.asarray(cam.GetDepthMap())  # a view, which stays valid
    assert same_bytes(np.array(depth), captured[0]["depth"])
    assert cam.Capture(), T.GetLastErrorMessage()
    got = results(cam, "x2")
    assert same_bytes(got["points"], captured[1]["points"])
    assert np.isnan(got["depth"]).all() and np.isnan(depth).all()
    assert (got["confidence"] == 0).all() and np.isnan(got["correspond"]).all()

def test_loop_starts_again(tmp_path):
    captured = record(tmp_path / "rec", frames=2)
    cam = open_cam(play(tmp_path / "rec", loop="yes"), "x1")
    for i in range(5):
        assert cam.Capture(), T.GetLastErrorMessage()
        assert same_bytes(np.array(cam.GetPointMap()), captured[i % 2]["points"])



def test_a_new_handle_goes_on_with_the_next_frame(tmp_path):
    captured = record(tmp_path / "rec", frames=3)
    device = play(tmp_path / "rec")
    cam = open_cam(device, "x1")
    assert cam.Capture()
    cam.Close()
    assert cam.Open() and cam.Capture()
    T.X1.Destroy(cam)
    cam = open_cam(device, "x1")
    assert cam.Capture()
    assert same_bytes(np.array(cam.GetPointMap()), captured[2]["points"])
    play(tmp_path / "rec")  # a new SystemInit starts again
    cam = open_cam(T.SystemFindDevice(SERIAL), "x1")
    assert cam.Capture() and same_bytes(np.array(cam.GetPointMap()), captured[0]["points"])

def test_device_and_calibration_are_the_recorded_ones(tmp_path):
    device = live_rig(extra="port_type = gige\nport = 10.0.0.7\nboardmodel = 9\nnear_mm = 500\nfar_mm = 1500\n")
    ok, live_info = device.GetDeviceInfo()
    cam = open_cam(device, "x2")
    live_calib = {cid: (cam.GetExtrinsicMatrix(cid), cam.GetIntrinsicParameters(cid))
                  for cid in (T.CameraID_Left, T.CameraID_Right, T.CameraID_Extra)}
    Recorder(str(tmp_path / "rec"), device).add_x2(cam)
    T.SystemShutdown()
    played = play(tmp_path / "rec")
    assert T.SystemListDevices(T.USB) == (0, []) and len(T.SystemListDevices(T.GigE)[1]) == 1
    ok, info = played.GetDeviceInfo()
    fields = [n for n in dir(info) if not n.startswith("_")]
    assert ok and len(fields) == 15
    assert {n: str(getattr(info, n)) for n in fields} == {n: str(getattr(live_info, n)) for n in fields}
    cam = open_cam(played, "x2")
    assert cam.GetCameraResolution()[1].width == 320 and cam.GetCameraResolution()[1].height == 256
    for cid, (extrinsic, intrinsic) in live_calib.items():
        assert cam.GetExtrinsicMatrix(cid) == extrinsic and cam.GetIntrinsicParameters(cid) == intrinsic
    # A recording holds the calibration of the cameras it saw: an X1 on the right camera knows only its own.
    record(tmp_path / "right", "x1", "right", frames=1)
    right = open_cam(play(tmp_path / "right"), "x1", "right")
    assert right.GetExtrinsicMatrix()[0]
    left = open_cam(T.SystemFindDevice(SERIAL), "x1", "left")
    assert left.GetExtrinsicMatrix()[0] is False
    assert T.GetLastErrorMessage() == "X1.GetExtrinsicMatrix: the recording holds no calibration of the left camera"
    assert not left.Capture()
    assert T.GetLastErrorMessage() == "X1.Capture(): the recording holds no captures of the X1 on the left camera"


def test_roi_range_check_and_adjust_use_the_camera_they_are_for(tmp_path):
    """A recording whose cameras differ in size (the left one 96 x 80, the right one 192 x 160): an
    X1 on the right camera takes ROIs in its own pixels."""
    record(tmp_path / "right", "x1", "right", frames=1, width=192, height=160)
    record(tmp_path / "left", "x1", "left", frames=1, width=96, height=80)
    shutil.copytree(tmp_path / "left" / "x1-left", tmp_path / "right" / "x1-left")
    manifests = [json.loads((tmp_path / name / "manifest.json").read_text()) for name in ("right", "left")]
    manifests[0]["cameras"]["left"] = manifests[1]["cameras"]["left"]
    manifests[0]["streams"]["x1-left"] = manifests[1]["streams"]["x1-left"]
    (tmp_path / "right" / "manifest.json").write_text(json.dumps(manifests[0]))
    device = play(tmp_path / "right")
    left = open_cam(device, "x1", "left")
    assert left.GetRoiRange()[1].width_max == 96 and not left.CheckRoi(T.ROI(0, 0, 192, 160))
    cam = open_cam(device, "x1", "right")
    ok, size = cam.GetCameraResolution()
    assert ok and (size.width, size.height) == (192, 160)
    ok, g = cam.GetRoiRange()
    assert ok and (g.width_max, g.height_max) == (192, 160)
    assert cam.CheckRoi(T.ROI(0, 0, 192, 160)) and not cam.CheckRoi(T.ROI(16, 0, 192, 160))
    r = cam.AutoAdjustRoi(T.ROI(100, 100, 5000, 5000))
    assert (r.x, r.y, r.width, r.height) == (0, 0, 192, 160)
    options = T.X1_CaptureOptions()
    options.roi = T.ROI(128, 96, 64, 64)
    assert cam.Capture(options), T.GetLastErrorMessage()
    pm = np.array(cam.GetPointMap())
    assert np.isfinite(pm[96:160, 128:192, 2]).any() and np.isnan(pm[:96, :, 2]).all()


def test_rig_names_can_override_the_recorded_ones(tmp_path):
    record(tmp_path / "rec", frames=1)
    device = play(tmp_path / "rec", extra="sn = COPY-2\nname = Replay\n")
    ok, info = device.GetDeviceInfo()
    assert (info.sn, info.name) == ("COPY-2", "Replay")
    assert T.SystemFindDevice("COPY-2").IsValid()


def test_relative_playback_folders(tmp_path, monkeypatch):
    record(tmp_path / "recs" / "one", frames=1)
    # A rig file: relative to the rig file's folder.
    (tmp_path / "recs" / "bench.rig").write_text("[device]\nplayback = one\n")
    tuvo_sim.reset()
    monkeypatch.setenv("TUVO_SIM_RIG", str(tmp_path / "recs" / "bench.rig"))
    monkeypatch.chdir(tmp_path)
    assert T.SystemInit(), T.GetLastErrorMessage()
    assert T.SystemFindDevice(SERIAL).IsValid()
    # A rig text: relative to the current folder when it was set.
    tuvo_sim.reset()
    monkeypatch.chdir(tmp_path / "recs")
    tuvo_sim.set_rig("[device]\nplayback = one\n")
    monkeypatch.chdir(tmp_path)
    assert T.SystemInit(), T.GetLastErrorMessage()
    assert open_cam(T.SystemFindDevice(SERIAL), "x1").Capture()


# ---- options: applied where a recording can honour them, refused otherwise ----

def test_roi_and_truncation_are_applied_to_the_recorded_frame(tmp_path):
    captured = record(tmp_path / "rec", frames=3)
    cam = open_cam(play(tmp_path / "rec"), "x1")
    options = T.X1_CaptureOptions()
    options.roi = T.ROI(64, 32, 128, 96)
    assert cam.Capture(options), T.GetLastErrorMessage()
    got, want = results(cam, "x1"), captured[0]
    inside = np.zeros((256, 320), bool)
    inside[32:128, 64:192] = True
    assert same_bytes(got["points"][inside], want["points"][inside])
    assert np.isnan(got["points"][~inside]).all() and np.isnan(got["depth"][~inside]).all()
    assert (got["confidence"][~inside] == 0).all()
    assert same_bytes(got["images"]["left"], want["images"]["left"])  # images are whole, as in a live capture
    options = T.X1_CaptureOptions()
    cut = float(np.nanmedian(captured[1]["points"][..., 2]))
    options.truncate_z_max = cut
    assert cam.Capture(options)
    got, want = results(cam, "x1"), captured[1]
    z = want["points"][..., 2]
    kept = z <= cut
    assert same_bytes(got["points"][kept], want["points"][kept])
    assert np.isnan(got["points"][~kept]).all() and np.isnan(got["depth"][~kept]).all() and kept.sum() > 1000
    # Normals asked of a recording made with them, dropped when not asked.
    assert cam.Capture() and not cam.GetPointMap().GetNormalDataPtr().IsValid()


def test_output_frame_and_custom_transformation_use_the_recorded_calibration(tmp_path):
    options = T.X1_CaptureOptions()
    options.calc_normal = True
    captured = record(tmp_path / "rec", "x1", "right", options, frames=3)
    # The same capture made live in the device frame, for reference.
    device = live_rig()
    live = open_cam(device, "x1", "right")
    device_frame = T.X1_CaptureOptions()
    device_frame.calc_normal, device_frame.transform_to_camera = True, False
    assert live.Capture(device_frame)
    live_points = np.array(live.GetPointMap())
    cam = open_cam(play(tmp_path / "rec"), "x1", "right")
    assert cam.Capture(device_frame), T.GetLastErrorMessage()
    got = np.array(cam.GetPointMap())
    valid = np.isfinite(captured[0]["points"][..., 2])
    assert np.array_equal(np.isfinite(got[..., 2]), valid)
    pose = np.array(cam.GetExtrinsicMatrix()[1]).reshape(4, 4)
    expected = captured[0]["points"][valid] @ pose[:3, :3].T + pose[:3, 3]
    np.testing.assert_allclose(got[valid], expected, atol=1e-9)
    np.testing.assert_allclose(got[valid], live_points[valid], atol=0.05)  # float calibration, same noise
    normals = np.array(cam.GetPointMap().GetNormalDataPtr())
    np.testing.assert_allclose(normals[valid], captured[0]["normals"][valid] @ pose[:3, :3].T, atol=1e-12)
    # A custom transformation on the camera's frame: a shift of 10 mm along x.
    custom = T.X1_CustomTransformOptions()
    custom.coordinate_select = T.CoordinateSelect_Camera
    shift = np.eye(4)
    shift[0, 3] = 10.0
    custom.SetTransform(shift)
    assert cam.SetCustomTransformation(custom)
    assert cam.Capture(), T.GetLastErrorMessage()
    got = np.array(cam.GetPointMap())
    np.testing.assert_allclose(got[valid], captured[1]["points"][valid] + [10.0, 0, 0], atol=1e-9)
    custom.coordinate_select = T.X1CustomTransformCoordinate.CoordinateSelect_CaliBoard
    assert cam.SetCustomTransformation(custom)
    assert not cam.Capture()
    assert "knows no calibration board pose" in T.GetLastErrorMessage()


def test_recorded_custom_transformation_is_undone_for_another_frame(tmp_path):
    device = live_rig()
    cam = open_cam(device, "x1")
    custom = T.X1_CustomTransformOptions()
    custom.coordinate_select = T.CoordinateSelect_Camera
    turn = np.array([[0.0, -1, 0, 5], [1, 0, 0, 0], [0, 0, 1, -3], [0, 0, 0, 1]])
    custom.SetTransform(turn)
    assert cam.SetCustomTransformation(custom)
    rec = Recorder(str(tmp_path / "bad"), device)
    with pytest.raises(Exception, match="custom transformation .coordinate_select = 1.; pass its 4x4 matrix"):
        rec.add_x1(cam, "left")
    rec = Recorder(str(tmp_path / "rec"), device)
    captured = rec.capture(rec.add_x1(cam, "left", transform=turn))
    T.SystemShutdown()
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.Capture(), T.GetLastErrorMessage()  # without the transformation: the camera's own frame
    got, want = np.array(cam.GetPointMap()), captured["points"]
    valid = np.isfinite(want[..., 2])
    undone = (want[valid] - turn[:3, 3]) @ turn[:3, :3]
    np.testing.assert_allclose(got[valid], undone, atol=1e-9)


REFUSALS = [
    ({"exposure_time_3d": 30}, "the recording was made with exposure_time_3d = 11 and cannot replay exposure_time_3d = 30"),
    ({"capture_mode": T.CaptureMode_Fast}, "the recording was made with capture_mode = 2 and cannot replay capture_mode = 1"),
    ({"gain_2d": 1.5}, "the recording was made with gain_2d = 0 and cannot replay gain_2d = 1.5"),
    ({"use_auto_noise_removal": False}, "use_auto_noise_removal = true and cannot replay use_auto_noise_removal = false"),
    ({"calc_normal": True}, "the recording holds no normals: it was made with calc_normal = false"),
    ({"truncate_z_max": 20000.0}, "the truncation window -9999 to 20000 mm reaches outside the recording's, -9999 to 9999 mm"),
    ({"roi": T.ROI(8, 0, 64, 64)}, "the ROI does not fit the camera's ROI range"),
    ({"exposure_time_3d": 1000}, "exposure_time_3d must be 3..100"),
]


@pytest.mark.parametrize("fields, message", REFUSALS)
def test_options_a_recording_cannot_honour_are_refused(tmp_path, fields, message):
    record(tmp_path / "rec", frames=1)
    cam = open_cam(play(tmp_path / "rec"), "x1")
    options = T.X1_CaptureOptions()
    for name, value in fields.items():
        setattr(options, name, value)
    assert not cam.Capture(options)
    assert message in T.GetLastErrorMessage()
    assert cam.Capture(T.X1_CaptureOptions()), "a refusal does not use up a frame"


def test_refusals_of_recordings_made_with_less(tmp_path):
    options = T.X2_CaptureOptions()
    options.roi = T.ROI(32, 32, 128, 128)
    options.enable_2d_in_capture = False
    record(tmp_path / "rec", "x2", options=options, frames=1)
    cam = open_cam(play(tmp_path / "rec"), "x2")
    whole = T.X2_CaptureOptions()
    whole.enable_2d_in_capture = False
    assert not cam.Capture(whole)
    assert T.GetLastErrorMessage() == ("X2.Capture: the ROI the whole image reaches outside the recording's ROI "
                                       "(32, 32, 128, 128)")
    images = T.X2_CaptureOptions()
    images.roi = options.roi
    assert not cam.Capture(images)
    assert "the recording holds no images: it was made with enable_2d_in_capture = false" in T.GetLastErrorMessage()
    narrower = T.X2_CaptureOptions()
    narrower.roi, narrower.enable_2d_in_capture = T.ROI(64, 64, 64, 64), False
    assert cam.Capture(narrower), T.GetLastErrorMessage()
    assert np.isfinite(np.array(cam.GetPointMap())[64:128, 64:128, 2]).any()


def test_what_a_recording_cannot_serve(tmp_path):
    record(tmp_path / "rec", "x2", frames=1)
    device = play(tmp_path / "rec")
    cam = open_cam(device, "x2")
    assert not cam.Capture2D(T.CameraID_Left)
    assert T.GetLastErrorMessage() == ("X2.Capture2D: a playback device replays recorded 3-D captures only; "
                                       "a 2-D capture is not recorded")
    assert not cam.StartFixedLineScan()
    assert "the fixed line scan is not recorded" in T.GetLastErrorMessage()
    bad = T.X2_CaptureOptions()
    bad.transform_to_camera = T.CameraID_3
    assert not cam.Capture(bad) and "transform_to_camera names a camera the device lacks" in T.GetLastErrorMessage()
    T.X2.Destroy(cam)
    x1 = open_cam(device, "x1")
    assert not x1.Capture2D() and "a 2-D capture is not recorded" in T.GetLastErrorMessage()
    assert not x1.Capture() and "holds no captures of the X1 on the left camera" in T.GetLastErrorMessage()


def test_balance_ratios_are_recorded_and_kept(tmp_path):
    device = live_rig(extra="color_camera = yes\n")
    cam = open_cam(device, "x1")
    assert cam.SetBalanceRatio(T.BalanceSelector_Red, 1.25)
    rec = Recorder(str(tmp_path / "rec"), device)
    captured = rec.capture(rec.add_x1(cam, "left"))
    assert captured["images"]["left"].shape == (256, 320, 3)
    T.SystemShutdown()
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.GetBalanceRatio(T.BalanceSelector_Red) == (True, 1.25)
    assert cam.SetBalanceRatio(T.BalanceSelector_Red, 2.0)
    assert not cam.Capture() and "the balance ratios differ from the recording's (1.25, 1, 1)" in T.GetLastErrorMessage()
    assert cam.SetBalanceRatio(T.BalanceSelector_Red, 1.25) and cam.Capture()
    assert same_bytes(np.array(cam.GetImage()), captured["images"]["left"])



def test_an_x2_white_balance_a_recording_cannot_show_is_refused(tmp_path):
    """The X2 does not report its balance: a recording shows the balance it was made with, and a
    playback X2 refuses captures once its balance is changed (a live one would colour its images)."""
    device = live_rig(extra="color_camera = yes\n")
    rec = Recorder(str(tmp_path / "rec"), device)
    captured = rec.capture(rec.add_x2(open_cam(device, "x2")))
    assert captured["images"]["left"].ndim == 3
    T.SystemShutdown()
    cam = open_cam(play(tmp_path / "rec", loop="yes"), "x2")
    assert cam.Capture(), T.GetLastErrorMessage()
    assert cam.AutoWhiteBalance(2, T.X2_CaptureOptions(), T.ROI())  # it looks at the built-in scene
    assert not cam.Capture()
    assert "the white balance was changed: the recording cannot show another" in T.GetLastErrorMessage()

def test_tools_give_the_same_answers_on_played_back_frames(tmp_path):
    device = live_rig(640, 512)
    left, right = open_cam(device, "x1", "left"), open_cam(device, "x1", "right")
    rec = Recorder(str(tmp_path / "rec"), device)
    streams = rec.add_x1(left, "left"), rec.add_x1(right, "right")
    kind = T.CodedCircleMarkerType()

    def answers(left, right):
        img_l, pm_l, img_r, pm_r = left.GetImage(), left.GetPointMap(), right.GetImage(), right.GetPointMap()
        markers = [(m.code, m.x, m.y) for m in T.DetectCodedCircleMarker(img_l, kind)]
        n, R, t = T.GetTwoCameraTransformByCodedCircleMarker(pm_l, img_l, pm_r, img_r, kind)
        accuracy = T.TestAccuracy(img_l, pm_l, 3, 4, 62.0)
        return markers, n, R.tolist(), t.tolist(), accuracy

    live = []
    for _ in range(2):
        assert left.Capture() and right.Capture()
        live.append(answers(left, right))
        for cam, stream in zip((left, right), streams):
            rec.record_current(stream)
    T.SystemShutdown()
    assert len(live[0][0]) == 12 and live[0][1] == 12 and live[0][4][0] == 12
    device = play(tmp_path / "rec")
    left, right = open_cam(device, "x1", "left"), open_cam(device, "x1", "right")
    for want in live:
        assert left.Capture() and right.Capture(), T.GetLastErrorMessage()
        assert answers(left, right) == want


# ---- broken, foreign and hostile recordings ----

def small_x2_recording(factory, compress):
    path = factory.mktemp("pristine") / "rec"
    tuvo_sim.reset()
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    record(path, "x2", options=options, frames=1, compress=compress)
    tuvo_sim.reset()
    return path


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """A small X2 recording with normals, in plain files, made once and copied by each test."""
    return small_x2_recording(tmp_path_factory, False)


@pytest.fixture(scope="module")
def packed(tmp_path_factory):
    """The same, compressed."""
    return small_x2_recording(tmp_path_factory, True)


def damage_manifest(change):
    def apply(root):
        manifest = json.loads((root / "manifest.json").read_text())
        change(manifest)
        (root / "manifest.json").write_text(json.dumps(manifest))
    return apply


def replace_file(name, data):
    def apply(root):
        target = root / "x2" / "000000" / name
        target.unlink()
        target.write_bytes(data)
    return apply


def truncate_file(name, keep):
    def apply(root):
        target = root / "x2" / "000000" / name
        target.write_bytes(target.read_bytes()[:keep])
    return apply


def symlink(name, to):
    def apply(root):
        target = root / name
        target.unlink()
        os.symlink(to, target)
    return apply


def fifo(name):
    def apply(root):
        target = root / name
        target.unlink()
        os.mkfifo(target)
    return apply


def npy_header(header, body=b""):
    raw = header.encode()
    return b"\x93NUMPY\x01\x00" + len(raw).to_bytes(2, "little") + raw + body


def frame0(manifest):
    return manifest["streams"]["x2"]["frames"][0]


# Faults found when the rig is read (SystemInit fails, naming the manifest).
MANIFEST_FAULTS = [
    ("missing", lambda r: (r / "manifest.json").unlink(), "manifest.json: is missing"),
    ("not JSON", lambda r: (r / "manifest.json").write_text("{not json"), "manifest.json: not JSON"),
    ("NaN", lambda r: (r / "manifest.json").write_text((r / "manifest.json").read_text().replace(
        '"boardmodel": 3', '"boardmodel": NaN')), "manifest.json: not JSON"),
    ("foreign", lambda r: (r / "manifest.json").write_text('{"name": "my-app", "version": 1}'),
     'not a TUVO recording ("format" is not "tuvo-recording")'),
    ("newer", damage_manifest(lambda m: m.update(version=3)), "recording format version 3 is newer than this reader reads (2)"),
    ("40 levels deep", damage_manifest(lambda m: m.update(padding=json.loads("[" * 40 + "]" * 40))),
     "manifest.json: nests deeper than a recording's manifest"),
    ("8 intrinsics", damage_manifest(lambda m: m["cameras"]["left"].update(intrinsics=m["cameras"]["left"]["intrinsics"][:8])),
     "cameras.left.intrinsics: must be a list of 9 numbers"),
    ("intrinsic of 1e300", damage_manifest(lambda m: m["cameras"]["right"]["intrinsics"].__setitem__(0, 1e300)),
     "cameras.right.intrinsics: holds a number out of the range of a 32-bit float"),
    ("option as a word", damage_manifest(lambda m: m["streams"]["x2"]["options"].update(exposure_time_3d="long")),
     "streams.x2.options.exposure_time_3d: must be a finite number"),
    ("fractional option", damage_manifest(lambda m: m["streams"]["x2"]["options"].update(scan_times=1.5)),
     "streams.x2.options.scan_times: must be a 32-bit integer"),
    ("compression in version 1", damage_manifest(lambda m: frame0(m).update(compression="shuffle-zlib")),
     "streams.x2.frames[0].compression: needs recording format version 2"),
    ("unknown compression", damage_manifest(lambda m: m.update(version=2) or frame0(m).update(compression="zstd")),
     "streams.x2.frames[0].compression: must be shuffle-zlib"),
    ("deep", lambda r: (r / "manifest.json").write_text("[" * 100000 + "]" * 100000),
     "nests deeper than a recording's manifest"),
    ("dev/zero", symlink("manifest.json", "/dev/zero"), "manifest.json: is a symbolic link"),
    ("fifo", fifo("manifest.json"), "manifest.json: is not a regular file"),
    ("huge", lambda r: os.truncate(r / "manifest.json", (64 << 20) + 1), "manifest.json: is larger than 67108864 bytes"),
    ("escaping dir", damage_manifest(lambda m: frame0(m).update(dir="../../etc")),
     "streams.x2.frames[0].dir: is not a folder inside the recording"),
    ("absolute dir", damage_manifest(lambda m: frame0(m).update(dir="/etc")), "is not a folder inside the recording"),
    ("NUL in a name", damage_manifest(lambda m: frame0(m)["points"].update(file="points\u0000.ply")),
     "streams.x2.frames[0].points.file: is not a file name inside the frame's folder"),
    ("NUL in the serial", damage_manifest(lambda m: m["device"].update(sn="R\u00001")), "device.sn: holds a NUL character"),
    ("long serial", damage_manifest(lambda m: m["device"].update(sn="S" * 40)), "device.sn: is longer than 31 bytes"),
    ("huge stream", damage_manifest(lambda m: m["streams"]["x2"].update(width=65535, height=65535)),
     "streams.x2: has more than 16,777,216 pixels"),
    ("transposed stream", damage_manifest(lambda m: m["streams"]["x2"].update(width=m["streams"]["x2"]["height"],
                                                                            height=m["streams"]["x2"]["width"])),
     "streams.x2: is 256 x 320 pixels, its camera's calibration 320 x 256"),
    ("negative size", damage_manifest(lambda m: m["cameras"]["left"].update(width=-1)),
     "cameras.left.width: must be 1 to 65535"),
    ("string size", damage_manifest(lambda m: m["streams"]["x2"].update(height="256")),
     "streams.x2.height: must be an integer"),
    ("bad calibration", damage_manifest(lambda m: m["cameras"]["right"].update(intrinsics=[1, 2])),
     "cameras.right.intrinsics: must be a list of 9 numbers"),
    ("calibration beyond floats", damage_manifest(lambda m: m["cameras"]["left"]["intrinsics"].__setitem__(2, 1e39)),
     "cameras.left.intrinsics: holds a number out of the range of a 32-bit float"),
    ("balance beyond floats", damage_manifest(lambda m: m["streams"]["x2"].update(balance=[-3.5e38, 1, 1])),
     "streams.x2.balance: holds a number out of the range of a 32-bit float"),
    ("singular extrinsic", damage_manifest(lambda m: m["cameras"]["right"].update(extrinsic=[1.0] * 16)),
     "cameras.right.extrinsic: is not invertible"),
    ("number beyond doubles", lambda r: (r / "manifest.json").write_text((r / "manifest.json").read_text().replace(
        '"created"', '"note": 1e999, "created"')), "manifest.json: not JSON"),
    ("integer beyond doubles", lambda r: (r / "manifest.json").write_text((r / "manifest.json").read_text().replace(
        '"created"', '"note": 1%s, "created"' % ("0" * 400))), "manifest.json: not JSON"),
    ("half a surrogate pair", lambda r: (r / "manifest.json").write_text((r / "manifest.json").read_text().replace(
        '"created"', '"note": "\\ud800", "created"')), "manifest.json: not JSON"),
    ("cut short", lambda r: (r / "manifest.json").write_text((r / "manifest.json").read_text()[:-40]),
     "manifest.json: not JSON"),
    ("Latin-1 text", lambda r: (r / "manifest.json").write_bytes((r / "manifest.json").read_bytes().replace(
        b'"created"', b'"note": "caf\xe9", "created"')), "manifest.json: not JSON"),
    ("NUL after the JSON", lambda r: (r / "manifest.json").write_bytes((r / "manifest.json").read_bytes() + b"\0 {["),
     "manifest.json: holds a NUL character"),
    ("unknown option", damage_manifest(lambda m: m["streams"]["x2"]["options"].update(warp_drive=1)),
     "streams.x2.options: unknown option warp_drive"),
    ("unknown stream", damage_manifest(lambda m: m["streams"].update(x3=m["streams"]["x2"])),
     "streams.x3: is not a stream name"),
    ("image type", damage_manifest(lambda m: frame0(m)["images"]["left"].update(type="Mono16")),
     "streams.x2.frames[0].images.left.type: must be Mono8, RGB8 or BGR8"),
    ("too many frames", damage_manifest(lambda m: m["streams"]["x2"].update(frames=[0] * 1000001)),
     "streams.x2.frames: holds more than 1,000,000 frames"),
    # Parsed, 2 bytes a value would take some 20 times their size in memory.
    ("too many values", damage_manifest(lambda m: m.update(padding=[0] * 2000001)),
     "manifest.json: holds more than 2,000,000 values"),
    ("float out of range", damage_manifest(lambda m: m["streams"]["x2"]["options"].update(gain_2d=1e300)),
     "streams.x2.options.gain_2d: is out of the range of a 32-bit float"),
    ("floats out of range", damage_manifest(lambda m: m["streams"]["x2"]["options"].update(
        hdr_gain_content=[0, -1e39, 0])), "streams.x2.options.hdr_gain_content: is out of the range of a 32-bit float"),
]


@pytest.mark.parametrize("fault, damage, message", MANIFEST_FAULTS, ids=[f[0] for f in MANIFEST_FAULTS])
def test_broken_manifests_are_refused_when_the_rig_is_read(tmp_path, pristine, fault, damage, message):
    """Playback and the Python reader follow one table of rules: the same manifests are refused,
    with the same words (but for what the JSON parsers say)."""
    root = tmp_path / "rec"
    shutil.copytree(pristine, root)
    damage(root)
    with pytest.raises(ValueError, match=re.escape("device 1: " + str(root))):
        tuvo_sim.set_rig("[device]\nplayback = %s\n" % root)
    assert message in T.GetLastErrorMessage()
    with pytest.raises(RecordingError) as python:
        read_manifest(str(root))
    assert message in str(python.value)
    if "not JSON" not in message:
        assert T.GetLastErrorMessage().endswith(str(python.value))
    tuvo_sim.reset()
    (tmp_path / "bench.rig").write_text("[device]\nplayback = rec\n")
    os.environ["TUVO_SIM_RIG"] = str(tmp_path / "bench.rig")
    try:
        assert not T.SystemInit()
    finally:
        del os.environ["TUVO_SIM_RIG"]
    assert T.GetLastErrorMessage().startswith("SystemInit: rig description: device 1: " + str(root))
    assert message in T.GetLastErrorMessage()



@pytest.mark.parametrize("fault, damage, message", [
    ("a million frames of nothing", damage_manifest(lambda m: m["streams"]["x2"].update(frames=[0] * 1000000)),
     "streams.x2.frames[0]: must be an object"),
    ("2 million members", damage_manifest(lambda m: m.update(padding={"k%023d" % i: 0 for i in range(1990000)})),
     "manifest.json: reading it takes up to"),
    ("2 million empty texts", damage_manifest(lambda m: m.update(padding=[""] * 1990000)),
     "manifest.json: reading it takes up to"),
    ("one 60 MB text", damage_manifest(lambda m: m.update(padding="a" * (60 << 20))),
     "manifest.json: reading it takes up to"),
    ("64 MiB of numbers", lambda r: (r / "manifest.json").write_text(
        (r / "manifest.json").read_text()[:-1] + ', "padding": [' + "0," * ((64 << 20) // 2 - 40000) + "0]}"),
     "manifest.json: holds more than 2,000,000 values"),
])
def test_manifests_cost_no_memory_before_they_are_checked(tmp_path, pristine, fault, damage, message):
    """The SDK runs with 200 MB of data (some 60 MB in use at the start): what a manifest claims is
    checked before memory is taken for it."""
    root = tmp_path / "rec"
    shutil.copytree(pristine, root)
    damage(root)
    code = ("import resource, PyTUVO, tuvo_sim\n"
            "resource.setrlimit(resource.RLIMIT_DATA, (200 << 20, 200 << 20))\n"
            "try:\n    tuvo_sim.set_rig('[device]\\nplayback = %s\\n')\nexcept ValueError as e:\n    print(e)\n" % root)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-500:]
    assert message in run.stdout

def test_a_manifest_too_large_to_read_is_told_the_same_whatever_the_memory(tmp_path, pristine):
    """A long text is weighed alike whether the reading stops at it (little memory) or reads it to
    the end (more, but not enough to hold the value): the refusal quotes one figure."""
    root = tmp_path / "rec"
    shutil.copytree(pristine, root)
    damage_manifest(lambda m: m.update(padding="a" * (3 << 20)))(root)
    told = []
    for available_mb in (1, 17):
        tuvo_sim.set("memory.available_mb", available_mb)
        with pytest.raises(ValueError):
            tuvo_sim.set_rig("[device]\nplayback = %s\n" % root)
        told.append(re.search(r"reading it takes up to (\d+) MB and %d MB" % available_mb,
                              T.GetLastErrorMessage()))
    assert all(told), T.GetLastErrorMessage()
    assert told[0].group(1) == told[1].group(1)


PLY_BODY = 320 * 256 * 48


def png_chunks(change):
    """Changes the chunks of left.png: `change` maps a list of (type, data, CRC or None for the right
    one) to another."""
    def apply(root):
        path = root / "x2" / "000000" / "left.png"
        data, at, chunks = path.read_bytes(), 8, []
        while at < len(data):
            n = int.from_bytes(data[at:at + 4], "big")
            chunks.append((data[at + 4:at + 8], data[at + 8:at + 8 + n], None))
            at += 12 + n
        path.write_bytes(data[:8] + b"".join(len(d).to_bytes(4, "big") + t + d + (
            crc if crc is not None else zlib.crc32(t + d).to_bytes(4, "big")) for t, d, crc in change(chunks)))
    return apply


# Faults found when the frame is played (the capture fails, naming the file).
FRAME_FAULTS = [
    ("missing PLY", lambda r: (r / "x2" / "000000" / "points.ply").unlink(), "points.ply: is missing"),
    ("truncated PLY", truncate_file("points.ply", 5000), "points.ply: the PLY file holds"),
    ("PLY of floats", replace_file("points.ply", b"ply\nformat binary_little_endian 1.0\nelement vertex 81920\n"
                                   b"property float x\nproperty float y\nproperty float z\nend_header\n" + bytes(983040)),
     "PLY property x is float, not double"),
    ("PLY miscounted", replace_file("points.ply", b"ply\nformat binary_little_endian 1.0\nelement vertex 99999999999\n"
                                    b"property double x\nproperty double y\nproperty double z\nend_header\n"),
     "the PLY file holds 99999999999 vertices, not 81920"),
    ("ASCII PLY", replace_file("points.ply", b"ply\nformat ascii 1.0\nelement vertex 1\nproperty double x\nend_header\n1\n"),
     "the PLY format must be binary_little_endian 1.0"),
    ("endless PLY header", replace_file("points.ply", b"ply\n" + b"comment x\n" * 1000), "not closed within 4096 bytes"),
    ("PLY without normals", replace_file("points.ply", b"ply\nformat binary_little_endian 1.0\nelement vertex 81920\n"
                                         b"property double x\nproperty double y\nproperty double z\nend_header\n"
                                         + bytes(81920 * 24)), "points.ply: has no normals"),
    ("PLY on /dev/zero", symlink("x2/000000/points.ply", "/dev/zero"), "points.ply: is a symbolic link"),
    ("frame folder symlink", lambda r: (shutil.move(r / "x2" / "000000", r / "elsewhere"),
                                        os.symlink(r / "elsewhere", r / "x2" / "000000")), "000000: is a symbolic link"),
    ("FIFO depth", fifo("x2/000000/depth.npy"), "depth.npy: is not a regular file"),
    ("npy of float32", replace_file("depth.npy", npy_header(
        "{'descr': '<f4', 'fortran_order': False, 'shape': (256, 320), }", bytes(327680))),
     "the .npy data are <f4, not little-endian float64 (<f8)"),
    ("npy of objects", replace_file("depth.npy", npy_header(
        "{'descr': '|O', 'fortran_order': False, 'shape': (256, 320), }")), "not little-endian float64"),
    ("npy shape", replace_file("confidence.npy", npy_header(
        "{'descr': '<f8', 'fortran_order': False, 'shape': (320, 256), }", bytes(655360))),
     "the .npy shape is (320, 256), not (256, 320)"),
    ("npy Fortran", replace_file("depth.npy", npy_header(
        "{'descr': '<f8', 'fortran_order': True, 'shape': (256, 320), }", bytes(655360))), "not in C order"),
    ("npy huge header", replace_file("depth.npy", b"\x93NUMPY\x02\x00\xff\xff\xff\x7f{"),
     "the .npy header is longer than 4096 bytes"),
    ("npy short", truncate_file("correspond.npy", 1000), "correspond.npy: the .npy file holds"),
    ("npy header junk", replace_file("depth.npy", npy_header("{'descr': '<f8', 'shape': (256, 320) 'x'}")),
     "malformed .npy header"),
    ("not a PNG", replace_file("left.png", b"GIF89a" + bytes(100)), "left.png: not a PNG file"),
    ("PNG size", replace_file("right.png", bytes.fromhex("89504e470d0a1a0a0000000d49484452") +
                              (5000).to_bytes(4, "big") + (5000).to_bytes(4, "big") + bytes.fromhex("0800000000") + bytes(4)),
     "right.png: the image is 5000 x 5000, not the camera's 320 x 256"),
    ("PNG truncated", truncate_file("left.png", 200), "left.png: "),
    # 4 kB on disk, 25 MB once inflated: counted, not decoded
    ("PNG bomb", lambda r: bomb_png(r / "x2" / "000000" / "left.png", 100),
     "left.png: the PNG holds more image data than its header announces"),
    ("PNG short", lambda r: bomb_png(r / "x2" / "000000" / "left.png", 0.5),
     "left.png: the PNG's image data end before the image its header announces"),
    ("npy of doubles by another name", replace_file("depth.npy", npy_header(
        "{'descr': 'float64', 'fortran_order': False, 'shape': (256, 320), }", bytes(655360))),
     "the .npy data are float64, not little-endian float64 (<f8)"),
    ("npy shape in hexadecimal", replace_file("depth.npy", npy_header(
        "{'descr': '<f8', 'fortran_order': False, 'shape': (0x100, 320), }", bytes(655360))), "the .npy shape is malformed"),
    ("npy key twice", replace_file("depth.npy", npy_header(
        "{'descr': '<i4', 'descr': '<f8', 'fortran_order': False, 'shape': (256, 320), }", bytes(655360))),
     "malformed .npy header: the header repeats descr"),
    ("PNG chunks: a damaged CRC", png_chunks(lambda c: c[:1] + [(b"tEXt", b"k\0v", b"\0" * 4)] + c[1:]),
     "left.png: the PNG's tEXt chunk is damaged (its CRC does not match)"),
    ("PNG chunks: no IEND", png_chunks(lambda c: c[:-1]), "left.png: the PNG ends without its IEND chunk"),
    ("PNG chunks: an unknown critical chunk", png_chunks(lambda c: c[:1] + [(b"ABCD", b"", None)] + c[1:]),
     "left.png: the PNG holds a critical chunk ABCD out of place or unknown to PNG readers"),
    ("PNG chunks: image data split", png_chunks(lambda c: c[:1] + [(b"IDAT", c[1][1][:9], None), (b"tEXt", b"k\0v", None),
                                                                  (b"IDAT", c[1][1][9:], None)] + c[2:]),
     "left.png: the PNG's image data are not in consecutive IDAT chunks"),
    ("npy header left open", replace_file("depth.npy", npy_header("{" + " " * 117 + "\n", bytes(655360))), "depth.npy: "),
]


def bomb_png(path, times):
    """The PNG with its header kept and image data that inflate to `times` the image's rows."""
    data = path.read_bytes()
    width, height, channels = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big"), \
        {0: 1, 2: 3}[data[25]]
    rows = bytes(int(height * (1 + width * channels) * times))
    idat = zlib.compress(rows, 9)
    path.write_bytes(data[:33] + len(idat).to_bytes(4, "big") + b"IDAT" + idat +
                     zlib.crc32(b"IDAT" + idat).to_bytes(4, "big") + bytes(4) + b"IEND" + zlib.crc32(b"IEND").to_bytes(4, "big"))


def refused_alike(root, message, options=None):
    """A capture of the played-back frame and the Python reader both refuse it, naming the file."""
    cam = open_cam(play(root), "x2")
    assert not cam.Capture(options) if options is not None else not cam.Capture()
    assert T.GetLastError() == tuvo_sim.ERROR_FILE_IO
    assert T.GetLastErrorMessage().startswith(("X2.Capture: " if options is not None else "X2.Capture(): ") + str(root))
    assert message in T.GetLastErrorMessage()
    with pytest.raises(RecordingError) as python:
        read_frame(str(root), read_manifest(str(root)), "x2", 0)
    assert str(root / "x2" / "000000") in str(python.value)
    return str(python.value)


@pytest.mark.parametrize("fault, damage, message", FRAME_FAULTS, ids=[f[0] for f in FRAME_FAULTS])
def test_broken_frames_fail_the_capture_naming_the_file(tmp_path, pristine, fault, damage, message):
    root = tmp_path / "rec"
    shutil.copytree(pristine, root)
    damage(root)
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    python = refused_alike(root, message, options)
    if fault.startswith(("PNG bomb", "PNG short", "PNG chunks", "npy")):  # read alike, so worded alike
        assert T.GetLastErrorMessage().endswith(python)


def packed_file(name, body):
    """Replaces a compressed file's numbers (after its header) with `body`."""
    def apply(root):
        path = root / "x2" / "000000" / name
        data = path.read_bytes()
        end = data.index(b"end_header\n") + 11 if name.startswith("points") else 10 + int.from_bytes(data[8:10], "little")
        path.write_bytes(data[:end] + body)
    return apply


DEPTH_BYTES = 320 * 256 * 8
PACKED_FAULTS = [
    ("bomb", packed_file("depth.npy.bsz", zlib.compress(bytes(DEPTH_BYTES * 200))),
     "depth.npy.bsz: the compressed data inflate to more than the 655360 bytes the header announces"),
    ("short", packed_file("confidence.npy.bsz", zlib.compress(bytes(DEPTH_BYTES - 8))),
     "confidence.npy.bsz: the compressed data inflate to less than the 655360 bytes the header announces"),
    ("cut", packed_file("points.ply.bsz", zlib.compress(bytes(320 * 256 * 48))[:-3]),
     "points.ply.bsz: the compressed vertices inflate to less than the 3932160 bytes the header announces"),
    ("trailing", packed_file("depth.npy.bsz", zlib.compress(bytes(DEPTH_BYTES)) + b"more"),
     "depth.npy.bsz: the compressed data hold bytes after their zlib stream"),
    ("no zlib", packed_file("correspond.npy.bsz", bytes(range(256)) * 4),
     "correspond.npy.bsz: the compressed data are not a readable zlib stream"),
    ("too large", packed_file("depth.npy.bsz", bytes(DEPTH_BYTES + 8192)), "depth.npy.bsz: is larger than"),
]


@pytest.mark.parametrize("fault, damage, message", PACKED_FAULTS, ids=[f[0] for f in PACKED_FAULTS])
def test_compressed_frames_are_bounded_by_the_manifest(tmp_path, packed, fault, damage, message):
    """Small on disk, huge once inflated: both readers stop at the size the manifest implies."""
    root = tmp_path / "rec"
    shutil.copytree(packed, root)
    damage(root)
    python = refused_alike(root, message)
    assert message in python


@pytest.mark.parametrize("damaged", ["points.ply.bsz", "depth.npy.bsz", "confidence.npy.bsz"])
def test_a_frame_refused_leaves_the_cameras_results_as_they_were(tmp_path, damaged):
    """Frames are read straight into the camera's maps, which views taken earlier show: a frame
    whose numbers turn out damaged is refused before any of them is written."""
    captured = record(tmp_path / "rec", frames=2, compress=True)
    path = tmp_path / "rec" / "x1-left" / "000001" / damaged
    data = path.read_bytes()
    path.write_bytes(data[:-40])  # the stream cut short: found only once it is inflated
    cam = open_cam(play(tmp_path / "rec"), "x1")
    assert cam.Capture(), T.GetLastErrorMessage()
    views = {"depth": np.asarray(cam.GetDepthMap()), "confidence": np.asarray(cam.GetConfidenceMap())}
    assert not cam.Capture()
    assert T.GetLastError() == tuvo_sim.ERROR_FILE_IO and damaged in T.GetLastErrorMessage()
    got = results(cam, "x1")
    assert_identical(got, captured[0])
    for key, view in views.items():
        assert same_bytes(np.array(view), captured[0][key]), key


@pytest.mark.parametrize("changed", ["points.ply", "depth.npy", "confidence.npy"])
def test_a_frame_that_fails_while_it_is_read_leaves_no_part_of_it(tmp_path, changed):
    """A frame's file cut short after it was checked fails the capture naming it: the maps were
    being written in place, so the point map and every map show nothing measured, not a part of
    the frame beside the earlier frame's points."""
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    record(tmp_path / "rec", kind="x2", options=options, frames=2, compress=False)
    cam = open_cam(play(tmp_path / "rec"), "x2")
    assert cam.Capture(), T.GetLastErrorMessage()
    depth_view = np.asarray(cam.GetDepthMap())
    path = tmp_path / "rec" / "x2" / "000001" / changed
    outcome = []
    with tuvo_sim.blocked("playback.read"):
        other = threading.Thread(target=lambda: outcome.append(cam.Capture()))
        other.start()
        assert tuvo_sim.wait_entered("playback.read") == 1
        os.truncate(path, path.stat().st_size - 4096)
    other.join()
    assert outcome == [False]
    assert T.GetLastError() == tuvo_sim.ERROR_FILE_IO and changed in T.GetLastErrorMessage()
    got = results(cam, "x2")
    for key in ("points", "normals", "depth", "correspond"):
        assert np.isnan(got[key]).all(), key
    assert not got["confidence"].any() and np.isnan(depth_view).all()


@pytest.mark.parametrize("compress", [False, True])
def test_a_playback_capture_that_runs_out_of_memory_leaves_no_part_of_a_frame(tmp_path, compress):
    """Memory that runs out once the camera's maps are made or kept for the frame: as a live
    capture's, the capture leaves no point map and maps that show nothing measured."""
    record(tmp_path / "rec", kind="x2", frames=2, compress=compress)
    cam = open_cam(play(tmp_path / "rec"), "x2")
    assert cam.Capture(), T.GetLastErrorMessage()
    tuvo_sim.set("capture.fail_alloc", 1)
    assert not cam.Capture() and T.GetLastError() == ERROR_OUT_OF_MEMORY
    assert not cam.GetPointMap().IsValid() and tuvo_sim.live("pointmap") == 0
    for get in (cam.GetDepthMap, cam.GetCorrespondMap):
        assert np.isnan(np.asarray(get())).all()
    assert not np.asarray(cam.GetConfidenceMap()).any()
    assert cam.Capture() and np.isfinite(np.asarray(cam.GetDepthMap())).any()  # the frame plays then


def test_playback_captures_check_memory_as_live_ones_do(tmp_path, packed):
    """The check comes first; memory that still runs out (a limit the check could not see) fails the
    capture with Error_OutOfMemory rather than raising out of the SDK."""
    code = """
import json, resource, PyTUVO as T, tuvo_sim
tuvo_sim.set_rig("[device]\\nplayback = %s\\nloop = yes\\n")
assert T.SystemInit()
cam = T.X2.Create(T.SystemFindDevice("R-1"))
assert cam.Open()
out = []
tuvo_sim.set("memory.available_mb", 2)
out.append([cam.Capture(), T.GetLastError(), T.GetLastErrorMessage()])
tuvo_sim.set("memory.available_mb", 1e6)  # the check finds room; the address space has none
with open("/proc/self/statm") as f:
    vm = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), resource.RLIM_INFINITY))
try:
    out.append([cam.Capture(), T.GetLastError(), T.GetLastErrorMessage()])
except MemoryError:
    out.append("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
out.append(cam.Capture())
print(json.dumps(out))
""" % packed
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-800:]
    checked, ran_out, again = json.loads(run.stdout)
    assert checked[:2] == [False, ERROR_OUT_OF_MEMORY]
    assert re.fullmatch(r"X2\.Capture\(\): a 320 x 256 playback capture returns \d+ MB and needs up to \d+ MB while it "
                        r"runs; 2 MB of memory is available", checked[2]), checked[2]
    assert ran_out == [False, ERROR_OUT_OF_MEMORY, "X2.Capture(): out of memory"]
    assert again


def test_both_readers_skip_a_byte_order_mark(tmp_path, pristine):
    root = tmp_path / "rec"
    shutil.copytree(pristine, root)
    (root / "manifest.json").write_bytes(b"\xef\xbb\xbf" + (root / "manifest.json").read_bytes())
    assert len(read_manifest(str(root))["streams"]["x2"]["frames"]) == 1
    assert open_cam(play(root), "x2").Capture(), T.GetLastErrorMessage()


def test_rig_keys_of_playback_devices(tmp_path, pristine):
    for text, message in [
        ("[device]\nloop = yes\n", "device 1: loop needs playback"),
        ("[device]\nplayback = %s\nloop = maybe\n" % pristine, "line 3: loop must be yes or no"),
        ("[device]\nplayback =\n", "line 2: playback needs the folder of a recording"),
        ("[device]\nplayback = %s\nwidth = 640\n" % pristine,
         "width cannot be set for a playback device: its recording describes it"),
        ("[device]\nplayback = %s\n" % (tmp_path / "nowhere"), str(tmp_path / "nowhere") + ": is missing"),
    ]:
        with pytest.raises(ValueError):
            tuvo_sim.set_rig(text)
        assert message in T.GetLastErrorMessage(), text
    rig = tmp_path / "nul.rig"
    rig.write_bytes(b"[device]\nplayback = rec\x00/../x\n")
    os.environ["TUVO_SIM_RIG"] = str(rig)
    try:
        assert not T.SystemInit()
    finally:
        del os.environ["TUVO_SIM_RIG"]
    assert "the playback folder's name holds a NUL character" in T.GetLastErrorMessage()


def test_cameras_on_one_playback_device_capture_in_parallel(tmp_path):
    device = live_rig()
    left, right = open_cam(device, "x1", "left"), open_cam(device, "x1", "right")
    rec = Recorder(str(tmp_path / "rec"), device)
    streams = [rec.add_x1(left, "left"), rec.add_x1(right, "right")]
    captured = {s.name: [rec.capture(s)["points"] for _ in range(3)] for s in streams}
    T.SystemShutdown()
    device = play(tmp_path / "rec", loop="yes")
    cams = {"x1-left": open_cam(device, "x1", "left"), "x1-right": open_cam(device, "x1", "right")}
    faults = []

    def run(name):
        for i in range(9):
            if not cams[name].Capture():
                faults.append(T.GetLastErrorMessage())
                return
            pm = cams[name].GetPointMap()
            if not same_bytes(np.array(pm), captured[name][i % 3]):
                faults.append("%s frame %d differs" % (name, i))
            T.PointMap.Destroy(pm)

    threads = [threading.Thread(target=run, args=(n,)) for n in cams]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert faults == []


@pytest.mark.parametrize("special", ["/dev/zero", "fifo", "folder"])
def test_rig_files_that_are_no_files_are_refused_at_once(tmp_path, special):
    if special == "fifo":
        os.mkfifo(tmp_path / "fifo")
    path = {"/dev/zero": "/dev/zero", "fifo": str(tmp_path / "fifo"), "folder": str(tmp_path)}[special]
    code = "import PyTUVO as T; print(T.SystemInit()); print(T.GetLastErrorMessage())"
    run = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, TUVO_SIM_RIG=path), capture_output=True,
                         text=True, timeout=30)
    assert run.stdout.splitlines() == ["False", "SystemInit: rig description: %s: is not a regular file" % path]


# ---- the rig examples of the documentation work as written ----

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def documented_rigs(name):
    """The indented rig blocks ([device] sections) of a documentation file, as written there."""
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        lines = f.read().splitlines()
    blocks = []
    for i, line in enumerate(lines):
        if line.strip() == "[device]" and "playback" in lines[i + 1]:
            block = []
            for text in lines[i:]:
                if not text.startswith("    ") or not text.strip():
                    break
                block.append(text[4:])
            blocks.append("\n".join(block) + "\n")
    return blocks


@pytest.mark.parametrize("name", ["README.md", os.path.join("docs", "recording.md")])
def test_documented_rig_examples_play(tmp_path, monkeypatch, name):
    rigs = documented_rigs(name)
    assert rigs
    for i, text in enumerate(rigs):
        folder = tmp_path / str(i)
        folder.mkdir()
        record(folder / "scan-session", frames=1)
        (folder / "replay.rig").write_text(text)
        tuvo_sim.reset()
        monkeypatch.setenv("TUVO_SIM_RIG", str(folder / "replay.rig"))
        assert T.SystemInit(), "%s: %s" % (name, T.GetLastErrorMessage())
        cam = open_cam(T.SystemFindDevice(SERIAL), "x1")
        looping = re.search(r"^loop = (\w+)", text, re.M)
        assert cam.Capture() and cam.Capture() == bool(looping and looping.group(1) == "yes")
        T.SystemShutdown()
