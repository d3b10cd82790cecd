"""The recorder and the recording format: standard files a third party can open, frames written
atomically, and capture options as plain data and settings files."""
import errno
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
import zlib

import numpy as np
import plyfile
import png
import pytest

import PyTUVO as T
import tuvo_sim
from tuvo_tools import options as opts
from tuvo_tools import recording
from tuvo_convert import capture_arrays
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
    rec = Recorder(str(tmp_path / "rec"), device, compress=False)
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


def test_compressed_frames_read_back_bit_identical_and_smaller(tmp_path, device):
    """On request, the numbers of each frame shuffled and deflated, read back to the same bytes
    (NaN payloads included) by the package's reader, whose header stays a standard one."""
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    cam = open_x2(device)
    plain, packed = Recorder(str(tmp_path / "plain"), device), Recorder(str(tmp_path / "packed"), device, compress=True)
    a = plain.capture(plain.add_x2(cam, options))
    assert cam.Capture(options)
    stream = packed.add_x2(cam, options)
    b = packed.record_current(stream)
    manifest = recording.read_manifest(str(tmp_path / "packed"))
    frame = manifest["streams"]["x2"]["frames"][0]
    assert (manifest["version"], frame["compression"], frame["depth"]) == (2, "shuffle-zlib", "depth.npy.bsz")
    folder = tmp_path / "packed" / frame["dir"]
    assert (folder / "depth.npy.bsz").read_bytes().startswith(b"\x93NUMPY")
    assert (folder / "points.ply.bsz").read_bytes().startswith(b"ply\nformat binary_little_endian 1.0\n")
    back = recording.read_frame(str(tmp_path / "packed"), manifest, "x2", 0)
    for key in ("points", "normals", "depth", "confidence", "correspond"):
        assert back[key].tobytes() == b[key].tobytes(), key
    def size(root):
        return sum(f.stat().st_size for f in (root / "x2" / "000000").iterdir())
    assert size(tmp_path / "packed") < 0.8 * size(tmp_path / "plain")
    assert a["points"].shape == b["points"].shape


def test_recording_leaves_the_cameras_results_as_a_capture_leaves_them(tmp_path, device):
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x1(cam, "left")
    for _ in range(2):
        got = rec.capture(stream)
        image, point_map = cam.GetImage(), cam.GetPointMap()
        assert image.IsValid() and point_map.IsValid(), T.GetLastErrorMessage()
        assert np.array(image).tobytes() == got["images"]["left"].tobytes()
        assert np.array(point_map).tobytes() == got["points"].tobytes()
        assert capture_arrays(cam)["points"].tobytes() == got["points"].tobytes()
    live = tuvo_sim.live("pointmap")
    rec.capture(stream)  # the last frame's results, handed out, are destroyed before the next capture
    assert tuvo_sim.live("pointmap") == live


@pytest.mark.parametrize("compress", [False, True])
def test_a_capture_while_a_frame_is_written_does_not_reach_its_files(tmp_path, device, monkeypatch, compress):
    """The camera's maps are refreshed in place by its next capture: one made on another thread
    while the frame's files are written changes neither them nor what the recorder returns."""
    cam = T.X2.Create(device)
    assert cam.Open()
    rec = Recorder(str(tmp_path / "rec"), device, compress=compress)
    stream = rec.add_x2(cam)
    made, write_ply = {}, recording.write_ply

    def write_then_capture(*args):
        write_ply(*args)
        made["maps"] = {k: np.array(m) for k, m in (("depth", cam.GetDepthMap()),
                                                    ("confidence", cam.GetConfidenceMap()),
                                                    ("correspond", cam.GetCorrespondMap()))}
        other = threading.Thread(target=lambda: made.setdefault("next", cam.Capture()))
        other.start()
        other.join()

    monkeypatch.setattr(recording, "write_ply", write_then_capture)
    got = rec.capture(stream)
    assert made["next"], T.GetLastErrorMessage()
    frame = recording.read_frame(str(tmp_path / "rec"), recording.read_manifest(str(tmp_path / "rec")), "x2", 0)
    assert not np.array_equal(np.array(cam.GetDepthMap()), made["maps"]["depth"], equal_nan=True)
    for key, want in made["maps"].items():
        assert frame[key].tobytes() == want.tobytes(), key
        assert got[key].tobytes() == want.tobytes(), key


def test_two_recorders_on_one_empty_folder(tmp_path, device, monkeypatch):
    """Both may find the folder empty (the other has not written yet): only one may write into it."""
    first = Recorder(str(tmp_path / "rec"), device)
    listdir = os.listdir
    monkeypatch.setattr(recording.os, "listdir", lambda p: [] if str(p) == str(tmp_path / "rec") else listdir(p))
    with pytest.raises(recording.RecordingError, match="rec: another recorder is writing into this folder"):
        Recorder(str(tmp_path / "rec"), device)
    monkeypatch.undo()
    first.capture(first.add_x2(open_x2(device)))
    assert len(recording.read_manifest(str(tmp_path / "rec"))["streams"]["x2"]["frames"]) == 1


def test_sigterm_during_a_commit_waits_for_the_manifest(tmp_path, device, monkeypatch):
    """A SIGTERM handler that raises (as tuvo record's does) comes after the manifest lists the frame
    whose folder was just renamed into place, as Ctrl-C does."""
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop()
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    replace = os.replace

    def replace_then_signal(src, dst):
        replace(src, dst)
        if rec.writer.frames("x2"):  # the frame's commit
            os.kill(os.getpid(), signal.SIGTERM)
    monkeypatch.setattr(recording.os, "replace", replace_then_signal)
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with pytest.raises(Stop):
            rec.capture(stream)
    finally:
        signal.signal(signal.SIGTERM, previous)
    monkeypatch.undo()
    manifest = recording.read_manifest(str(tmp_path / "rec"))
    assert len(manifest["streams"]["x2"]["frames"]) == 1
    assert recording.read_frame(str(tmp_path / "rec"), manifest, "x2", 0)["depth"] is not None


@pytest.mark.parametrize("damage", [lambda p: p.unlink(), lambda p: p.write_bytes(p.read_bytes()[:500]),
                                    lambda p: p.write_text(p.read_text().replace('"max_bytes": 31', '"most": 31'))],
                         ids=["missing", "cut short", "a rule without its bound"])
def test_a_damaged_table_of_rules_is_named(tmp_path, damage):
    shutil.copytree(os.path.dirname(recording.__file__), tmp_path / "tuvo_tools")
    damage(tmp_path / "tuvo_tools" / "recording_rules.json")
    run = subprocess.run([sys.executable, "-c", "import tuvo_tools.recording"], capture_output=True, text=True,
                         cwd=tmp_path, timeout=60)
    assert run.returncode == 1
    assert "recording_rules.json: cannot be read" in run.stderr.splitlines()[-1]
    assert "this installation of tuvo_tools is damaged; reinstall it" in run.stderr


def test_an_interrupted_recording_keeps_its_finished_frames(tmp_path, device, monkeypatch):
    rec = Recorder(str(tmp_path / "rec"), device)
    stream = rec.add_x2(open_x2(device))
    first = rec.capture(stream)
    real = recording.write_npy
    calls = []

    def interrupted(path, array, compressed=False):
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt
        real(path, array, compressed)
    monkeypatch.setattr(recording, "write_npy", interrupted)
    with pytest.raises(KeyboardInterrupt):
        rec.capture(stream)
    assert sorted(os.listdir(tmp_path / "rec" / "x2")) == ["000000"]  # the partial frame is gone
    assert sorted(os.listdir(tmp_path / "rec")) == [recording.LOCK, "manifest.json", "x2"]
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
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling")
    with pytest.raises(recording.RecordingError, match="already exists"):
        Recorder(str(tmp_path / "dangling"), device)
    with pytest.raises(recording.RecordingError, match="cannot hold a NUL character"):
        Recorder(str(tmp_path / "a\0b"), device)
    assert sorted(os.listdir(tmp_path)) == ["dangling", "file", "rec"]


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
    ('{"format": "tuvo-recording", "version": 1}', 'manifest: lacks "device"'),
    ('{"format": "tuvo-recording", "version": 1, "padding": [%s0]}' % ("0," * 2000000), "more than 2,000,000 values"),
    ('{"format": "tuvo-recording", "version": 1, "device": %s' % ("[" * 100000), "nests deeper than a recording's"),
], ids=["empty", "foreign", "newer", "no device", "too many values", "too deep"])
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


# ---- the package's frame reader on hostile recordings ----

@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """A small X2 recording with normals, made once and copied by each test."""
    path = tmp_path_factory.mktemp("pristine") / "rec"
    tuvo_sim.reset()
    tuvo_sim.set_rig(RIG)
    assert T.SystemInit()
    device = T.SystemFindDevice("R-1")
    options = T.X2_CaptureOptions()
    options.calc_normal = True
    rec = Recorder(str(path), device, compress=False)
    rec.capture(rec.add_x2(open_x2(device), options))
    tuvo_sim.reset()
    return path


def in_frame(name, change):
    def apply(root):
        change(root / "x2" / "000000" / name)
    return apply


def in_manifest(change):
    def apply(root):
        manifest = json.loads((root / "manifest.json").read_text())
        change(manifest, manifest["streams"]["x2"]["frames"][0])
        (root / "manifest.json").write_text(json.dumps(manifest))
    return apply


def npy(header, body):
    raw = header.encode()
    return b"\x93NUMPY\x01\x00" + len(raw).to_bytes(2, "little") + raw + body


def png_header(width, height):
    """An 8-bit RGB PNG that announces `width` x `height` and holds a few bytes of pixels."""
    def chunk(kind, data):
        return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")
    ihdr = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(100))) + chunk(b"IEND", b"")


READER_FAULTS = [
    ("FIFO", in_frame("depth.npy", lambda p: (p.unlink(), os.mkfifo(p))), "depth.npy: is not a regular file"),
    ("link to a device", in_frame("confidence.npy", lambda p: (p.unlink(), os.symlink("/dev/zero", p))),
     "confidence.npy: is a symbolic link"),
    ("folder out of the recording", in_manifest(lambda m, f: f.update(dir="../../x2/000000")),
     "streams.x2.frames[0].dir: is not a folder inside the recording"),
    ("size as text", in_manifest(lambda m, f: m["streams"]["x2"].update(width="320")),
     "streams.x2.width: must be an integer"),
    ("npy of another shape", in_frame("depth.npy", lambda p: p.write_bytes(npy(
        "{'descr': '<f8', 'fortran_order': False, 'shape': (320, 256), }", bytes(655360)))),
     "depth.npy: the .npy shape is (320, 256), not (256, 320)"),
    ("npy in Fortran order", in_frame("depth.npy", lambda p: p.write_bytes(npy(
        "{'descr': '<f8', 'fortran_order': True, 'shape': (256, 320), }", bytes(655360)))), "in C order"),
    ("npy of objects", in_frame("depth.npy", lambda p: p.write_bytes(npy(
        "{'descr': '|O', 'fortran_order': False, 'shape': (256, 320), }", b""))), "little-endian float64"),
    ("PLY of floats", in_frame("points.ply", lambda p: p.write_bytes(
        b"ply\nformat binary_little_endian 1.0\nelement vertex 81920\nproperty float x\nproperty float y\n"
        b"property float z\nproperty float nx\nproperty float ny\nproperty float nz\nend_header\n" + bytes(81920 * 48))),
     "unexpected PLY header line 'property float x'"),
    ("PLY miscounted", in_frame("points.ply", lambda p: p.write_bytes(
        b"ply\nformat binary_little_endian 1.0\nelement vertex 99999999999\nproperty double x\nproperty double y\n"
        b"property double z\nproperty double nx\nproperty double ny\nproperty double nz\nend_header\n")),
     "the PLY file holds 99999999999 vertices, not 81920"),
    ("PNG larger than the camera", in_frame("left.png", lambda p: p.write_bytes(png_header(5000, 5000))),
     "left.png: the image is 5000 x 5000, not the camera's 320 x 256"),
]


@pytest.mark.parametrize("fault, damage, message", READER_FAULTS, ids=[f[0] for f in READER_FAULTS])
def test_the_frame_reader_refuses_hostile_recordings(tmp_path, pristine, fault, damage, message):
    root = tmp_path / "rec"
    shutil.copytree(pristine, root, symlinks=True)
    damage(root)
    outcome = []

    def read():
        try:
            recording.read_frame(str(root), recording.read_manifest(str(root)), "x2", 0)
            outcome.append(None)
        except Exception as e:  # noqa: BLE001 - the kind is checked below
            outcome.append(e)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout=20)
    assert outcome, "the reader hangs"
    assert isinstance(outcome[0], recording.RecordingError), repr(outcome[0])
    assert message in str(outcome[0])
