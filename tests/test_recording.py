"""The recorder and the recording format: standard files a third party can open, frames written
atomically, and capture options as plain data and settings files."""
import errno
import json
import os
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import plyfile
import png
import pytest

import PyTUVO as T
import tuvo_sim
from tuvo_tools import options as opts
from tuvo_tools import recording
from tuvo_tools.recorder import Recorder

RIG = "[device]\nsn = R-1\ncameras = left, right\nx2 = yes\ncolor_camera = yes\nwidth = 320\nheight = 256\n"


@pytest.fixture
def device():
    tuvo_sim.set_rig(RIG)
    assert T.SystemInit()
    return T.SystemFindDevice("R-1")


def open_x2(device):
    cam = T.X2.Create(device)
    assert cam.Open()
    return cam


def test_files_open_with_common_tools(tmp_path, device):
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    rec = Recorder(str(tmp_path / "rec"), device)
    got = rec.capture(rec.add_x2(open_x2(device), options))
    manifest = json.loads((tmp_path / "rec" / "manifest.json").read_text())
    assert (manifest["format"], manifest["version"]) == ("tuvo-recording", 1)
    assert manifest["device"]["sn"] == "R-1" and manifest["cameras"]["left"]["colour"] is True
    frame = manifest["streams"]["x2"]["frames"][0]
    folder = tmp_path / "rec" / frame["dir"]
    ply = plyfile.PlyData.read(str(folder / "points.ply"))
    vertex = ply["vertex"]
    assert vertex.count == 320 * 256 and vertex["x"].dtype == np.float64
    xyz = np.stack([vertex["x"], vertex["y"], vertex["z"]], axis=-1).reshape(256, 320, 3)
    nxyz = np.stack([vertex["nx"], vertex["ny"], vertex["nz"]], axis=-1).reshape(256, 320, 3)
    assert xyz.tobytes() == got["points"].tobytes() and nxyz.tobytes() == got["normals"].tobytes()
    width, height, rows, info = png.Reader(filename=str(folder / "left.png")).read()
    pixels = np.vstack([np.asarray(r, np.uint8) for r in rows]).reshape(height, width, 3)
    assert info["bitdepth"] == 8 and np.array_equal(pixels, got["images"]["left"])
    for key in ("depth", "confidence", "correspond"):
        array = np.load(str(folder / frame[key]), allow_pickle=False)
        assert array.dtype == np.float64 and array.tobytes() == got[key].tobytes()
    # The package's own reader gives the same arrays.
    back = recording.read_frame(str(tmp_path / "rec"), recording.read_manifest(str(tmp_path / "rec")), "x2", 0)
    for key in ("points", "normals", "depth", "confidence", "correspond"):
        assert back[key].tobytes() == got[key].tobytes()
    assert back["images"]["right"].tobytes() == got["images"]["right"].tobytes()


def test_an_interrupted_recording_keeps_its_finished_frames(tmp_path, device, monkeypatch):
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    first = rec.capture(stream)
    real = recording.write_npy
    calls = []

    def interrupted(path, array):
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt
        real(path, array)
    monkeypatch.setattr(recording, "write_npy", interrupted)
    with pytest.raises(KeyboardInterrupt):
        rec.capture(stream)
    assert sorted(os.listdir(tmp_path / "rec" / "x2")) == ["000000"]  # the partial frame is gone
    assert sorted(os.listdir(tmp_path / "rec")) == ["manifest.json", "x2"]
    manifest = recording.read_manifest(str(tmp_path / "rec"))
    assert len(manifest["streams"]["x2"]["frames"]) == 1
    T.SystemShutdown()
    tuvo_sim.reset()
    tuvo_sim.set_rig("[device]\nplayback = %s\n" % (tmp_path / "rec"))
    assert T.SystemInit()
    cam = open_x2(T.SystemFindDevice("R-1"))
    assert cam.Capture() and np.array(cam.GetPointMap()).tobytes() == first["points"].tobytes()
    assert not cam.Capture() and "end of recording" in T.GetLastErrorMessage()



def stream_state(root, stream):
    """The frames the manifest lists and the folders on disk, which must agree."""
    listed = [f["dir"] for f in recording.read_manifest(str(root))["streams"][stream]["frames"]]
    on_disk = ["%s/%s" % (stream, n) for n in sorted(os.listdir(root / stream))]
    return listed, on_disk


def test_a_failed_manifest_write_keeps_the_recording_going(tmp_path, device, monkeypatch):
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    rec.capture(stream)
    real = recording._write_synced

    def full_disk(path, write):
        if path.endswith("manifest.json.partial"):
            raise OSError(errno.ENOSPC, "No space left on device")
        real(path, write)
    monkeypatch.setattr(recording, "_write_synced", full_disk)
    with pytest.raises(recording.RecordingError, match="rec: cannot write manifest.json: No space left on device"):
        rec.capture(stream)
    assert stream_state(tmp_path / "rec", "x2") == (["x2/000000"], ["x2/000000"])  # no frame outside the manifest
    monkeypatch.setattr(recording, "_write_synced", real)  # space again: the recording goes on
    assert rec.capture(stream)["index"] == 1
    assert stream_state(tmp_path / "rec", "x2") == (["x2/000000", "x2/000001"], ["x2/000000", "x2/000001"])


@pytest.mark.parametrize("where", ["after the frame's folder is renamed", "after the manifest is replaced"])
def test_ctrl_c_during_a_frames_commit_leaves_it_whole(tmp_path, device, monkeypatch, where):
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    rec.capture(stream)
    real = recording._fsync_dir
    target = str(tmp_path / "rec" / "x2") if where.startswith("after the frame") else str(tmp_path / "rec")

    def ctrl_c(path):
        if path == target and len(rec.writer.manifest["streams"]["x2"]["frames"]) == 2:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)  # the handler runs here
        real(path)
    monkeypatch.setattr(recording, "_fsync_dir", ctrl_c)
    with pytest.raises(KeyboardInterrupt):
        rec.capture(stream)
    listed, on_disk = stream_state(tmp_path / "rec", "x2")
    assert listed == on_disk == ["x2/000000", "x2/000001"]  # the frame was committed whole, then interrupted
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    monkeypatch.setattr(recording, "_fsync_dir", real)
    assert rec.capture(stream)["index"] == 2


def test_a_full_disk_is_named_and_leaves_a_valid_recording(tmp_path):
    """RLIMIT_FSIZE stands in for a full disk: the point map cannot be written."""
    (tmp_path / "bench.rig").write_text(RIG)
    env = dict(os.environ, TUVO_SIM_RIG=str(tmp_path / "bench.rig"))
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))  # noqa: E731
    r = subprocess.run([sys.executable, "-m", "tuvo_tools", "record", "R-1", "rec", "--frames", "2", "-q"], env=env,
                       cwd=tmp_path, capture_output=True, text=True, preexec_fn=limit, timeout=120)
    assert r.returncode == 1 and "Traceback" not in r.stderr
    assert r.stderr == "tuvo: error: %s: cannot write x1-left/000000/points.ply: File too large\n" % (tmp_path / "rec")
    assert stream_state(tmp_path / "rec", "x1-left") == ([], [])


def test_frames_that_could_not_be_played_are_refused(tmp_path, device):
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    assert stream.camera.Capture()
    good = rec.record_current(stream)
    writer = rec.writer
    for change, message in [
        (dict(points=good["points"][:128]), r"the points of a frame of x2 are \(128, 320, 3\), not \(256, 320, 3\)"),
        (dict(depth=good["depth"].T), r"the depth of a frame of x2 are \(320, 256\)"),
        (dict(correspond=good["depth"]), r"the correspond of a frame of x2 are \(256, 320\), not \(256, 320, 2\)"),
        (dict(images={"left": (good["images"]["left"][:, :100], "RGB8")}), "the left image of a frame of x2 is RGB8"),
        (dict(images={"left": (good["images"]["left"], "Mono8")}), "the left image of a frame of x2 is Mono8"),
    ]:
        frame = dict(images={}, points=good["points"], depth=good["depth"])
        frame.update(change)
        with pytest.raises(recording.RecordingError, match=message):
            writer.add_frame("x2", **frame)
    assert stream_state(tmp_path / "rec", "x2") == (["x2/000000"], ["x2/000000"])


def test_a_stream_the_manifest_cannot_hold_is_not_half_added(tmp_path, device):
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    rec = Recorder(str(tmp_path / "rec"), device)
    bad = T.X1_CaptureOptions()
    bad.gain_2d = float("nan")
    with pytest.raises(recording.RecordingError, match="a value is not a finite number"):
        rec.add_x1(cam, "left", bad)
    assert recording.read_manifest(str(tmp_path / "rec"))["streams"] == {}
    stream = rec.add_x1(cam, "left", T.X1_CaptureOptions())  # the same stream, with options it can hold
    assert rec.capture(stream)["index"] == 0

def test_recordings_are_not_written_over(tmp_path, device):
    Recorder(str(tmp_path / "rec"), device)
    with pytest.raises(recording.RecordingError, match="already exists and is not an empty folder"):
        Recorder(str(tmp_path / "rec"), device)
    (tmp_path / "file").write_text("x")
    with pytest.raises(recording.RecordingError):
        Recorder(str(tmp_path / "file"), device)


def test_bgr_images_replay_in_their_own_order(tmp_path, device):
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    rec = Recorder(str(tmp_path / "rec"), device)
    got = rec.capture(rec.add_x1(cam, "left"))
    rgb = got["images"]["left"]
    root = tmp_path / "rec"
    manifest = json.loads((root / "manifest.json").read_text())
    frame = manifest["streams"]["x1-left"]["frames"][0]
    frame["images"]["left"]["type"] = "BGR8"
    bgr = np.ascontiguousarray(rgb[..., ::-1])
    recording.write_png(str(root / frame["dir"] / "left.png"), bgr, "BGR8")
    (root / "manifest.json").write_text(json.dumps(manifest))
    T.SystemShutdown()
    tuvo_sim.reset()
    tuvo_sim.set_rig("[device]\nplayback = %s\n" % root)
    assert T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("R-1"), T.CameraID_Left)
    assert cam.Open() and cam.Capture(), T.GetLastErrorMessage()
    image = cam.GetImage()
    assert image.GetType() == T.BGR8 and np.array(image).tobytes() == bgr.tobytes()
    assert recording.read_frame(str(root), recording.read_manifest(str(root)), "x1-left", 0)["images"]["left"].tobytes() \
        == bgr.tobytes()


@pytest.mark.parametrize("text, message", [
    ("", "not JSON"),
    ('{"format": "something else"}', "not a TUVO recording"),
    ('{"format": "tuvo-recording", "version": 7, "device": {}, "cameras": {}, "streams": {}}', "version 7 is newer"),
    ('{"format": "tuvo-recording", "version": 1}', "lacks the object 'device'"),
])
def test_the_reader_checks_the_manifest(tmp_path, text, message):
    (tmp_path / "manifest.json").write_text(text)
    with pytest.raises(recording.RecordingError, match=message):
        recording.read_manifest(str(tmp_path))


def test_the_reader_refuses_special_files(tmp_path):
    os.symlink("/dev/zero", tmp_path / "manifest.json")
    with pytest.raises(recording.RecordingError, match="is a symbolic link"):
        recording.read_manifest(str(tmp_path))
    os.remove(tmp_path / "manifest.json")
    os.mkfifo(tmp_path / "manifest.json")
    with pytest.raises(recording.RecordingError, match="is not a regular file"):
        recording.read_manifest(str(tmp_path))


# ---- options as data ----

@pytest.mark.parametrize("kind", ["x1", "x2"])
def test_options_round_trip_through_data(kind):
    o = opts.new_options(kind)
    o.exposure_time_3d = 23
    o.gain_2d = 1.5
    o.calc_normal = True
    o.smoothness = T.SmoothnessLevel_Strong
    o.roi = T.ROI(16, 2, 64, 64)
    o.SetHDRExposureTimeContent(2, 77)
    data = opts.to_dict(o)
    assert json.loads(json.dumps(data)) == data
    assert data["exposure_time_3d"] == 23 and data["smoothness"] == 3 and data["roi"] == [16, 2, 64, 64]
    assert data["hdr_exposure_time_content"] == [11, 20, 77]
    assert opts.to_dict(opts.from_dict(kind, data)) == data
    assert len(data) == (37 if kind == "x1" else 43)  # every field of the SDK's option records


@pytest.mark.parametrize("name, value, message", [
    ("warp", "1", "unknown option 'warp' for X1 captures"),
    ("calc_normal", "7", "calc_normal must be true or false"),
    ("exposure_time_3d", "1.5", "exposure_time_3d must be an integer"),
    ("exposure_time_3d", "true", "exposure_time_3d must be a number"),
    ("roi", "1,2,3", "roi takes four integers"),
    ("hdr_gain_content", "1,2", "hdr_gain_content takes three values"),
    ("capture_mode", "CaptureMode_Warp", "capture_mode must be one of"),
])
def test_option_values_are_checked(name, value, message):
    with pytest.raises(opts.OptionsError, match=message):
        opts.set_option(T.X1_CaptureOptions(), name, value)


def test_settings_files(tmp_path):
    text = tmp_path / "capture.txt"
    text.write_text("# bench settings\n[camera]\nexposure_time_3d = 19\ncapture_mode = CaptureMode_Fast\n"
                    "roi = 0, 0, 128, 64\nuse_auto_noise_removal = false\n")
    o = opts.read_settings(str(text), "x1")
    assert (o.exposure_time_3d, o.capture_mode, o.roi.width, o.use_auto_noise_removal) == (19, T.CaptureMode_Fast, 128,
                                                                                          False)
    js = tmp_path / "capture.json"
    js.write_text('{"exposure_time_2d": 30, "hdr_exposure_time_content": [5, 6, 7]}')
    o = opts.read_settings(str(js), "x2")
    assert o.exposure_time_2d == 30 and o.GetHDRExposureTimeContent(2) == 7
    (tmp_path / "bad.txt").write_text("exposure_time_3d = 19\nnot a setting\n")
    with pytest.raises(opts.OptionsError, match="bad.txt, line 2: expected key = value"):
        opts.read_settings(str(tmp_path / "bad.txt"), "x1")
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(opts.OptionsError, match="not a regular file"):
        opts.read_settings(str(tmp_path / "fifo"), "x1")
