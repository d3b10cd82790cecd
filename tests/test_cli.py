"""The `tuvo` command through a subprocess: subcommands, output for people and scripts, exit status,
one-line errors and Ctrl-C."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import plyfile
import pytest
from PIL import Image

import PyTUVO as T
import tuvo_sim
from tuvo_tools import cli, options, pictures
from tuvo_tools.recording import read_manifest

RIG = ("[device]\nname = Bench S3\nsn = S-1\ncameras = left, right, extra\nx2 = yes\ncover = yes\n"
       "capture_modes = fast, normal, fixedlinescan\nwidth = 320\nheight = 256\n"
       "[device]\nname = Bench M1\nsn = M-1\nport_type = gige\nport = 10.1.2.3\nwidth = 320\nheight = 256\n")
TUVO = os.path.join(os.path.dirname(sys.executable), "tuvo")


@pytest.fixture
def env(tmp_path):
    (tmp_path / "bench.rig").write_text(RIG)
    e = dict(os.environ, TUVO_SIM_RIG=str(tmp_path / "bench.rig"))
    return e


def run(args, env, cwd, timeout=120):
    return subprocess.run([sys.executable, "-m", "tuvo_tools", *args], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


def test_console_script_and_help(env, tmp_path):
    r = subprocess.run([TUVO, "--help"], env=env, capture_output=True, text=True)
    assert r.returncode == 0
    for command in ("list", "info", "capture", "record", "play", "scan"):
        assert command in r.stdout
    r = subprocess.run([TUVO, "record", "--help"], env=env, capture_output=True, text=True)
    assert r.returncode == 0 and "--frames N" in r.stdout and "--settings FILE" in r.stdout
    assert run([], env, tmp_path).returncode == 2
    r = run(["record", "S-1"], env, tmp_path)
    assert r.returncode == 2 and "required" in r.stderr
    r = run(["--version"], env, tmp_path)
    assert r.returncode == 0 and "TUVO virtual SDK" in r.stdout
    r = run(["play", "--help"], env, tmp_path)
    assert "play [-h] [-q] [--json]" in r.stdout and " RECORDING" in r.stdout and "OUT_DIR" not in r.stdout
    for kind in ("x1", "x2"):
        listed = json.loads(run(["options", "--json"] + (["--x2"] if kind == "x2" else []), env, tmp_path).stdout)
        assert [o["name"] for o in listed["options"]] == options.names(options.new_options(kind))
    by_name = {o["name"]: o for o in listed["options"]}
    assert by_name["exposure_time_3d"] == {"name": "exposure_time_3d", "type": "int", "default": 11}
    assert by_name["projector_color"]["default"] == "ProjectorColor_Blue"
    assert "line_scanner_scan_time_ms" in run(["options", "--x2"], env, tmp_path).stdout


def test_list(env, tmp_path):
    r = run(["list"], env, tmp_path)
    assert r.returncode == 0 and r.stderr == ""
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("S-1") and "X1 X2" in lines[0] and "gige" in lines[1]
    data = json.loads(run(["list", "--json"], env, tmp_path).stdout)
    assert [d["serial"] for d in data["devices"]] == ["S-1", "M-1"]
    assert data["devices"][0]["cameras"] == ["left", "right", "extra"] and data["devices"][1]["x2"] is False
    assert run(["list", "-q"], env, tmp_path).stdout == ""


def test_info(env, tmp_path):
    data = json.loads(run(["info", "S-1", "--json"], env, tmp_path).stdout)
    assert data["opened_as"] == "X2" and data["resolution"] == [320, 256]
    assert set(data["calibration"]) == {"left", "right", "extra"}
    assert data["calibration"]["right"]["extrinsic"][3] == pytest.approx(120, abs=0.05)
    assert data["ranges"]["exposure_ms"] == [3, 100] and data["protective_cover"] == "open"
    assert set(data["temperatures_c"]["left"]) >= {"sensor", "camera"} and data["temperatures_c"]["projector"] > 20
    data = json.loads(run(["info", "S-1", "--camera", "right", "--json"], env, tmp_path).stdout)
    assert data["opened_as"] == "X1 (right camera)" and list(data["calibration"]) == ["right"]
    r = run(["info", "M-1"], env, tmp_path)
    assert r.returncode == 0 and "protective cover: none" in r.stdout and "X1 (left camera)" in r.stdout


@pytest.mark.parametrize("args, status, message", [
    (["info", "NOPE"], 1, "tuvo: error: SystemFindDevice: no device with serial number NOPE\n"),
    (["capture", "M-1", "-o", "x.ply", "--x2"], 1, "tuvo: error: X2.Create: the device cannot be used as X2\n"),
    (["capture", "S-1", "-o", "x.ply", "--exposure-3d", "500"], 1,
     "tuvo: error: X1.Capture: exposure_time_3d must be 3..100, projector_brightness 1..255 and scan_times 1..8\n"),
    (["capture", "S-1", "-o", "x.ply", "--set", "warp=1"], 2, "tuvo capture: error: unknown option 'warp' for X1 captures; "
     "the options are bilateral_filter_depth_sigma, "),
    (["capture", "S-1", "-o", "x.ply", "--set", "exposure_3d=9"], 2, "(did you mean exposure_time_3d?)"),
    (["capture", "S-1", "-o", "x.ply", "--x2", "--set", "truncate_z_min=9"], 2,
     "use_auto_noise_removal, use_projector_capturing_2d_image (`tuvo options --x2` lists them with their types "
     "and defaults)\n"),
    (["capture", "S-1", "-o", "x.ply", "--settings", "missing.txt"], 2, "missing.txt: no such file\n"),
    (["capture", "S-1", "-o", "x.ply", "--settings", "."], 2, ".: is a folder\n"),
    (["capture", "M-1", "-o", "x.ply", "--camera", "right"], 1,
     "tuvo: error: the device M-1 has no right camera (its camera: left)\n"),
    (["info", "M-1", "--camera", "extra"], 1, "tuvo: error: the device M-1 has no extra camera (its camera: left)\n"),
    (["capture", "S-1", "-o", "no/such/folder/x.ply"], 1, "tuvo: error: PointMap.Save: cannot write no/such/folder/x.ply"),
    (["scan", "M-1"], 1, "tuvo: error: X2.Create: the device cannot be used as X2\n"),
    (["capture", "S-1", "-o", "x.xyz"], 1,
     "tuvo: error: PointMap.Save: x.xyz: unknown file extension '.xyz' (known: .ply, .pcd)\n"),
    (["capture", "S-1", "-o", "x.ply", "--image", "i.png", "--set", "enable_2d_in_capture=false"], 1,
     "tuvo: error: the capture gave no image (enable_2d_in_capture = false)\n"),
    (["play", "nowhere"], 1, "tuvo: error: nowhere/manifest.json: is missing\n"),
    (["record", "S-1", "out", "--frames", "0"], 2, "--frames must be at least 1"),
    (["play", "nowhere", "--frames", "-2"], 2, "--frames must be at least 1"),
    # numbers the option records cannot hold, and pauses time.sleep cannot take
    (["capture", "S-1", "-o", "x.ply", "--exposure-3d", "99999999999"], 2,
     "tuvo capture: error: exposure_time_3d cannot be 99999999999: out of range\n"),
    (["capture", "S-1", "-o", "x.ply", "--exposure-2d", "-99999999999"], 2, "exposure_time_2d cannot be -99999999999"),
    (["capture", "S-1", "-o", "x.ply", "--set", "exposure_time_3d=4294967296"], 2, "exposure_time_3d cannot be"),
    (["capture", "S-1", "-o", "x.ply", "--set", "calc_normal_radius=-1"], 2, "calc_normal_radius cannot be -1"),
    (["capture", "S-1", "-o", "x.ply", "--set", "hdr_exposure_time_content=1,2,99999999999"], 2,
     "hdr_exposure_time_content cannot be"),
    (["capture", "S-1", "-o", "x.ply", "--roi", "0,0,99999999999,1"], 2, "roi cannot be"),
    (["scan", "S-1", "--scan-time", "100000000000"], 2, "line_scanner_scan_time_ms cannot be 100000000000"),
    (["record", "S-1", "out", "--frames", "2", "--interval", "-1"], 2, "argument --interval: "),
    (["record", "S-1", "out", "--frames", "2", "--interval", "nan"], 2, "argument --interval: "),
    (["record", "S-1", "out", "--frames", "2", "--interval", "inf"], 2, "argument --interval: "),
    (["record", "S-1", "out", "--frames", "2", "--interval", "1e300"], 2,
     "argument --interval: takes a number of seconds from 0 to 604800 (a week), not '1e300'"),
])
def test_errors_are_one_line_and_a_status(env, tmp_path, args, status, message):
    r = run(args, env, tmp_path)
    assert r.returncode == status
    usage = r.stderr.startswith("usage: ")  # argparse's own: the usage, then one line
    assert message in r.stderr.splitlines()[-1] + "\n" and "Traceback" not in r.stderr
    assert usage or r.stderr.count("\n") == 1


@pytest.mark.smoke
def test_capture_writes_the_scan_and_pictures(env, tmp_path):
    (tmp_path / "roi.txt").write_text("roi = 0, 0, 160, 128\n")
    r = run(["capture", "S-1", "-o", "scan.ply", "--image", "img.png", "--depth", "depth.png", "--json"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    whole = json.loads(r.stdout)
    assert whole["saved"] == ["scan.ply", "img.png", "depth.png"] and whole["valid_fraction"] > 0.5
    ply = plyfile.PlyData.read(str(tmp_path / "scan.ply"))
    assert ply["vertex"].count == 320 * 256 and "red" in ply["vertex"].data.dtype.names
    assert T.Image.CreateFromFile(str(tmp_path / "img.png")).GetSize().width == 320
    r = run(["capture", "S-1", "-o", "scan.pcd", "--ascii"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    header = (tmp_path / "scan.pcd").read_text().split("DATA ascii\n")[0]
    assert "FIELDS x y z rgb\n" in header and "WIDTH 320\nHEIGHT 256\n" in header
    r = run(["capture", "S-1", "-o", "part.ply", "--settings", "roi.txt", "--x2", "--json"], env, tmp_path)
    part = json.loads(r.stdout)
    assert 0 < part["valid_points"] < whole["valid_points"] / 3  # the ROI of the settings file was used
    r = run(["capture", "S-1", "-o", "scan.ply", "--camera", "right", "--mode", "fast", "--set", "scan_times=2"], env,
            tmp_path)
    assert r.returncode == 0 and r.stdout.startswith("%d valid points" % json.loads(run(
        ["capture", "S-1", "-o", "b.ply", "--camera", "right", "--mode", "fast", "--set", "scan_times=2", "--json"],
        env, tmp_path).stdout)["valid_points"])


def depth_picture_spread(path, width):
    """A depth picture as the examples draw it (picture, colour bar right of it): where along its bar
    the 5th and 95th percentiles of its measured pixels lie (0 top, 1 bottom), and the bar's ends."""
    with Image.open(path) as f:
        picture = np.asarray(f.convert("RGB"))
    assert picture.shape[1] == width + pictures.LEGEND_WIDTH
    x, y, height = pictures.bar_geometry(picture.shape[0], width)
    bar = picture[y:y + height, x + pictures.BAR_WIDTH // 2].astype(np.int32)
    measured = picture[:, :width].reshape(-1, 3)
    measured = measured[measured.any(axis=1)].astype(np.int32)  # black: nothing measured
    at = ((measured[:, None, :] - bar[None, ::4, :]) ** 2).sum(axis=2).argmin(axis=1) * 4 / (height - 1)
    return np.percentile(at, [5, 95]), bar[0], bar[-1]


@pytest.mark.parametrize("suffix", [".ply", ".pcd"])
@pytest.mark.parametrize("ascii_", [False, True], ids=["binary", "ascii"])
def test_capture_with_normals(env, tmp_path, suffix, ascii_):
    name = "scan" + suffix
    r = run(["capture", "S-1", "-o", name, "--normals", "--metres"] + (["--ascii"] if ascii_ else []), env, tmp_path)
    assert r.returncode == 0, r.stderr
    if suffix == ".ply":
        vertex = plyfile.PlyData.read(str(tmp_path / name))["vertex"].data
        normals = np.stack([vertex["nx"], vertex["ny"], vertex["nz"]], axis=1)
        points = np.stack([vertex["x"], vertex["y"], vertex["z"]], axis=1)
        assert {"red", "green", "blue"} <= set(vertex.dtype.names)
    else:
        raw = (tmp_path / name).read_bytes()
        header, body = raw.split(b"DATA ascii\n" if ascii_ else b"DATA binary\n", 1)
        assert b"FIELDS x y z rgb normal_x normal_y normal_z\nSIZE 4 4 4 4 4 4 4\nTYPE F F F U F F F\n" in header
        kinds = [("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("rgb", "<u4"), ("nx", "<f4"), ("ny", "<f4"), ("nz", "<f4")]
        table = np.loadtxt(body.decode().splitlines()) if ascii_ else np.frombuffer(body, dtype=kinds)
        columns = [table[:, i] for i in range(7)] if ascii_ else [table[k] for k, _ in kinds]
        points, normals = np.stack(columns[:3], axis=1), np.stack(columns[4:], axis=1)
    assert len(points) == 320 * 256
    valid = np.isfinite(points).all(axis=1) & np.isfinite(normals).all(axis=1)
    assert valid.mean() > 0.5 and np.isnan(points[~np.isfinite(points).all(axis=1)]).all()
    np.testing.assert_allclose(np.linalg.norm(normals[valid], axis=1), 1, atol=1e-5)
    assert (np.einsum("ij,ij->i", normals[valid], points[valid]) < 0).mean() > 0.99  # towards the camera
    assert 0.3 < np.nanmedian(points[:, 2]) < 2  # metres
    # The SDK reads the file back: the same points (in millimetres).
    back = T.PointMap.CreateFromFile(str(tmp_path / name), T.Size(320, 256), T.Millimeter)
    assert back.IsValid(), T.GetLastErrorMessage()
    np.testing.assert_allclose(np.asarray(back).reshape(-1, 3)[valid], points[valid] * 1000, rtol=1e-6)
    T.PointMap.Destroy(back)


def _hostile_target(kind, folder):
    """Puts at the name a capture will be saved to what `kind` says; returns the name."""
    name = "a" * 251 + ".ply" if kind == "longest name" else "out.ply"
    path = folder / name
    if kind == "FIFO without a reader":
        os.mkfifo(path)
    elif kind == "dangling link":
        os.symlink("made.ply", path)
    elif kind != "longest name":
        path.write_bytes(b"old")
        if kind == "read-only":
            path.chmod(0o444)
        elif kind == "another's":
            try:
                os.chown(path, 4321, 4321)
            except PermissionError:
                pytest.skip("only root gives a file away")
        elif kind == "hard link, file size limit":
            os.link(path, folder / "other")
    return name


def _file_size_limit():
    import resource
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))  # the cloud is larger: a write fails part-way


@pytest.mark.parametrize("kind, status", [("read-only", 1), ("longest name", 0), ("FIFO without a reader", 1),
                                          ("dangling link", 0), ("another's", 0), ("hard link, file size limit", 1)])
def test_a_cloud_with_normals_goes_where_the_sdk_would_save_it(env, tmp_path, kind, status):
    """Whatever stands at the name, the cloud with normals is written there, or refused, as the
    SDK's own save does: the same status and reason, links kept, old bytes and owner kept."""
    seen = []
    for normals in ([], ["--normals"]):
        folder = tmp_path / ("normals" if normals else "sdk")
        folder.mkdir()
        name = _hostile_target(kind, folder)
        r = subprocess.run([sys.executable, "-m", "tuvo_tools", "capture", "S-1", "-o", name, "-q"] + normals, env=env,
                           cwd=folder, capture_output=True, text=True, timeout=60,
                           preexec_fn=_file_size_limit if "limit" in kind else None)
        path = folder / name
        seen.append((r.returncode, r.stderr.strip().rsplit(": ", 1)[-1], path.is_symlink(),
                     path.stat().st_uid if path.exists() else None,
                     path.read_bytes() == b"old" if path.is_file() else None))
    assert seen[0][0] == status and seen[1] == seen[0]


def test_a_cloud_with_normals_to_dev_stdout_follows_what_the_output_holds(env, tmp_path):
    for normals in ([], ["--normals"]):
        out = tmp_path / ("normals" if normals else "sdk")
        out.write_bytes(b"old\n")
        with open(out, "ab") as f:  # `tuvo capture ... -o /dev/stdout >> out`
            r = subprocess.run([sys.executable, "-m", "tuvo_tools", "capture", "S-1", "-o", "/dev/stdout"] + normals,
                               env=env, cwd=tmp_path, stdout=f, stderr=subprocess.PIPE, timeout=60)
        assert r.returncode == 0, r.stderr
        data = out.read_bytes()
        assert data.startswith(b"old\nply\n") and data.endswith(b"; saved /dev/stdout\n"), normals


def test_depth_pictures_explain_themselves(env, tmp_path):
    r = run(["capture", "S-1", "-o", "scan.ply", "--depth", "depth.png"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 0
    assert run(["play", "rec", "-q", "--save", "seen"], env, tmp_path).returncode == 0
    for path in (tmp_path / "depth.png", tmp_path / "seen" / "x1-left-000000-depth.png"):
        (low, high), top, bottom = depth_picture_spread(path, 320)
        assert low < 0.25 and high > 0.75, (path, low, high)  # the colours span the bar
        assert top[0] > 200 and top[2] < 50 and bottom[2] > 200 and bottom[0] < 50  # near red, far blue


@pytest.mark.parametrize("depth", [
    np.full((256, 320), np.nan), np.full((256, 320), 500.0), np.full((256, 320), 1e30),
    np.tile([600.0, np.inf, -np.inf, np.nan], (256, 80)), np.tile([-1e308, 1e308], (256, 160)),
    np.linspace(400, 900, 16 * 16).reshape(16, 16),
], ids=["nothing measured", "one value", "one huge value", "infinities", "the largest numbers", "16 x 16 pixels"])
def test_depth_pictures_of_degenerate_depth(depth):
    near, far = pictures.robust_range(depth)
    image, view = pictures.depth_figure(depth, near, far, "depth")
    try:
        h, w = depth.shape
        x, y, height = pictures.bar_geometry(view.shape[0], w)
        bar = view[y:y + height, x + pictures.BAR_WIDTH // 2].astype(int)
        assert view.shape[0] >= h and view.shape[1] == w + pictures.LEGEND_WIDTH and height > 0
        assert bar[0, 0] > 200 and bar[0, 2] < 50 and bar[-1, 2] > 200 and bar[-1, 0] < 50  # near red, far blue
        picture, depth = view[40:h, :w], depth[40:]  # below the caption
        assert picture[np.isfinite(depth)].any(axis=-1).all() and not picture[np.isnan(depth)].any()
    finally:
        T.Image.Destroy(image)


def test_record_then_play(env, tmp_path):
    r = run(["record", "S-1", "rec", "--frames", "3", "--x2"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    assert "recorded 3 frames of x2 into %s" % (tmp_path / "rec") in r.stdout
    assert "record: 3/3" in r.stderr  # progress
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 1  # not written over
    r = run(["play", "rec", "--json", "--save", "seen"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    frames = json.loads(r.stdout)["frames"]
    assert [f["frame"] for f in frames] == [0, 1, 2] and all(f["valid_points"] > 1000 for f in frames)
    assert sorted(os.listdir(tmp_path / "seen"))[:3] == ["x2-000000-depth.png", "x2-000000.ply", "x2-000000.png"]
    saved = np.asarray(T.PointMap.CreateFromFile(str(tmp_path / "seen" / "x2-000001.ply"), T.Size(320, 256),
                                                 T.Millimeter))
    recorded = plyfile.PlyData.read(str(tmp_path / "rec" / "x2" / "000001" / "points.ply"))["vertex"]
    assert np.array_equal(saved[..., 2].ravel(), recorded["z"], equal_nan=True)
    r = run(["play", "rec", "--frames", "4", "-q"], env, tmp_path)
    assert r.returncode == 1 and "end of recording: all 3 frames of the X2 have been played" in r.stderr
    r = run(["play", "rec", "--frames", "5", "--loop"], env, tmp_path)
    assert r.returncode == 0 and r.stdout.count("x2 ") == 5
    r = run(["play", "rec", "--stream", "x1-left"], env, tmp_path)
    assert r.returncode == 2 and "the recording holds no stream x1-left (it holds x2)" in r.stderr
    assert run(["record", "S-1", "packed", "--frames", "1", "--compress", "-q"], env, tmp_path).returncode == 0
    assert read_manifest(str(tmp_path / "packed"))["streams"]["x1-left"]["frames"][0]["compression"] == "shuffle-zlib"
    r = run(["play", "packed", "--json"], env, tmp_path)
    assert r.returncode == 0 and json.loads(r.stdout)["frames"][0]["valid_points"] > 1000, r.stderr


def test_scan(env, tmp_path):
    r = run(["scan", "S-1", "--sweeps", "2", "--scan-time", "50", "-o", "line.ply", "--json"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    assert len(data["sweeps"]) == 2 and data["sweeps"][1]["valid_points"] > 1000 and data["saved"] == "line.ply"
    assert (tmp_path / "line.ply").stat().st_size > 320 * 256 * 24


@pytest.mark.parametrize("sig, status, word", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
                         ids=["ctrl-c", "sigterm"])
def test_ctrl_c_during_record_stops_cleanly(env, tmp_path, sig, status, word):
    p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", "record", "S-1", "rec", "--frames", "1000"], env=env,
                         cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    manifest = tmp_path / "rec" / "manifest.json"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if manifest.exists() and '"dir": "x1-left/000001"' in manifest.read_text():
            break
        time.sleep(0.05)
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    assert p.returncode == status, err
    assert "Traceback" not in err and "tuvo: %s after" % word in err and "of 1000 frames" in err
    recorded = read_manifest(str(tmp_path / "rec"))["streams"]["x1-left"]["frames"]
    assert 2 <= len(recorded) < 1000 and "%s after %d of 1000 frames" % (word, len(recorded)) in err
    assert sorted(os.listdir(tmp_path / "rec" / "x1-left")) == ["%06d" % i for i in range(len(recorded))]
    r = run(["play", "rec", "--json"], env, tmp_path)
    assert r.returncode == 0 and len(json.loads(r.stdout)["frames"]) == len(recorded)


@pytest.mark.parametrize("sig, status, word", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
                         ids=["ctrl-c", "sigterm"])
def test_ctrl_c_releases_what_the_command_opened(tmp_path, monkeypatch, capsys, sig, status, word):
    tuvo_sim.set_rig(RIG)
    from tuvo_tools import recorder
    real = recorder.Recorder.capture
    calls = []

    def capture(self, stream):
        calls.append(1)
        if len(calls) == 2:
            assert tuvo_sim.live("map") > 0
            os.kill(os.getpid(), sig)  # arrives while the frame is made
        return real(self, stream)
    monkeypatch.setattr(recorder.Recorder, "capture", capture)
    handler = signal.getsignal(signal.SIGTERM)
    assert cli.main(["record", "S-1", str(tmp_path / "rec"), "--frames", "5", "--x2"]) == status
    assert signal.getsignal(signal.SIGTERM) is handler  # the command's own handler is gone again
    assert "%s after 1 of 5 frames" % word in capsys.readouterr().err
    assert not T.SystemIsInited()
    assert (tuvo_sim.live("image"), tuvo_sim.live("pointmap"), tuvo_sim.live("map")) == (0, 0, 0)


@pytest.mark.parametrize("command, name, content, status, message", [
    ("capture", "latin1.txt", b"exposure_time_3d = 19 # \xe9t\xe9\n", 2, "latin1.txt: not UTF-8 text"),
    ("capture", "deep.json", b'{"a":' * 100000, 2, "deep.json: not JSON (nested too deeply)"),
    ("play", "manifest.json", b'{"format": "tuvo-recording", "device": ' + b"[" * 100000, 1,
     "manifest.json: nests deeper than a recording's manifest"),
], ids=["latin-1 settings", "deep settings", "deep manifest"])
def test_hostile_settings_and_manifests_are_one_line_errors(env, tmp_path, command, name, content, status, message):
    (tmp_path / name).write_bytes(content)
    args = ["capture", "S-1", "-o", "x.ply", "--settings", name] if command == "capture" else ["play", "."]
    r = run(args, env, tmp_path)
    assert r.returncode == status
    assert message in r.stderr and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr


@pytest.mark.parametrize("name", [b"non-utf8-\xff", b"trailing space ", b"new\nline", b"[device]", b"hash#mark"])
def test_play_takes_any_folder_name(env, tmp_path, name):
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 0
    os.rename(tmp_path / "rec", os.path.join(os.fsencode(tmp_path), name))
    (tmp_path / "tmp").mkdir()
    r = subprocess.run([sys.executable, "-m", "tuvo_tools", "play", name, "--json"], env=dict(env, TMPDIR=str(tmp_path / "tmp")),
                       cwd=tmp_path, capture_output=True)
    assert r.returncode == 0, r.stderr
    assert len(json.loads(r.stdout)["frames"]) == 1
    assert os.listdir(tmp_path / "tmp") == []  # the rig written for the playback is gone


@pytest.mark.parametrize("args, line", [
    (["capture", "S-1", "-o", b"caf\xe9.ply"], b"; saved caf\xe9.ply\n"),
    (["record", "S-1", b"r\xe9c", "--frames", "1"], b"recorded 1 frames of x1-left into %s/r\xe9c\n"),
], ids=["capture", "record"])
def test_names_that_are_not_text_are_shown_as_their_bytes(env, tmp_path, args, line):
    # An output that takes only text of its encoding (a UTF-8 locale other than C).
    r = subprocess.run([sys.executable, "-m", "tuvo_tools", *args], env=dict(env, PYTHONIOENCODING="utf-8:strict"),
                       cwd=tmp_path, capture_output=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(line.replace(b"%s", os.fsencode(tmp_path)))


def test_a_closed_pipe_ends_the_command_quietly(env, tmp_path):
    assert run(["record", "S-1", "rec", "--frames", "2", "-q"], env, tmp_path).returncode == 0
    # A reader that stops after one line (`tuvo play rec | head -1`).
    p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", "play", "rec", "--loop", "--frames", "100000"],
                         env=dict(env, PYTHONUNBUFFERED="1"), cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline().startswith(b"x1-left    0: ")
    p.stdout.close()
    err = p.stderr.read().decode()
    assert p.wait(timeout=60) == 141
    assert "rror" not in err and "Broken pipe" not in err and "Traceback" not in err
    # A reader gone before anything is written; the output is buffered and written at the end.
    env = {k: v for k, v in env.items() if k != "PYTHONUNBUFFERED"}
    for args in (["list", "--json"], ["play", "rec", "--json"], ["info", "S-1"]):
        p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", *args], env=env, cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.close()
        err = p.stderr.read().decode()
        assert p.wait(timeout=60) == 141, err
        assert err == "", args


# Runs the command as `python -m tuvo_tools` does, with SIGINT sent to itself as numpy starts to load.
CTRL_C_WHILE_IMPORTING = """
import importlib.abc, os, runpy, signal, sys

class CtrlC(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            sys.meta_path.remove(self)
            os.kill(os.getpid(), signal.SIGINT)
        return None

sys.meta_path.insert(0, CtrlC())
sys.argv = ["tuvo", "list"]
runpy.run_module("tuvo_tools", run_name="__main__", alter_sys=True)
"""


def test_ctrl_c_while_modules_load_is_quiet(env, tmp_path):
    r = subprocess.run([sys.executable, "-c", CTRL_C_WHILE_IMPORTING], env=env, cwd=tmp_path, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 130 and r.stderr == "" and r.stdout == "", r.stderr


def test_scan_counts_each_sweep_once(tmp_path, capsys):
    """Each sweep reported is a new one, however late the scanner publishes it."""
    tuvo_sim.set_rig(RIG)
    tuvo_sim.block("scan publish")
    done = []

    def publish_one_sweep_per_two_polls():  # the scanner falls behind: two polls see each sweep
        polls = 0
        while not done:
            if tuvo_sim.inside("scan publish") and tuvo_sim.calls("X2.GetFixedLineScanPointMap") >= polls:
                polls = tuvo_sim.calls("X2.GetFixedLineScanPointMap") + 2
                tuvo_sim.unblock("scan publish")
                while tuvo_sim.inside("scan publish") and not done:
                    time.sleep(0.001)
                tuvo_sim.block("scan publish")
            time.sleep(0.002)
    helper = threading.Thread(target=publish_one_sweep_per_two_polls)
    helper.start()
    try:
        assert cli.main(["scan", "S-1", "--sweeps", "3", "--scan-time", "20", "--json"]) == 0
    finally:
        done.append(1)
        tuvo_sim.unblock("scan publish")
        helper.join()
    sweeps = json.loads(capsys.readouterr().out)["sweeps"]
    assert len(sweeps) == 3 and all(s["valid_points"] > 1000 for s in sweeps)
    assert len({json.dumps(s, sort_keys=True) for s in sweeps}) == 3  # no sweep twice
    assert tuvo_sim.calls("X2.GetFixedLineScanPointMap") >= 5  # the repeats were seen and passed over


def test_ctrl_c_while_the_scan_waits_for_its_first_sweep(capsys):
    """A scanner that gives nothing: Ctrl-C is taken while the SDK waits for the first sweep."""
    tuvo_sim.set_rig(RIG)
    tuvo_sim.block("scan publish")  # the first sweep is held before it is published
    stops, held_at_stop = tuvo_sim.calls("X2.StopFixedLineScan"), []

    def ctrl_c_then_release():
        while not (tuvo_sim.device_value("S-1", "scan_waiters") >= 1 and tuvo_sim.inside("scan publish")):
            time.sleep(0.005)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        while tuvo_sim.calls("X2.StopFixedLineScan") == stops:
            time.sleep(0.005)
        held_at_stop.append(tuvo_sim.inside("scan publish"))
        tuvo_sim.unblock("scan publish")
    helper = threading.Thread(target=ctrl_c_then_release)
    helper.start()
    try:
        assert cli.main(["scan", "S-1", "--scan-time", "60000"]) == 130
    finally:
        tuvo_sim.unblock("scan publish")
        helper.join()
    assert held_at_stop == [1]  # the scan was stopped while the sweep was still held, not once it came
    assert "interrupted after 0 sweeps" in capsys.readouterr().err


def test_play_in_process_leaves_the_environment_alone(env, tmp_path, monkeypatch, capsys):
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 0
    monkeypatch.setenv("TUVO_SIM_RIG", env["TUVO_SIM_RIG"])
    assert cli.main(["play", str(tmp_path / "rec"), "-q"]) == 0
    assert os.environ["TUVO_SIM_RIG"] == env["TUVO_SIM_RIG"]
    assert T.SystemInit() and T.SystemFindDevice("M-1").IsValid()  # the bench rig again
    T.SystemShutdown()


def test_ctrl_c_while_a_frame_is_committed_counts_it(tmp_path, monkeypatch, capsys):
    tuvo_sim.set_rig(RIG)
    from tuvo_tools import recording
    real = recording._fsync_dir

    def ctrl_c(path):  # Ctrl-C just after the second frame's folder is renamed into place
        if path == str(tmp_path / "rec" / "x1-left") and os.path.isdir(tmp_path / "rec" / "x1-left" / "000001"):
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)
        real(path)
    monkeypatch.setattr(recording, "_fsync_dir", ctrl_c)
    assert cli.main(["record", "S-1", str(tmp_path / "rec"), "--frames", "5", "-q"]) == 130
    assert "interrupted after 2 of 5 frames" in capsys.readouterr().err
    assert len(read_manifest(str(tmp_path / "rec"))["streams"]["x1-left"]["frames"]) == 2


def test_info_on_a_playback_device_of_one_camera(env, tmp_path):
    assert run(["record", "S-1", "rec", "--frames", "1", "--camera", "right", "-q"], env, tmp_path).returncode == 0
    (tmp_path / "play.rig").write_text("[device]\nplayback = rec\n")
    play = dict(env, TUVO_SIM_RIG=str(tmp_path / "play.rig"))
    r = run(["info", "S-1", "--json"], play, tmp_path)
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    assert data["opened_as"] == "X2" and data["calibration"]["left"] is None
    assert data["calibration"]["right"]["extrinsic"][3] == pytest.approx(120, abs=0.05)
    r = run(["info", "S-1"], play, tmp_path)
    assert r.returncode == 0 and "left  camera: calibration not known" in r.stdout


def test_a_device_text_that_is_not_utf8_is_a_one_line_error(capsys):
    # The stand-in's rig takes UTF-8 names only; a device may still answer otherwise.
    tuvo_sim.set("Device.GetDeviceInfo.info", tuvo_sim.device_info(name=b"caf\xe9", sn=b"L-1"))
    assert cli.main(["list"]) == 1
    assert capsys.readouterr().err == "tuvo: error: the device's name is not UTF-8 text (byte 3)\n"


def test_ctrl_c_while_releasing_still_releases_the_rest():
    from tuvo_tools.sdk import Session
    tuvo_sim.set_rig(RIG)

    def ctrl_c():
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        with Session() as s:
            cam = s.x2(T.SystemFindDevice("S-1"))
            assert cam.Capture()
            s.on_exit(ctrl_c)
    assert not T.SystemIsInited() and not cam.IsValid()
